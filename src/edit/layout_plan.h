#pragma once
// The smallest layout of a stream's frames: for each frame a size (a bit rate and a padding
// bit) and a main_data_begin, so that the frames together take as few bytes as the format
// allows. The rules: a frame's main data starts on a byte, at most maxBack bytes before the
// frame's own main-data area (511 for MPEG-1, 255 for MPEG-2 and 2.5) and never before the
// first frame's; it comes after the previous frame's main data and ends within its own
// frame.
//
// Placing each frame's main data as early as the rules allow never hurts the frames after
// it, so a layout is a choice of sizes alone, and the reservoir (the free bytes before a
// frame's area that its main data may use, at most maxBack) is the whole state between
// frames. A dynamic programme over the reservoir, from the last frame back, finds the
// smallest total exactly; greedy choices are not enough, since a frame left with an empty
// reservoir can force a larger frame later.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "l3/spill_memory.h"

namespace l3 {

struct FrameSize {
    int32_t frameBytes;  // the whole frame
    uint8_t bitrateIndex;
    uint8_t padding;
};

struct LayoutFrame {
    int32_t mainBytes;  // bytes of main data (part2_3_length bits, rounded up)
    int32_t headBytes;  // header, CRC and side information
};

struct LayoutPlan {
    bool ok = false;
    size_t failedFrame = 0;              // when not ok: the first frame that cannot fit
    SpillVector<uint8_t> size;           // per frame: index into the sizes given
    SpillVector<int32_t> mainDataBegin;  // per frame
    int64_t totalBytes = 0;
};

// sizes: the frame sizes allowed, at most 255. Every frame may use any of them.
// initialReservoir: the free bytes (at most maxBack) before the first frame's area that its
// main data may use, when frames kept as they are come before.
LayoutPlan planLayout(std::span<const LayoutFrame> frames, const std::vector<FrameSize>& sizes,
                      int maxBack, int initialReservoir = 0);

}  // namespace l3
