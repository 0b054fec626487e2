#pragma once
// Finding the Layer III frames of an input file. A frame starts with a header word whose
// sync, version, layer, bit rate and sampling rate describe a frame of known length; the
// first frame must be confirmed by what follows it (the next header of the same stream,
// the end of the file or a tag). Bytes before the first frame and junk between frames
// cannot be carried and are reported as skipped ranges; the bytes after the last complete
// frame (a tag, a cut frame) are trailing bytes, which the record format carries.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "l3/disassemble.h"

namespace l3 {

struct FrameSpan {
    size_t offset;   // first byte of the frame in the input
    int32_t length;  // frame length in bytes
    uint32_t header;
};

struct StreamLayout {
    std::vector<FrameSpan> frames;
    std::vector<ByteRange> skipped;  // in input order
    size_t trailingOffset = 0;       // trailing bytes run from here to the end of the input
};

enum class ScanVerdict {
    ok,
    noFrames,    // no Layer III frame anywhere
    freeFormat,  // the first frame-like header is Layer III with bitrate index 0
    otherLayer,  // the first frame-like header is Layer I or Layer II
};

struct ScanOutcome {
    ScanVerdict verdict = ScanVerdict::noFrames;
    size_t offset = 0;  // of the header that decided a refusal
};

// A header of a Layer III frame that has a length: sync, version not reserved, layer III,
// bitrate index 1..14, sampling frequency index not 3.
bool isLayer3Header(uint32_t header);

// Headers of the same stream agree in sync, version and layer; the sampling frequency may
// change between frames (the first frame's successor is held to it, as a guard against
// a false sync).
bool sameStream(uint32_t a, uint32_t b);

// The pieces of the scan, for a reader that sees the input a window at a time; data and
// size are what it holds, and a decision that depends on bytes beyond them must wait.
//
// The length of a Layer III frame at offset that lies wholly inside data, else 0.
int32_t completeFrameAt(const uint8_t* data, size_t size, size_t offset, uint32_t& header);
// A frame at offset whose end is confirmed: the next header of the same stream, the end of
// data, or a tag follows it. When reference is non-zero the frame must also belong to the
// stream of that header. Needs 8 bytes past the frame, or the true end of the input.
int32_t confirmedFrameAt(const uint8_t* data, size_t size, size_t offset, uint32_t reference,
                         uint32_t& header);
// The bytes a leading ID3v2 tag claims (its size is four 7-bit bytes, plus 10 bytes of
// head, plus 10 when its footer flag is set), or 0. The search for the first frame begins
// after it when the input is longer, else at offset 0.
size_t leadingTagBytes(const uint8_t* data, size_t size);
// What a header says about an input that has no Layer III frame: free format, Layer I/II,
// or nothing (noFrames).
ScanVerdict refusalVerdict(uint32_t header);

// The whole scan of an input held in memory.
ScanOutcome scanStream(const uint8_t* data, size_t size, StreamLayout& layout);

}  // namespace l3
