#include "tables/code_tables.h"

#include <memory>
#include <span>

#include "tables/code_tree.h"
#include "tables/range_decoder.h"
#include "tables/table_description.h"

namespace l3 {

void buildCodeTables(CodeTables& tables) {
    RangeCoder coder;
    start(coder, tableDescription.data());
    int poolUsed = 0;
    for (int t = 0; t < kTableCount; ++t) {
        const TableShape& shape = tableShapes[t];
        HuffmanTable& table = tables.huffman[t];
        table = {shape.xLen, shape.yLen, shape.linbits, nullptr, nullptr};
        const int symbolCount = shape.xLen * shape.yLen;
        if (symbolCount == 0) continue;
        if (sharesPreviousCodes(t)) {
            table.codes = tables.huffman[t - 1].codes;
            table.lengths = tables.huffman[t - 1].lengths;
            continue;
        }
        const std::span<uint32_t> codes(tables.codePool.data() + poolUsed, symbolCount);
        const std::span<uint8_t> lengths(tables.lengthPool.data() + poolUsed, symbolCount);
        poolUsed += symbolCount;
        readCodeTree(coder, codes, lengths);
        table.codes = codes.data();
        table.lengths = lengths.data();
    }
    buildQuadTables(tables.huffman[kCount1TableA], tables.huffman[kCount1TableB], tables.quads);
    buildPairTables(tables.huffman, tables.pairPool, tables.pairs);
}

const CodeTables& codeTables() {
    // A function-local static is initialised exactly once, even when threads race to it.
    static const std::unique_ptr<const CodeTables> tables = [] {
        auto built = std::make_unique<CodeTables>();
        buildCodeTables(*built);
        return built;
    }();
    return *tables;
}

}  // namespace l3
