#pragma once
// Decoding Layer III Huffman code words with the very tables the assembler codes with:
// each distinct code table becomes a binary tree (built once per process), walked one bit at a
// time.

#include <cstdint>

#include "bits/bit_reader.h"

namespace l3 {

// True when table number t (0..33) has codes.
bool hasDecodeTree(int t);

// Reads one code word of table t and returns its symbol index (x * yLen + y, or the count1
// quadruple index), or -1 when the bits lead nowhere (never for a complete code).
int decodeSymbol(BitReader& r, int t);

}  // namespace l3
