// The main data writer: Huffman coding of the spectrum into exactly part2_3_length bits,
// MPEG-1 scalefactors with scfsi reuse, and LSF scalefactor partitions. Expected bits come
// from the stream format's worked examples or from the independent coder in
// reference_coder.h, which reads only code words and lengths from the rebuilt tables.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "l3/band_edges.h"
#include "format/scalefactor_layout.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/saved_region.h"
#include "maindata/spectrum_coder.h"
#include "reference_coder.h"
#include "tables/code_tables.h"

namespace l3 {
namespace {

using l3test::makeHeader;
using l3test::RefBits;

constexpr int kMpeg1 = 3, kMpeg2 = 2, kMpeg25 = 0;
constexpr int kStereo = 0, kJointStereo = 1, kMono = 3;
// Where the tests start writing: well inside the store, byte aligned.
constexpr int32_t kStart = 8 * 20000;

void ensureTables() {
    static const bool built = (codeTables(), true);
    (void)built;
}

std::unique_ptr<MainDataState> newState(uint32_t header) {
    ensureTables();
    auto state = std::make_unique<MainDataState>();
    initBitStore(state->store);
    state->record.header = header;
    state->store.writePos = kStart;
    return state;
}

// The bits at positions from - 1 down to to, in stream order.
std::string streamBits(const BitStore& store, int32_t from, int32_t to) {
    std::string bits;
    for (int32_t p = from - 1; p >= to; --p)
        bits += ((store.storeBytes[p / 8] >> (p % 8)) & 1) ? '1' : '0';
    return bits;
}

std::string codeOf(int table, int index) {
    ensureTables();
    RefBits bits;
    bits.put(codeTables().huffman[table].codes[index], codeTables().huffman[table].lengths[index]);
    return bits.bits;
}

// Codes the spectrum of granule gr, channel ch of the record alone, from kStart down to
// kStart - length, as the main data writers code each granule after its scalefactors.
std::string codeAlone(MainDataState& state, int gr, int ch, int length) {
    state.record.granuleInfo[gr][ch].part2_3_length = length;
    const int32_t endPos = kStart - length;
    saveRegion(state, state.store.writePos, std::min(endPos, state.store.writePos));
    BitWriter w = beginWriting(state.store);
    codeSpectrum(w, state, gr, ch, endPos);
    closeGranule(w, state, endPos);
    restoreRegion(state);
    EXPECT_EQ(state.store.writePos, kStart - length);
    return streamBits(state.store, kStart, kStart - length);
}

GranuleChannelInfo& info(MainDataState& state, int gr = 0, int ch = 0) {
    return state.record.granuleInfo[gr][ch];
}

// ---------------------------------------------------------------------------------------
// LSF scalefac_compress tables

TEST(LsfScalefacTables, SampleEntries) {
    auto state = newState(makeHeader(kMpeg2, 0, kMono));
    const auto& normal = lsfScalefacTables.lsfScalefac;
    const auto& intensity = lsfScalefacTables.lsfScalefacIntensity;
    EXPECT_EQ(normal[0], 0x0000u);
    EXPECT_EQ(normal[1], 0x0200u);
    EXPECT_EQ(normal[16], 0x0008u);
    EXPECT_EQ(normal[80], 0x0001u);
    EXPECT_EQ(normal[399], 0x06E4u);
    EXPECT_EQ(normal[400], 0x1000u);
    EXPECT_EQ(normal[499], 0x10E4u);
    EXPECT_EQ(normal[500], 0xA000u);
    EXPECT_EQ(normal[511], 0xA013u);
    EXPECT_EQ(intensity[0], 0x3000u);
    EXPECT_EQ(intensity[1], 0x3040u);
    EXPECT_EQ(intensity[36], 0x3001u);
    EXPECT_EQ(intensity[179], 0x316Cu);
    EXPECT_EQ(intensity[180], 0x4000u);
    EXPECT_EQ(intensity[243], 0x40DBu);
    EXPECT_EQ(intensity[244], 0x5000u);
    EXPECT_EQ(intensity[255], 0x5013u);
}

TEST(LsfScalefacTables, EveryEntryMatchesTheDecodingRules) {
    auto state = newState(makeHeader(kMpeg2, 0, kMono));
    auto pack = [](const l3test::LsfLayout& l) {
        return uint32_t(l.slen[0] | l.slen[1] << 3 | l.slen[2] << 6 | l.slen[3] << 9 | l.row << 12 |
                        l.preflag << 15);
    };
    for (int k = 0; k < 512; ++k)
        EXPECT_EQ(lsfScalefacTables.lsfScalefac[k], pack(l3test::lsfLayout(k, false))) << k;
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(lsfScalefacTables.lsfScalefacIntensity[i], pack(l3test::lsfLayout(2 * i, true)))
            << i;
}

// ---------------------------------------------------------------------------------------
// Band boundaries and regions

TEST(BandEdges, RowByVersionAndSamplingRate) {
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg1, 0, kStereo)), 0);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg1, 1, kStereo)), 1);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg1, 2, kStereo)), 2);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg2, 0, kStereo)), 3);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg2, 1, kStereo)), 4);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg2, 2, kStereo)), 5);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg25, 0, kStereo)), 6);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg25, 1, kStereo)), 7);
    EXPECT_EQ(bandEdgeRow(makeHeader(kMpeg25, 2, kStereo)), 8);
    EXPECT_EQ(bandEdgeRow(makeHeader(1, 0, kStereo)), 3);  // reserved version code
}

TEST(BandEdges, TableRowsMatchTheBandBoundaries) {
    const int* expected[9] = {l3test::kEdges44, l3test::kEdges48, l3test::kEdges32,
                              l3test::kEdges22, l3test::kEdges24, l3test::kEdges22,
                              l3test::kEdges22, l3test::kEdges22, l3test::kEdges8};
    for (int row = 0; row < 9; ++row)
        for (int k = 0; k < 23; ++k) EXPECT_EQ(longBandEdges[row][k], expected[row][k]) << row;
    EXPECT_EQ(longBandEdges[4][18], 332);  // 24 kHz: band 17 is 54 lines wide, as decoders have it
}

// A spectrum of ones coded with tables 1, 5 and 13 shows in the stream where each region
// starts: a wrong boundary changes the code words.
struct RegionCase {
    uint32_t header;
    int big_values, region0_count, region1_count;
    int region1Start, region2Start;  // from the band boundaries, by hand
};

TEST(Regions, BoundariesFollowTheBandEdgesAndClamp) {
    const RegionCase cases[] = {
        {makeHeader(kMpeg1, 0, kMono), 200, 7, 7, 36, 162},     // E[8], E[16]
        {makeHeader(kMpeg1, 2, kMono), 280, 10, 9, 66, 550},    // E[11], E[21]
        {makeHeader(kMpeg1, 1, kMono), 288, 15, 7, 156, 576},   // index 24 clamps to 22
        {makeHeader(kMpeg1, 0, kMono), 150, 7, 22, 36, 300},    // window switching, long
        {makeHeader(kMpeg2, 0, kMono), 150, 5, 22, 36, 300},    // LSF short blocks: E[6]
        {makeHeader(kMpeg25, 2, kMono), 150, 5, 22, 72, 300},   // 8 kHz: E[6] is 72
        {makeHeader(kMpeg2, 1, kMono), 200, 15, 1, 232, 332},   // E[18] of 24 kHz is 332
        {makeHeader(kMpeg1, 0, kMono), 10, 7, 7, 20, 20},       // bigEnd below region 1
        {makeHeader(kMpeg25, 2, kMono), 287, 20, 1, 574, 574},  // bigEnd 574 at 8 kHz
    };
    for (const RegionCase& c : cases) {
        auto state = newState(c.header);
        GranuleChannelInfo& gi = info(*state);
        gi.big_values = c.big_values;
        gi.region0_count = c.region0_count;
        gi.region1_count = c.region1_count;
        gi.table_select[0] = 1;
        gi.table_select[1] = 5;
        gi.table_select[2] = 13;
        const RegionBounds bounds =
            regionBounds(c.header, c.big_values, c.region0_count, c.region1_count);
        EXPECT_EQ(bounds.start[1], c.region1Start);
        EXPECT_EQ(bounds.start[2], c.region2Start);
        EXPECT_EQ(bounds.start[3], 2 * c.big_values);

        RefBits expected;
        for (int i = 0; i < 2 * c.big_values; i += 2) {
            state->record.spectrum[0][0][i] = 1;
            state->record.spectrum[0][0][i + 1] = -1;
            const int t = i < c.region1Start ? 1 : i < c.region2Start ? 5 : 13;
            l3test::refPair(expected, t, 1, -1);
        }
        EXPECT_EQ(codeAlone(*state, 0, 0, int(expected.bits.size())), expected.bits)
            << "big_values " << c.big_values << " region0_count " << c.region0_count;
    }
}

// ---------------------------------------------------------------------------------------
// Pairs and quadruples

TEST(PairCoding, WorkedExamplesAndEscapes) {
    struct PairCase {
        int table, x, y;
        std::string expected;
    };
    const PairCase cases[] = {
        {1, 1, -1, "00001"},
        {16, 16, -1, codeOf(16, 15 * 16 + 1) + "1" + "0" + "1"},
        {15, 15, 0, codeOf(15, 15 * 16) + "0"},  // no escape without linbits
        {15, -15, 3, codeOf(15, 15 * 16 + 3) + "10"},
        {16, 0, -16, codeOf(16, 15) + "1" + "1"},  // escape 1 in 1 bit, sign 1
        {23, 8206, 15, codeOf(23, 255) + "1111111111111" + "0" + "0000000000000" + "0"},
        {24, -20, 2, codeOf(24, 15 * 16 + 2) + "0101" + "1" + "0"},
        {2, 0, 0, codeOf(2, 0)},  // zeros carry no sign
    };
    for (const PairCase& c : cases) {
        auto state = newState(makeHeader(kMpeg1, 0, kMono));
        GranuleChannelInfo& gi = info(*state);
        gi.big_values = 1;
        gi.region0_count = 7;
        gi.region1_count = 7;
        gi.table_select[0] = c.table;
        state->record.spectrum[0][0][0] = int16_t(c.x);
        state->record.spectrum[0][0][1] = int16_t(c.y);
        EXPECT_EQ(codeAlone(*state, 0, 0, int(c.expected.size())), c.expected)
            << "table " << c.table << " pair " << c.x << "," << c.y;
    }
}

TEST(Count1Coding, WorkedExamples) {
    struct QuadCase {
        int select;
        int v, w, x, y;
        std::string expected;
    };
    const QuadCase cases[] = {
        {0, 0, 1, 0, -1, "00010101"}, {1, 0, 0, 0, 0, "1111"},           {0, 0, 0, 0, 0, "1"},
        {1, 0, 1, 0, -1, "101001"},   {0, -1, -1, -1, -1, "0000011111"},
    };
    for (const QuadCase& c : cases) {
        auto state = newState(makeHeader(kMpeg1, 0, kMono));
        info(*state).count1table_select = c.select;
        int16_t* lines = state->record.spectrum[0][0];
        lines[0] = int16_t(c.v);
        lines[1] = int16_t(c.w);
        lines[2] = int16_t(c.x);
        lines[3] = int16_t(c.y);
        EXPECT_EQ(codeAlone(*state, 0, 0, int(c.expected.size())), c.expected);
    }
}

// ---------------------------------------------------------------------------------------
// The budget: part2_3_length decides how many bits a granule takes

TEST(SpectrumBudget, BigValuesZeroStartsCount1AtLineZero) {
    auto state = newState(makeHeader(kMpeg2, 0, kMono));
    info(*state).table_select[0] = 15;  // nothing to code with it
    int16_t* lines = state->record.spectrum[0][0];
    lines[0] = 1;
    lines[5] = -1;
    lines[11] = 1;
    RefBits expected;
    l3test::refQuad(expected, 0, lines);
    l3test::refQuad(expected, 0, lines + 4);
    l3test::refQuad(expected, 0, lines + 8);
    EXPECT_EQ(codeAlone(*state, 0, 0, int(expected.bits.size())), expected.bits);
}

TEST(SpectrumBudget, RegionWithTableZeroIsSkippedAndCodingResumesAtItsEnd) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.big_values = 30;    // lines 0..59
    gi.region0_count = 3;  // region 1 from line 16
    gi.region1_count = 15;
    gi.table_select[0] = 0;
    gi.table_select[1] = 7;
    int16_t* lines = state->record.spectrum[0][0];
    for (int i = 0; i < 16; ++i) lines[i] = 5;  // not coded: region 0 has table 0
    RefBits expected;
    for (int i = 16; i < 60; i += 2) {
        lines[i] = int16_t(i % 5 - 2);
        lines[i + 1] = int16_t(i % 3);
        l3test::refPair(expected, 7, lines[i], lines[i + 1]);
    }
    lines[60] = -1;
    l3test::refQuad(expected, 0, lines + 60);
    EXPECT_EQ(codeAlone(*state, 0, 0, int(expected.bits.size())), expected.bits);
}

// A spectrum with long code words: the cut lands inside the pair that straddles it.
void fillLoudSpectrum(MainDataState& state, int gr, int ch) {
    GranuleChannelInfo& gi = info(state, gr, ch);
    gi.big_values = 40;
    gi.region0_count = 7;
    gi.region1_count = 7;
    gi.table_select[0] = 24;
    gi.table_select[1] = 24;
    gi.table_select[2] = 9;
    int16_t* lines = state.record.spectrum[gr][ch];
    for (int i = 0; i < 80; ++i) lines[i] = int16_t(i < 36 ? ((i * 37) % 41 - 20) : (i % 7) - 3);
    lines[84] = 1;
}

TEST(SpectrumBudget, CutInsideAPairWritesItWholeAndClearsItsOverrun) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    fillLoudSpectrum(*state, 0, 0);
    const RefBits full = l3test::refGranule(state->record, 0, 0);
    // A cut three bits into a pair whose overrun (at most 24 bits) holds a 1 bit.
    size_t cut = 0;
    for (size_t k = 1; k < full.itemEnds.size() && cut == 0; ++k) {
        const size_t start = full.itemEnds[k - 1], end = full.itemEnds[k];
        if (end - start > 6 && end - start - 3 <= 24 && full.bits.find('1', start + 3) < end)
            cut = start + 3;
    }
    ASSERT_GT(cut, 0u);
    const std::string got = codeAlone(*state, 0, 0, int(cut));
    EXPECT_EQ(got, full.bits.substr(0, cut));
    EXPECT_EQ(streamBits(state->store, kStart - int(cut), kStart - int(cut) - 24),
              std::string(24, '0'));
}

TEST(SpectrumBudget, NextGranuleIsIntactAfterACutGranule) {
    auto state = newState(makeHeader(kMpeg1, 0, kStereo));
    fillLoudSpectrum(*state, 0, 0);
    fillLoudSpectrum(*state, 0, 1);
    info(*state, 0, 1).table_select[0] = 17;  // linbits 2
    for (int i = 0; i < 36; ++i) state->record.spectrum[0][1][i] = int16_t(i % 2 ? 17 : -2);
    const RefBits first = l3test::refGranule(state->record, 0, 0);
    const RefBits second = l3test::refGranule(state->record, 0, 1);
    // Cut the first granule at every bit of one long pair in turn (granule 1 is empty).
    const size_t itemStart = first.itemEnds[3], itemEnd = first.itemEnds[4];
    ASSERT_GT(itemEnd - itemStart, 8u);
    for (size_t cut = itemEnd > itemStart + 24 ? itemEnd - 24 : itemStart + 1; cut < itemEnd;
         ++cut) {
        state->store.storeBytes.fill(0);
        state->store.writePos = kStart;
        info(*state, 0, 0).part2_3_length = int(cut);
        info(*state, 0, 1).part2_3_length = int(second.bits.size());
        writeMainDataMpeg1(*state);
        const int32_t total = int32_t(cut + second.bits.size());
        EXPECT_EQ(state->store.writePos, kStart - total);
        EXPECT_EQ(streamBits(state->store, kStart, kStart - total),
                  first.bits.substr(0, cut) + second.bits)
            << "cut at bit " << cut;
    }
}

// A pair with two 13-bit escapes cut one bit in runs more than 24 bits past the granule's
// end: the clearing removes only 24 of them, and the rest stay, ORed with the next
// granule's bits (here all zeros, so they show).
TEST(SpectrumBudget, OverrunBeyondTheClearedBitsStaysUnderTheNextGranule) {
    auto state = newState(makeHeader(kMpeg1, 0, kStereo));
    for (int ch = 0; ch < 2; ++ch) {
        GranuleChannelInfo& gi = info(*state, 0, ch);
        gi.region0_count = 15;
        gi.region1_count = 7;
    }
    GranuleChannelInfo& loud = info(*state, 0, 0);
    loud.big_values = 1;
    loud.table_select[0] = 31;  // 13 escape bits
    state->record.spectrum[0][0][0] = 5000;
    state->record.spectrum[0][0][1] = -7000;
    GranuleChannelInfo& quiet = info(*state, 0, 1);
    quiet.big_values = 8;
    quiet.table_select[0] = quiet.table_select[1] = quiet.table_select[2] = 1;
    for (int i = 0; i < 16; ++i) state->record.spectrum[0][1][i] = 1;  // (1,1): 00000
    const RefBits first = l3test::refGranule(state->record, 0, 0);
    const RefBits second = l3test::refGranule(state->record, 0, 1);
    ASSERT_EQ(second.bits, std::string(40, '0'));
    ASSERT_GE(first.bits.size(), 30u);
    const size_t cut = 1;
    loud.part2_3_length = int(cut);
    quiet.part2_3_length = int(second.bits.size());
    writeMainDataMpeg1(*state);

    std::string expected = first.bits.substr(0, cut) + second.bits;
    for (size_t j = cut + 24; j < first.bits.size(); ++j)
        if (first.bits[j] == '1') expected[j] = '1';
    ASSERT_NE(expected, first.bits.substr(0, cut) + second.bits) << "no stray bit to see";
    EXPECT_EQ(state->store.writePos, kStart - int32_t(cut + second.bits.size()));
    EXPECT_EQ(streamBits(state->store, kStart, kStart - int32_t(expected.size())), expected);
}

TEST(SpectrumBudget, LongerBudgetCodesFurtherQuadruplesThenOnes) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.big_values = 280;  // quadruples at 560, 564, 568 and 572
    gi.region0_count = 15;
    gi.region1_count = 7;
    gi.table_select[0] = 1;
    gi.table_select[1] = 1;
    gi.table_select[2] = 1;
    gi.count1table_select = 1;
    int16_t* lines = state->record.spectrum[0][0];
    lines[0] = 1;
    lines[573] = 1;
    lines[575] = -1;
    RefBits big;
    l3test::refPair(big, 1, 1, 0);
    for (int i = 2; i < 560; i += 2) l3test::refPair(big, 1, 0, 0);
    const std::string quads =
        "1111"
        "1111"
        "1111"
        "101001";
    const std::string expected = big.bits + quads + "1111111";
    EXPECT_EQ(codeAlone(*state, 0, 0, int(expected.size())), expected);

    // With table A the zero quadruples are one bit each.
    auto stateA = newState(makeHeader(kMpeg1, 0, kMono));
    stateA->record = state->record;
    info(*stateA).count1table_select = 0;
    const std::string expectedA = big.bits +
                                  "1"
                                  "1"
                                  "1"
                                  "00010101" +
                                  "11111";
    EXPECT_EQ(codeAlone(*stateA, 0, 0, int(expectedA.size())), expectedA);
}

TEST(SpectrumBudget, LastQuadrupleIsWrittenWholeAndItsOverrunCleared) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.big_values = 0;
    gi.count1table_select = 1;
    int16_t* lines = state->record.spectrum[0][0];
    lines[4] = -1;
    lines[5] = -1;
    lines[6] = -1;
    lines[7] = -1;
    // "1111" then "00001111": the budget ends after "1111" "000".
    EXPECT_EQ(codeAlone(*state, 0, 0, 7), "1111000");
    EXPECT_EQ(streamBits(state->store, kStart - 7, kStart - 7 - 24), std::string(24, '0'));
}

TEST(SpectrumBudget, BigEnd574LeavesNoQuadrupleAndFillsWithOnes) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.big_values = 287;
    gi.region0_count = 15;  // region 1 from line 162
    gi.region1_count = 2;   // region 2 from line 288
    gi.table_select[0] = 1;
    gi.table_select[1] = 1;
    gi.table_select[2] = 2;
    int16_t* lines = state->record.spectrum[0][0];
    lines[570] = 2;
    lines[574] = -1;  // beyond bigEnd, not coded
    lines[575] = 1;
    RefBits big;
    const l3test::Regions r = l3test::regionsFor(state->record.header, gi);
    ASSERT_EQ(r.region2Start, 288);
    for (int i = 0; i < 574; i += 2)
        l3test::refPair(big, i < r.region2Start ? 1 : 2, lines[i], lines[i + 1]);
    const std::string expected = big.bits + std::string(10, '1');
    EXPECT_EQ(codeAlone(*state, 0, 0, int(expected.size())), expected);
}

TEST(SpectrumBudget, ExactBudgetNeedsNoFillAndClearingTouchesNothingWritten) {
    auto state = newState(makeHeader(kMpeg2, 1, kMono));
    fillLoudSpectrum(*state, 0, 0);
    // Bits already standing below the granule's end must survive only beyond 24 bits.
    const int32_t length = int32_t(l3test::refGranule(state->record, 0, 0).bits.size());
    state->store.storeBytes[(kStart - length) / 8 - 4] = 0xFF;
    const std::string got = codeAlone(*state, 0, 0, length);
    EXPECT_EQ(got, l3test::refGranule(state->record, 0, 0).bits);
    EXPECT_EQ(state->store.storeBytes[(kStart - length) / 8 - 4], 0xFF);
}

// ---------------------------------------------------------------------------------------
// MPEG-1 scalefactors

void fillScalefactors(MainDataState& state, int gr, int ch, int maxValue) {
    for (int k = 0; k < 78; ++k)
        state.record.scalefactors[gr][ch][k] = uint16_t((k * 7 + gr * 3 + ch) % (maxValue + 1));
}

// Sets each granule's part2_3_length to its reference length and returns the whole stream.
std::string setMatchingLengths(MainDataState& state) {
    std::string all;
    const int granules = isMpeg1(state.record.header) ? 2 : 1;
    const int channels = channelCount(state.record.header);
    for (int gr = 0; gr < granules; ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            const RefBits ref = l3test::refGranule(state.record, gr, ch);
            info(state, gr, ch).part2_3_length = int(ref.bits.size());
            all += ref.bits;
        }
    return all;
}

std::string spectrumOnly(const MainDataState& state, int gr, int ch) {
    RefBits bits;
    l3test::refSpectrum(bits, state.record.header, state.record.granuleInfo[gr][ch],
                        state.record.spectrum[gr][ch]);
    return bits.bits;
}

std::string writeFrameMainData(MainDataState& state) {
    if (isMpeg1(state.record.header))
        writeMainDataMpeg1(state);
    else
        writeMainDataLsf(state);
    return streamBits(state.store, kStart, state.store.writePos);
}

TEST(Mpeg1Scalefactors, ScfsiReusesGroupsInGranuleOneOnly) {
    auto state = newState(makeHeader(kMpeg1, 0, kMono));
    for (int gr = 0; gr < 2; ++gr) {
        info(*state, gr).scalefac_compress = 12;  // slen1 3, slen2 2
        fillScalefactors(*state, gr, 0, 3);
        state->record.spectrum[gr][0][1] = -1;
    }
    state->record.scfsi[0][0] = 1;
    state->record.scfsi[0][2] = 1;
    const std::string expected = setMatchingLengths(*state);
    const int spectrumBits = int(spectrumOnly(*state, 1, 0).size());

    // Granule 0: all 21 scalefactors; granule 1: bands 6-10 (3 bits) and 16-20 (2 bits).
    EXPECT_EQ(info(*state, 0).part2_3_length - spectrumBits, 11 * 3 + 10 * 2);
    EXPECT_EQ(info(*state, 1).part2_3_length - spectrumBits, 5 * 3 + 5 * 2);
    RefBits gr1;
    for (int b = 6; b <= 10; ++b) gr1.put(state->record.scalefactors[1][0][b], 3);
    for (int b = 16; b <= 20; ++b) gr1.put(state->record.scalefactors[1][0][b], 2);
    EXPECT_EQ(expected.substr(expected.size() - 25 - spectrumBits, 25), gr1.bits);
    EXPECT_EQ(writeFrameMainData(*state), expected);
}

TEST(Mpeg1Scalefactors, ShortBlocksIgnoreScfsi) {
    auto state = newState(makeHeader(kMpeg1, 1, kMono));
    for (int gr = 0; gr < 2; ++gr) {
        GranuleChannelInfo& gi = info(*state, gr);
        gi.scalefac_compress = 7;  // slen1 1, slen2 3
        gi.window_switching_flag = 1;
        gi.block_type = 2;
        gi.region0_count = 7;
        gi.region1_count = 22;
        fillScalefactors(*state, gr, 0, 1);
    }
    for (int g = 0; g < 4; ++g) state->record.scfsi[0][g] = 1;
    const std::string expected = setMatchingLengths(*state);
    EXPECT_EQ(info(*state, 1).part2_3_length, 18 * 1 + 18 * 3);
    EXPECT_EQ(writeFrameMainData(*state), expected);
}

TEST(Mpeg1Scalefactors, MixedBlockWithCompress15Takes122Bits) {
    auto state = newState(makeHeader(kMpeg1, 2, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.scalefac_compress = 15;
    gi.window_switching_flag = 1;
    gi.block_type = 2;
    gi.mixed_block_flag = 1;
    gi.region0_count = 7;
    gi.region1_count = 22;
    fillScalefactors(*state, 0, 0, 7);
    for (int b = 0; b < 8; ++b) state->record.scalefactors[0][0][b] = uint16_t(15 - b);
    const std::string expected = setMatchingLengths(*state);
    EXPECT_EQ(info(*state, 0).part2_3_length, 122);
    EXPECT_EQ(expected.substr(0, 8), "11111110");  // band 0 is 15, band 1 is 14, 4 bits each
    EXPECT_EQ(writeFrameMainData(*state), expected);
}

TEST(Mpeg1Scalefactors, CompressZeroWritesNoScalefactors) {
    auto state = newState(makeHeader(kMpeg1, 0, kStereo));
    fillScalefactors(*state, 0, 0, 0);
    info(*state, 0, 0).big_values = 1;
    info(*state, 0, 0).table_select[0] = 1;
    state->record.spectrum[0][0][0] = 1;  // table 1: pair (1, 0) is 01, then the sign 0
    state->record.spectrum[0][1][0] = -1;
    state->record.spectrum[1][0][3] = 1;
    const std::string expected = setMatchingLengths(*state);
    EXPECT_EQ(expected.substr(0, 3), "010");
    EXPECT_EQ(writeFrameMainData(*state), expected);
}

TEST(Mpeg1Scalefactors, Part23LengthZeroWritesNothing) {
    auto state = newState(makeHeader(kMpeg1, 0, kStereo));
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) {
            info(*state, gr, ch).scalefac_compress = 13;
            fillScalefactors(*state, gr, ch, 7);
            state->record.spectrum[gr][ch][gr + 2 * ch] = 1;
        }
    setMatchingLengths(*state);
    info(*state, 0, 1).part2_3_length = 0;
    info(*state, 1, 0).part2_3_length = 0;
    const std::string expected =
        l3test::refGranule(state->record, 0, 0).bits + l3test::refGranule(state->record, 1, 1).bits;
    EXPECT_EQ(writeFrameMainData(*state), expected);
    EXPECT_EQ(state->store.writePos, kStart - int32_t(expected.size()));
}

TEST(Mpeg1Scalefactors, ScalefactorsAloneReachTheEnd) {
    auto state = newState(makeHeader(kMpeg1, 0, kStereo));
    for (int ch = 0; ch < 2; ++ch) {
        info(*state, 0, ch).scalefac_compress = 15;  // 11 * 4 + 10 * 3 = 74 bits
        fillScalefactors(*state, 0, ch, 7);
        state->record.spectrum[0][ch][0] = 2;
        info(*state, 0, ch).big_values = 1;
        info(*state, 0, ch).table_select[0] = 2;
    }
    const std::string second = l3test::refGranule(state->record, 0, 1).bits;
    const std::string first = l3test::refGranule(state->record, 0, 0).bits;
    for (int length : {50, 74}) {
        state->store.storeBytes.fill(0);
        state->store.writePos = kStart;
        info(*state, 0, 0).part2_3_length = length;
        info(*state, 0, 1).part2_3_length = int(second.size());
        EXPECT_EQ(writeFrameMainData(*state), first.substr(0, length) + second) << length;
    }
}

// ---------------------------------------------------------------------------------------
// LSF scalefactor partitions

TEST(LsfScalefactors, CompressZeroAndOne) {
    auto state = newState(makeHeader(kMpeg2, 0, kMono));
    for (int k = 0; k < 36; ++k) state->record.scalefactors[0][0][k] = 1;
    state->record.scalefactors[0][0][17] = 0;
    state->record.spectrum[0][0][2] = -1;
    const std::string spectrum = spectrumOnly(*state, 0, 0);
    ASSERT_FALSE(spectrum.empty());
    info(*state).scalefac_compress = 0;
    info(*state).part2_3_length = int(spectrum.size());
    EXPECT_EQ(writeFrameMainData(*state), spectrum);

    // Only partition 3, list entries 16..20, one bit each.
    auto state1 = newState(makeHeader(kMpeg2, 0, kMono));
    state1->record = state->record;
    info(*state1).scalefac_compress = 1;
    info(*state1).part2_3_length = int(5 + spectrum.size());
    EXPECT_EQ(writeFrameMainData(*state1), "10111" + spectrum);
}

TEST(LsfScalefactors, Compress500SetsPreflagAndWritesNoScalefactors) {
    auto state = newState(makeHeader(kMpeg25, 1, kMono));
    info(*state).scalefac_compress = 500;
    info(*state).preflag = 0;
    state->record.scalefactors[0][0][0] = 1;
    state->record.spectrum[0][0][0] = 1;
    info(*state).part2_3_length = int(l3test::refGranule(state->record, 0, 0).bits.size());
    EXPECT_EQ(writeFrameMainData(*state), "01110");  // (1, 0, 0, 0) in table A
    EXPECT_EQ(info(*state).preflag, 1);

    info(*state).scalefac_compress = 0;
    state->store.writePos = kStart;
    state->store.storeBytes.fill(0);
    writeFrameMainData(*state);
    EXPECT_EQ(info(*state).preflag, 0);
}

TEST(LsfScalefactors, IntensityTableOnlyForChannelOneWithTheIntensityBit) {
    for (int modeExtension : {1, 2, 3}) {
        auto state = newState(makeHeader(kMpeg2, 0, kJointStereo, modeExtension));
        for (int ch = 0; ch < 2; ++ch) {
            info(*state, 0, ch).scalefac_compress = 361;  // slen 4, 2, 2, 1 in row 0
            fillScalefactors(*state, 0, ch, 1);
            state->record.spectrum[0][ch][1] = 1;
        }
        const std::string expected = setMatchingLengths(*state);
        const bool intensity = modeExtension & 1;
        const int spectrumBits = int(spectrumOnly(*state, 0, 0).size());
        EXPECT_EQ(info(*state, 0, 0).part2_3_length, 6 * 4 + 5 * 2 + 5 * 2 + 5 * 1 + spectrumBits);
        // Intensity entry 180: row 4 with all widths 0.
        EXPECT_EQ(info(*state, 0, 1).part2_3_length, (intensity ? 0 : 49) + spectrumBits);
        EXPECT_EQ(writeFrameMainData(*state), expected) << "mode_extension " << modeExtension;
    }
}

TEST(LsfScalefactors, EveryPartitionRowAndBlockKind) {
    // scalefac_compress with nonzero widths for rows 0..2, then rows 3..5 on channel 1
    // under intensity stereo.
    const int normal[3] = {125, 431, 504};
    const int intensity[3] = {103, 415, 497};
    for (int kind = 0; kind < 3; ++kind)
        for (int r = 0; r < 3; ++r) {
            auto state = newState(makeHeader(kMpeg2, 2, kJointStereo, 3));
            for (int ch = 0; ch < 2; ++ch) {
                GranuleChannelInfo& gi = info(*state, 0, ch);
                gi.scalefac_compress = ch == 0 ? normal[r] : intensity[r];
                if (kind > 0) {
                    gi.window_switching_flag = 1;
                    gi.block_type = 2;
                    gi.mixed_block_flag = kind == 2;
                    gi.region0_count = 5;
                    gi.region1_count = 22;
                }
                for (int k = 0; k < 78; ++k)
                    state->record.scalefactors[0][ch][k] = uint16_t((k * 5 + ch) % 2);
                state->record.scalefactors[0][ch][36] = 1;  // never part of a list
                state->record.spectrum[0][ch][7] = -1;
            }
            const std::string expected = setMatchingLengths(*state);
            EXPECT_EQ(writeFrameMainData(*state), expected) << "kind " << kind << " row " << r;
        }
}

TEST(LsfScalefactors, MixedBlockRowZeroPartitions6999) {
    auto state = newState(makeHeader(kMpeg2, 0, kMono));
    GranuleChannelInfo& gi = info(*state);
    gi.scalefac_compress = 125;  // slen 1, 2, 3, 1
    gi.window_switching_flag = 1;
    gi.block_type = 2;
    gi.mixed_block_flag = 1;
    gi.region0_count = 5;
    gi.region1_count = 22;
    uint16_t* sf = state->record.scalefactors[0][0];
    for (int k = 0; k < 6; ++k) sf[k] = 1;
    for (int k = 6; k < 15; ++k) sf[k] = 2;
    for (int k = 15; k < 24; ++k) sf[k] = 5;
    for (int k = 24; k < 33; ++k) sf[k] = 0;
    sf[33] = 1;
    const std::string expected = std::string(6, '1') + [] {
        std::string s;
        for (int k = 0; k < 9; ++k) s += "10";
        for (int k = 0; k < 9; ++k) s += "101";
        return s + std::string(9, '0');
    }();  // list entry 33 is not written; the spectrum is empty
    gi.part2_3_length = int(expected.size());
    EXPECT_EQ(writeFrameMainData(*state), expected);
}

TEST(LsfScalefactors, Part23LengthZeroLeavesNoBits) {
    auto state = newState(makeHeader(kMpeg25, 2, kStereo));
    info(*state, 0, 0).scalefac_compress = 1;  // five 1-bit scalefactors beyond the budget
    fillScalefactors(*state, 0, 0, 1);
    state->record.spectrum[0][0][0] = 1;
    info(*state, 0, 1).scalefac_compress = 80;  // row 0, widths 1, 0, 0, 0
    fillScalefactors(*state, 0, 1, 1);
    state->record.spectrum[0][1][3] = -1;
    const std::string second = l3test::refGranule(state->record, 0, 1).bits;
    info(*state, 0, 0).part2_3_length = 0;
    info(*state, 0, 1).part2_3_length = int(second.size());
    EXPECT_EQ(writeFrameMainData(*state), second);
    EXPECT_EQ(state->store.writePos, kStart - int32_t(second.size()));
}

// ---------------------------------------------------------------------------------------
// Whole frames with budgets below, at and above the coded size

TEST(FrameBudget, StreamBitCountAlwaysEqualsPart23Length) {
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const uint32_t headers[] = {makeHeader(kMpeg1, 0, kStereo), makeHeader(kMpeg1, 2, kMono),
                                makeHeader(kMpeg2, 1, kJointStereo, 1),
                                makeHeader(kMpeg25, 2, kStereo)};
    for (int round = 0; round < 200; ++round) {
        const uint32_t header = headers[round % 4];
        auto state = newState(header);
        const bool mpeg1 = isMpeg1(header);
        const int granules = mpeg1 ? 2 : 1, channels = channelCount(header);
        for (int gr = 0; gr < granules; ++gr)
            for (int ch = 0; ch < channels; ++ch) {
                GranuleChannelInfo& gi = info(*state, gr, ch);
                gi.big_values = pick(0, 120);
                gi.region0_count = pick(0, 15);
                gi.region1_count = pick(0, 7);
                gi.table_select[0] = 13;
                gi.table_select[1] = pick(0, 1) ? 7 : 0;
                gi.table_select[2] = 1;
                gi.count1table_select = pick(0, 1);
                gi.scalefac_compress = mpeg1 ? pick(0, 15) : pick(0, 399);
                fillScalefactors(*state, gr, ch, 1);
                int16_t* lines = state->record.spectrum[gr][ch];
                const int bigEnd = 2 * gi.big_values;
                const l3test::Regions r = l3test::regionsFor(header, gi);
                for (int i = 0; i < bigEnd; ++i)
                    lines[i] = int16_t(i < r.region1Start   ? pick(-15, 15)
                                       : i < r.region2Start ? pick(-5, 5)
                                                            : pick(-1, 1));
                for (int i = bigEnd; i < bigEnd + 40 && i < 576; ++i)
                    lines[i] = int16_t(pick(-1, 1));
            }
        std::string expected;
        for (int gr = 0; gr < granules; ++gr)
            for (int ch = 0; ch < channels; ++ch) {
                const RefBits ref = l3test::refGranule(state->record, gr, ch);
                // Budgets below the coded size end at an item boundary or inside an item
                // whose overrun fits the 24 cleared bits; above it the spectrum's zero
                // quadruples and the fill are all 1 bits.
                int length = int(ref.bits.size()) + pick(-60, 60);
                if (length < 0) length = 0;
                // Scalefactors are written whatever the budget: at most 24 bits may run over.
                const int sfBits = int(ref.bits.size() - spectrumOnly(*state, gr, ch).size());
                if (length < sfBits - 24) length = sfBits;
                if (length < int(ref.bits.size())) {
                    for (size_t end : ref.itemEnds)
                        if (end >= size_t(length)) {
                            if (end - length > 24) length = int(end);
                            break;
                        }
                    expected += ref.bits.substr(0, length);
                } else {
                    expected += ref.bits + std::string(length - ref.bits.size(), '1');
                }
                if (mpeg1 && length == 0) continue;
                info(*state, gr, ch).part2_3_length = length;
            }
        ASSERT_EQ(writeFrameMainData(*state), expected) << "round " << round;
    }
}

}  // namespace
}  // namespace l3
