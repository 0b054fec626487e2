#include "tables/pair_tables.h"

#include "tables/huffman_tables.h"

namespace l3 {

namespace {

uint32_t foldedEntry(const HuffmanTable& table, int x, int y) {
    const int ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
    if (ax >= table.xLen || ay >= table.yLen) return 0;
    if (table.linbits && (ax == 15 || ay == 15)) return 0;
    const int k = ax * table.yLen + ay;
    uint32_t bits = table.codes[k];
    uint32_t length = table.lengths[k];
    if (x != 0) bits = bits << 1 | (x < 0), ++length;
    if (y != 0) bits = bits << 1 | (y < 0), ++length;
    return bits << 5 | length;
}

}  // namespace

void buildPairTables(const std::array<HuffmanTable, kTableCount>& huffman,
                     std::array<PairTable, kDistinctPairTables>& pool,
                     std::array<const PairTable*, 32>& tables) {
    int used = 0;
    tables.fill(nullptr);
    for (int t = 1; t < 32; ++t) {
        const HuffmanTable& table = huffman[t];
        if (!table.codes) continue;
        if (t > 1 && table.codes == huffman[t - 1].codes) {
            tables[t] = tables[t - 1];
            continue;
        }
        PairTable& folded = pool[used++];
        folded.entries.fill(0);
        for (int x = -15; x <= 15; ++x)
            for (int y = -15; y <= 15; ++y)
                folded.entries[pairIndex(x, y)] = foldedEntry(table, x, y);
        tables[t] = &folded;
    }
}

}  // namespace l3
