// The spectrum search against a plain brute force over every coding choice (big_values,
// region0_count, region1_count, each region's table, the count1 table), on random small
// granules of every rate and block layout and on every granule of real streams: the same
// bits, and a coding whose fields give exactly those bits and that decoders read alike.

#include "maindata/spectrum_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "disassemble/side_info_reader.h"
#include "edit/source_stream.h"
#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "playback/played_values.h"
#include "support/crafted_streams.h"
#include "support/record_file.h"
#include "tables/code_tables.h"

namespace {

namespace fs = std::filesystem;
using l3::GranuleChannelInfo;

constexpr int kNever = 1 << 28;  // twice it still fits an int
constexpr int kPairs = 288;

int magnitude(int v) {
    return v < 0 ? -v : v;
}

// Bits of one pair under table t, code word, signs and escape bits; kNever where t cannot
// code it (tables 4 and 14 code nothing, table 0 only zeros).
int pairBits(int t, int x, int y) {
    if (t == 0) return x == 0 && y == 0 ? 0 : kNever;
    if (t == 4 || t == 14) return kNever;
    const l3::TableShape shape = l3::tableShapes[static_cast<size_t>(t)];
    const int linbits = shape.linbits;
    const int largest = linbits ? 15 + (1 << linbits) - 1 : shape.xLen - 1;
    if (x > largest || y > largest) return kNever;
    const l3::HuffmanTable& codes = l3::codeTables().huffman[static_cast<size_t>(t)];
    const int cx = std::min(x, 15), cy = std::min(y, 15);
    int bits = codes.lengths[cx * codes.yLen + cy] + (x != 0) + (y != 0);
    if (linbits) bits += linbits * ((x >= 15) + (y >= 15));
    return bits;
}

// The brute force: every big_values from the first that holds every value above 1 to 288,
// every region0_count and region1_count (long blocks), the cheapest table of every region
// (the regions' tables do not interact, but where decoders start a window-switching
// region 1 apart the two regions take one table), the cheaper count1 table. Codings that
// put a region boundary at a band edge decoders place apart are not legal.
struct BruteForce {
    uint32_t header;
    GranuleChannelInfo info;
    const int16_t* lines;
    int last = -1, lastBig = -1;
    // Region bits from a start (pair) to every end, by start.
    std::vector<std::vector<int>> fromStart;
    std::vector<int> startIndex;

    BruteForce(uint32_t h, const GranuleChannelInfo& i, const int16_t* l)
        : header(h), info(i), lines(l), startIndex(kPairs + 1, -1) {
        for (int k = 0; k < 576; ++k)
            if (lines[k] != 0) last = k;
        for (int k = 0; k < 576; ++k)
            if (magnitude(lines[k]) > 1) lastBig = k;
        const auto& edges = l3::longBandEdges[static_cast<size_t>(l3::bandEdgeRow(header))];
        for (int e = 0; e < 23; ++e) addStart(edges[static_cast<size_t>(e)] / 2);
    }

    void addStart(int from) {
        if (startIndex[static_cast<size_t>(from)] >= 0) return;
        startIndex[static_cast<size_t>(from)] = static_cast<int>(fromStart.size());
        std::vector<int> bits(kPairs + 1, kNever);
        std::array<int, 32> sums{};
        bits[static_cast<size_t>(from)] = 0;
        for (int to = from + 1; to <= kPairs; ++to) {
            const int x = magnitude(lines[2 * to - 2]), y = magnitude(lines[2 * to - 1]);
            int fewest = kNever;
            for (int t = 0; t < 32; ++t) {
                sums[static_cast<size_t>(t)] = std::min(kNever, sums[static_cast<size_t>(t)] + pairBits(t, x, y));
                fewest = std::min(fewest, sums[static_cast<size_t>(t)]);
            }
            bits[static_cast<size_t>(to)] = fewest;
        }
        fromStart.push_back(std::move(bits));
    }

    int region(int from, int to) const {
        if (from >= to) return 0;
        return fromStart[static_cast<size_t>(startIndex[static_cast<size_t>(from)])][static_cast<size_t>(to)];
    }

    // Count1 bits from line `from` to the end of the last nonzero quadruple, or kNever where
    // a quadruple would start past line 572.
    int count1(int from, int table) const {
        const l3::HuffmanTable& a = l3::codeTables().huffman[l3::kCount1TableA];
        int bits = 0;
        for (int q = from; q <= last; q += 4) {
            if (q > l3::kLastQuadLine) return kNever;
            int index = 0, signs = 0;
            for (int k = 0; k < 4; ++k) {
                const bool nonzero = q + k < 576 && lines[q + k] != 0;
                index = index << 1 | nonzero;
                signs += nonzero;
            }
            bits += (table == 0 ? a.lengths[index] : 4) + signs;
        }
        return bits;
    }

    bool disputed(int edge, int bigValues) const {
        const l3::EdgeLines at = l3::regionEdgeLines(header, edge);
        return at.low < at.high && at.low < 2 * bigValues;
    }

    int fewestBits() const {
        int best = kNever;
        for (int big = (lastBig + 2) / 2; big <= kPairs; ++big) {
            const int tail = std::min(count1(2 * big, 0), count1(2 * big, 1));
            if (tail >= kNever) continue;
            if (info.window_switching_flag) {
                const l3::SwitchingRegions sr = l3::switchingRegions(header, info);
                const l3::RegionBounds b = l3::regionBounds(header, big, sr.region0_count,
                                                            l3::kImplicitRegion1Count);
                const bool apart = sr.low < sr.high && 2 * big > sr.low;
                const int bits = apart ? region(0, big)
                                       : region(0, b.start[1] / 2) +
                                             region(b.start[1] / 2, b.start[2] / 2);
                best = std::min(best, bits + tail);
                continue;
            }
            for (int r0 = 0; r0 < 16; ++r0)
                for (int r1 = 0; r1 < 8; ++r1) {
                    if (disputed(r0 + 1, big) || disputed(std::min(r0 + r1 + 2, 22), big)) continue;
                    const l3::RegionBounds b = l3::regionBounds(header, big, r0, r1);
                    const int bits = region(0, b.start[1] / 2) +
                                     region(b.start[1] / 2, b.start[2] / 2) +
                                     region(b.start[2] / 2, big);
                    best = std::min(best, bits + tail);
                }
        }
        return best;
    }

    // The bits of the coding c, counted plainly; kNever where it does not code the values.
    int codingBits(const l3::SpectrumCoding& c) const {
        if (2 * c.big_values <= lastBig) return kNever;
        const l3::RegionBounds b =
            l3::regionBounds(header, c.big_values, c.region0_count, c.region1_count);
        int bits = 0;
        for (int r = 0; r < 3; ++r)
            for (int p = b.start[r] / 2; p < b.start[r + 1] / 2; ++p)
                bits = std::min(kNever, bits + pairBits(c.table_select[r], magnitude(lines[2 * p]),
                                                        magnitude(lines[2 * p + 1])));
        return std::min(kNever, bits + count1(2 * c.big_values, c.count1table_select));
    }
};

GranuleChannelInfo layoutOf(int blockType, bool mixed) {
    GranuleChannelInfo info{};
    info.window_switching_flag = blockType != 0;
    info.block_type = blockType;
    info.mixed_block_flag = mixed;
    return info;
}

// The search's coding of lines against the brute force: the same bits, and fields that
// give them and that decoders read alike.
void expectFewest(uint32_t header, const GranuleChannelInfo& layout, const int16_t* lines) {
    const l3::SpectrumCoding c = l3::bestSpectrumCoding(header, layout, lines);
    const BruteForce brute(header, layout, lines);
    const int fewest = brute.fewestBits();
    ASSERT_EQ(c.bits, fewest >= kNever ? l3::kNoSpectrumCoding : fewest);
    if (fewest >= kNever) return;
    ASSERT_EQ(brute.codingBits(c), c.bits)
        << "big_values " << c.big_values << " regions " << c.region0_count << "/"
        << c.region1_count << " tables " << c.table_select[0] << "," << c.table_select[1] << ","
        << c.table_select[2];
    l3::FrameRecord rec{};
    rec.header = header;
    GranuleChannelInfo& info = rec.granuleInfo[0][0];
    info = layout;
    info.big_values = c.big_values;
    info.region0_count = c.region0_count;
    info.region1_count = c.region1_count;
    std::copy(c.table_select, c.table_select + 3, info.table_select);
    if (info.window_switching_flag) l3::setPlayedRegions(rec);
    EXPECT_FALSE(l3::boundaryDisputed(rec, 0, 0));
}

struct Layout {
    const char* name;
    uint32_t version, samplingIndex;
    int blockType;
    bool mixed;
};

constexpr Layout kLayouts[] = {
    {"MPEG-1 44.1 kHz long", l3test::kMpeg1, 0, 0, false},
    {"MPEG-1 48 kHz start", l3test::kMpeg1, 1, 1, false},
    {"MPEG-1 32 kHz short", l3test::kMpeg1, 2, 2, false},
    {"MPEG-1 44.1 kHz mixed", l3test::kMpeg1, 0, 2, true},
    {"MPEG-1 48 kHz stop", l3test::kMpeg1, 1, 3, false},
    {"MPEG-2 22.05 kHz long", l3test::kMpeg2, 0, 0, false},
    {"MPEG-2 24 kHz long", l3test::kMpeg2, 1, 0, false},
    {"MPEG-2 16 kHz mixed", l3test::kMpeg2, 2, 2, true},
    {"MPEG-2 22.05 kHz short", l3test::kMpeg2, 0, 2, false},
    {"MPEG-2.5 11.025 kHz mixed", l3test::kMpeg25, 0, 2, true},
    {"MPEG-2.5 8 kHz long", l3test::kMpeg25, 2, 0, false},
    {"MPEG-2.5 8 kHz mixed", l3test::kMpeg25, 2, 2, true},
    {"MPEG-2.5 12 kHz start", l3test::kMpeg25, 1, 1, false},
};

// expectFewest on `rounds` granules of every layout, their lines drawn by fill.
template <typename Fill>
void expectFewestOnRandomGranules(uint32_t seed, int rounds, Fill fill) {
    std::mt19937 rng(seed);
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        const uint32_t header = l3test::makeHeader(layout.version, 8, layout.samplingIndex);
        const GranuleChannelInfo info = layoutOf(layout.blockType, layout.mixed);
        for (int round = 0; round < rounds; ++round) {
            std::array<int16_t, 576> lines{};
            fill(rng, lines);
            ASSERT_NO_FATAL_FAILURE(expectFewest(header, info, lines.data())) << "round " << round;
        }
    }
}

int16_t withSign(std::mt19937& rng, int v) {
    return static_cast<int16_t>(rng() % 2 ? v : -v);
}

// Small granules: the brute force stays quick, and every choice still matters (regions of
// one band, count1 runs, escapes, values that only a few tables hold).
TEST(SpectrumSearch, FindsTheFewestBitsOfRandomSmallGranules) {
    expectFewestOnRandomGranules(7, 400, [](std::mt19937& rng, std::array<int16_t, 576>& lines) {
        const int top = 4 + static_cast<int>(rng() % 120);    // lines with values
        const int big = static_cast<int>(rng() % (top + 1));  // of them values above 1 may
        const int loud = std::array<int, 5>{2, 4, 9, 16, 60}[rng() % 5];
        for (int i = 0; i < top; ++i) {
            const int kind = static_cast<int>(rng() % 8);
            int v = kind < 3 ? 0 : kind < 6 ? 1 : 1 + static_cast<int>(rng() % loud);
            if (i >= big) v = std::min(v, 1);
            if (rng() % 40 == 0) v = 15 + static_cast<int>(rng() % 300);  // escapes
            lines[static_cast<size_t>(i)] = withSign(rng, v);
        }
        if (rng() % 16 == 0) lines[rng() % 576] = 1;  // a lone count1 value far up
    });
}

// Granules at the top of the spectrum: the last quadruples, region 2 and the long edges
// decoders place apart (24 kHz, line 330).
TEST(SpectrumSearch, FindsTheFewestBitsAtTheTopOfTheSpectrum) {
    expectFewestOnRandomGranules(11, 40, [](std::mt19937& rng, std::array<int16_t, 576>& lines) {
        for (int i = static_cast<int>(rng() % 560); i < 576; ++i) {
            const int kind = static_cast<int>(rng() % 6);
            lines[static_cast<size_t>(i)] =
                withSign(rng, kind < 2 ? 0 : kind < 4 ? 1 : static_cast<int>(rng() % 12));
        }
    });
}

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every granule of a stream, as decoders play it, through expectFewest.
void expectFewestInStream(const std::vector<uint8_t>& bytes) {
    l3::SourceStream src;
    l3::SourceProblem problem;
    ASSERT_TRUE(l3::readSource(bytes.data(), bytes.size(), l3::SourcePass::layout, 1, src, problem))
        << problem.message;
    auto rec = std::make_unique<l3::FrameRecord>();
    int granules = 0;
    for (const l3::SourceFrame& f : src.frames) {
        if (f.undecodable) continue;
        l3::readSideInfo(bytes.data() + f.offset, *rec);
        l3::setPlayedRegions(*rec);
        l3::PlayedFrame played;
        ASSERT_EQ(l3::readPlayedValues(src.mainData.data(), f.mainStart, *rec, played).why, nullptr);
        for (int gr = 0; gr < l3::granuleCount(rec->header); ++gr)
            for (int ch = 0; ch < l3::channelCount(rec->header); ++ch, ++granules)
                ASSERT_NO_FATAL_FAILURE(
                    expectFewest(rec->header, rec->granuleInfo[gr][ch], rec->spectrum[gr][ch]))
                    << "frame at " << f.offset << " granule " << gr << " channel " << ch;
    }
    EXPECT_GT(granules, 0);
}

TEST(SpectrumSearch, FindsTheFewestBitsOfEveryGranuleOfLameStreams) {
    for (const char* name :
         {"m1_44k_joint_cbr128.mp3", "m1_44k_joint_vbr5_notag.mp3", "m1_48k_stereo_cbr320_crc.mp3",
          "m1_32k_mono_cbr32.mp3", "m2_22k_joint_vbr5.mp3", "m2_24k_stereo_cbr160_crc.mp3",
          "m2_16k_mono_cbr8.mp3", "m25_11k_joint_cbr32_crc_notag.mp3",
          "m25_12k_stereo_clicks_vbr0.mp3", "m25_8k_mono_cbr8.mp3"}) {
        SCOPED_TRACE(name);
        expectFewestInStream(readFile(fs::path(TEST_DATA_DIR) / "lame" / name));
    }
}

// Short, mixed, start and stop blocks of every kind of rate, with values across the lines
// where decoders start region 1.
TEST(SpectrumSearch, FindsTheFewestBitsOfCraftedWindowSwitchingGranules) {
    using l3test::crafted::SwitchingKind;
    for (const int rate : {44100, 22050, 24000, 11025, 8000})
        for (const SwitchingKind kind : {SwitchingKind::kStart, SwitchingKind::kShort,
                                         SwitchingKind::kMixed, SwitchingKind::kStop}) {
            SCOPED_TRACE(rate);
            SCOPED_TRACE(static_cast<int>(kind));
            expectFewestInStream(l3test::crafted::switchingBoundary(rate, kind, 3).plain);
        }
}

}  // namespace
