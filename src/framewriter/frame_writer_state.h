#pragma once
// The frame writer's state: the main data writers' state, the ring of finished frames,
// the current record's ancillary bits, and where and how much output goes. The run driver's
// state extends this one.

#include <array>
#include <cstdint>

#include "l3/frame_record.h"
#include "io/platform.h"
#include "framewriter/frame_ring.h"
#include "maindata/main_data_state.h"

namespace l3 {

inline constexpr int kAncillaryBufferBytes = 4096;

// Bytes above a frame's start that placing its ancillary bits and main data can touch:
// main_data_begin reaches back at most 511 bytes, ancillary bits 1024 more.
inline constexpr int kFrameUndoBytes = 511 + kAncillaryReadLimit + 8;

struct FrameWriterState : MainDataState {
    FrameRing ring;
    int32_t ancillaryBits = -1;  // of the current record; -1 before the first
    std::array<uint8_t, kAncillaryBufferBytes> ancillaryBuffer{};
    int32_t firstFrame = 0;  // nonzero until the first frame is written
    // Countdown of frame bytes that may still be sent; only exactly 0 stops output, so
    // it is kept as the unsigned 32-bit count it behaves as (-1 lets 4294967295 through).
    uint32_t outputLimit = 0;
    OutputStream* output = nullptr;
    std::array<uint8_t, kFrameUndoBytes> undoBytes;  // store bytes above the frame's start
};

}  // namespace l3
