// The planned layout is the smallest legal one: checked against exhaustive search over
// every choice of frame sizes and main_data_begin on small random cases.

#include "edit/layout_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "edit/frame_head.h"

namespace {

using l3::FrameSize;
using l3::LayoutFrame;

// The rules, stated directly: main data starts mainDataBegin bytes before the frame's area
// (never before the stream, at most maxBack), after the previous frame's main data, and
// ends within the frame's own area. initial: free bytes before the first area (frames kept
// as they are).
bool legal(const std::vector<LayoutFrame>& frames, const std::vector<FrameSize>& sizes,
           const std::vector<int>& size, const std::vector<int>& begin, int maxBack, int initial) {
    int64_t areaStart = 0, previousEnd = -initial;
    for (size_t k = 0; k < frames.size(); ++k) {
        const int64_t area = sizes[static_cast<size_t>(size[k])].frameBytes - frames[k].headBytes;
        const int64_t start = areaStart - begin[k];
        if (begin[k] > maxBack || start < previousEnd) return false;
        previousEnd = start + frames[k].mainBytes;
        if (previousEnd > areaStart + area) return false;
        areaStart += area;
    }
    return true;
}

// The smallest total over every size and main_data_begin choice; -1 when none is legal.
int64_t exhaustiveMinimum(const std::vector<LayoutFrame>& frames,
                          const std::vector<FrameSize>& sizes, int maxBack, int initial) {
    const size_t n = frames.size();
    std::vector<int> size(n, 0), begin(n, 0);
    int64_t best = -1;
    while (true) {
        if (legal(frames, sizes, size, begin, maxBack, initial)) {
            int64_t total = 0;
            for (size_t k = 0; k < n; ++k) total += sizes[static_cast<size_t>(size[k])].frameBytes;
            if (best < 0 || total < best) best = total;
        }
        // Next combination: begin values fastest, then sizes.
        size_t k = 0;
        for (; k < n; ++k) {
            if (++begin[k] <= maxBack) break;
            begin[k] = 0;
        }
        if (k < n) continue;
        for (k = 0; k < n; ++k) {
            if (++size[k] < static_cast<int>(sizes.size())) break;
            size[k] = 0;
        }
        if (k == n) return best;
    }
}

// The plan has the expected total (-1: no plan), obeys the rules and adds up to its total.
void expectPlanOf(const l3::LayoutPlan& plan, int64_t expected,
                  const std::vector<LayoutFrame>& frames, const std::vector<FrameSize>& sizes,
                  int maxBack, int initial) {
    if (expected < 0) {
        EXPECT_FALSE(plan.ok);
        return;
    }
    ASSERT_TRUE(plan.ok);
    EXPECT_EQ(plan.totalBytes, expected);
    std::vector<int> size(plan.size.begin(), plan.size.end());
    std::vector<int> begin(plan.mainDataBegin.begin(), plan.mainDataBegin.end());
    EXPECT_TRUE(legal(frames, sizes, size, begin, maxBack, initial));
    int64_t total = 0;
    for (int s : size) total += sizes[static_cast<size_t>(s)].frameBytes;
    EXPECT_EQ(total, plan.totalBytes);
}

TEST(LayoutPlan, MatchesExhaustiveSearchOnSmallRandomCases) {
    std::mt19937 rng(11);
    int infeasible = 0, beatsGreedy = 0;
    for (int round = 0; round < 2000; ++round) {
        const int n = 1 + static_cast<int>(rng() % 4);
        const int maxBack = static_cast<int>(rng() % 6);
        std::vector<FrameSize> sizes;
        const int options = 1 + static_cast<int>(rng() % 3);
        for (int s = 0; s < options; ++s) {
            const int32_t bytes = static_cast<int32_t>(4 + rng() % 9);
            sizes.push_back({bytes, static_cast<uint8_t>(s + 1), 0});
            // Every other round, each rate also padded: a byte more.
            if (round % 2) sizes.push_back({bytes + 1, static_cast<uint8_t>(s + 1), 1});
        }
        std::vector<LayoutFrame> frames;
        for (int k = 0; k < n; ++k)
            frames.push_back(
                {static_cast<int32_t>(rng() % 12), static_cast<int32_t>(2 + rng() % 2)});
        const int initial = round % 3 == 0 ? static_cast<int>(rng() % (maxBack + 1)) : 0;
        const int64_t expected = exhaustiveMinimum(frames, sizes, maxBack, initial);
        const l3::LayoutPlan plan = l3::planLayout(frames, sizes, maxBack, initial);
        SCOPED_TRACE(round);
        expectPlanOf(plan, expected, frames, sizes, maxBack, initial);
        if (expected < 0) {
            ++infeasible;
            continue;
        }
        // Greedy (smallest size that fits, frame by frame) is not always minimal.
        int64_t greedy = 0, reservoir = initial;
        for (const LayoutFrame& f : frames) {
            int64_t chosen = -1;
            for (const FrameSize& s : sizes)
                if (reservoir + s.frameBytes - f.headBytes >= f.mainBytes &&
                    (chosen < 0 || s.frameBytes < chosen))
                    chosen = s.frameBytes;
            if (chosen < 0) {
                greedy = -1;
                break;
            }
            greedy += chosen;
            reservoir = std::min<int64_t>(reservoir + chosen - f.headBytes - f.mainBytes, maxBack);
        }
        if (greedy < 0 || greedy > plan.totalBytes) ++beatsGreedy;
    }
    // The cases cover both outcomes, and some where greedy choices fall short.
    EXPECT_GT(infeasible, 0);
    EXPECT_GT(beatsGreedy, 0);
}

// The fewest bytes by the plain recurrence over (frame, reservoir), in 64-bit values: the
// plan's 16-bit rows, padded copies and runs of choices must give the same at full scale.
int64_t plainMinimum(const std::vector<LayoutFrame>& frames, const std::vector<FrameSize>& sizes,
                     int maxBack, int initial) {
    constexpr int64_t kNone = INT64_MAX / 4;
    std::vector<int64_t> next(static_cast<size_t>(maxBack) + 1, 0), row(next.size());
    for (size_t k = frames.size(); k-- > 0;) {
        for (int r = 0; r <= maxBack; ++r) {
            int64_t best = kNone;
            for (const FrameSize& size : sizes) {
                const int left = r + size.frameBytes - frames[k].headBytes - frames[k].mainBytes;
                if (left >= 0 && next[static_cast<size_t>(std::min(left, maxBack))] < kNone)
                    best = std::min(
                        best, size.frameBytes + next[static_cast<size_t>(std::min(left, maxBack))]);
            }
            row[static_cast<size_t>(r)] = best;
        }
        std::swap(row, next);
    }
    return next[static_cast<size_t>(initial)] >= kNone ? -1 : next[static_cast<size_t>(initial)];
}

TEST(LayoutPlan, MatchesThePlainRecurrenceOnLongRealisticStreams) {
    // Real frame sizes (MPEG-1 at 44.1 kHz and MPEG-2 at 22.05 kHz, every rate and padding),
    // main data from nothing to more than the largest frame holds, for hundreds of frames.
    std::mt19937 rng(5);
    for (const uint32_t header : {0xFFFB9064u, 0xFFF39864u}) {
        const int maxBack = (header >> 19 & 1) ? 511 : 255;
        const std::vector<FrameSize> sizes = l3::allowedSizes(header, 0, 0);
        for (int round = 0; round < 6; ++round) {
            std::vector<LayoutFrame> frames;
            const int typical = static_cast<int>(rng() % 700);
            for (int k = 0; k < 300; ++k) {
                const int spread = static_cast<int>(rng() % 400);
                frames.push_back({std::max(0, typical + spread - 200), 36});
            }
            const int initial = round % 2 ? static_cast<int>(rng() % (maxBack + 1)) : 0;
            const int64_t expected = plainMinimum(frames, sizes, maxBack, initial);
            const l3::LayoutPlan plan = l3::planLayout(frames, sizes, maxBack, initial);
            SCOPED_TRACE(std::to_string(header) + " round " + std::to_string(round));
            expectPlanOf(plan, expected, frames, sizes, maxBack, initial);
        }
    }
}

TEST(LayoutPlan, NamesTheFirstFrameThatCannotFit) {
    const std::vector<FrameSize> sizes = {{10, 1, 0}};
    const std::vector<LayoutFrame> frames = {{4, 2}, {4, 2}, {30, 2}, {4, 2}};
    const l3::LayoutPlan plan = l3::planLayout(frames, sizes, 8);
    EXPECT_FALSE(plan.ok);
    EXPECT_EQ(plan.failedFrame, 2u);
}

}  // namespace

// The step a last frame takes when its bytes must move off the end of a result: the same
// rate with the padding bit, else the next rate without it, else none.
TEST(LayoutPlan, ALargerLastFrameIsTheNextSizeUp) {
    const uint32_t header = 0xFFFB9064;  // MPEG-1, 128 kbit/s, 44.1 kHz, joint stereo
    const std::vector<FrameSize> sizes = l3::allowedSizes(header, 0, 0);
    for (size_t s = 0; s < sizes.size(); ++s) {
        const size_t larger = l3::largerLastSize(sizes, s);
        const FrameSize& from = sizes[s];
        SCOPED_TRACE(std::to_string(from.frameBytes) + " bytes, padding " +
                     std::to_string(from.padding));
        if (larger == s) {  // only the largest rate, padded, has nothing above it
            EXPECT_EQ(from.padding, 1);
            for (const FrameSize& other : sizes) EXPECT_LE(other.frameBytes, from.frameBytes);
            continue;
        }
        const FrameSize& to = sizes[larger];
        EXPECT_GT(to.frameBytes, from.frameBytes);
        // Nothing lies strictly between the two.
        for (const FrameSize& other : sizes)
            EXPECT_FALSE(other.frameBytes > from.frameBytes && other.frameBytes < to.frameBytes);
    }
    const std::vector<FrameSize> one = l3::allowedSizes(header, 0, 128);
    for (size_t s = 0; s < one.size(); ++s)
        EXPECT_EQ(l3::largerLastSize(one, s) == s, one[s].padding == 1);
}
