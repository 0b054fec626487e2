// The re-coding of --huffman alone (the cheapest coding of every granule of a frame) on
// the decoded frames of the bench streams.

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "edit/source_stream.h"
#include "maindata/granule_coder.h"

namespace {

std::vector<l3::FrameRecord> decodedFrames(const std::string& name) {
    std::ifstream in(std::string(L3_BENCH_DATA_DIR) + "/" + name, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    l3::SourceStream src;
    l3::SourceProblem problem;
    std::vector<l3::FrameRecord> records;
    if (!l3::readSource(bytes.data(), bytes.size(), l3::SourcePass::layout, 1, src, problem))
        return records;
    for (const l3::SourceFrame& f : src.frames) {
        if (f.undecodable) continue;
        records.emplace_back();
        l3::readSideInfo(bytes.data() + f.offset, records.back());
        if (l3::readMainData(src.mainData.data(), f.mainStart, records.back()))
            records.pop_back();
    }
    return records;
}

void recodeOf(benchmark::State& state, const char* name) {
    const std::vector<l3::FrameRecord> frames = decodedFrames(name);
    if (frames.empty()) {
        state.SkipWithError("no frames");
        return;
    }
    auto record = std::make_unique<l3::FrameRecord>();
    for (auto _ : state) {
        for (const l3::FrameRecord& f : frames) {
            *record = f;
            l3::recodeFrame(*record);
            benchmark::DoNotOptimize(record->granuleInfo[0][0].part2_3_length);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(frames.size()));
}

BENCHMARK_CAPTURE(recodeOf, mpeg1_stereo_128k, "m1_44k_stereo_cbr128.mp3");
BENCHMARK_CAPTURE(recodeOf, mpeg1_joint_320k, "m1_44k_joint_cbr320.mp3");
BENCHMARK_CAPTURE(recodeOf, mpeg2_mono_64k, "m2_22k_mono_cbr64.mp3");

}  // namespace

BENCHMARK_MAIN();
