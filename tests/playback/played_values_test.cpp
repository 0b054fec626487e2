// The decoder model: values read as decoders play them, the codings decoders read
// differently found, and the recoder kept from ever writing one. The facts behind the
// model's tables are the decoders' (tests/judges checks edits against them); these tests
// hold the code to the model.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "inspect/side_info_check.h"
#include "maindata/granule_coder.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "playback/played_values.h"
#include "support/record_file.h"
#include "tables/code_tables.h"

namespace {

using l3::FrameRecord;
using l3::GranuleChannelInfo;

// A mono frame of one granule (MPEG-2/2.5) or two (MPEG-1) holding spectrum in granule 0
// (and, for MPEG-1, zeros in granule 1), with the given block layout and zero scalefactors.
FrameRecord monoRecord(uint32_t version, uint32_t samplingIndex, int blockType, bool mixed) {
    FrameRecord rec = l3test::makeRecord(
        l3test::makeHeader(version, version == l3test::kMpeg1 ? 9 : 8, samplingIndex, false, 0,
                           l3test::kSingleChannel),
        false);
    for (int gr = 0; gr < l3::granuleCount(rec.header); ++gr) {
        GranuleChannelInfo& info = rec.granuleInfo[gr][0];
        info.global_gain = 150;
        info.window_switching_flag = blockType != 0;
        info.block_type = blockType;
        info.mixed_block_flag = mixed;
    }
    l3::setPlayedRegions(rec);
    return rec;
}

void randomSpectrum(int16_t* lines, int top, int largest, std::mt19937& rng) {
    std::fill(lines, lines + l3::kSpectrumLines, int16_t{0});
    std::uniform_int_distribution<int> value(-largest, largest);
    for (int i = 0; i < top; ++i) lines[i] = static_cast<int16_t>(value(rng) / (1 + i / 64));
}

// The main data the writer codes from rec, from a byte boundary, with zero bytes after it.
std::vector<uint8_t> codeMainData(const FrameRecord& rec, int32_t* bits = nullptr) {
    auto state = std::make_unique<l3::MainDataState>();
    l3::initBitStore(state->store);
    const int32_t count = l3::writeMainDataAlone(*state, rec);
    std::vector<uint8_t> out(static_cast<size_t>((count + 7) / 8) + 16, 0);
    for (size_t i = 0; i < static_cast<size_t>((count + 7) / 8); ++i)
        out[i] = state->store.storeBytes[static_cast<size_t>(l3::kScratchTopByte) - 1 - i];
    if (count & 7) out[static_cast<size_t>(count / 8)] &= static_cast<uint8_t>(0xFF00 >> (count & 7));
    if (bits) *bits = count;
    return out;
}

// rec's side information with no values, to read main data into.
FrameRecord sideOnly(const FrameRecord& rec) {
    FrameRecord out = rec;
    std::memset(out.scalefactors, 0, sizeof out.scalefactors);
    std::memset(out.spectrum, 0, sizeof out.spectrum);
    return out;
}

// Where decoders disagree on a boundary, the recoder uses one table across it (or keeps
// the big values below it); every granule it codes reads back, under the regions decoders
// use, as the values it was given.
TEST(Recoder, NeverWritesACodingDecodersReadDifferently) {
    const struct {
        const char* name;
        uint32_t version, samplingIndex;
        int blockType;
        bool mixed;
    } layouts[] = {
        {"MPEG-2 22.05 kHz mixed", l3test::kMpeg2, 0, 2, true},
        {"MPEG-2 16 kHz mixed", l3test::kMpeg2, 2, 2, true},
        {"MPEG-2.5 11.025 kHz mixed", l3test::kMpeg25, 0, 2, true},
        {"MPEG-2.5 8 kHz mixed", l3test::kMpeg25, 2, 2, true},
        {"MPEG-2.5 8 kHz short", l3test::kMpeg25, 2, 2, false},
        {"MPEG-2 24 kHz long", l3test::kMpeg2, 1, 0, false},
        {"MPEG-1 44.1 kHz mixed", l3test::kMpeg1, 0, 2, true},
        {"MPEG-1 48 kHz start", l3test::kMpeg1, 1, 1, false},
    };
    std::mt19937 rng(23);
    int twoTables = 0;
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        for (int round = 0; round < 300; ++round) {
            FrameRecord rec = monoRecord(layout.version, layout.samplingIndex, layout.blockType,
                                         layout.mixed);
            // Values that reach the disputed lines (36..108, 330..332) with every magnitude.
            const int top = 20 + static_cast<int>(rng() % 400);
            randomSpectrum(rec.spectrum[0][0], top, 1 + static_cast<int>(rng() % 40), rng);
            rec.granuleInfo[0][0].part2_3_length = 1 << 20;  // no old coding to keep
            l3::recodeFrame(rec);
            const GranuleChannelInfo& info = rec.granuleInfo[0][0];
            ASSERT_LE(info.part2_3_length, 4095);
            EXPECT_FALSE(l3::boundaryDisputed(rec, 0, 0))
                << "tables " << info.table_select[0] << "," << info.table_select[1] << ","
                << info.table_select[2] << " big_values " << info.big_values;
            twoTables += info.table_select[0] != info.table_select[1];

            const std::vector<uint8_t> main = codeMainData(rec);
            FrameRecord back = sideOnly(rec);
            l3::PlayedFrame played;
            ASSERT_EQ(l3::readPlayedValues(main.data(), 0, back, played).why, nullptr);
            EXPECT_EQ(played.any, 0);
            EXPECT_TRUE(std::equal(rec.spectrum[0][0], rec.spectrum[0][0] + l3::kSpectrumLines,
                                   back.spectrum[0][0]));
        }
    }
    EXPECT_GT(twoTables, 300);  // the constraint did not simply forbid a second table
}

// Window-switching granules: a second table across the lines where decoders start region 1
// is disputed exactly where they disagree and the big values reach past the first of them.
TEST(Boundaries, DisputedWhereDecodersPlaceRegionOneApart) {
    const struct {
        const char* name;
        uint32_t version, samplingIndex;
        int blockType;
        bool mixed;
        int bigValues;
        int table0, table1;
        bool disputed;
    } cases[] = {
        {"MPEG-1 mixed", l3test::kMpeg1, 0, 2, true, 100, 13, 15, false},
        {"MPEG-2 short", l3test::kMpeg2, 0, 2, false, 100, 13, 15, false},
        {"MPEG-2 mixed, two tables", l3test::kMpeg2, 0, 2, true, 100, 13, 15, true},
        {"MPEG-2 mixed, one table", l3test::kMpeg2, 0, 2, true, 100, 15, 15, false},
        {"MPEG-2 mixed, big values end at line 36", l3test::kMpeg2, 0, 2, true, 18, 13, 15, false},
        {"MPEG-2 mixed, big values end at line 38", l3test::kMpeg2, 0, 2, true, 19, 13, 15, true},
        {"MPEG-2.5 mixed", l3test::kMpeg25, 1, 2, true, 40, 7, 9, true},
        {"MPEG-2.5 start", l3test::kMpeg25, 1, 1, false, 100, 7, 9, false},
        {"MPEG-2.5 8 kHz mixed, below 64", l3test::kMpeg25, 2, 2, true, 32, 7, 9, false},
        {"MPEG-2.5 8 kHz mixed, past 64", l3test::kMpeg25, 2, 2, true, 33, 7, 9, true},
    };
    for (const auto& c : cases) {
        FrameRecord rec = monoRecord(c.version, c.samplingIndex, c.blockType, c.mixed);
        GranuleChannelInfo& info = rec.granuleInfo[0][0];
        info.big_values = c.bigValues;
        info.table_select[0] = c.table0;
        info.table_select[1] = c.table1;
        EXPECT_EQ(l3::boundaryDisputed(rec, 0, 0), c.disputed) << c.name;
    }
    // Long blocks at 24 kHz: band 17 ends at line 330 in one decoder, 332 in the others.
    FrameRecord rec = monoRecord(l3test::kMpeg2, 1, 0, false);
    GranuleChannelInfo& info = rec.granuleInfo[0][0];
    info.big_values = 200;
    info.region0_count = 17;  // region 1 from the end of band 17
    info.region1_count = 2;
    info.table_select[0] = 13;
    info.table_select[1] = 15;
    info.table_select[2] = 15;
    EXPECT_TRUE(l3::boundaryDisputed(rec, 0, 0));
    info.table_select[1] = 13;
    EXPECT_FALSE(l3::boundaryDisputed(rec, 0, 0));
    info.big_values = 165;  // the big values end at line 330: nothing lies between
    info.table_select[1] = 15;
    EXPECT_FALSE(l3::boundaryDisputed(rec, 0, 0));
}

// The ends of a granule's bits: a last quadruple cut in its code word is dropped by every
// decoder, one cut in its sign bits only by some; bits after line 576 are skipped; big
// values cut off, inside a pair or at a pair's end, do not decode.
TEST(GranuleEnds, NotesAndPlayedValues) {
    std::mt19937 rng(5);
    const l3::HuffmanTable& tableA = l3::codeTables().huffman[l3::kCount1TableA];
    int seen[4] = {};
    for (int round = 0; round < 400; ++round) {
        FrameRecord rec = monoRecord(l3test::kMpeg2, 0, 0, false);
        int16_t* lines = rec.spectrum[0][0];
        // Big values on 0..39, then 0 and +-1 up to line 99 (97 the last nonzero).
        randomSpectrum(lines, 40, 9, rng);
        lines[39] = 5;
        for (int i = 40; i < 100; ++i) lines[i] = static_cast<int16_t>(static_cast<int>(rng() % 3) - 1);
        lines[96] = 1;
        lines[97] = -1;
        lines[98] = lines[99] = 0;
        rec.granuleInfo[0][0].part2_3_length = 1 << 20;
        l3::recodeFrame(rec);
        GranuleChannelInfo& info = rec.granuleInfo[0][0];
        ASSERT_GE(info.big_values, 20);
        ASSERT_LT(info.big_values, 48);
        // The last quadruple, which holds line 97: its code word, then a sign bit per value.
        const int q = 2 * info.big_values + (97 - 2 * info.big_values) / 4 * 4;
        int index = 0, signs = 0;
        for (int k = 0; k < 4; ++k) {
            index = index << 1 | (lines[q + k] != 0);
            signs += lines[q + k] != 0;
        }
        const int code = info.count1table_select ? 4 : tableA.lengths[index];
        const int32_t whole = info.part2_3_length;
        const int cut = 1 + static_cast<int>(rng() % static_cast<unsigned>(code + signs - 1));
        info.part2_3_length = whole - cut;  // the writer cuts the count1 region to fit
        const std::vector<uint8_t> main = codeMainData(rec);
        FrameRecord back = sideOnly(rec);
        l3::PlayedFrame played;
        ASSERT_EQ(l3::readPlayedValues(main.data(), 0, back, played).why, nullptr);
        const bool signsOnly = cut <= signs;
        ++seen[signsOnly];
        EXPECT_EQ(played.notes[0][0], signsOnly ? l3::kQuadDropped | l3::kQuadSignsCut
                                                : l3::kQuadDropped)
            << "cut " << cut << " of " << code << " + " << signs;
        EXPECT_EQ(played.droppedLine[0][0], q);
        EXPECT_TRUE(std::all_of(back.spectrum[0][0] + q, back.spectrum[0][0] + q + 4,
                                [](int16_t v) { return v == 0; }));
        EXPECT_TRUE(std::equal(lines, lines + q, back.spectrum[0][0]));
        // The values as coded come back for a writer that must keep the bits.
        l3::restoreCodedValues(back, played);
        info.part2_3_length = whole;
        const std::vector<uint8_t> again = codeMainData(back);
        EXPECT_TRUE(std::equal(main.begin(), main.begin() + (whole - cut) / 8, again.begin()));

        // Cut the big values at the end of pair 12 of 20, or just after.
        const l3::RegionBounds bounds =
            l3::regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);
        int32_t pairEnd = l3::scalefactorBits(rec, 0, 0);
        for (int p = 0; p < 12; ++p) {
            const int region = 2 * p < bounds.start[1] ? 0 : 2 * p < bounds.start[2] ? 1 : 2;
            const l3::HuffmanTable& t = l3::codeTables().huffman[info.table_select[region]];
            if (t.codes == nullptr) continue;  // table 0 takes no bits
            const int x = std::min<int>(std::abs(lines[2 * p]), 15),
                      y = std::min<int>(std::abs(lines[2 * p + 1]), 15);
            pairEnd += t.lengths[static_cast<size_t>(x * t.yLen + y)] + (x != 0) + (y != 0) +
                       (x == 15 ? t.linbits : 0) + (y == 15 ? t.linbits : 0);
        }
        const int lastRegion = 23 < bounds.start[1] ? 0 : 23 < bounds.start[2] ? 1 : 2;
        if (info.table_select[lastRegion] == 0) continue;  // the cut leaves no coded pair
        for (const int32_t length : {pairEnd, pairEnd + 1}) {
            info.part2_3_length = length;
            FrameRecord cutBack = sideOnly(rec);
            const std::vector<uint8_t> cutMain = codeMainData(rec);
            const l3::MainDataProblem problem =
                l3::readPlayedValues(cutMain.data(), 0, cutBack, played);
            const char* why = problem.why;
            // Cut short by part2_3_length: the bits, not the side information, are at fault.
            if (why) {
                EXPECT_EQ(problem.kind, l3::MainDataFault::coding) << why;
            }
            if (length == pairEnd) {
                EXPECT_STREQ(why, "part2_3_length ends before its last big-value pairs");
                ++seen[2];
            } else if (why) {
                EXPECT_STREQ(why, "part2_3_length ends inside a big-value pair");
                ++seen[3];
            }
        }
    }
    for (int kind = 0; kind < 4; ++kind) EXPECT_GT(seen[kind], 20) << kind;
}

}  // namespace
