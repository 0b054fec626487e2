#pragma once
// The frames a reader finds in a file, compared before and after an edit that must leave
// them as they were: the same headers and lengths, each at the same offset (or moved by
// the same shift, where bytes in front of them changed length).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "inspect/frame_walk.h"

namespace l3 {

// True when f, the first frame of a stream, is a Xing/Info (or VBRI) frame: the audio
// starts at the frame after it.
bool isTagFrame(const uint8_t* bytes, const WalkFrame& f);

// Empty when after's frames are before's, each shift bytes further on, and the first frame
// reads as the same kind (a Xing/Info frame or audio); else what differs, with why (the
// cause to name, e.g. "changed bytes would complete or spoil a frame header"). Both files
// are walked side by side, one frame at a time.
std::string framesMoved(std::span<const uint8_t> before, std::span<const uint8_t> after,
                        const char* why, ptrdiff_t shift = 0);

}  // namespace l3
