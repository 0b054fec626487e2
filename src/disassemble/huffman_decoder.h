#pragma once
// Decoding Layer III Huffman code words with the very tables the assembler codes with:
// each code table becomes a lookup table (built once per process) that takes the next
// eight bits at once, and a second one for the longer codes.

#include <array>
#include <cstdint>
#include <vector>

#include "bits/bit_reader.h"

namespace l3 {

// Codes are decoded by lookup: the next kPrimaryBits bits index a table whose entry holds
// the symbol and code length of a short code, or names a second table, indexed by the
// bits after those, for the longer codes that share the prefix. An entry of length 0 is
// a bit pattern no code starts with.
inline constexpr int kPrimaryBits = 8;

struct LookupEntry {
    uint16_t value;   // the symbol, or the first entry of the second table
    uint8_t length;   // code length in bits; 0 for a second table or no code
    uint8_t subBits;  // width of the second table's index; 0 when none
};

// Most code words are short: the next kTwiceBits bits decode, with one lookup, a whole
// item (a big-value pair or a count1 quadruple with its sign bits) and often a second one.
// An entry holds the first item's length in bits 0-3 (0 sends it to the general path: a
// longer code, or an escape value to follow) and the second's in bits 4-7 (0 when no
// second whole item fits). A big-value table's entry holds x1, y1, x2, y2 as 5-bit two's
// complement numbers from bit 8 up; a count1 table's entry the fields of its two
// quadruples (two bits a value, v first: 1 for +1, 3 for -1) in bits 8-15 and 16-23. Bits
// 28-31 hold the two lengths' sum, the bits both items take when both count.
inline constexpr int kTwiceBits = 10;

struct DecodeTable {
    std::array<LookupEntry, 1 << kPrimaryBits> primary{};
    std::array<uint32_t, 1 << kTwiceBits> twice{};
    std::vector<LookupEntry> secondary;
    // By symbol of a big-value table: x in the high byte, y in the low byte.
    std::array<uint16_t, 256> pair{};
};

// True when table number t (0..33) has codes.
bool hasDecodeTree(int t);

// The lookup table of table number t (hasDecodeTree(t) must hold).
const DecodeTable& decodeTable(int t);

// Reads one code word of table and returns its symbol index, or -1 (see decodeSymbol).
inline int decodeWith(BitReader& r, const DecodeTable& table) {
    const uint32_t bits = peekBits32(r);
    LookupEntry e = table.primary[bits >> (32 - kPrimaryBits)];
    if (e.subBits != 0) {
        const uint32_t rest = (bits << kPrimaryBits) >> (32 - e.subBits);
        e = table.secondary[e.value + rest];
    }
    if (e.length == 0) return -1;
    r.pos += e.length;
    return e.value;
}

// Reads one code word of table t and returns its symbol index (x * yLen + y, or the count1
// quadruple index), or -1 when the bits lead nowhere (never for a complete code).
int decodeSymbol(BitReader& r, int t);

}  // namespace l3
