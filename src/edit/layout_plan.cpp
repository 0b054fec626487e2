#include "edit/layout_plan.h"

#include <algorithm>
#include <limits>

namespace l3 {

namespace {

constexpr int64_t kImpossible = std::numeric_limits<int64_t>::max() / 4;

// The first frame that cannot fit even with the largest size and as much reservoir as the
// rules let it have.
size_t firstFrameThatCannotFit(const std::vector<LayoutFrame>& frames, int32_t largest,
                               int maxBack) {
    int32_t reservoir = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        const int32_t area = largest - frames[k].headBytes;
        const int32_t left = reservoir + area - frames[k].mainBytes;
        if (left < 0) return k;
        reservoir = std::min(left, maxBack);
    }
    return frames.size();
}

}  // namespace

LayoutPlan planLayout(const std::vector<LayoutFrame>& frames, const std::vector<FrameSize>& sizes,
                      int maxBack) {
    LayoutPlan plan;
    const size_t n = frames.size();
    const int states = maxBack + 1;
    // best[r]: the fewest bytes for the frames after k given reservoir r before frame k + 1.
    std::vector<int64_t> next(static_cast<size_t>(states), 0), best(static_cast<size_t>(states));
    std::vector<uint8_t> choice(n * static_cast<size_t>(states), 0);
    for (size_t k = n; k-- > 0;) {
        std::fill(best.begin(), best.end(), kImpossible);
        uint8_t* chosen = choice.data() + k * static_cast<size_t>(states);
        const int32_t need = frames[k].mainBytes;
        for (size_t s = 0; s < sizes.size(); ++s) {
            const int32_t bytes = sizes[s].frameBytes;
            const int32_t shift = bytes - frames[k].headBytes - need;  // reservoir change
            // Reservoir r works when r + shift >= 0; it leaves min(r + shift, maxBack).
            for (int r = std::max(0, -shift); r < states; ++r) {
                const int64_t total =
                    bytes + next[static_cast<size_t>(std::min(r + shift, maxBack))];
                if (total < best[static_cast<size_t>(r)]) {
                    best[static_cast<size_t>(r)] = total;
                    chosen[r] = static_cast<uint8_t>(s);
                }
            }
        }
        std::swap(best, next);
    }
    if (n > 0 && next[0] >= kImpossible) {
        int32_t largest = 0;
        for (const FrameSize& s : sizes) largest = std::max(largest, s.frameBytes);
        plan.failedFrame = firstFrameThatCannotFit(frames, largest, maxBack);
        return plan;
    }
    plan.ok = true;
    plan.totalBytes = n > 0 ? next[0] : 0;
    plan.size.resize(n);
    plan.mainDataBegin.resize(n);
    int reservoir = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t s = choice[k * static_cast<size_t>(states) + static_cast<size_t>(reservoir)];
        plan.size[k] = s;
        plan.mainDataBegin[k] = reservoir;
        reservoir = std::min(
            reservoir + sizes[s].frameBytes - frames[k].headBytes - frames[k].mainBytes, maxBack);
    }
    return plan;
}

}  // namespace l3
