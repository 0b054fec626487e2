#include "disassemble/huffman_decoder.h"

#include <array>
#include <memory>

#include "tables/code_tables.h"

namespace l3 {

namespace {

// A tree of at most 256 leaves has at most 511 nodes. child[n][bit] > 0 names an inner
// node, < 0 a leaf holding symbol -(child + 1), 0 no node.
constexpr int kTreeNodes = 512;

struct DecodeTree {
    std::array<std::array<int16_t, 2>, kTreeNodes> child;
    int nodes;
};

struct DecodeTrees {
    std::array<DecodeTree, kTableCount> trees;
    std::array<bool, kTableCount> present{};
};

void buildTree(DecodeTree& tree, const HuffmanTable& table) {
    tree.child = {};
    tree.nodes = 1;
    const int symbols = table.xLen * table.yLen;
    for (int s = 0; s < symbols; ++s) {
        const uint32_t code = table.codes[s];
        const int length = table.lengths[s];
        int node = 0;
        for (int i = length - 1; i > 0; --i) {
            const int bit = (code >> i) & 1;
            if (tree.child[node][bit] <= 0)
                tree.child[node][bit] = static_cast<int16_t>(tree.nodes++);
            node = tree.child[node][bit];
        }
        tree.child[node][code & 1] = static_cast<int16_t>(-(s + 1));
    }
}

std::unique_ptr<const DecodeTrees> buildDecodeTrees() {
    auto built = std::make_unique<DecodeTrees>();
    for (int t = 1; t < kTableCount; ++t) {
        const HuffmanTable& table = codeTables().huffman[t];
        built->present[t] = table.codes != nullptr && table.xLen * table.yLen > 0;
        if (built->present[t]) buildTree(built->trees[t], table);
    }
    return built;
}

// Built once per process, const afterwards.
const DecodeTrees& decodeTrees() {
    static const std::unique_ptr<const DecodeTrees> trees = buildDecodeTrees();
    return *trees;
}

}  // namespace

bool hasDecodeTree(int t) {
    return t > 0 && t < kTableCount && decodeTrees().present[t];
}

int decodeSymbol(BitReader& r, int t) {
    const DecodeTree& tree = decodeTrees().trees[t];
    int node = 0;
    // The longest code word has 19 bits; a walk never needs more.
    for (int depth = 0; depth < 20; ++depth) {
        const int next = tree.child[node][readBit(r)];
        if (next < 0) return -next - 1;
        if (next == 0) return -1;
        node = next;
    }
    return -1;
}

}  // namespace l3
