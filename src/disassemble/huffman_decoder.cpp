#include "disassemble/huffman_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <vector>

#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr int kMaxCodeBits = 19;

struct DecodeTables {
    std::array<DecodeTable, kTableCount> tables;
    std::array<bool, kTableCount> present{};
};

void fill(LookupEntry* entries, uint32_t first, uint32_t count, LookupEntry entry) {
    for (uint32_t i = 0; i < count; ++i) entries[first + i] = entry;
}

// One item decoded from the front of a kTwiceBits-bit pattern: its length (code word and
// signs; 0 when none fits) and its values packed as in an entry's first half.
struct Item {
    int length = 0;
    uint32_t values = 0;
};

// Every item of a table with its signs, by the patterns that start with it.
std::array<Item, 1 << kTwiceBits> firstItems(const HuffmanTable& codes) {
    std::array<Item, 1 << kTwiceBits> items{};
    const bool quads = codes.xLen == 1;
    const int symbols = codes.xLen * codes.yLen;
    for (int s = 0; s < symbols; ++s) {
        int magnitude[4];
        int count;
        if (quads) {
            for (int k = 0; k < 4; ++k) magnitude[k] = (s >> (3 - k)) & 1;
            count = 4;
        } else {
            magnitude[0] = s / codes.yLen;
            magnitude[1] = s % codes.yLen;
            if (codes.linbits && (magnitude[0] == 15 || magnitude[1] == 15)) continue;
            count = 2;
        }
        int signs = 0;
        for (int k = 0; k < count; ++k) signs += magnitude[k] != 0;
        const int total = codes.lengths[s] + signs;
        if (total > kTwiceBits) continue;
        for (uint32_t sign = 0; sign < (1u << signs); ++sign) {
            // Sign bits follow the code word in value order; 1 means negative.
            uint32_t values = 0;
            int next = signs - 1;
            for (int k = 0; k < count; ++k) {
                const bool negative = magnitude[k] != 0 && ((sign >> next--) & 1);
                if (quads)
                    values |= (magnitude[k] ? (negative ? 3u : 1u) : 0u) << (2 * k);
                else
                    values |= (static_cast<uint32_t>(negative ? -magnitude[k] : magnitude[k]) & 31)
                              << (5 * k);
            }
            const uint32_t pattern = codes.codes[s] << signs | sign;
            const int spare = kTwiceBits - total;
            for (uint32_t i = 0; i < (1u << spare); ++i)
                items[(pattern << spare) + i] = {total, values};
        }
    }
    return items;
}

// The two-item entries: the first item of each pattern and, when the bits after it hold a
// whole second one, that one too.
void fillTwice(DecodeTable& table, const HuffmanTable& codes) {
    const std::array<Item, 1 << kTwiceBits> items = firstItems(codes);
    const int secondShift = codes.xLen == 1 ? 8 : 10;  // bits of the first item's values
    constexpr uint32_t kMask = (1u << kTwiceBits) - 1;
    for (uint32_t p = 0; p <= kMask; ++p) {
        const Item& first = items[p];
        if (first.length == 0) continue;
        const Item& second = items[(p << first.length) & kMask];
        const bool both = second.length != 0 && second.length <= kTwiceBits - first.length;
        const uint32_t secondLength = both ? static_cast<uint32_t>(second.length) : 0;
        table.twice[p] = static_cast<uint32_t>(first.length) | secondLength << 4 |
                         (first.values | (both ? second.values << secondShift : 0)) << 8 |
                         (static_cast<uint32_t>(first.length) + secondLength) << 28;
    }
}

void buildTable(DecodeTable& table, const HuffmanTable& codes) {
    const int symbols = codes.xLen * codes.yLen;
    fillTwice(table, codes);
    for (int s = 0; s < symbols; ++s)
        table.pair[s] = static_cast<uint16_t>((s / codes.yLen) << 8 | (s % codes.yLen));
    std::array<int, 1 << kPrimaryBits> longest{};  // by prefix, of the longer codes
    for (int s = 0; s < symbols; ++s) {
        const uint32_t code = codes.codes[s];
        const int length = codes.lengths[s];
        if (length <= kPrimaryBits) {
            const int spare = kPrimaryBits - length;
            fill(table.primary.data(), code << spare, 1u << spare,
                 {static_cast<uint16_t>(s), static_cast<uint8_t>(length), 0});
        } else {
            int& l = longest[code >> (length - kPrimaryBits)];
            l = std::max(l, length);
        }
    }
    for (uint32_t prefix = 0; prefix < longest.size(); ++prefix) {
        if (longest[prefix] == 0) continue;
        const int subBits = longest[prefix] - kPrimaryBits;
        table.primary[prefix] = {static_cast<uint16_t>(table.secondary.size()), 0,
                                 static_cast<uint8_t>(subBits)};
        table.secondary.resize(table.secondary.size() + (size_t{1} << subBits));
    }
    for (int s = 0; s < symbols; ++s) {
        const uint32_t code = codes.codes[s];
        const int length = codes.lengths[s];
        if (length <= kPrimaryBits) continue;
        const LookupEntry& head = table.primary[code >> (length - kPrimaryBits)];
        const int rest = length - kPrimaryBits;
        const uint32_t restCode = code & ((1u << rest) - 1);
        const int spare = head.subBits - rest;
        fill(table.secondary.data() + head.value, restCode << spare, 1u << spare,
             {static_cast<uint16_t>(s), static_cast<uint8_t>(length), 0});
    }
}

std::unique_ptr<const DecodeTables> buildDecodeTables() {
    auto built = std::make_unique<DecodeTables>();
    for (int t = 1; t < kTableCount; ++t) {
        const HuffmanTable& table = codeTables().huffman[t];
        built->present[t] = table.codes != nullptr && table.xLen * table.yLen > 0;
        if (built->present[t]) buildTable(built->tables[t], table);
    }
    return built;
}

// Built once per process, const afterwards.
const DecodeTables& decodeTables() {
    static const std::unique_ptr<const DecodeTables> tables = buildDecodeTables();
    return *tables;
}

}  // namespace

bool hasDecodeTree(int t) {
    return t > 0 && t < kTableCount && decodeTables().present[t];
}

const DecodeTable& decodeTable(int t) {
    return decodeTables().tables[t];
}

int decodeSymbol(BitReader& r, int t) {
    static_assert(kMaxCodeBits <= 32);
    return decodeWith(r, decodeTables().tables[t]);
}

}  // namespace l3
