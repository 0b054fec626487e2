#include "maindata/spectrum_coder.h"

#include "assemble/assembler_state.h"
#include "maindata/band_edges.h"
#include "maindata/main_data_writer.h"
#include "tables/huffman_tables.h"
#include "tables/pair_tables.h"
#include "tables/quad_tables.h"

namespace l3 {

namespace {

// The last line at which a whole quadruple still fits within the 576 lines.
constexpr int kLastQuadLine = 572;
// Bits cleared below a granule's end, removing the overrun of its last item.
constexpr int kClearBelowBits = 24;

inline int magnitude(int v) {
    return v < 0 ? -v : v;
}
inline int clampPair(int v) {
    return v < -kPairRange ? -kPairRange : v > kPairRange ? kPairRange : v;
}

// The largest magnitude a table codes: yLen - 1 without escape bits, else 15 plus the
// largest escape value.
inline int largestValue(const HuffmanTable& table) {
    return table.linbits ? 14 + (1 << table.linbits) : table.yLen - 1;
}

// A pair whose folded entry is 0: an escape value, or a value the table does not hold.
// Stream order: code word, escape of x, sign of x, escape of y, sign of y.
[[gnu::noinline]] void codeEscapedPair(BitWriter& w, AssemblerState& state,
                                       const HuffmanTable& table, int gr, int ch, int i, int x,
                                       int y) {
    const int ax = magnitude(x), ay = magnitude(y);
    const int largest = largestValue(table);
    if (ax > largest || ay > largest) {
        const int at = ax > largest ? i : i + 1;
        noteValueProblem(state, "spectrum", gr, ch, at, at == i ? x : y,
                         "does not fit the region's code table");
        return;
    }
    const int k = (ax < 15 ? ax : 15) * table.yLen + (ay < 15 ? ay : 15);
    put(w, table.codes[k], table.lengths[k]);
    if (ax >= 15) put(w, static_cast<uint32_t>(ax - 15), table.linbits);
    if (x != 0) put(w, x < 0, 1);
    if (ay >= 15) put(w, static_cast<uint32_t>(ay - 15), table.linbits);
    if (y != 0) put(w, y < 0, 1);
}

[[gnu::noinline]] void noteCount1Problem(AssemblerState& state, int gr, int ch,
                                         const int16_t* lines, int i) {
    while (static_cast<unsigned>(lines[i] + 1) <= 2) ++i;
    noteValueProblem(state, "spectrum", gr, ch, i, lines[i],
                     "is not -1, 0 or +1 in the count1 region");
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

void codeSpectrum(BitWriter& writer, AssemblerState& state, int gr, int ch, int32_t endPos) {
    // A local copy the compiler can keep in registers; written back at the end.
    BitWriter w = writer;
    const FrameRecord& rec = state.record;
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int16_t* lines = rec.spectrum[gr][ch];
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);

    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;  // nothing coded; the next region starts at its own boundary
        const uint32_t* entries = pairTables[t]->entries.data();
        const int end = bounds.start[region + 1];
        for (int i = bounds.start[region]; i < end && position(w) > endPos; i += 2) {
            const int x = lines[i], y = lines[i + 1];
            const uint32_t e = entries[pairIndex(clampPair(x), clampPair(y))];
            if (e != 0) [[likely]]
                put(w, e >> 5, e & 31);
            else
                codeEscapedPair(w, state, huffmanTables[t], gr, ch, i, x, y);
        }
    }

    // The count1 region runs until the budget is spent; past the last whole quadruple the
    // rest of the budget is filled with 1 bits.
    const uint16_t* quads = quadTables[info.count1table_select].entries.data();
    for (int i = bounds.start[3]; position(w) > endPos; i += 4) {
        if (i > kLastQuadLine) {
            for (int left = position(w) - endPos; left > 0; left -= 32) {
                const int n = left < 32 ? left : 32;
                put(w, static_cast<uint32_t>((uint64_t{1} << n) - 1), n);
            }
            break;
        }
        const int v = lines[i], x = lines[i + 1], y = lines[i + 2], z = lines[i + 3];
        // Only -1, 0 and +1 can be coded four at a time.
        if ((static_cast<unsigned>(v + 1) > 2) | (static_cast<unsigned>(x + 1) > 2) |
            (static_cast<unsigned>(y + 1) > 2) | (static_cast<unsigned>(z + 1) > 2)) [[unlikely]]
            noteCount1Problem(state, gr, ch, lines, i);
        const uint16_t entry = quads[quadIndex(v, x, y, z)];
        put(w, entry & 0x3FF, entry >> 10);
    }
    writer = w;
}

void closeGranule(BitWriter& w, AssemblerState& state, int32_t endPos) {
    endWriting(w, state.store);
    state.store.writePos = endPos;
    clearBelow(state.store, endPos, kClearBelowBits);
}

void writeSpectrum(AssemblerState& state, int gr, int ch, int32_t endPos) {
    BitWriter w = beginWriting(state.store);
    codeSpectrum(w, state, gr, ch, endPos);
    closeGranule(w, state, endPos);
}

}  // namespace l3
