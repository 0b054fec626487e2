#pragma once
// Scalefactor layout of MPEG-2 and MPEG-2.5 frames: scalefac_compress decoded into four
// partition widths, a partition row and the implied preflag, packed into one entry.

#include <array>
#include <cstdint>

namespace l3 {

// Entry bits 0-2, 3-5, 6-8, 9-11: slen1..slen4; bits 12-14: partition row; bit 15: preflag.
struct LsfScalefacTables {
    std::array<uint32_t, 512> lsfScalefac;           // by scalefac_compress
    std::array<uint32_t, 256> lsfScalefacIntensity;  // by scalefac_compress >> 1, right channel
};

inline int slen(uint32_t entry, int partition) {
    return (entry >> (3 * partition)) & 7;
}
inline int partitionRow(uint32_t entry) {
    return (entry >> 12) & 7;
}
inline int impliedPreflag(uint32_t entry) {
    return (entry >> 15) & 1;
}

// Scalefactors per partition by partition row, block kind (0 long, 1 short, 2 mixed)
// and partition; short and mixed counts include all three windows.
inline constexpr uint8_t nrOfSfbBlock[6][3][4] = {
    {{6, 5, 5, 5}, {9, 9, 9, 9}, {6, 9, 9, 9}},
    {{6, 5, 7, 3}, {9, 9, 12, 6}, {6, 9, 12, 6}},
    {{11, 10, 0, 0}, {18, 18, 0, 0}, {15, 18, 0, 0}},
    {{7, 7, 7, 0}, {12, 12, 12, 0}, {6, 15, 12, 0}},
    {{6, 6, 6, 3}, {12, 9, 9, 6}, {6, 12, 9, 6}},
    {{8, 8, 5, 0}, {15, 12, 9, 0}, {6, 18, 9, 0}},
};

}  // namespace l3
