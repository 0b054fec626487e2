#pragma once
// MPEG audio that is not Layer III with a bit rate: Layer I and Layer II frames, and
// free-format Layer III frames (bit rate index 0, whose length no header gives). A file
// made of them is not damaged Layer III; it is audio this toolkit does not read.

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspect/frame_walk.h"

namespace l3 {

// What MPEG audio of those kinds the walk's junk holds, confirmed by a second frame of the
// same kind where the first one ends ("MPEG-1 Layer II", "free-format MPEG-1 Layer III"),
// or empty when there is none.
std::string otherMpegAudio(const uint8_t* data, const FrameWalk& walk);

}  // namespace l3
