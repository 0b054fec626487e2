#include "edit/layout_plan.h"

#include <algorithm>
#include <limits>

namespace l3 {

namespace {

constexpr int64_t kImpossible = std::numeric_limits<int64_t>::max() / 4;

// The first frame that cannot fit even with the largest size and as much reservoir as the
// rules let it have.
size_t firstFrameThatCannotFit(const std::vector<LayoutFrame>& frames, int32_t largest, int maxBack,
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
planLayout(const std::vector<LayoutFrame>& frames, const std::vector<FrameSize>& sizes, int maxBack,
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
    // The choices per frame and reservoir, as runs: a row changes its choice at a few
    // reservoirs only. Frame k's runs start at runStart[k], each from its reservoir up to the
    // next run's.
    struct Run {
        uint16_t from;
        uint8_t size;
    };
    std::vector<Run> runs;
    runs.reserve(4 * n);
    std::vector<size_t> runStart(n, 0);
    // Sizes from the smallest up: once a size fills the reservoir whatever it held, a larger
    // one only costs more.
    std::vector<size_t> order(sizes.size());
    for (size_t s = 0; s < order.size(); ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return sizes[a].frameBytes < sizes[b].frameBytes; });
    int64_t offset = 0;
    // Above any real row value, and a frame's bytes added to it still fit.
    constexpr int16_t kImpossibleRow = 30000;
    // The next row as the sizes read it: spread[states + x] is next[min(x, maxBack)] for the
    // reservoir x a frame leaves, and kImpossibleRow for x < 0 (the frame did not fit), so
    // that each size's values for every reservoir are one shifted run of it, compared whole.
    std::vector<int16_t> spread(static_cast<size_t>(3 * states), kImpossibleRow);
    auto spreadNext = [&] {
        std::copy(next.begin(), next.end(), spread.begin() + states);
        std::fill(spread.begin() + 2 * states, spread.end(), next[static_cast<size_t>(maxBack)]);
    };
    spreadNext();
    for (size_t k = n; k-- > 0;) {
        std::fill(best.begin(), best.end(), kImpossibleRow);
        std::fill(chosenRow.begin(), chosenRow.end(), 0);
        const int32_t need = frames[k].mainBytes;
        for (const size_t s : order) {
            const int16_t bytes = static_cast<int16_t>(sizes[s].frameBytes);
            const int shift = bytes - frames[k].headBytes - need;  // reservoir change
            if (shift <= -states) continue;  // no reservoir is enough with this size
            const int16_t id = static_cast<int16_t>(s);
            // Reservoir r leaves min(r + shift, maxBack) when r + shift >= 0.
            const int16_t* t = spread.data() + states + std::min(shift, maxBack);
            int16_t* b = best.data();
            int16_t* c = chosenRow.data();
            for (int r = 0; r < states; ++r) {
                const int16_t total = static_cast<int16_t>(bytes + t[r]);
                const bool better = total < b[r];
                b[r] = better ? total : b[r];
                c[r] = better ? id : c[r];
            }
            if (shift >= maxBack) break;  // it fills the reservoir whatever it held
        }
        // Rows are made from the last frame back, so frames' runs are stored last frame first.
        runStart[k] = runs.size();
        const int16_t* c = chosenRow.data();
        runs.push_back({0, static_cast<uint8_t>(c[0])});
        for (int from = 1; from < states; from += 16) {
            const int to = std::min(from + 16, states);
            int changed = 0;
            for (int r = from; r < to; ++r) changed |= c[r] ^ c[r - 1];
            if (changed == 0) continue;
            for (int r = from; r < to; ++r)
                if (c[r] != c[r - 1])
                    runs.push_back({static_cast<uint16_t>(r), static_cast<uint8_t>(c[r])});
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
