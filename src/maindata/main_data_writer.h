#pragma once
// Main data of one frame: scalefactors and the Huffman-coded spectrum of every granule
// and channel, written downward from writePos, each granule and channel taking exactly
// its part2_3_length bits.

#include <cstdint>

#include "bits/bit_store.h"

namespace l3 {

struct MainDataState;
struct FrameRecord;

// MPEG-1 frames: two granules, long/short/mixed scalefactor layouts, scfsi reuse.
void writeMainDataMpeg1(MainDataState& state);

// MPEG-2 and MPEG-2.5 frames: one granule, scalefactors in four partitions.
void writeMainDataLsf(MainDataState& state);

// The writer's words stay inside the store when it starts this far below the top.
inline constexpr int32_t kScratchTopByte = kStoreBytes - 64;

// Codes record's main data alone into a cleared scratch area of state's store (its record
// and store are overwritten) and returns how many bits it took. They run down from store
// byte kScratchTopByte - 1, most significant bit first, as the stream has them.
int32_t writeMainDataAlone(MainDataState& state, const FrameRecord& record);

}  // namespace l3

namespace l3 {
// Notes the first scalefactor or spectral value of the current frame that does not fit
// (a cold path: valid records never reach it).
[[gnu::cold]] void noteValueProblem(MainDataState& state, const char* field, int gr, int ch,
                                    int index, int64_t value, const char* reason);
}  // namespace l3
