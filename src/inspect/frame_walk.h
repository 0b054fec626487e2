#pragma once
// Frames between the tags of a file, with what lies between them. Unlike the
// disassembler's scanner this walk never refuses a file: it keeps every Layer III frame
// it can find, whatever its sampling rate or mode, and names the rest (junk, a frame cut
// short by the end of the file or by a trailing tag).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/spill_memory.h"
#include "inspect/tag_scan.h"

namespace l3 {

struct WalkFrame {
    size_t offset;   // first byte in the file
    int32_t length;  // from the header; the bytes present when truncated
    uint32_t header;
    bool resync;     // junk (or the start of the audio) lies right before this frame
    bool truncated;  // the header's length runs past the audio area
};

struct FrameWalk {
    TagLayout tags;
    SpillVector<WalkFrame> frames;                 // complete frames, then at most one truncated
    std::vector<size_t> junkOffsets, junkLengths;  // ranges in file order
};

// Bytes between frames that are neither frames nor tags; length 0 when there are none.
struct JunkRange {
    size_t offset = 0;
    size_t length = 0;
};

// The same walk one frame at a time, keeping nothing per frame: a long file is walked in
// constant memory. A walker may be copied to look ahead.
class FrameWalker {
public:
    FrameWalker(const uint8_t* data, size_t size);
    const TagLayout& tags() const { return tags_; }
    // The next frame and the junk right before it: true, or false at the end, with the
    // junk after the last frame in junk.
    bool next(WalkFrame& frame, JunkRange& junk);

private:
    const uint8_t* data_;
    TagLayout tags_;
    size_t pos_ = 0;
    size_t junkStart_ = 0;
    uint32_t streamHeader_ = 0;
    bool inSync_ = false;
    bool haveStream_ = false;
    bool done_ = false;
};

// A header found while searching (after junk, at the start) must be confirmed: the frame
// it describes ends at the audio end or where another Layer III header of the same
// version and layer starts, or it agrees with the last frame found in sync, version,
// layer, sampling rate and channel mode. Directly after a frame any Layer III header is
// taken.
FrameWalk walkFrames(const uint8_t* data, size_t size);

}  // namespace l3
