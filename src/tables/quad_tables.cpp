#include "tables/quad_tables.h"

#include "tables/huffman_tables.h"

namespace l3 {

namespace {

constexpr int kLengthShift = 10;

// Entry for the quadruple (v, w, x, y) from a count1 code table: the code of the four
// magnitudes, then a sign bit (1 = negative) for each nonzero value in the order v, w, x, y.
uint16_t quadEntry(const HuffmanTable& source, const std::array<int, 4>& values) {
    int magnitudes = 0;
    for (int value : values) magnitudes = magnitudes << 1 | (value != 0);
    uint32_t pattern = source.codes[magnitudes];
    int length = source.lengths[magnitudes];
    for (int value : values) {
        if (value == 0) continue;
        pattern = pattern << 1 | (value < 0);
        ++length;
    }
    return static_cast<uint16_t>(length << kLengthShift | pattern);
}

}  // namespace

void buildQuadTables(const HuffmanTable& tableA, const HuffmanTable& tableB,
                     std::array<QuadTable, 2>& quads) {
    for (int k = 0; k < 2; ++k) {
        const HuffmanTable& source = k == 0 ? tableA : tableB;
        auto& entries = quads[k].entries;
        // Indices with a 10 field stand for no quadruple and stay 0.
        entries.fill(0);
        for (int v = -1; v <= 1; ++v) {
            for (int w = -1; w <= 1; ++w) {
                for (int x = -1; x <= 1; ++x) {
                    for (int y = -1; y <= 1; ++y) {
                        entries[quadIndex(v, w, x, y)] = quadEntry(source, {v, w, x, y});
                    }
                }
            }
        }
    }
}

}  // namespace l3
