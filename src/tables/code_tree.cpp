#include "tables/code_tree.h"

#include <array>
#include <cstring>

namespace l3 {

namespace {

constexpr int kMaxTreeNodes = 2 * kMaxTreeSymbols - 1;
constexpr int16_t kNoNode = -1;
constexpr int16_t kInnerNode = -1;

struct TreeNode {
    int16_t left;    // child reached by a 0 bit
    int16_t right;   // child reached by a 1 bit
    int16_t symbol;  // symbol index of a leaf, kInnerNode otherwise
};

// Working state while one tree is read; nodes are handed out of the pool in order.
struct CodeTree {
    std::array<TreeNode, kMaxTreeNodes> nodePool;
    int nodesUsed;
    int leavesLeft;
    int nodesLeft;
    // The symbols not yet given to a leaf, in increasing order; the first symbolsLeft count.
    std::array<uint8_t, kMaxTreeSymbols> availableSymbols;
    int symbolsLeft;
};

int16_t takeNode(CodeTree& tree) {
    const int16_t node = static_cast<int16_t>(tree.nodesUsed++);
    tree.nodePool[node] = {kNoNode, kNoNode, kInnerNode};
    return node;
}

// Reads an index below `count` and takes the index-th symbol still available. `count` is
// the number of leaves still to be read, this one included, which equals the number of
// symbols still available, so the index always names one of them.
int16_t pickSymbol(CodeTree& tree, RangeCoder& coder, int count) {
    int value = 0;
    for (int bit = 7; bit >= 0; --bit) {
        if (value + (1 << bit) < count) value |= decodeBit(coder, kProbabilityHalf) << bit;
    }
    uint8_t* const available = tree.availableSymbols.data();
    const int16_t symbol = available[value];
    --tree.symbolsLeft;
    std::memmove(available + value, available + value + 1, tree.symbolsLeft - value);
    return symbol;
}

// One node and everything below it, in pre-order. Recursion depth is the tree depth.
void readSubtree(CodeTree& tree, RangeCoder& coder, int16_t node) {
    const int leaf = decodeBit(coder, splitProbability(tree.nodesLeft, tree.leavesLeft));
    tree.leavesLeft -= leaf;
    tree.nodesLeft -= 1;
    if (leaf) {
        tree.nodePool[node].symbol = pickSymbol(tree, coder, tree.leavesLeft + 1);
        return;
    }
    const int16_t left = takeNode(tree);
    const int16_t right = takeNode(tree);
    tree.nodePool[node].left = left;
    tree.nodePool[node].right = right;
    readSubtree(tree, coder, left);
    readSubtree(tree, coder, right);
}

void assignCodes(const CodeTree& tree, int16_t node, uint32_t path, int depth,
                 std::span<uint32_t> codes, std::span<uint8_t> lengths) {
    const TreeNode& n = tree.nodePool[node];
    if (n.symbol != kInnerNode) {
        codes[n.symbol] = path;
        lengths[n.symbol] = static_cast<uint8_t>(depth);
        return;
    }
    assignCodes(tree, n.left, path << 1, depth + 1, codes, lengths);
    assignCodes(tree, n.right, path << 1 | 1, depth + 1, codes, lengths);
}

}  // namespace

void readCodeTree(RangeCoder& coder, std::span<uint32_t> codes, std::span<uint8_t> lengths) {
    CodeTree tree;
    const int symbolCount = static_cast<int>(codes.size());
    tree.nodesUsed = 0;
    tree.leavesLeft = symbolCount;
    tree.nodesLeft = 2 * symbolCount - 1;
    for (int s = 0; s < symbolCount; ++s) tree.availableSymbols[s] = static_cast<uint8_t>(s);
    tree.symbolsLeft = symbolCount;
    const int16_t root = takeNode(tree);
    readSubtree(tree, coder, root);
    assignCodes(tree, root, 0, 0, codes, lengths);
}

}  // namespace l3
