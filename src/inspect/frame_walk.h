#pragma once
// Frames between the tags of a file, with what lies between them: the frame scanner with
// the walked rules (format/frame_scanner.h) over the area the tag finder leaves. Unlike the
// disassembler this walk never refuses a file: it keeps every Layer III frame it can find,
// whatever its sampling rate or mode, and names the rest (junk, a frame cut short by the
// end of the file or by a trailing tag).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "l3/spill_memory.h"
#include "format/frame_scanner.h"
#include "l3/tag_finder.h"

namespace l3 {

struct FrameWalk {
    TagLayout tags;
    SpillVector<WalkFrame> frames;                 // complete frames, then at most one truncated
    std::vector<size_t> junkOffsets, junkLengths;  // ranges in file order
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
    FrameScanner scanner_;
};

// The whole walk, every frame listed.
FrameWalk walkFrames(const uint8_t* data, size_t size);

}  // namespace l3
