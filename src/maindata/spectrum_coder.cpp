#include "maindata/spectrum_coder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "l3/band_edges.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/saved_region.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

inline int magnitude(int v) {
    return v < 0 ? -v : v;
}

// A value for the pair tables: itself within -15..15, else -16, whose entries are 0.
inline int pairValue(int v) {
    return static_cast<unsigned>(v + 15) <= 30 ? v : kPairLow;
}

// True when every line in [from, to) lies within -limit..limit. Kept in 16-bit lanes
// (a minimum and a maximum) so that it compiles to a few vector instructions.
inline bool allWithin(const int16_t* lines, int from, int to, int16_t limit) {
    int16_t low = 0, high = 0;
    for (int i = from; i < to; ++i) {
        low = lines[i] < low ? lines[i] : low;
        high = lines[i] > high ? lines[i] : high;
    }
    return low >= -limit && high <= limit;
}

// quadIndex of the four lines at `lines`, from one 64-bit load: the low two bits of each
// 16-bit lane are gathered by one multiplication (no partial products overlap).
inline int quadIndexAt(const int16_t* lines) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t word;
        std::memcpy(&word, lines, 8);
        constexpr uint64_t kGather =
            (uint64_t{1} << 62) | (uint64_t{1} << 44) | (uint64_t{1} << 26) | (uint64_t{1} << 8);
        return static_cast<int>(((word & 0x0003000300030003) * kGather) >> 56);
    } else {
        return quadIndex(lines[0], lines[1], lines[2], lines[3]);
    }
}

// The largest magnitude a table codes: yLen - 1 without escape bits, else 15 plus the
// largest escape value.
inline int largestValue(const HuffmanTable& table) {
    return table.linbits ? 14 + (1 << table.linbits) : table.yLen - 1;
}

// A pair whose folded entry is 0: an escape value, or a value the table does not hold.
// Returns the pair's bits in stream order (code word, escape of x, sign of x, escape of
// y, sign of y: at most 47 bits) shifted left by 6, with their count in the low 6 bits;
// a count of 0 when the pair cannot be coded, which is noted as the frame's problem.
[[gnu::noinline]] uint64_t escapedPair(MainDataState& state, const HuffmanTable& table, int gr,
                                       int ch, int i, int x, int y) {
    const int ax = magnitude(x), ay = magnitude(y);
    const int largest = largestValue(table);
    if (ax > largest || ay > largest) {
        const int at = ax > largest ? i : i + 1;
        noteValueProblem(state, "spectrum", gr, ch, at, at == i ? x : y,
                         "does not fit the region's code table");
        return 0;
    }
    const int k = (ax < 15 ? ax : 15) * table.yLen + (ay < 15 ? ay : 15);
    uint64_t bits = table.codes[k];
    int length = table.lengths[k];
    auto append = [&](uint64_t value, int width) {
        bits = bits << width | value;
        length += width;
    };
    if (ax >= 15) append(static_cast<uint64_t>(ax - 15), table.linbits);
    if (x != 0) append(x < 0, 1);
    if (ay >= 15) append(static_cast<uint64_t>(ay - 15), table.linbits);
    if (y != 0) append(y < 0, 1);
    return bits << 6 | static_cast<uint64_t>(length);
}

[[gnu::noinline]] void noteCount1Problem(MainDataState& state, int gr, int ch, const int16_t* lines,
                                         int i) {
    while (static_cast<unsigned>(lines[i] + 1) <= 2) ++i;
    noteValueProblem(state, "spectrum", gr, ch, i, lines[i],
                     "is not -1, 0 or +1 in the count1 region");
}

}  // namespace

void noteValueProblem(MainDataState& state, const char* field, int gr, int ch, int index,
                      int64_t value, const char* reason) {
    if (state.problem.field) return;
    state.problem.field = field;
    state.problem.granule = gr;
    state.problem.channel = ch;
    state.problem.index = index;
    state.problem.value = value;
    state.problem.reason = reason;
}

void codeSpectrum(BitWriter& writer, MainDataState& state, int gr, int ch, int32_t endPos) {
    // A local copy the compiler can keep in registers; written back at the end.
    BitWriter w = writer;
    const CodeTables& code = codeTables();
    const FrameRecord& rec = state.record;
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int16_t* lines = rec.spectrum[gr][ch];
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);
    // Bits left in the budget; every item is coded while some are left.
    int32_t left = position(w) - endPos;

    for (int region = 0; region < 3 && left > 0; ++region) {
        const int t = info.table_select[region];
        const int from = bounds.start[region], to = bounds.start[region + 1];
        // Table 0 codes nothing, and an empty region codes nothing whatever table it names
        // (4 and 14 included); the next region starts at its own boundary.
        if (t == 0 || from >= to) continue;
        if (!code.pairs[t]) [[unlikely]] {
            noteValueProblem(state, "table_select", gr, ch, region, t, "names no code table");
            break;
        }
        const uint32_t* entries = code.pairs[t]->entries.data();
        auto codeEscaped = [&](int i) {
            const uint64_t e =
                escapedPair(state, code.huffman[t], gr, ch, i, lines[i], lines[i + 1]);
            if (e & 63) {
                put(w, e >> 6, e & 63);
                left -= e & 63;
            }
        };
        int i = from;
        // A region whose values the table codes without escape values has a nonzero
        // folded entry for every pair: two pairs per put, no checks but the budget, which
        // two such pairs (at most 42 bits) cannot overrun while more than 42 bits are left.
        const HuffmanTable& table = code.huffman[t];
        const int16_t plain = static_cast<int16_t>(table.linbits ? 14 : table.yLen - 1);
        if (allWithin(lines, from, to, plain)) {
            const uint32_t* centre = entries + pairIndex(0, 0);
            for (; i + 4 <= to && left > 42; i += 4) {
                const uint32_t e1 = centre[lines[i] * kPairSide + lines[i + 1]];
                const uint32_t e2 = centre[lines[i + 2] * kPairSide + lines[i + 3]];
                const int l2 = e2 & 31;
                put(w, uint64_t{e1 >> 5} << l2 | e2 >> 5, (e1 & 31) + l2);
                left -= (e1 & 31) + l2;
            }
        }
        // The rest one pair at a time, with escape values where a pair has them.
        for (; i < to && left > 0; i += 2) {
            const uint32_t e = entries[pairIndex(pairValue(lines[i]), pairValue(lines[i + 1]))];
            if (e != 0) {
                put(w, e >> 5, e & 31);
                left -= e & 31;
            } else {
                codeEscaped(i);
            }
        }
    }

    // The count1 region runs until the budget is spent; past the last whole quadruple the
    // rest of the budget is filled with 1 bits.
    const uint16_t* quads = code.quads[info.count1table_select].entries.data();
    int i = bounds.start[3];
    // Every line from here to 575 being -1, 0 or +1, the count1 region needs no check
    // per quadruple however far the budget takes it.
    if (allWithin(lines, i, kSpectrumLines, 1)) {
        // Four quadruples per put while the budget reaches the fourth.
        for (; i + 12 <= kLastQuadLine && left > 0; i += 16) {
            const uint32_t q1 = quads[quadIndexAt(lines + i)];
            const uint32_t q2 = quads[quadIndexAt(lines + i + 4)];
            const uint32_t q3 = quads[quadIndexAt(lines + i + 8)];
            const uint32_t q4 = quads[quadIndexAt(lines + i + 12)];
            const int l1 = q1 >> 10, l2 = q2 >> 10, l3 = q3 >> 10, l4 = q4 >> 10;
            if (left <= l1 + l2 + l3) break;
            const uint64_t bits = ((uint64_t{q1 & 0x3FF} << l2 | (q2 & 0x3FF)) << l3 | (q3 & 0x3FF))
                                      << l4 |
                                  (q4 & 0x3FF);
            put(w, bits, l1 + l2 + l3 + l4);
            left -= l1 + l2 + l3 + l4;
        }
        for (; i <= kLastQuadLine && left > 0; i += 4) {
            const uint16_t entry = quads[quadIndexAt(lines + i)];
            put(w, entry & 0x3FF, entry >> 10);
            left -= entry >> 10;
        }
    } else {
        for (; i <= kLastQuadLine && left > 0; i += 4) {
            // Only -1, 0 and +1 can be coded four at a time.
            if ((static_cast<unsigned>(lines[i] + 1) > 2) |
                (static_cast<unsigned>(lines[i + 1] + 1) > 2) |
                (static_cast<unsigned>(lines[i + 2] + 1) > 2) |
                (static_cast<unsigned>(lines[i + 3] + 1) > 2)) {
                // The frame is taken back out; nothing more of it is coded.
                noteCount1Problem(state, gr, ch, lines, i);
                break;
            }
            const uint16_t entry =
                quads[quadIndex(lines[i], lines[i + 1], lines[i + 2], lines[i + 3])];
            put(w, entry & 0x3FF, entry >> 10);
            left -= entry >> 10;
        }
    }
    for (; left > 0; left -= 32) {
        const int n = left < 32 ? left : 32;
        put(w, (uint64_t{1} << n) - 1, n);
    }
    writer = w;
}

void closeGranule(BitWriter& w, MainDataState& state, int32_t endPos) {
    endWriting(w, state.store);
    // An item that ran more than 24 bits past the end leaves bits the clearing does not
    // reach; the next granule's writer would overwrite them, so they go into the saved copy.
    const int32_t reach = state.store.writePos;
    if (reach < endPos - kClearBelowBits) [[unlikely]]
        keepStoreBits(state, reach, endPos - kClearBelowBits);
    state.store.writePos = endPos;
    clearBelow(state.store, endPos, kClearBelowBits);
    clearSavedBits(state, endPos, kClearBelowBits);
}

}  // namespace l3
