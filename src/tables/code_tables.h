#pragma once
// Every code table the writers and the reader use, built once per process from the stored
// description and const afterwards, so any number of threads may share them.

#include <array>
#include <cstdint>

#include "tables/huffman_tables.h"
#include "tables/pair_tables.h"
#include "tables/quad_tables.h"

namespace l3 {

struct CodeTables {
    // By table number 0..33; slots 0, 4 and 14 are empty (null arrays).
    std::array<HuffmanTable, kTableCount> huffman;
    // Big-value pairs with the signs folded in, by table number; null for 0, 4 and 14.
    // Tables 17..23 and 25..31 share the entries of 16 and 24.
    std::array<const PairTable*, 32> pairs;
    // Count1 quadruples with the signs folded in, by count1table_select.
    std::array<QuadTable, 2> quads;

    // Storage the tables above point into; a CodeTables is therefore never copied.
    std::array<uint32_t, kCodePoolEntries> codePool;
    std::array<uint8_t, kCodePoolEntries> lengthPool;
    std::array<PairTable, kDistinctPairTables> pairPool;

    CodeTables() = default;
    CodeTables(const CodeTables&) = delete;
    CodeTables& operator=(const CodeTables&) = delete;
};

// Builds every table from the stored description into tables: the Huffman codes, then the
// quadruple and pair tables with the sign bits folded in. Well under a millisecond.
void buildCodeTables(CodeTables& tables);

// The process's tables, built on first use (safe from any thread), const afterwards.
const CodeTables& codeTables();

}  // namespace l3
