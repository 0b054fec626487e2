#pragma once
// Scalefactor layouts of both versions, shared by the writers and the reader.
//
// MPEG-1: scalefac_compress gives two widths, slen1 and slen2. Long blocks: bands 0..10 take
// slen1, 11..20 slen2, in four scfsi groups. Short blocks: bands 0..5 (all three windows)
// slen1, 6..11 slen2; a mixed block starts with long bands 0..7, then short bands 3..11.
// Record entries: long band b at b, short band s window w at kShortBase + 3s + w.
//
// MPEG-2 and MPEG-2.5: scalefac_compress decoded into four partition widths, a partition
// row and the implied preflag, packed into one entry; the record keeps one flat list.

#include <array>
#include <cstdint>

#include "l3/frame_header.h"

namespace l3 {

// Widths slen1 and slen2 by scalefac_compress (MPEG-1).
inline constexpr uint8_t mpeg1Slen[2][16] = {
    {0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
    {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3},
};

// First long band of each scfsi group, and one past the last.
inline constexpr int scfsiGroupStart[5] = {0, 6, 11, 16, 21};

inline constexpr int kShortBase = 39;  // entry of short band 0, window 0

// LSF entry bits 0-2, 3-5, 6-8, 9-11: slen1..slen4; bits 12-14: partition row; bit 15:
// preflag.
struct LsfScalefacTables {
    std::array<uint32_t, 512> lsfScalefac;           // by scalefac_compress
    std::array<uint32_t, 256> lsfScalefacIntensity;  // by scalefac_compress >> 1, right channel
};

constexpr uint32_t packLsfEntry(int s1, int s2, int s3, int s4, int row, int preflag) {
    return static_cast<uint32_t>(s1 | s2 << 3 | s3 << 6 | s4 << 9 | row << 12 | preflag << 15);
}

// The decoding of scalefac_compress: rows 0-2 without intensity stereo, 3-5 for the
// right channel of an intensity-stereo frame.
constexpr LsfScalefacTables buildLsfScalefacTables() {
    LsfScalefacTables tables{};
    for (int k = 0; k < 512; ++k) {
        if (k < 400) {
            tables.lsfScalefac[k] =
                packLsfEntry((k >> 4) / 5, (k >> 4) % 5, (k % 16) >> 2, k % 4, 0, 0);
        } else if (k < 500) {
            const int t = k - 400;
            tables.lsfScalefac[k] = packLsfEntry((t >> 2) / 5, (t >> 2) % 5, t % 4, 0, 1, 0);
        } else {
            const int t = k - 500;
            tables.lsfScalefac[k] = packLsfEntry(t / 3, t % 3, 0, 0, 2, 1);
        }
    }
    for (int i = 0; i < 256; ++i) {
        if (i < 180) {
            tables.lsfScalefacIntensity[i] = packLsfEntry(i / 36, (i % 36) / 6, i % 6, 0, 3, 0);
        } else if (i < 244) {
            const int t = i - 180;
            tables.lsfScalefacIntensity[i] = packLsfEntry(t >> 4, (t % 16) >> 2, t % 4, 0, 4, 0);
        } else {
            const int t = i - 244;
            tables.lsfScalefacIntensity[i] = packLsfEntry(t / 3, t % 3, 0, 0, 5, 0);
        }
    }
    return tables;
}

inline constexpr LsfScalefacTables lsfScalefacTables = buildLsfScalefacTables();

// The packed entry used for channel ch of a frame with this header. Only the intensity bit
// of mode_extension and the channel decide, not the mode.
inline uint32_t lsfScalefacEntry(uint32_t header, int ch, int scalefac_compress) {
    if (ch == 1 && (modeExtension(header) & 1))
        return lsfScalefacTables.lsfScalefacIntensity[scalefac_compress >> 1];
    return lsfScalefacTables.lsfScalefac[scalefac_compress];
}

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
