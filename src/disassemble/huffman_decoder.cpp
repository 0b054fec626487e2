#include "disassemble/huffman_decoder.h"

#include <algorithm>
#include <array>
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

void buildTable(DecodeTable& table, const HuffmanTable& codes) {
    const int symbols = codes.xLen * codes.yLen;
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
