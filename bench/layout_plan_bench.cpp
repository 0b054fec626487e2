// The layout plan alone on the frames of the bench streams, repeated to some 20 000 frames
// (the plan's share of a repack of 8 MB).

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "edit/frame_head.h"
#include "edit/layout_plan.h"
#include "edit/source_stream.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace {

struct PlanInput {
    std::vector<l3::LayoutFrame> frames;
    std::vector<l3::FrameSize> sizes;
    int maxBack = 0;
};

PlanInput planInputOf(const std::string& name, size_t frameCount) {
    std::ifstream in(std::string(L3_BENCH_DATA_DIR) + "/" + name, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    l3::SourceStream src;
    l3::SourceProblem problem;
    PlanInput plan;
    if (!l3::readSource(bytes.data(), bytes.size(), l3::SourcePass::layout, 1, src, problem) ||
        src.frames.empty())
        return plan;
    const uint32_t header = src.frames[0].header;
    plan.sizes = l3::allowedSizes(header, 0, 0);
    plan.maxBack = l3::isMpeg1(header) ? 511 : 255;
    while (plan.frames.size() < frameCount)
        for (const l3::SourceFrame& f : src.frames)
            plan.frames.push_back({(f.mainBits + 7) / 8, l3::headByteCount(f.header)});
    plan.frames.resize(frameCount);
    return plan;
}

void planOf(benchmark::State& state, const char* name) {
    const PlanInput input = planInputOf(name, 20000);
    if (input.frames.empty()) {
        state.SkipWithError("no frames");
        return;
    }
    for (auto _ : state) {
        const l3::LayoutPlan plan = l3::planLayout(input.frames, input.sizes, input.maxBack);
        benchmark::DoNotOptimize(plan.totalBytes);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.frames.size()));
}

BENCHMARK_CAPTURE(planOf, mpeg1_stereo_128k, "m1_44k_stereo_cbr128.mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(planOf, mpeg1_joint_320k, "m1_44k_joint_cbr320.mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(planOf, mpeg2_mono_64k, "m2_22k_mono_cbr64.mp3")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
