// Time of writeFrame per frame for three kinds of frame, on records disassembled from
// real streams: the record is copied into the state (as the run driver's decode does),
// its ancillary bits loaded, and the frame written and sent to a discarding output.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "assemble/assembler_state.h"
#include "assemble/run_driver.h"
#include "bench_records.h"
#include "framewriter/frame_writer.h"
#include "maindata/main_data_writer.h"
#include "tables/huffman_tables.h"

namespace {

void writeFrames(benchmark::State& bench, const char* file) {
    static l3::OutputStream discard;
    const l3bench::DecodedStream stream =
        l3bench::loadStream(std::string(L3_BENCH_DATA_DIR) + "/" + file);
    auto state = std::make_unique<l3::AssemblerState>();
    l3::beginAssembly(*state, &discard, 0xFFFFFFFFu);
    size_t k = 0;
    for (auto _ : bench) {
        state->record = stream.records[k];
        state->ancillaryBits = stream.ancillaryBits[k];
        std::memcpy(state->ancillaryBuffer.data(), stream.shares[k].data(),
                    stream.shares[k].size());
        if (l3::writeFrame(*state) != 0) bench.SkipWithError("a record was refused");
        if (++k == stream.records.size()) k = 0;
    }
    bench.SetItemsProcessed(bench.iterations());
}

// What loading a record into the state costs by itself (part of every figure above).
void BM_LoadRecordOnly(benchmark::State& bench) {
    const l3bench::DecodedStream stream =
        l3bench::loadStream(std::string(L3_BENCH_DATA_DIR) + "/m1_44k_stereo_cbr128.mp3");
    auto state = std::make_unique<l3::AssemblerState>();
    size_t k = 0;
    for (auto _ : bench) {
        state->record = stream.records[k];
        benchmark::DoNotOptimize(state->record);
        if (++k == stream.records.size()) k = 0;
    }
}

void BM_WriteFrame_Mpeg1Stereo128(benchmark::State& s) {
    writeFrames(s, "m1_44k_stereo_cbr128.mp3");
}
void BM_WriteFrame_Mpeg1Joint320(benchmark::State& s) {
    writeFrames(s, "m1_44k_joint_cbr320.mp3");
}
void BM_WriteFrame_Mpeg2Mono64(benchmark::State& s) {
    writeFrames(s, "m2_22k_mono_cbr64.mp3");
}

BENCHMARK(BM_LoadRecordOnly);
BENCHMARK(BM_WriteFrame_Mpeg1Stereo128);
BENCHMARK(BM_WriteFrame_Mpeg1Joint320);
BENCHMARK(BM_WriteFrame_Mpeg2Mono64);

}  // namespace

BENCHMARK_MAIN();
