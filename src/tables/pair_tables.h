#pragma once
// Big-value pair codes with the sign bits folded in: a pair without escape values is one
// lookup and one put.

#include <array>
#include <cstdint>

#include "tables/huffman_tables.h"

namespace l3 {

inline constexpr int kPairLow = -16;  // entries cover values -16..15
inline constexpr int kPairSide = 32;

// Index of the pair (x, y), each within -16..15. Row and column -16 hold no codes: a
// caller maps every value outside -15..15 to -16 to reach the slow path.
constexpr int pairIndex(int x, int y) {
    return (x - kPairLow) * kPairSide + (y - kPairLow);
}

// Entry: bits 31..5 the pair's code word followed by the sign of x (if x is not 0) and the
// sign of y (if y is not 0), 1 meaning negative; bits 4..0 the total length (at most 21).
// An entry of 0 means the pair needs more than that: an escape value (magnitude 15 in a
// table with escape bits, which come between the code word and the signs) or a value the
// table does not hold.
struct PairTable {
    std::array<uint32_t, kPairSide * kPairSide> entries;
};

// The distinct big-value tables: 1, 2, 3, 5..13, 15, 16 and 24.
inline constexpr int kDistinctPairTables = 15;

// Fills pool with the folded entries of each distinct big-value table of huffman and points
// tables[t] at the one table t uses (null for 0, 4 and 14).
void buildPairTables(const std::array<HuffmanTable, kTableCount>& huffman,
                     std::array<PairTable, kDistinctPairTables>& pool,
                     std::array<const PairTable*, 32>& tables);

}  // namespace l3
