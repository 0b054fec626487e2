#include "inspect/frame_walk.h"

namespace l3 {

FrameWalker::FrameWalker(const uint8_t* data, size_t size)
    : data_(data),
      tags_(findTags(data, size)),
      scanner_(kWalkedRules, tags_.audioStart, tags_.audioStart) {}

bool FrameWalker::next(WalkFrame& frame, JunkRange& junk) {
    const ScanWindow area{data_, 0, tags_.audioEnd, true};
    const bool more = scanner_.next(area, frame, junk) == ScanStep::frame;
    if (junk.length == 0) junk = {};
    return more;
}

FrameWalk walkFrames(const uint8_t* data, size_t size) {
    FrameWalker walker(data, size);
    FrameWalk walk;
    walk.tags = walker.tags();
    // Room for frames of 96 bytes and more (8 kbit/s at 24 kHz, the smallest, is 24): the
    // list of a long stream is then not copied again and again as it grows, and the pages
    // reserved past its end are never touched.
    walk.frames.reserve((walk.tags.audioEnd - walk.tags.audioStart) / 96 + 1);
    WalkFrame frame;
    JunkRange junk;
    for (bool more = true; more;) {
        more = walker.next(frame, junk);
        if (junk.length > 0) {
            walk.junkOffsets.push_back(junk.offset);
            walk.junkLengths.push_back(junk.length);
        }
        if (more) walk.frames.push_back(frame);
    }
    return walk;
}

}  // namespace l3
