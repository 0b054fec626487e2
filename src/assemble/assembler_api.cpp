// The public assembly API over the run driver.

#include <memory>

#include "assemble/assembler_state.h"
#include "assemble/run_driver.h"
#include "framewriter/frame_writer.h"
#include "l3/assemble.h"

namespace l3 {

namespace {

AssembleResult resultOf(Status status, const AssembleRun& run) {
    return {status, run.message, run.warning};
}

}  // namespace

AssembleResult assembleFiles(const std::string& recordPath, const std::string& ancillaryPath,
                             const std::string& outputPath) {
    AssembleRun run;
    const Status status = assembleFileRun(run, recordPath, ancillaryPath, outputPath);
    return resultOf(status, run);
}

AssembleResult assembleFiles(const std::string& recordPath, const std::string& ancillaryPath,
                             const std::string& outputPath, AssembleReport& report) {
    AssembleRun run;
    run.progress = report.progress;
    run.progressContext = report.progressContext;
    const Status status = assembleFileRun(run, recordPath, ancillaryPath, outputPath);
    report.statistics = run.statistics;
    report.messages = std::move(run.messages);
    return resultOf(status, run);
}

AssembleResult assembleRecords(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                               size_t ancillaryBytes, std::vector<uint8_t>& output) {
    AssembleRun run;
    const Status status =
        assembleMemoryRun(run, records, recordBytes, ancillary, ancillaryBytes, output);
    return resultOf(status, run);
}

// The stream collects in a memory block that is handed to the sink whenever it is flushed.
struct Assembler::Output {
    std::vector<uint8_t> block;
    OutputStream stream;
    ByteSink sink;
    void* context;
};

Assembler::Assembler(ByteSink sink, void* context, int32_t outputLimit)
    : state_(std::make_unique<AssemblerState>()), output_(std::make_unique<Output>()) {
    output_->sink = sink;
    output_->context = context;
    openMemoryOutput(output_->stream, &output_->block);
    beginAssembly(*state_, &output_->stream, static_cast<uint32_t>(outputLimit));
}

Assembler::~Assembler() = default;

bool Assembler::flush() {
    flushOutput(output_->stream);
    std::vector<uint8_t>& block = output_->block;
    if (!block.empty() && result_.status == Status::ok &&
        !output_->sink(output_->context, block.data(), block.size())) {
        result_ = {Status::writeFailed, "cannot write output: the sink refused the stream's bytes", ""};
    }
    block.clear();
    return result_.status == Status::ok;
}

bool Assembler::addFrame(const FrameRecord& record, int32_t ancillaryBits, const uint8_t* ancillary,
                         size_t ancillaryBytes) {
    if (result_.status != Status::ok || finished_) return false;
    state_->record = record;
    const RecordProblem problem = assembleRecord(*state_, ancillaryBits, ancillary, ancillaryBytes);
    if (problem.field) {
        drainRing(*state_);
        flush();
        result_ = {Status::badRecord, describeProblem(frames_, problem), ""};
        return false;
    }
    ++frames_;
    // The memory block is handed on once it holds a buffer's worth.
    if (output_->block.size() + output_->stream.used >= kOutputBufferBytes) return flush();
    return true;
}

bool Assembler::finish(const uint8_t* trailing, size_t trailingBytes) {
    if (result_.status != Status::ok || finished_) return false;
    finished_ = true;
    drainRing(*state_);
    writeBytes(output_->stream, trailing, trailingBytes);
    return flush();
}

}  // namespace l3
