#pragma once
// A stream held as values, for the Python module: every complete frame's header, side
// information, scalefactors and spectrum in a FrameRecord, with the stream's bytes kept to
// write it back.
//
// Writing compares each frame's values with those read. A stream nobody changed is its own
// bytes. Changes that keep every granule's bit count (global_gain, subblock_gain,
// scalefac_scale, an MPEG-1 preflag, private_bits) are written in place, every other byte
// as it was (a stored CRC changes as the computed one does, as `l3 gain` does it). A change
// of the values themselves (spectrum, scalefactors, block type and flags) recodes those
// granules and re-lays the whole stream as `l3 repack` does (repack.h, FrameEdits). The
// fields that say how values are coded (part2_3_length, big_values, table_select, region
// counts, count1table_select, scalefac_compress, scfsi, main_data_begin) and the header are
// the writer's to choose: a change to one is refused. A Xing/Info frame's values, and the
// granules and channels a frame does not use, are not looked at.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "l3/status.h"
#include "l3/record.h"

namespace l3 {

struct ValueFrame {
    size_t offset;   // first byte in the stream
    int32_t length;  // bytes
    uint32_t header;
    bool tag;             // a Xing/Info (or VBRI) frame leading the stream, not audio
    const char* problem;  // why its main data was not decoded (static text), else null
    size_t audioIndex;    // among the audio frames (a tag frame not counted)
};

struct ValueStream {
    std::vector<uint8_t> bytes;      // the stream as read, tags and junk included
    std::vector<ValueFrame> frames;  // every complete frame, in order
    size_t audioStart = 0;           // the first frame's offset (after leading tags)
    size_t audioEnd = 0;             // where trailing tags (or the end) begin
};

// Finds the complete frames of stream.bytes. Nothing is refused: a file without a frame
// has none.
void scanValueStream(ValueStream& stream);

// Decodes every frame into records (stream.frames.size() of them). A frame whose main data
// does not decode (its problem says why) keeps its side information and zero values (its
// side information may be changed in place, not its values); a tag frame holds only its
// header.
void decodeValueStream(ValueStream& stream, FrameRecord* records);

struct ValueWriteResult {
    Status status = Status::ok;
    std::string message;             // "frame F, granule G, channel C: field ... value ..."
    std::vector<std::string> notes;  // what a re-layout dropped (junk, a cut last frame)
    std::vector<uint8_t> output;
};

// original: the values decodeValueStream gave; current: the same frames, possibly changed.
ValueWriteResult writeValueStream(const ValueStream& stream, const FrameRecord* original,
                                  const FrameRecord* current);

}  // namespace l3
