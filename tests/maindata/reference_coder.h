#pragma once
// An independent model of how one granule and channel of main data looks in the stream:
// a plain most-significant-bit-first bit writer, the band boundaries, scalefactor widths
// and partition sizes written out here from the stream format, and a coder that takes
// only the code words and lengths of the rebuilt Huffman tables. Shared by the unit tests
// and the decoder test, which uses it to give each record a part2_3_length that matches.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "l3/frame_record.h"
#include "tables/code_tables.h"

namespace l3test {

// Bits in stream order as '0' and '1', with the end of every item (scalefactor, pair
// with its escapes and signs, quadruple with its signs) so that a cut can be placed.
struct RefBits {
    std::string bits;
    std::vector<size_t> itemEnds;

    void put(uint32_t value, int width) {
        for (int b = width - 1; b >= 0; --b) bits += ((value >> b) & 1) ? '1' : '0';
    }
    void endItem() { itemEnds.push_back(bits.size()); }
};

// Escape widths and the y dimension of the big-value tables, by table number.
inline constexpr std::array<int, 32> kLinbits = {0,  0,  0, 0, 0, 0, 0, 0, 0,  0, 0,
                                                 0,  0,  0, 0, 0, 1, 2, 3, 4,  6, 8,
                                                 10, 13, 4, 5, 6, 7, 8, 9, 11, 13};
inline constexpr std::array<int, 32> kYLen = {0,  2,  3,  3,  0,  4,  4,  6,  6,  6,  8,
                                              8,  8,  16, 0,  16, 16, 16, 16, 16, 16, 16,
                                              16, 16, 16, 16, 16, 16, 16, 16, 16, 16};

// Long-block band boundaries for MPEG-1 44.1/48/32 kHz, MPEG-2 22.05/24 kHz and
// MPEG-2.5 8 kHz; every other rate of MPEG-2 and MPEG-2.5 uses the 22.05 kHz row.
inline constexpr int kEdges44[23] = {0,  4,  8,   12,  16,  20,  24,  30,  36,  44,  52, 62,
                                     74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576};
inline constexpr int kEdges48[23] = {0,  4,  8,   12,  16,  20,  24,  30,  36,  42,  50, 60,
                                     72, 88, 106, 128, 156, 190, 230, 276, 330, 384, 576};
inline constexpr int kEdges32[23] = {0,  4,   8,   12,  16,  20,  24,  30,  36,  44,  54, 66,
                                     82, 102, 126, 156, 194, 240, 296, 364, 448, 550, 576};
inline constexpr int kEdges22[23] = {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
                                     116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576};
inline constexpr int kEdges24[23] = {0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
                                     114, 136, 162, 194, 232, 278, 332, 394, 464, 540, 576};
inline constexpr int kEdges8[23] = {0,   12,  24,  36,  48,  60,  72,  88,  108, 132, 160, 192,
                                    232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576};

// Header word with Layer III and the sync word; version 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5.
inline uint32_t makeHeader(int version, int samplingIndex, int mode, int modeExtension = 0,
                           bool crc = false, int bitrateIndex = 9, int padding = 0) {
    return 0xFFE00000u | uint32_t(version) << 19 | 1u << 17 | uint32_t(crc ? 0 : 1) << 16 |
           uint32_t(bitrateIndex) << 12 | uint32_t(samplingIndex) << 10 | uint32_t(padding) << 9 |
           uint32_t(mode) << 6 | uint32_t(modeExtension) << 4;
}

inline const int* edgesFor(uint32_t header) {
    const int version = (header >> 19) & 3;
    const int sf = (header >> 10) & 3;
    if (version == 3) return sf == 0 ? kEdges44 : sf == 1 ? kEdges48 : kEdges32;
    if (version == 2 && sf == 1) return kEdges24;
    if (version == 0 && sf == 2) return kEdges8;
    return kEdges22;
}

struct Regions {
    int region1Start;
    int region2Start;
    int bigEnd;
};

inline Regions regionsFor(uint32_t header, const l3::GranuleChannelInfo& info) {
    const int* e = edgesFor(header);
    const int bigEnd = 2 * info.big_values;
    int index2 = info.region0_count + info.region1_count + 2;
    if (index2 > 22) index2 = 22;
    const int r1 = e[info.region0_count + 1];
    const int r2 = e[index2];
    return {r1 < bigEnd ? r1 : bigEnd, r2 < bigEnd ? r2 : bigEnd, bigEnd};
}

inline void refPair(RefBits& out, int t, int x, int y) {
    const int ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
    const int k = (ax < 15 ? ax : 15) * kYLen[t] + (ay < 15 ? ay : 15);
    const l3::HuffmanTable& table = l3::codeTables().huffman[t];
    out.put(table.codes[k], table.lengths[k]);
    if (ax >= 15) out.put(ax - 15, kLinbits[t]);
    if (x != 0) out.put(x < 0, 1);
    if (ay >= 15) out.put(ay - 15, kLinbits[t]);
    if (y != 0) out.put(y < 0, 1);
    out.endItem();
}

// Count1 code word of the magnitudes from table number 32 (A) or 33 (B), then the signs.
inline void refQuad(RefBits& out, int select, const int16_t* v) {
    int q = 0;
    for (int j = 0; j < 4; ++j) q = q * 2 + (v[j] != 0);
    const l3::HuffmanTable& table = l3::codeTables().huffman[32 + select];
    out.put(table.codes[q], table.lengths[q]);
    for (int j = 0; j < 4; ++j)
        if (v[j] != 0) out.put(v[j] < 0, 1);
    out.endItem();
}

// Count1 quadruples run from bigEnd up to the last one holding a nonzero line.
inline int count1End(const int16_t* lines, int bigEnd) {
    int end = bigEnd;
    for (int i = bigEnd; i + 3 < 576; i += 4)
        if (lines[i] || lines[i + 1] || lines[i + 2] || lines[i + 3]) end = i + 4;
    return end;
}

// The Huffman part of one granule and channel, coded without a budget.
inline void refSpectrum(RefBits& out, uint32_t header, const l3::GranuleChannelInfo& info,
                        const int16_t* lines) {
    const Regions r = regionsFor(header, info);
    const int starts[4] = {0, r.region1Start, r.region2Start, r.bigEnd};
    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;
        for (int i = starts[region]; i < starts[region + 1]; i += 2)
            refPair(out, t, lines[i], lines[i + 1]);
    }
    const int end = count1End(lines, r.bigEnd);
    for (int i = r.bigEnd; i < end; i += 4) refQuad(out, info.count1table_select, lines + i);
}

// Scalefactor widths slen1, slen2 of MPEG-1 by scalefac_compress.
inline constexpr int kMpeg1Slen[16][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {3, 0}, {1, 1},
                                          {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1},
                                          {3, 2}, {3, 3}, {4, 2}, {4, 3}};

inline void putScalefactor(RefBits& out, uint16_t value, int width) {
    if (width == 0) return;
    out.put(value, width);
    out.endItem();
}

inline void refMpeg1Scalefactors(RefBits& out, const l3::FrameRecord& rec, int gr, int ch) {
    const l3::GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int slen1 = kMpeg1Slen[info.scalefac_compress][0];
    const int slen2 = kMpeg1Slen[info.scalefac_compress][1];
    const uint16_t* sf = rec.scalefactors[gr][ch];
    if (info.block_type == 2) {
        const bool mixed = info.mixed_block_flag != 0;
        if (mixed)
            for (int b = 0; b < 8; ++b) putScalefactor(out, sf[b], slen1);
        for (int s = mixed ? 3 : 0; s < 12; ++s)
            for (int w = 0; w < 3; ++w)
                putScalefactor(out, sf[39 + 3 * s + w], s < 6 ? slen1 : slen2);
        return;
    }
    const int groupOf[21] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3};
    for (int b = 0; b < 21; ++b) {
        if (gr == 1 && rec.scfsi[ch][groupOf[b]] != 0) continue;
        putScalefactor(out, sf[b], b < 11 ? slen1 : slen2);
    }
}

// LSF scalefac_compress decoded: four widths, the partition row and the implied preflag.
struct LsfLayout {
    int slen[4];
    int row;
    int preflag;
};

inline LsfLayout lsfLayout(int sfc, bool intensityRight) {
    if (intensityRight) {
        const int i = sfc >> 1;
        if (i < 180) return {{i / 36, (i % 36) / 6, i % 6, 0}, 3, 0};
        if (i < 244) {
            const int t = i - 180;
            return {{t >> 4, (t >> 2) & 3, t & 3, 0}, 4, 0};
        }
        const int t = i - 244;
        return {{t / 3, t % 3, 0, 0}, 5, 0};
    }
    if (sfc < 400) return {{(sfc >> 4) / 5, (sfc >> 4) % 5, (sfc & 15) >> 2, sfc & 3}, 0, 0};
    if (sfc < 500) {
        const int t = sfc - 400;
        return {{(t >> 2) / 5, (t >> 2) % 5, t & 3, 0}, 1, 0};
    }
    const int t = sfc - 500;
    return {{t / 3, t % 3, 0, 0}, 2, 1};
}

// Scalefactors per partition by row, block kind (long, short, mixed) and partition.
inline constexpr int kPartitionSizes[6][3][4] = {
    {{6, 5, 5, 5}, {9, 9, 9, 9}, {6, 9, 9, 9}},
    {{6, 5, 7, 3}, {9, 9, 12, 6}, {6, 9, 12, 6}},
    {{11, 10, 0, 0}, {18, 18, 0, 0}, {15, 18, 0, 0}},
    {{7, 7, 7, 0}, {12, 12, 12, 0}, {6, 15, 12, 0}},
    {{6, 6, 6, 3}, {12, 9, 9, 6}, {6, 12, 9, 6}},
    {{8, 8, 5, 0}, {15, 12, 9, 0}, {6, 18, 9, 0}},
};

inline int blockKind(const l3::GranuleChannelInfo& info) {
    return info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
}

inline bool intensityRight(uint32_t header, int ch) {
    return ch == 1 && ((header >> 4) & 1);
}

inline void refLsfScalefactors(RefBits& out, const l3::FrameRecord& rec, int ch) {
    const l3::GranuleChannelInfo& info = rec.granuleInfo[0][ch];
    const LsfLayout layout = lsfLayout(info.scalefac_compress, intensityRight(rec.header, ch));
    const int* sizes = kPartitionSizes[layout.row][blockKind(info)];
    int index = 0;
    for (int p = 0; p < 4; ++p)
        for (int j = 0; j < sizes[p]; ++j, ++index)
            putScalefactor(out, rec.scalefactors[0][ch][index], layout.slen[p]);
}

// Scalefactors and spectrum of one granule and channel as a decoder expects them.
inline RefBits refGranule(const l3::FrameRecord& rec, int gr, int ch) {
    RefBits out;
    if ((rec.header >> 19) & 1)
        refMpeg1Scalefactors(out, rec, gr, ch);
    else
        refLsfScalefactors(out, rec, ch);
    refSpectrum(out, rec.header, rec.granuleInfo[gr][ch], rec.spectrum[gr][ch]);
    return out;
}

}  // namespace l3test
