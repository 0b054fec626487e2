#pragma once
// Count1 quadruple tables with the sign bits folded in: one lookup and one put per
// quadruple (v, w, x, y), each value -1, 0 or +1.

#include <array>
#include <cstdint>

#include "tables/huffman_tables.h"

namespace l3 {

// Each value is taken as a 2-bit two's complement field: 0 -> 00, +1 -> 01, -1 -> 11;
// v lands in the top two bits. Only the low two bits of each value are used.
constexpr int quadIndex(int v, int w, int x, int y) {
    return (v & 3) << 6 | (w & 3) << 4 | (x & 3) << 2 | (y & 3);
}

// Entry: bits 15..10 total length, bits 9..0 the magnitude code followed by one sign bit
// (1 = negative) per nonzero value in the order v, w, x, y. Index 0 is count1 table A,
// index 1 table B (the count1table_select value). Entries with a field 10 are 0.
struct QuadTable {
    std::array<uint16_t, 256> entries;
};

// Fills quads[0] from count1 code table A and quads[1] from table B.
void buildQuadTables(const HuffmanTable& tableA, const HuffmanTable& tableB,
                     std::array<QuadTable, 2>& quads);

}  // namespace l3
