#pragma once
// Layer III Huffman code tables: their shapes, and the table type that code_tables.h builds
// from the range-coded description in table_description.cpp.

#include <array>
#include <cstdint>

namespace l3 {

// Shape of one table number: xLen x yLen symbols, and the escape width.
struct TableShape {
    uint8_t xLen;
    uint8_t yLen;
    uint8_t linbits;
};

// Table numbers 0..31 are the big-value tables named by table_select; 32 and 33 are
// count1 tables A and B (xLen 1, yLen 16, symbol = quadruple index 8v+4w+2x+y).
// Slots 0, 4 and 14 are empty; 17..23 share the codes of 16, 25..31 those of 24.
inline constexpr int kTableCount = 34;
inline constexpr std::array<TableShape, kTableCount> tableShapes = {{
    {0, 0, 0},   {2, 2, 0},    {3, 3, 0},    {3, 3, 0},    {0, 0, 0},   {4, 4, 0},   {4, 4, 0},
    {6, 6, 0},   {6, 6, 0},    {6, 6, 0},    {8, 8, 0},    {8, 8, 0},   {8, 8, 0},   {16, 16, 0},
    {0, 0, 0},   {16, 16, 0},  {16, 16, 1},  {16, 16, 2},  {16, 16, 3}, {16, 16, 4}, {16, 16, 6},
    {16, 16, 8}, {16, 16, 10}, {16, 16, 13}, {16, 16, 4},  {16, 16, 5}, {16, 16, 6}, {16, 16, 7},
    {16, 16, 8}, {16, 16, 9},  {16, 16, 11}, {16, 16, 13}, {1, 16, 0},  {1, 16, 0},
}};

inline constexpr int kCount1TableA = 32;
inline constexpr int kCount1TableB = 33;

// One code table. Entry x * yLen + y holds the code of the pair (x, y), right-aligned
// (its last bit is bit 0), and its length in bits (1..19). Empty slots have null arrays.
struct HuffmanTable {
    uint8_t xLen;
    uint8_t yLen;
    uint8_t linbits;
    const uint32_t* codes;
    const uint8_t* lengths;
};

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

inline constexpr int kCodePoolEntries = distinctEntries();

}  // namespace l3
