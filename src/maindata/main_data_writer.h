#pragma once
// Main data of one frame: scalefactors and the Huffman-coded spectrum of every granule
// and channel, written downward from writePos, each granule and channel taking exactly
// its part2_3_length bits.

#include <cstdint>

namespace l3 {

struct MainDataState;

// MPEG-1 frames: two granules, long/short/mixed scalefactor layouts, scfsi reuse.
void writeMainDataMpeg1(MainDataState& state);

// MPEG-2 and MPEG-2.5 frames: one granule, scalefactors in four partitions.
void writeMainDataLsf(MainDataState& state);

}  // namespace l3

namespace l3 {
// Notes the first scalefactor or spectral value of the current frame that does not fit
// (a cold path: valid records never reach it).
[[gnu::cold]] void noteValueProblem(MainDataState& state, const char* field, int gr, int ch,
                                    int index, int64_t value, const char* reason);
}  // namespace l3
