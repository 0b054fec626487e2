#include "edit/layout_plan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace l3 {

namespace {

constexpr int64_t kImpossible = std::numeric_limits<int64_t>::max() / 4;

// The first frame that cannot fit even with the largest size and as much reservoir as the
// rules let it have.
size_t firstFrameThatCannotFit(std::span<const LayoutFrame> frames, int32_t largest, int maxBack,
                               int32_t reservoir) {
    for (size_t k = 0; k < frames.size(); ++k) {
        const int32_t area = largest - frames[k].headBytes;
        const int32_t left = reservoir + area - frames[k].mainBytes;
        if (left < 0) return k;
        reservoir = std::min(left, maxBack);
    }
    return frames.size();
}

}  // namespace

// The row loops vectorise; where the processor has 256-bit vectors a copy built for them
// is chosen at load time.
// (Not under the thread sanitizer: the choice runs before the sanitizer is set up.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
[[gnu::target_clones("avx2", "default")]]
#endif
LayoutPlan
planLayout(std::span<const LayoutFrame> frames, const std::vector<FrameSize>& sizes, int maxBack,
           int initialReservoir) {
    LayoutPlan plan;
    const size_t n = frames.size();
    const int states = maxBack + 1;
    // best[r]: the fewest bytes for frames k.. given reservoir r before frame k, less the
    // row's offset (the fewest bytes with a full reservoir), so that values stay small: a
    // fuller reservoir saves at most its own bytes and a frame, well within 16 bits, which
    // lets the loops below take twice as many states per vector step. Rows fall as r grows:
    // a larger reservoir never costs more.
    std::vector<int16_t> next(static_cast<size_t>(states), 0), best(static_cast<size_t>(states));
    std::vector<int16_t> chosenRow(static_cast<size_t>(states));
    // Where a row's choice changes, a byte per reservoir (whole words of eight: the bytes past
    // the last reservoir stay 0).
    std::vector<uint8_t> changes(static_cast<size_t>((states + 7) / 8 * 8), 0);
    // The choices per frame and reservoir, as runs: a row changes its choice at a few
    // reservoirs only. Frame k's runs start at runStart[k], each from its reservoir up to the
    // next run's.
    struct Run {
        uint16_t from;
        uint8_t size;
    };
    SpillVector<Run> runs;
    runs.reserve(4 * n);
    SpillVector<size_t> runStart(n, 0);
    // Sizes from the smallest up: once a size fills the reservoir whatever it held, a larger
    // one only costs more. A size one byte above the one before it (the same rate padded)
    // goes with it: the pair is one pass over the next row's better of each two neighbours.
    std::vector<size_t> order(sizes.size());
    for (size_t s = 0; s < order.size(); ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return sizes[a].frameBytes < sizes[b].frameBytes; });
    struct Unit {
        int16_t bytes;
        int16_t id, paddedId;  // paddedId: the size one byte larger, or -1
    };
    std::vector<Unit> units;
    for (size_t i = 0; i < order.size(); ++i) {
        const int32_t bytes = sizes[order[i]].frameBytes;
        const bool paired = i + 1 < order.size() && sizes[order[i + 1]].frameBytes == bytes + 1;
        units.push_back({static_cast<int16_t>(bytes), static_cast<int16_t>(order[i]),
                         static_cast<int16_t>(paired ? order[i + 1] : -1)});
        if (paired) ++i;
    }
    int64_t offset = 0;
    // Above any real row value, and a frame's bytes added to it still fit.
    constexpr int16_t kImpossibleRow = 30000;
    // The next row as the sizes read it: spread[states + x] is next[min(x, maxBack)] for the
    // reservoir x a frame leaves, and kImpossibleRow for x < 0 (the frame did not fit), so
    // that each size's values for every reservoir are one shifted run of it, compared whole.
    // paired[x] is the better of spread[x] and, a byte dearer, spread[x + 1]; padded[x] is
    // -1 where the latter is better (strictly: the smaller size wins a tie). Rows are rebased
    // to 0 at a full reservoir, so from 2 * states on both hold 0 (padded too) for good, and
    // below states - 1 kImpossibleRow (padded 0); only the part between changes per row.
    const size_t spreadSize = static_cast<size_t>(3 * states);
    std::vector<int16_t> spread(spreadSize, kImpossibleRow), paired(spreadSize),
        padded(spreadSize, 0);
    std::fill(spread.begin() + 2 * states, spread.end(), int16_t{0});
    std::fill(paired.begin(), paired.begin() + states, kImpossibleRow);
    std::fill(paired.begin() + 2 * states, paired.end(), int16_t{0});
    auto spreadNext = [&] {
        std::copy(next.begin(), next.end(), spread.begin() + states);
        const int16_t* x = spread.data();
        int16_t* p = paired.data();
        int16_t* d = padded.data();
        for (size_t i = static_cast<size_t>(states - 1); i < static_cast<size_t>(2 * states); ++i) {
            const int16_t dearer = static_cast<int16_t>(x[i + 1] + 1);
            const bool better = dearer < x[i];
            p[i] = better ? dearer : x[i];
            d[i] = static_cast<int16_t>(-static_cast<int16_t>(better));
        }
    };
    spreadNext();
    for (size_t k = n; k-- > 0;) {
        std::fill(best.begin(), best.end(), kImpossibleRow);
        std::fill(chosenRow.begin(), chosenRow.end(), 0);
        const int32_t need = frames[k].mainBytes;
        // From this reservoir up, a smaller size already filled the reservoir: no larger
        // one can do better there.
        int filledFrom = states;
        for (const Unit& unit : units) {
            const int shift = unit.bytes - frames[k].headBytes - need;  // reservoir change
            const bool pair = unit.paddedId >= 0 && shift < maxBack;
            // Below reservoir -shift (-shift - 1 padded) the frame does not fit.
            const int from = std::max(0, -shift - (pair ? 1 : 0));
            if (from >= filledFrom) continue;
            // The loops run over whole aligned vectors: below `from` the size does not fit and
            // above filledFrom it cannot do better, so the extra states keep their values.
            const int lo = from & ~15, hi = std::min(states, (filledFrom + 15) & ~15);
            const int16_t bytes = unit.bytes;
            const int16_t id = unit.id;
            // Reservoir r leaves min(r + shift, maxBack) when r + shift >= 0.
            const size_t at = static_cast<size_t>(states + std::min(shift, maxBack));
            int16_t* b = best.data();
            int16_t* c = chosenRow.data();
            if (pair) {
                const int16_t* t = paired.data() + at;
                const int16_t* d = padded.data() + at;
                const int16_t flip = static_cast<int16_t>(id ^ unit.paddedId);
                for (int r = lo; r < hi; ++r) {
                    const int16_t total = static_cast<int16_t>(bytes + t[r]);
                    const bool better = total < b[r];
                    const int16_t which = static_cast<int16_t>(id ^ (d[r] & flip));
                    b[r] = better ? total : b[r];
                    c[r] = better ? which : c[r];
                }
            } else {
                const int16_t* t = spread.data() + at;
                for (int r = lo; r < hi; ++r) {
                    const int16_t total = static_cast<int16_t>(bytes + t[r]);
                    const bool better = total < b[r];
                    b[r] = better ? total : b[r];
                    c[r] = better ? id : c[r];
                }
            }
            if (shift >= 0) filledFrom = std::min(filledFrom, maxBack - shift - (pair ? 1 : 0));
            if (filledFrom <= 0) break;  // it fills the reservoir whatever it held
        }
        // Rows are made from the last frame back, so frames' runs are stored last frame first.
        runStart[k] = runs.size();
        const int16_t* c = chosenRow.data();
        runs.push_back({0, static_cast<uint8_t>(c[0])});
        // The reservoirs where the choice changes, read eight at a time.
        for (int r = 1; r < states; ++r) changes[static_cast<size_t>(r)] = c[r] != c[r - 1];
        for (int word = 0; word < states; word += 8) {
            uint64_t bits = 0;  // byte i in bits 8i..8i+7
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(&bits, changes.data() + word, 8);
            } else {
                for (int i = 0; i < 8; ++i)
                    bits |= uint64_t{changes[static_cast<size_t>(word + i)]} << (8 * i);
            }
            for (; bits != 0; bits &= bits - 1) {
                const int r = word + std::countr_zero(bits) / 8;
                runs.push_back({static_cast<uint16_t>(r), static_cast<uint8_t>(c[r])});
            }
        }
        // Rebase the row on its value with a full reservoir, its smallest.
        const int16_t base = best[static_cast<size_t>(maxBack)];
        if (base >= kImpossibleRow) {
            next.assign(static_cast<size_t>(states), kImpossibleRow);
            offset = kImpossible;
            break;
        }
        for (int16_t& v : best)
            v = v >= kImpossibleRow ? kImpossibleRow : static_cast<int16_t>(v - base);
        offset += base;
        std::swap(best, next);
        spreadNext();
    }
    const size_t start = static_cast<size_t>(std::clamp(initialReservoir, 0, maxBack));
    if (n > 0 && (offset >= kImpossible || next[start] >= kImpossibleRow)) {
        int32_t largest = 0;
        for (const FrameSize& s : sizes) largest = std::max(largest, s.frameBytes);
        plan.failedFrame =
            firstFrameThatCannotFit(frames, largest, maxBack, static_cast<int32_t>(start));
        return plan;
    }
    plan.ok = true;
    plan.totalBytes = n > 0 ? offset + next[start] : 0;
    plan.size.resize(n);
    plan.mainDataBegin.resize(n);
    // Frame k's runs end where frame k - 1's (stored after them) begin, frame 0's at the end.
    int reservoir = static_cast<int>(start);
    for (size_t k = 0; k < n; ++k) {
        size_t run = runStart[k];
        const size_t end = k > 0 ? runStart[k - 1] : runs.size();
        while (run + 1 < end && runs[run + 1].from <= reservoir) ++run;
        const uint8_t s = runs[run].size;
        plan.size[k] = s;
        plan.mainDataBegin[k] = reservoir;
        reservoir = std::min(
            reservoir + sizes[s].frameBytes - frames[k].headBytes - frames[k].mainBytes, maxBack);
    }
    return plan;
}

}  // namespace l3
