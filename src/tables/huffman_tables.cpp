#include "tables/huffman_tables.h"

#include "tables/code_tree.h"
#include "tables/pair_tables.h"
#include "tables/quad_tables.h"
#include "tables/range_decoder.h"
#include "tables/table_description.h"

namespace l3 {

std::array<HuffmanTable, kTableCount> huffmanTables{};

namespace {

// Tables 17..23 differ from 16, and 25..31 from 24, only in linbits; they take the codes of
// the slot before them and have no tree in the description.
constexpr bool sharesPreviousCodes(int table) {
    return (table >= 17 && table <= 23) || (table >= 25 && table <= 31);
}

// Entries (symbols) of the 17 distinct tables together: 1410.
constexpr int distinctEntries() {
    int total = 0;
    for (int t = 0; t < kTableCount; ++t) {
        if (!sharesPreviousCodes(t)) total += tableShapes[t].xLen * tableShapes[t].yLen;
    }
    return total;
}

constexpr int kPoolEntries = distinctEntries();

// Storage of every table's codes and lengths, handed out in table order on each build, so a
// rebuild reuses the same places.
std::array<uint32_t, kPoolEntries> codePool;
std::array<uint8_t, kPoolEntries> lengthPool;

}  // namespace

void buildCodeTables() {
    RangeCoder coder;
    start(coder, tableDescription.data());
    int poolUsed = 0;
    for (int t = 0; t < kTableCount; ++t) {
        const TableShape& shape = tableShapes[t];
        HuffmanTable& table = huffmanTables[t];
        table = {shape.xLen, shape.yLen, shape.linbits, nullptr, nullptr};
        const int symbolCount = shape.xLen * shape.yLen;
        if (symbolCount == 0) continue;
        if (sharesPreviousCodes(t)) {
            table.codes = huffmanTables[t - 1].codes;
            table.lengths = huffmanTables[t - 1].lengths;
            continue;
        }
        const std::span<uint32_t> codes(codePool.data() + poolUsed, symbolCount);
        const std::span<uint8_t> lengths(lengthPool.data() + poolUsed, symbolCount);
        poolUsed += symbolCount;
        readCodeTree(coder, codes, lengths);
        table.codes = codes.data();
        table.lengths = lengths.data();
    }
    buildQuadTables();
    buildPairTables();
}

}  // namespace l3
