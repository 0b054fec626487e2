#pragma once
// Lossless joins: the audio frames of several streams one after another in one stream,
// laid out anew across every seam (see splice.h), with one Xing/Info frame that carries the
// first input's encoder delay and the last input's padding. The tags around the frames
// are the first input's.
//
// At a seam between different streams the earlier one's padding and the later one's
// encoder delay would play as a gap of a frame or two; whole frames of that junk are left
// out (the earlier input's last frames, the later input's first), so that the result plays
// as long as the inputs together, within half a frame however many seams there are.
//
// Consecutive pieces of one stream, as cutStream and splitStream write them, repeat at the
// start of each piece the frames its first samples depend on; these are recognised (the
// frames are the same, and the piece before's padding and this piece's delay add up to
// them) and written once, so that joining every piece gives back the input's frames.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edit/splice.h"

namespace l3 {

// Exit code of `l3 join` beyond those of every edit: an input differs from the first in
// version, sampling rate or channel count.

struct JoinInput {
    std::string name;  // for messages
    const uint8_t* data;
    size_t size;
};

struct JoinResult {
    Status status = Status::ok;
    std::string message;  // names the input it is about
    bool mismatch = false;  // Status::mismatch for an input unlike the first (not a layout)
    std::vector<std::string> notes;
    SpillBytes output;
    size_t frames = 0;          // audio frames of the result
    size_t repeatedFrames = 0;  // frames left out as repeated from the input before
    size_t seamFrames = 0;      // frames left out at seams between different streams
};

// Damage in an input (see Damage in source_stream.h) is refused, naming the input, unless
// salvage repairs it.
JoinResult joinStreams(const std::vector<JoinInput>& inputs, bool salvage = false);

}  // namespace l3
