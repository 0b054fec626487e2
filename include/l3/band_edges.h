#pragma once
// Long-block scalefactor band boundaries, which place the big-value region boundaries
// of every granule, long, short or mixed.

#include <array>
#include <cstdint>

namespace l3 {

inline constexpr int kMaxBigValues = 288;  // 576 lines in pairs
// The last line at which a whole count1 quadruple still fits within the 576 lines; past it
// the coder fills a granule's budget with 1 bits.
inline constexpr int kLastQuadLine = 572;

// Indexed by bandEdgeRow(header) and band; entry k is the first line of band k and
// entry 22 is always 576. Rows 0-2: MPEG-1 44.1/48/32 kHz; 3-5: MPEG-2 22.05/24/16 kHz;
// 6-8: MPEG-2.5 11.025/12/8 kHz. Rows 5-7 repeat row 3.
inline constexpr std::array<std::array<uint16_t, 23>, 9> longBandEdges = {{
    {0,  4,  8,   12,  16,  20,  24,  30,  36,  44,  52, 62,
     74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576},
    {0,  4,  8,   12,  16,  20,  24,  30,  36,  42,  50, 60,
     72, 88, 106, 128, 156, 190, 230, 276, 330, 384, 576},
    {0,  4,   8,   12,  16,  20,  24,  30,  36,  44,  54, 66,
     82, 102, 126, 156, 194, 240, 296, 364, 448, 550, 576},
    {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
     116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
     114, 136, 162, 194, 232, 278, 332, 394, 464, 540, 576},
    {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
     116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
     116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
     116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0,   12,  24,  36,  48,  60,  72,  88,  108, 132, 160, 192,
     232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576},
}};

// Short-block band boundaries within one window, indexed like longBandEdges: entry k is the
// first line of band k of a window (band 12 has no scalefactor of its own), entry 13 is 192.
// A short granule codes band 0 of windows 0, 1, 2, then band 1 of each, and so on.
inline constexpr std::array<std::array<uint16_t, 14>, 9> shortBandEdges = {{
    {0, 4, 8, 12, 16, 22, 30, 40, 52, 66, 84, 106, 136, 192},
    {0, 4, 8, 12, 16, 22, 28, 38, 50, 64, 80, 100, 126, 192},
    {0, 4, 8, 12, 16, 22, 30, 42, 58, 78, 104, 138, 180, 192},
    {0, 4, 8, 12, 18, 24, 32, 42, 56, 74, 100, 132, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 136, 180, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 8, 16, 24, 36, 52, 72, 96, 124, 160, 162, 164, 166, 192},
}};

// 3 * (number of zero bits among header bits 20 and 19) + sampling_frequency.
inline int bandEdgeRow(uint32_t header) {
    int zeros = (((header >> 20) & 1) ^ 1) + (((header >> 19) & 1) ^ 1);
    return 3 * zeros + static_cast<int>((header >> 10) & 3);
}

// Region boundaries of the big-value area: region r covers lines start[r] .. start[r+1]-1.
struct RegionBounds {
    int start[4];
};

inline RegionBounds regionBounds(uint32_t header, int big_values, int region0_count,
                                 int region1_count) {
    const auto& edges = longBandEdges[bandEdgeRow(header)];
    const int bigEnd = 2 * big_values;
    int r1 = edges[region0_count + 1];
    int idx2 = region0_count + region1_count + 2;
    int r2 = edges[idx2 < 22 ? idx2 : 22];
    return {{0, r1 < bigEnd ? r1 : bigEnd, r2 < bigEnd ? r2 : bigEnd, bigEnd}};
}

}  // namespace l3
