#include "disassemble/main_data_reader.h"

#include <array>
#include <bit>
#include <cstring>

#include "bits/bit_reader.h"
#include "disassemble/huffman_decoder.h"
#include "format/byte_order.h"
#include "l3/band_edges.h"
#include "format/scalefactor_layout.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

// More pairs than a granule has lines.
constexpr MainDataProblem kBigValuesTooLarge{MainDataFault::sideInfo, "big_values above 288"};

inline uint16_t readScalefactor(BitReader& r, int width) {
    return static_cast<uint16_t>(width > 0 ? readBits(r, width) : 0);
}

void readShortScalefactors(BitReader& r, uint16_t* sf, int first, int slen1, int slen2) {
    for (int s = first; s < 12; ++s)
        for (int w = 0; w < 3; ++w)
            sf[kShortBase + 3 * s + w] = readScalefactor(r, s < 6 ? slen1 : slen2);
}

void readMpeg1Scalefactors(BitReader& r, FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int slen1 = mpeg1Slen[0][info.scalefac_compress];
    const int slen2 = mpeg1Slen[1][info.scalefac_compress];
    uint16_t* sf = rec.scalefactors[gr][ch];
    if (info.block_type == 2 && info.mixed_block_flag == 0) {
        readShortScalefactors(r, sf, 0, slen1, slen2);
    } else if (info.block_type == 2) {
        for (int b = 0; b < 8; ++b) sf[b] = readScalefactor(r, slen1);
        readShortScalefactors(r, sf, 3, slen1, slen2);
    } else {
        for (int group = 0; group < 4; ++group) {
            const bool reused = gr == 1 && rec.scfsi[ch][group] != 0;
            for (int b = scfsiGroupStart[group]; b < scfsiGroupStart[group + 1]; ++b)
                sf[b] = reused ? rec.scalefactors[0][ch][b]  // not in the stream; for meaning
                               : readScalefactor(r, b < 11 ? slen1 : slen2);
        }
    }
}

void readLsfScalefactors(BitReader& r, FrameRecord& rec, int ch) {
    GranuleChannelInfo& info = rec.granuleInfo[0][ch];
    const uint32_t entry = lsfScalefacEntry(rec.header, ch, info.scalefac_compress);
    info.preflag = impliedPreflag(entry);
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
    uint16_t* sf = rec.scalefactors[0][ch];
    int index = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        for (int j = 0; j < counts[p]; ++j) sf[index + j] = readScalefactor(r, width);
        index += counts[p];
    }
}

// The spectrum bits of one granule and channel, copied into a buffer of their own with
// zeros after the granule's end, so that any read takes one word load: 57 bits from pos,
// enough for a code word (19), two escapes (13 each) and two signs.
constexpr int kGranuleBytes = 4095 / 8 + 2;
constexpr int kGranulePadBytes = 16;

// A code word and, for each of the pair, escape bits and a sign.
constexpr int kMostBitsPerPair = 19 + 2 * (13 + 1);

struct GranuleBits {
    uint8_t bytes[kGranuleBytes + kGranulePadBytes];
    int64_t pos;  // next bit to read
    int64_t end;  // first bit past the granule
};

void loadGranuleBits(GranuleBits& g, const BitReader& r) {
    const int64_t first = r.pos >> 3;
    const size_t count = static_cast<size_t>(((r.end + 7) >> 3) - first);
    std::memcpy(g.bytes, r.bytes + first, count);
    std::memset(g.bytes + count, 0, sizeof g.bytes - count);
    g.pos = r.pos & 7;
    g.end = r.end - 8 * first;
    if (g.end & 7) g.bytes[g.end >> 3] &= static_cast<uint8_t>(0xFF00 >> (g.end & 7));
}

// The bits from g.pos on, the first in the most significant place; 57 of them are valid.
inline uint64_t window(const GranuleBits& g) {
    const uint64_t word = loadBe64(g.bytes + (g.pos >> 3));
    return word << (g.pos & 7);
}

// The two lines of a big-value pair's fields (x in bits 0-4, y in bits 5-9, each a 5-bit
// two's complement number), as they lie in memory: one load and one store a pair.
struct PairLanes {
    std::array<uint32_t, 1024> lanes;
    constexpr PairLanes() : lanes() {
        for (int f = 0; f < 1024; ++f) {
            const auto value = [&](int at) {
                const int v = (f >> at) & 31;
                return static_cast<uint16_t>(v >= 16 ? v - 32 : v);
            };
            if constexpr (std::endian::native == std::endian::little)
                lanes[f] = value(0) | uint32_t{value(5)} << 16;
            else
                lanes[f] = uint32_t{value(0)} << 16 | value(5);
        }
    }
    const uint32_t& operator[](uint32_t f) const { return lanes[f]; }
};
constexpr PairLanes kPairLanes;

// The four lines of a quadruple's value fields (two bits each, 1 for +1, 3 for -1), as
// they lie in memory.
struct QuadLanes {
    std::array<uint64_t, 256> lanes;
    constexpr QuadLanes() : lanes() {
        for (int f = 0; f < 256; ++f) {
            uint64_t word = 0;
            for (int k = 0; k < 4; ++k) {
                const int field = (f >> (2 * k)) & 3;
                const uint16_t v = field == 3 ? 0xFFFF : static_cast<uint16_t>(field);
                if constexpr (std::endian::native == std::endian::little)
                    word |= uint64_t{v} << (16 * k);
                else
                    word |= uint64_t{v} << (16 * (3 - k));
            }
            lanes[f] = word;
        }
    }
    const uint64_t& operator[](uint32_t f) const { return lanes[f]; }
};
constexpr QuadLanes kQuadLanes;

inline int lookUp(const DecodeTable& table, uint64_t bits) {
    LookupEntry e = table.primary[bits >> (64 - kPrimaryBits)];
    if (e.subBits != 0) e = table.secondary[e.value + ((bits << kPrimaryBits) >> (64 - e.subBits))];
    return e.length == 0 ? -1 : (e.value | e.length << 16);
}

// One big value after its code word: the code gave min(|v|, 15); escape bits and a sign
// follow, taken from the front of bits.
inline int16_t finishValue(uint64_t& bits, int& used, int magnitude, int linbits) {
    if (magnitude == 15 && linbits > 0) {
        magnitude += static_cast<int>(bits >> (64 - linbits));
        bits <<= linbits;
        used += linbits;
    }
    if (magnitude == 0) return 0;
    const bool negative = (bits >> 63) != 0;
    bits <<= 1;
    ++used;
    return static_cast<int16_t>(negative ? -magnitude : magnitude);
}

// How readSpectrum's granule ended (GranuleEnd bits) and the first line of its last quadruple.
struct SpectrumEnd {
    uint8_t end = kEndedWithin;
    int16_t lastQuad = -1;
};

MainDataProblem readSpectrum(BitReader& r, const FrameRecord& rec, int gr, int ch, int16_t* lines,
                             SpectrumEnd* report) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (info.big_values > kMaxBigValues) return kBigValuesTooLarge;
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);
    // A granule with bits names a code table for every region with lines, as the writer
    // requires, even for the regions its bits run out before.
    if (info.part2_3_length != 0)
        for (int region = 0; region < 3; ++region) {
            const int t = info.table_select[region];
            if (t != 0 && bounds.start[region] < bounds.start[region + 1] && !hasDecodeTree(t))
                return {MainDataFault::sideInfo, "a region coded with table 4 or 14"};
        }
    if (r.pos >= r.end) {  // the scalefactors took every bit
        if (report)
            for (int region = 0; region < 3; ++region)
                if (info.table_select[region] != 0 && bounds.start[region] < bounds.start[region + 1])
                    report->end |= kPairsLeft;
        return {};
    }
    GranuleBits g;
    loadGranuleBits(g, r);
    const int64_t shift = r.pos - g.pos;  // g's positions plus shift are r's
    const char* why = nullptr;
    // The big-value pairs ran past the granule's end, or it ended before the last of them.
    bool pairsCut = false;

    for (int region = 0; region < 3 && !why; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;
        const int start = bounds.start[region], end = bounds.start[region + 1];
        if (start >= end) continue;
        if (g.pos >= g.end) {
            pairsCut = true;
            continue;
        }
        const int linbits = codeTables().huffman[t].linbits;
        const DecodeTable& lookup = decodeTable(t);
        // The bits from g.pos on stay in a register, reloaded when fewer than a lookup
        // takes remain valid (and, for a pair of the general path, fewer than it can take).
        uint64_t ahead = window(g);
        int valid = 64 - static_cast<int>(g.pos & 7);
        int i = start;
        while (i < end && g.pos < g.end) {
            // Far from the region's and the granule's end, a lookup's second pair always
            // counts when it is there: no check but the entry's.
            while (i + 4 <= end && g.end - g.pos > kTwiceBits) {
                if (valid < kTwiceBits) {
                    ahead = window(g);
                    valid = 64 - static_cast<int>(g.pos & 7);
                }
                const uint32_t e = lookup.twice[ahead >> (64 - kTwiceBits)];
                if ((e & 15) == 0) break;
                std::memcpy(lines + i, &kPairLanes[(e >> 8) & 1023], 4);
                std::memcpy(lines + i + 2, &kPairLanes[(e >> 18) & 1023], 4);
                const int used = static_cast<int>(e >> 28);
                ahead <<= used;
                valid -= used;
                g.pos += used;
                i += (e & 0xF0) != 0 ? 4 : 2;
            }
            if (i >= end || g.pos >= g.end) break;
            if (valid < kTwiceBits) {
                ahead = window(g);
                valid = 64 - static_cast<int>(g.pos & 7);
            }
            const uint32_t e = lookup.twice[ahead >> (64 - kTwiceBits)];
            if (const int first = static_cast<int>(e & 15)) {
                // Two pairs when a second one is whole within the bits, the region and
                // the granule; else the second pair's lines are written over next (or
                // cleared below).
                std::memcpy(lines + i, &kPairLanes[(e >> 8) & 1023], 4);
                const int second = static_cast<int>((e >> 4) & 15);
                const bool room = i + 4 <= end;
                if (room) std::memcpy(lines + i + 2, &kPairLanes[(e >> 18) & 1023], 4);
                // Whether the second pair counts, without a branch: it often does, often not.
                const int both = (second != 0) & room & (g.pos + first < g.end);
                const int used = first + (second & -both);
                ahead <<= used;
                valid -= used;
                g.pos += used;
                i += 2 + 2 * both;
                continue;
            }
            if (valid < kMostBitsPerPair) {
                ahead = window(g);
                valid = 64 - static_cast<int>(g.pos & 7);
            }
            const int entry = lookUp(lookup, ahead);
            if (entry < 0) {
                why = "a code word that does not decode";
                break;
            }
            int used = entry >> 16;
            uint64_t bits = ahead << used;
            const uint16_t pair = lookup.pair[entry & 0xFFFF];
            lines[i] = finishValue(bits, used, pair >> 8, linbits);
            lines[i + 1] = finishValue(bits, used, pair & 0xFF, linbits);
            g.pos += used;
            ahead = bits;
            valid -= used;
            i += 2;
        }
        // The granule ended: a second pair decoded after the last one is not its own.
        if (i < end) {
            lines[i] = lines[i + 1] = 0;
            pairsCut = true;
        }
    }

    const bool pairsPast = g.pos > g.end;
    const DecodeTable& quadTable =
        decodeTable(info.count1table_select ? kCount1TableB : kCount1TableA);
    uint64_t ahead = window(g);
    int valid = 64 - static_cast<int>(g.pos & 7);
    int i = bounds.start[3];
    while (!why && g.pos < g.end) {
        if (i > kLastQuadLine) {
            // Past the last whole quadruple the coder fills the budget with 1 bits.
            for (; g.pos < g.end; ++g.pos)
                if (!((g.bytes[g.pos >> 3] >> (7 - (g.pos & 7))) & 1)) {
                    if (report) {
                        report->end |= kBitsAfterLastLine;
                        g.pos = g.end;
                    } else {
                        why = "bits after line 575 that are not all 1";
                    }
                    break;
                }
            break;
        }
        if (valid < kTwiceBits) {
            ahead = window(g);
            valid = 64 - static_cast<int>(g.pos & 7);
        }
        const uint32_t e = quadTable.twice[ahead >> (64 - kTwiceBits)];
        if (const int first = static_cast<int>(e & 15)) {
            std::memcpy(lines + i, &kQuadLanes[(e >> 8) & 0xFF], 8);
            const bool room = i + 4 <= kLastQuadLine;
            if (room) std::memcpy(lines + i + 4, &kQuadLanes[(e >> 16) & 0xFF], 8);
            const int second = static_cast<int>((e >> 4) & 15);
            const int both = (second != 0) & room & (g.pos + first < g.end);
            const int used = first + (second & -both);
            ahead <<= used;
            valid -= used;
            g.pos += used;
            i += 4 + 4 * both;
            continue;
        }
        const int entry = lookUp(quadTable, ahead);
        if (entry < 0) {
            why = "a count1 code word that does not decode";
            break;
        }
        int used = entry >> 16;
        uint64_t bits = ahead << used;
        const int q = entry & 0xFFFF;
        for (int k = 0; k < 4; ++k) {
            const int magnitude = (q >> (3 - k)) & 1;
            lines[i + k] = static_cast<int16_t>(magnitude);
            if (magnitude == 0) continue;
            if (bits >> 63) lines[i + k] = -1;
            bits <<= 1;
            ++used;
        }
        g.pos += used;
        ahead = bits;
        valid -= used;
        i += 4;
    }
    // A second quadruple decoded from the zeros after the granule is not its own.
    if (i <= kLastQuadLine) std::memset(lines + i, 0, 8);
    if (report && pairsPast) {
        report->end |= kPairsPastEnd;
    } else if (report && pairsCut) {
        report->end |= kPairsLeft;
    } else if (report && g.pos > g.end) {
        // Its sign bits come last: the code word ends before them.
        report->end |= kQuadPastEnd;
        report->lastQuad = static_cast<int16_t>(i - 4);
        int signs = 0;
        for (int k = 0; k < 4; ++k) signs += lines[i - 4 + k] != 0;
        if (g.pos - signs <= g.end) report->end |= kQuadSignsPastEnd;
    }
    r.pos = g.pos + shift;
    if (why) return {MainDataFault::coding, why};
    return {};
}

}  // namespace

MainDataProblem readMainData(const uint8_t* stream, int64_t mainStart, FrameRecord& rec,
                             bool* overrun, MainDataEnds* ends) {
    if (ends) *ends = {};
    bool past = false;
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = granuleCount(rec.header);
    int64_t pos = mainStart;
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
            // An MPEG-1 granule of length 0 codes nothing at all; its big_values must still
            // be one the writer accepts.
            if (rec.granuleInfo[gr][ch].big_values > kMaxBigValues) return kBigValuesTooLarge;
            if (mpeg1 && length == 0) continue;
            BitReader r{stream, pos, pos + length};
            if (mpeg1)
                readMpeg1Scalefactors(r, rec, gr, ch);
            else
                readLsfScalefactors(r, rec, ch);
            if (ends && r.pos > r.end) ends->end[gr][ch] |= kScalefactorsPastEnd;
            SpectrumEnd spectrumEnd;
            if (const MainDataProblem problem = readSpectrum(r, rec, gr, ch, rec.spectrum[gr][ch],
                                                             ends ? &spectrumEnd : nullptr))
                return problem;
            if (ends) {
                ends->end[gr][ch] |= spectrumEnd.end;
                ends->lastQuad[gr][ch] = spectrumEnd.lastQuad;
            }
            past |= r.pos != r.end;
            pos += length;
        }
    }
    if (overrun) *overrun = past;
    return {};
}

}  // namespace l3
