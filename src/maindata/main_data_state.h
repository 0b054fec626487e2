#pragma once
// What the main data writers work on: the record they code, the bit store they write into,
// the first value that did not fit, and the bytes under the frame's main data that they
// save and OR back (see saved_region.h). The frame writer's state extends this one.

#include <array>
#include <cstdint>

#include "bits/bit_store.h"
#include "l3/frame_record.h"
#include "format/record_problem.h"

namespace l3 {

// Bytes under one frame's main data: four granules and channels of at most 4095 bits,
// plus room for a last item or scalefactors running past the end and for the writer's
// eight-byte stores.
inline constexpr int kMainDataSlackBytes = 48;
inline constexpr int kMainDataSaveBytes = 4 * 4095 / 8 + 1 + 2 * kMainDataSlackBytes;

// Bits the spectral coder clears below each granule's end, removing the overrun of its
// last item so that the next granule meets zero bits.
inline constexpr int kClearBelowBits = 24;

struct MainDataState {
    FrameRecord record;  // the current record; the writers change some fields in place
    BitStore store;
    // Set by the writers when a scalefactor or spectral value does not fit; the frame
    // writer then takes the frame back out.
    RecordProblem problem;
    // The writers save the store bytes they write over and OR them back after, so that
    // what earlier frames placed there stays (see BitWriter).
    std::array<uint8_t, kMainDataSaveBytes> mainDataSaved;
    int32_t mainDataSavedLow = 0;  // store bytes mainDataSavedLow .. mainDataSavedHigh - 1
    int32_t mainDataSavedHigh = 0;
};

}  // namespace l3
