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

// The folded entries of a big-value table (count1 tables keep theirs empty).
void foldSigns(DecodeTable& table, const HuffmanTable& codes) {
    for (int x = 0; x < codes.xLen; ++x)
        for (int y = 0; y < codes.yLen; ++y) {
            if (codes.linbits && (x == 15 || y == 15)) continue;  // escape bits follow
            const int s = x * codes.yLen + y;
            const int signs = (x != 0) + (y != 0);
            const int total = codes.lengths[s] + signs;
            if (total > kFoldedBits) continue;
            for (uint32_t sign = 0; sign < (1u << signs); ++sign) {
                // Sign bits follow the code word, x's first; 1 means negative.
                const bool negativeX = x != 0 && ((sign >> (signs - 1)) & 1);
                const bool negativeY = y != 0 && (sign & 1);
                const uint32_t pattern = codes.codes[s] << signs | sign;
                const int spare = kFoldedBits - total;
                const uint32_t entry =
                    static_cast<uint32_t>(total) |
                    static_cast<uint32_t>(static_cast<uint8_t>(negativeX ? -x : x)) << 8 |
                    static_cast<uint32_t>(static_cast<uint8_t>(negativeY ? -y : y)) << 16;
                for (uint32_t i = 0; i < (1u << spare); ++i)
                    table.folded[(pattern << spare) + i] = entry;
            }
        }
}

// The folded entries of a count1 table: four values in bits 8-15, 16-23, 24-31 (as
// -1, 0, 1 in two-bit fields v, w, x, y from bit 8 up) and the length in bits 0-7.
void foldQuadSigns(DecodeTable& table, const HuffmanTable& codes) {
    for (int q = 0; q < 16; ++q) {
        const int signs = std::popcount(static_cast<unsigned>(q));
        const int total = codes.lengths[q] + signs;
        if (total > kFoldedBits) continue;
        for (uint32_t sign = 0; sign < (1u << signs); ++sign) {
            uint32_t fields = 0;
            int next = signs - 1;  // sign bits follow in the order v, w, x, y
            for (int k = 0; k < 4; ++k) {
                const bool present = (q >> (3 - k)) & 1;
                uint32_t field = 0;
                if (present) field = ((sign >> next--) & 1) ? 3 : 1;  // -1 or +1
                fields |= field << (2 * k);
            }
            const uint32_t pattern = codes.codes[q] << signs | sign;
            const int spare = kFoldedBits - total;
            for (uint32_t i = 0; i < (1u << spare); ++i)
                table.folded[(pattern << spare) + i] = static_cast<uint32_t>(total) | fields << 8;
        }
    }
}

void buildTable(DecodeTable& table, const HuffmanTable& codes) {
    const int symbols = codes.xLen * codes.yLen;
    if (codes.xLen > 1)
        foldSigns(table, codes);
    else
        foldQuadSigns(table, codes);
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
