#pragma once
// Reading one Huffman code tree from the range-coded table description.
//
// A tree of n symbols has n leaves and 2n - 1 nodes, stored in pre-order: per node one
// decision, 1 for a leaf, whose probability of 0 is the share of inner nodes among the nodes
// still to come (a leaf is certain, and costs no input, once only leaves remain). A leaf is
// followed by its symbol as an index into the symbols not yet placed, in increasing order,
// coded in at most 8 bits of probability one half; only bits that can be 1 are stored.
// A leaf's code is its path from the root, 0 for the left and 1 for the right child, the
// first step as the most significant bit.

#include <cstdint>
#include <span>

#include "tables/range_decoder.h"

namespace l3 {

inline constexpr int kMaxTreeSymbols = 256;

// Reads the next tree of codes.size() symbols (1..256, lengths.size() the same) from
// coder, and writes for each symbol s its right-aligned code to codes[s] and its length in
// bits to lengths[s].
void readCodeTree(RangeCoder& coder, std::span<uint32_t> codes, std::span<uint8_t> lengths);

}  // namespace l3
