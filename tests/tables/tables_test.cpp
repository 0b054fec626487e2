// Range decoder, code tree reading, the rebuilt Huffman tables and the count1 quadruple
// tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tables/code_tables.h"
#include "tables/code_tree.h"
#include "tables/quad_tables.h"
#include "tables/range_decoder.h"
#include "tables/table_description.h"

namespace l3 {
namespace {

// Value of a code written as a string of bits, first bit first.
uint32_t bitsOf(std::string_view bits) {
    uint32_t value = 0;
    for (char bit : bits) value = value << 1 | (bit == '1');
    return value;
}

long bytesRead(const RangeCoder& coder, const uint8_t* input) {
    return coder.cursor - input;
}

// ---------------------------------------------------------------------------------------
// Range decoder

TEST(RangeDecoder, StartIgnoresFirstByteAndLoadsNextFour) {
    const std::array<uint8_t, 6> input = {0xFF, 0x12, 0x34, 0x56, 0x78, 0x9A};
    RangeCoder coder;
    start(coder, input.data());
    EXPECT_EQ(coder.range, 0xFFFFFFFFu);
    EXPECT_EQ(coder.code, 0x12345678u);
    EXPECT_EQ(bytesRead(coder, input.data()), 5);

    start(coder, tableDescription.data());
    EXPECT_EQ(coder.range, 0xFFFFFFFFu);
    EXPECT_EQ(coder.code, 0x062B9A70u);
    EXPECT_EQ(bytesRead(coder, tableDescription.data()), 5);
}

TEST(RangeDecoder, FirstDecisionsOfTheDescription) {
    struct Step {
        uint32_t p;
        int decision;
        uint32_t rangeAfter;
        uint32_t codeAfter;
    };
    // The first table's root, two inner nodes, a forced leaf and its symbol bits.
    const std::array<Step, 5> steps = {{
        {14043, 0, 0x6DB5C925, 0x062B9A70},
        {10922, 0, 0x2491430E, 0x062B9A70},
        {6553, 0, 0x07500752, 0x062B9A70},
        {0, 1, 0x07500752, 0x062B9A70},
        {16384, 1, 0x03A80752, 0x02839A70},
    }};
    RangeCoder coder;
    start(coder, tableDescription.data());
    for (const Step& step : steps) {
        SCOPED_TRACE(step.p);
        EXPECT_EQ(decodeBit(coder, step.p), step.decision);
        EXPECT_EQ(coder.range, step.rangeAfter);
        EXPECT_EQ(coder.code, step.codeAfter);
        EXPECT_EQ(bytesRead(coder, tableDescription.data()), 5);
    }
    decodeBit(coder, kProbabilityHalf);
    decodeBit(coder, 0);
    EXPECT_EQ(coder.range, 0x01D40752u);
    EXPECT_EQ(bytesRead(coder, tableDescription.data()), 5);

    // The eighth decision is the first to narrow the interval below 2^24.
    EXPECT_EQ(decodeBit(coder, kProbabilityHalf), 0);
    EXPECT_EQ(coder.range, 0xEA000000u);
    EXPECT_EQ(coder.code, 0xAF9A702Du);
    EXPECT_EQ(bytesRead(coder, tableDescription.data()), 6);
}

TEST(RangeDecoder, ZeroProbabilityDecidesOneWithoutInput) {
    const std::array<uint8_t, 4> input = {0xAB, 0xCD, 0xEF, 0x01};
    for (uint32_t range : {0x01000000u, 0x0FFFFFFFu, 0xFFFFFFFFu}) {
        RangeCoder coder = {range, 0, input.data()};
        EXPECT_EQ(decodeBit(coder, 0), 1);
        EXPECT_EQ(coder.range, range);
        EXPECT_EQ(coder.code, 0u);
        EXPECT_EQ(coder.cursor, input.data());
    }
}

// Just above 2^28 the wide split (range >> 15) * p applies; just below, the narrow split
// ((range >> 11) * p) >> 4. Each code sits between the two candidate bounds, so the
// decision shows which split was taken.
TEST(RangeDecoder, SplitFormFollowsTheWidth) {
    const std::array<uint8_t, 4> input = {};
    RangeCoder wide = {0x10007800, 0x08000000, input.data()};
    EXPECT_EQ(decodeBit(wide, kProbabilityHalf), 1);  // narrow bound would be 0x08003C00
    EXPECT_EQ(wide.range, 0x10007800u - 0x08000000u);

    RangeCoder narrow = {0x0FFFFFFF, 0x07FFC000, input.data()};
    EXPECT_EQ(decodeBit(narrow, kProbabilityHalf), 0);  // wide bound would be 0x07FFC000
    EXPECT_EQ(narrow.range, 0x07FFFC00u);

    // Both forms agree at exactly 2^28.
    RangeCoder edge = {0x10000000, 0, input.data()};
    EXPECT_EQ(decodeBit(edge, 12345), 0);
    EXPECT_EQ(edge.range, 0x2000u * 12345u);
}

TEST(RangeDecoder, RenormalisesOneByteAtATimeBelowTwoToThe24) {
    const std::array<uint8_t, 4> input = {0x11, 0x22, 0x33, 0x44};

    // A decision 1 that leaves exactly 2^24 reads nothing.
    RangeCoder exact = {0x02000000, 0x01000005, input.data()};
    EXPECT_EQ(decodeBit(exact, kProbabilityHalf), 1);
    EXPECT_EQ(exact.range, 0x01000000u);
    EXPECT_EQ(exact.code, 0x5u);
    EXPECT_EQ(exact.cursor, input.data());

    // One that leaves 2^24 - 1 reads one byte.
    RangeCoder below = {0x01FFFBFF, 0x00FFFC05, input.data()};
    EXPECT_EQ(decodeBit(below, kProbabilityHalf), 1);
    EXPECT_EQ(below.range, 0xFFFFFF00u);
    EXPECT_EQ(below.code, 0x511u);
    EXPECT_EQ(below.cursor, input.data() + 1);

    // A very unlikely 0 shrinks the interval to 0x200 and takes two bytes to widen again.
    RangeCoder narrow = {0x01000000, 0x1FF, input.data()};
    EXPECT_EQ(decodeBit(narrow, 1), 0);
    EXPECT_EQ(narrow.range, 0x02000000u);
    EXPECT_EQ(narrow.code, 0x01FF1122u);
    EXPECT_EQ(narrow.cursor, input.data() + 2);
}

// ---------------------------------------------------------------------------------------
// Stored description and tree reading

TEST(TableDescription, TranscriptionEnds) {
    ASSERT_EQ(tableDescription.size(), 1282u);
    const std::array<uint8_t, 6> head = {0x00, 0x06, 0x2B, 0x9A, 0x70, 0x2D};
    const std::array<uint8_t, 4> tail = {0xC7, 0x61, 0xF7, 0x00};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), tableDescription.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), tableDescription.end() - tail.size()));
}

TEST(TableDescription, EachTreeEndsAtItsByteAndTheLastAtTheEnd) {
    struct Tree {
        int table;
        long endByte;
    };
    const std::array<Tree, 17> trees = {{
        {1, 6},
        {2, 9},
        {3, 13},
        {5, 21},
        {6, 29},
        {7, 52},
        {8, 75},
        {9, 100},
        {10, 149},
        {11, 198},
        {12, 247},
        {13, 506},
        {15, 758},
        {16, 1012},
        {24, 1265},
        {32, 1274},
        {33, 1282},
    }};
    RangeCoder coder;
    start(coder, tableDescription.data());
    std::array<uint32_t, kMaxTreeSymbols> codes;
    std::array<uint8_t, kMaxTreeSymbols> lengths;
    for (const Tree& tree : trees) {
        SCOPED_TRACE(tree.table);
        const int symbols = tableShapes[tree.table].xLen * tableShapes[tree.table].yLen;
        readCodeTree(coder, std::span(codes.data(), symbols), std::span(lengths.data(), symbols));
        EXPECT_EQ(bytesRead(coder, tableDescription.data()), tree.endByte);
    }
    EXPECT_EQ(coder.code, 0u);
}

TEST(TableDescription, FirstTreeGivesTableOne) {
    RangeCoder coder;
    start(coder, tableDescription.data());
    std::array<uint32_t, 4> codes;
    std::array<uint8_t, 4> lengths;
    readCodeTree(coder, codes, lengths);
    EXPECT_EQ(codes, (std::array<uint32_t, 4>{1, 1, 1, 0}));
    EXPECT_EQ(lengths, (std::array<uint8_t, 4>{1, 3, 2, 3}));
    EXPECT_EQ(bytesRead(coder, tableDescription.data()), 6);
}

// ---------------------------------------------------------------------------------------
// Built Huffman tables

class HuffmanTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() { codeTables(); }
};

void expectCodes(int tableNumber, const std::vector<std::string_view>& expected) {
    const HuffmanTable& table = codeTables().huffman[tableNumber];
    ASSERT_EQ(static_cast<size_t>(table.xLen * table.yLen), expected.size());
    for (size_t s = 0; s < expected.size(); ++s) {
        SCOPED_TRACE(testing::Message() << "table " << tableNumber << " symbol " << s);
        EXPECT_EQ(table.codes[s], bitsOf(expected[s]));
        EXPECT_EQ(table.lengths[s], expected[s].size());
    }
}

TEST_F(HuffmanTables, SmallBigValueTables) {
    expectCodes(1, {"1", "001", "01", "000"});
    expectCodes(2, {"1", "010", "000001", "011", "001", "00001", "00011", "00010", "000000"});
}

TEST_F(HuffmanTables, Count1Tables) {
    const std::array<int, 16> lengthsA = {1, 4, 4, 5, 4, 6, 5, 6, 4, 5, 5, 6, 5, 6, 6, 6};
    for (int q = 0; q < 16; ++q) {
        SCOPED_TRACE(q);
        EXPECT_EQ(codeTables().huffman[kCount1TableA].lengths[q], lengthsA[q]);
        EXPECT_EQ(codeTables().huffman[kCount1TableB].lengths[q], 4);
        EXPECT_EQ(codeTables().huffman[kCount1TableB].codes[q], 15u - q);
    }
}

TEST_F(HuffmanTables, EveryBuiltTableIsACompletePrefixCode) {
    int longest = 0;
    int longestTable = 0;
    for (int t = 0; t < kTableCount; ++t) {
        const HuffmanTable& table = codeTables().huffman[t];
        const int symbols = table.xLen * table.yLen;
        if (symbols == 0) continue;
        SCOPED_TRACE(t);
        // Kraft sum in units of 2^-32: exactly 1 for a complete code.
        uint64_t kraft = 0;
        for (int s = 0; s < symbols; ++s) {
            const int length = table.lengths[s];
            ASSERT_GE(length, 1);
            ASSERT_LE(length, 19);
            ASSERT_LT(table.codes[s], 1u << length);
            kraft += uint64_t{1} << (32 - length);
            if (length > longest) {
                longest = length;
                longestTable = t;
            }
        }
        EXPECT_EQ(kraft, uint64_t{1} << 32);
        for (int a = 0; a < symbols; ++a) {
            for (int b = 0; b < symbols; ++b) {
                if (a == b || table.lengths[a] > table.lengths[b]) continue;
                const uint32_t prefixOfB = table.codes[b] >> (table.lengths[b] - table.lengths[a]);
                EXPECT_NE(prefixOfB, table.codes[a]) << "code of " << a << " begins that of " << b;
            }
        }
    }
    EXPECT_EQ(longest, 19);
    EXPECT_EQ(longestTable, 13);
}

TEST_F(HuffmanTables, EmptySharedAndDistinctSlots) {
    for (int t : {0, 4, 14}) {
        EXPECT_EQ(codeTables().huffman[t].xLen, 0) << t;
        EXPECT_EQ(codeTables().huffman[t].codes, nullptr) << t;
        EXPECT_EQ(codeTables().huffman[t].lengths, nullptr) << t;
    }
    for (int t = 0; t < kTableCount; ++t) {
        EXPECT_EQ(codeTables().huffman[t].xLen, tableShapes[t].xLen) << t;
        EXPECT_EQ(codeTables().huffman[t].yLen, tableShapes[t].yLen) << t;
        EXPECT_EQ(codeTables().huffman[t].linbits, tableShapes[t].linbits) << t;
    }
    EXPECT_EQ(codeTables().huffman[20].linbits, 6);
    for (int t = 17; t <= 23; ++t) {
        EXPECT_EQ(codeTables().huffman[t].codes, codeTables().huffman[16].codes) << t;
        EXPECT_EQ(codeTables().huffman[t].lengths, codeTables().huffman[16].lengths) << t;
    }
    for (int t = 25; t <= 31; ++t) {
        EXPECT_EQ(codeTables().huffman[t].codes, codeTables().huffman[24].codes) << t;
        EXPECT_EQ(codeTables().huffman[t].lengths, codeTables().huffman[24].lengths) << t;
    }

    // The 17 distinct tables own storage that does not overlap.
    const std::array<int, 17> distinct = {1,  2,  3,  5,  6,  7,  8,  9, 10,
                                          11, 12, 13, 15, 16, 24, 32, 33};
    for (size_t i = 0; i < distinct.size(); ++i) {
        for (size_t j = i + 1; j < distinct.size(); ++j) {
            const HuffmanTable& a = codeTables().huffman[distinct[i]];
            const HuffmanTable& b = codeTables().huffman[distinct[j]];
            const int na = a.xLen * a.yLen;
            const int nb = b.xLen * b.yLen;
            EXPECT_TRUE(a.codes + na <= b.codes || b.codes + nb <= a.codes)
                << distinct[i] << " and " << distinct[j];
            EXPECT_TRUE(a.lengths + na <= b.lengths || b.lengths + nb <= a.lengths)
                << distinct[i] << " and " << distinct[j];
        }
    }
}

// A second build into fresh storage gives the same codes as the process's tables.
TEST_F(HuffmanTables, EveryBuildGivesTheSameTables) {
    auto fresh = std::make_unique<CodeTables>();
    buildCodeTables(*fresh);
    const CodeTables& shared = codeTables();
    for (int t = 0; t < kTableCount; ++t) {
        SCOPED_TRACE(t);
        const HuffmanTable& a = fresh->huffman[t];
        const HuffmanTable& b = shared.huffman[t];
        ASSERT_EQ(a.xLen * a.yLen, b.xLen * b.yLen);
        EXPECT_EQ(a.linbits, b.linbits);
        for (int s = 0; s < a.xLen * a.yLen; ++s) {
            EXPECT_EQ(a.codes[s], b.codes[s]);
            EXPECT_EQ(a.lengths[s], b.lengths[s]);
        }
    }
    EXPECT_EQ(fresh->quads[0].entries, shared.quads[0].entries);
    EXPECT_EQ(fresh->quads[1].entries, shared.quads[1].entries);
}

// FNV-1a over a table's (code, length) per symbol, or over a quadruple table's entries.
uint64_t fingerprint(const HuffmanTable& table) {
    uint64_t h = 0xcbf29ce484222325u;
    auto mix = [&h](uint32_t v) {
        for (int k = 0; k < 4; ++k) h = (h ^ ((v >> (8 * k)) & 0xFF)) * 0x100000001b3u;
    };
    for (int s = 0; s < table.xLen * table.yLen; ++s) {
        mix(table.codes[s]);
        mix(table.lengths[s]);
    }
    return h;
}

uint64_t fingerprint(const QuadTable& table) {
    uint64_t h = 0xcbf29ce484222325u;
    for (uint16_t e : table.entries)
        for (int k = 0; k < 2; ++k) h = (h ^ ((e >> (8 * k)) & 0xFF)) * 0x100000001b3u;
    return h;
}

// Pins every built table, symbol by symbol: a swapped or changed code in any table, which
// the stream-level tests might miss when the symbol is rare, changes its fingerprint.
TEST_F(HuffmanTables, EveryTableIsPinned) {
    const std::array<std::pair<int, uint64_t>, 17> pinned = {{
        {1, 0x8433d3aeccf2de37u},
        {2, 0xce6037c52d1e7552u},
        {3, 0x6cc6b019d1e27521u},
        {5, 0x9222c2005c1fb9f6u},
        {6, 0xf74b79e9ed32a915u},
        {7, 0xe380f56ed0302339u},
        {8, 0x67272e5c38ebf896u},
        {9, 0xd03cd78c2a0776f4u},
        {10, 0x1d5dadc65bfdcdc6u},
        {11, 0xa79106100541883fu},
        {12, 0x8f6d0fcbf6946324u},
        {13, 0xb985cb15bfac65dau},
        {15, 0xa26687da2d05205au},
        {16, 0xaa1798c3f2b8a3d7u},
        {24, 0xd35586f68f7e106eu},
        {32, 0x77c7260637a8b062u},
        {33, 0x23cfd706a27a2d25u},
    }};
    for (const auto& [t, expected] : pinned)
        EXPECT_EQ(fingerprint(codeTables().huffman[t]), expected) << "table " << t;
    EXPECT_EQ(fingerprint(codeTables().quads[0]), 0xef29f3c4dd9d2d68u);
    EXPECT_EQ(fingerprint(codeTables().quads[1]), 0x379687ae8c7e201au);
}

// ---------------------------------------------------------------------------------------
// Count1 quadruple tables

class QuadTables : public HuffmanTables {};

TEST_F(QuadTables, SampleEntries) {
    const auto& a = codeTables().quads[0].entries;
    const auto& b = codeTables().quads[1].entries;
    EXPECT_EQ(a[quadIndex(0, 0, 0, 0)], 0x0401);
    EXPECT_EQ(b[quadIndex(0, 0, 0, 0)], 0x100F);
    EXPECT_EQ(quadIndex(0, -1, 1, 0), 0x34);
    EXPECT_EQ(a[0x34], 0x1C12);
    EXPECT_EQ(quadIndex(1, 0, 0, 0), 0x40);
    EXPECT_EQ(a[0x40], 0x140E);
    EXPECT_EQ(quadIndex(-1, -1, -1, -1), 0xFF);
    EXPECT_EQ(a[0xFF], 0x281F);
    EXPECT_EQ(b[0xFF], 0x200F);
    EXPECT_EQ(quadIndex(0, 1, 0, -1), 0x13);
    EXPECT_EQ(b[0x13], 0x1829);
}

TEST_F(QuadTables, OnlyIndicesOfQuadruplesHoldEntries) {
    const std::array<int, 2> longest = {10, 8};
    for (int k = 0; k < 2; ++k) {
        int filled = 0;
        for (int e = 0; e < 256; ++e) {
            SCOPED_TRACE(testing::Message() << "table " << k << " entry " << e);
            const uint16_t entry = codeTables().quads[k].entries[e];
            // A v field of 10 covers entries 128..191.
            const bool hasField10 = (e & 0xC0) == 0x80 || (e & 0x30) == 0x20 ||
                                    (e & 0x0C) == 0x08 || (e & 0x03) == 0x02;
            if (hasField10) {
                EXPECT_EQ(entry, 0);
                continue;
            }
            ++filled;
            const int length = entry >> 10;
            EXPECT_GE(length, 1);
            EXPECT_LE(length, longest[k]);
            EXPECT_LT(entry & 0x3FF, 1 << length);
        }
        EXPECT_EQ(filled, 81);
    }
}

}  // namespace
}  // namespace l3
