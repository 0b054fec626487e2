#include "assemble/assembler_state.h"
#include "maindata/band_edges.h"
#include "maindata/main_data_writer.h"
#include "tables/huffman_tables.h"
#include "tables/quad_tables.h"

namespace l3 {

namespace {

// The last line at which a whole quadruple still fits within the 576 lines.
constexpr int kLastQuadLine = 572;
// Bits cleared below a granule's end, removing the overrun of its last item.
constexpr int kClearBelowBits = 24;

inline int magnitude(int v) { return v < 0 ? -v : v; }

// The largest magnitude a table codes: yLen - 1 without escape bits, else 15 plus the
// largest escape value.
inline int largestValue(const HuffmanTable& table) {
    return table.linbits ? 14 + (1 << table.linbits) : table.yLen - 1;
}

// Code word, escape of x, sign of x, escape of y, sign of y: zero values have no sign.
// Magnitudes must be at most largestValue(table); the caller checks.
inline void codePair(BitStore& store, const HuffmanTable& table, int x, int y) {
    const int ax = magnitude(x), ay = magnitude(y);
    const int top = table.yLen - 1;  // 15 for the tables with escapes
    const int k = (ax < top ? ax : top) * table.yLen + (ay < top ? ay : top);
    putBits(store, table.codes[k], table.lengths[k]);
    if (ax >= 15) putBits(store, static_cast<uint32_t>(ax - 15), table.linbits);
    if (x != 0) putBits(store, x < 0, 1);
    if (ay >= 15) putBits(store, static_cast<uint32_t>(ay - 15), table.linbits);
    if (y != 0) putBits(store, y < 0, 1);
}

}  // namespace

void noteValueProblem(AssemblerState& state, const char* field, int gr, int ch, int index,
                      int64_t value, const char* reason) {
    if (state.problem.field) return;
    state.problem.field = field;
    state.problem.granule = gr;
    state.problem.channel = ch;
    state.problem.index = index;
    state.problem.value = value;
    state.problem.reason = reason;
}

void writeSpectrum(AssemblerState& state, int gr, int ch, int32_t endPos) {
    BitStore& store = state.store;
    const FrameRecord& rec = state.record;
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int16_t* lines = rec.spectrum[gr][ch];
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);

    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;  // nothing coded; the next region starts at its own boundary
        const HuffmanTable& table = huffmanTables[t];
        const int largest = largestValue(table);
        for (int i = bounds.start[region]; i < bounds.start[region + 1] && store.writePos > endPos;
             i += 2) {
            if (magnitude(lines[i]) > largest || magnitude(lines[i + 1]) > largest) [[unlikely]] {
                const int at = magnitude(lines[i]) > largest ? i : i + 1;
                noteValueProblem(state, "spectrum", gr, ch, at, lines[at],
                                 "does not fit the region's code table");
            }
            codePair(store, table, lines[i], lines[i + 1]);
        }
    }

    // The count1 region runs until the budget is spent; past the last whole quadruple the
    // rest of the budget is filled with 1 bits.
    const uint16_t* quads = quadTables[info.count1table_select].entries.data();
    for (int i = bounds.start[3]; store.writePos > endPos; i += 4) {
        if (i > kLastQuadLine) {
            for (int left = store.writePos - endPos; left > 0; left -= 24) {
                int n = left < 24 ? left : 24;
                putBits(store, (1u << n) - 1, n);
            }
            break;
        }
        // Only -1, 0 and +1 can be coded four at a time.
        if (static_cast<unsigned>(lines[i] + 1) > 2 || static_cast<unsigned>(lines[i + 1] + 1) > 2 ||
            static_cast<unsigned>(lines[i + 2] + 1) > 2 || static_cast<unsigned>(lines[i + 3] + 1) > 2)
            [[unlikely]] {
            int at = i;
            while (static_cast<unsigned>(lines[at] + 1) <= 2) ++at;
            noteValueProblem(state, "spectrum", gr, ch, at, lines[at],
                             "is not -1, 0 or +1 in the count1 region");
        }
        const uint16_t entry = quads[quadIndex(lines[i], lines[i + 1], lines[i + 2], lines[i + 3])];
        putBits(store, entry & 0x3FF, entry >> 10);
    }

    store.writePos = endPos;
    clearBelow(store, endPos, kClearBelowBits);
}

}  // namespace l3
