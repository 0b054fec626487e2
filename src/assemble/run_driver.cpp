#include "assemble/run_driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "assemble/assembler_state.h"
#include "assemble/record_check.h"
#include "format/byte_order.h"
#include "framewriter/frame_writer.h"
#include "l3/output_check.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr uint32_t kReportIntervalMs = 500;
constexpr int64_t kTagBytes = 128;

// A message (why the run failed, or a warning), kept in the run.
void report(AssembleRun& run, std::string AssembleRun::*kept, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    run.*kept = text;
    run.messages.emplace_back(text);
}

// The size used by the progress estimate: the whole file, less 128 bytes when its last
// 128 bytes begin with the letters TAG.
int64_t probeRecordSize(InputStream& records) {
    int64_t size = measureSize(records);
    if (size < 0) return 0;
    if (peekByteAt(records, size - kTagBytes) == 'T' &&
        peekByteAt(records, size - kTagBytes + 1) == 'A' &&
        peekByteAt(records, size - kTagBytes + 2) == 'G')
        size -= kTagBytes;
    return size;
}

void reportProblem(AssembleRun& run, int32_t frame, const RecordProblem& p) {
    report(run, &AssembleRun::message, "%s", describeProblem(frame, p).c_str());
}

void reportProgress(const AssembleRun& run, const AssemblerState& state, int32_t done) {
    if (!run.progress) return;
    uint64_t position = run.records->position;
    double estimate =
        position ? done * (static_cast<double>(state.recordSize) / static_cast<double>(position))
                 : 0.0;
    estimate = std::clamp(estimate, -2147483648.0, 2147483647.0);
    run.progress(run.progressContext, done, static_cast<int32_t>(estimate));
}

// Sends what is still queued and makes sure it reached the output. Returns false after
// a write error, which has then been reported.
bool finishOutput(AssembleRun& run, AssemblerState& state) {
    drainRing(state);
    if (flushOutput(*run.output)) return true;
    report(run, &AssembleRun::message, "cannot write output '%s': %s", run.outputName.c_str(),
           std::strerror(run.output->error));
    return false;
}

void copyRestOfAncillary(const AssembleRun& run) {
    uint8_t block[1 << 16];
    size_t n;
    while ((n = readBytes(*run.ancillary, block, sizeof block)) > 0)
        writeBytes(*run.output, block, n);
}

// The output checked against both inputs (the null device is neither).
OutputCheck outputNamesInput(const std::string& recordPath, const std::string& ancillaryPath,
                             const std::string& outputPath) {
    auto file = [](const std::string& path) { return isNullDeviceName(path) ? "" : path; };
    const std::string inputs[2] = {file(recordPath), file(ancillaryPath)};
    const std::string output = file(outputPath);
    return checkOutputs(inputs, std::span(&output, 1), {});
}

}  // namespace

std::string describeProblem(int32_t frame, const RecordProblem& p) {
    char text[256];
    int n = std::snprintf(text, sizeof text, "frame %i", frame);
    if (p.granule >= 0) n += std::snprintf(text + n, sizeof text - n, ", granule %i", p.granule);
    if (p.channel >= 0) n += std::snprintf(text + n, sizeof text - n, ", channel %i", p.channel);
    const char* indexName = std::strcmp(p.field, "spectrum") == 0 ? "line" : "entry";
    if (p.index >= 0)
        std::snprintf(text + n, sizeof text - n, ": %s %s %i value %" PRId64 " %s", p.field,
                      indexName, p.index, p.value, p.reason);
    else
        std::snprintf(text + n, sizeof text - n, ": %s %" PRId64 " %s", p.field, p.value, p.reason);
    return text;
}

size_t shareBytes(int32_t ancillaryBits) {
    return ancillaryBits > 0 ? static_cast<size_t>(std::min(ancillaryBits, kAncillaryReadLimit))
                             : 0;
}

void beginAssembly(AssemblerState& state, OutputStream* output, uint32_t outputLimit) {
    codeTables();  // built here at start-up, once per process
    initBitStore(state.store);
    initFrameRing(state.ring);
    state.ancillaryBits = -1;
    state.ancillaryBuffer.fill(0);
    state.output = output;
    state.outputLimit = outputLimit;
    state.firstFrame = 1;
    state.problem = {};
}

RecordProblem assembleRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share,
                             size_t shareBytes) {
    RecordProblem problem = checkRecord(state, ancillaryBits);
    if (problem.field) return problem;
    // The share replaces the start of the buffer (bytes it lacks keep what they held); keep
    // what it replaces, so that a frame taken back out leaves the previous record's ancillary
    // bits as they were.
    const int32_t previousBits = state.ancillaryBits;
    uint8_t saved[kAncillaryReadLimit];
    const size_t n = std::min<size_t>(shareBytes, kAncillaryReadLimit);
    if (ancillaryBits > 0) {
        std::memcpy(saved, state.ancillaryBuffer.data(), n);
        std::memcpy(state.ancillaryBuffer.data(), share, n);
    }
    state.ancillaryBits = ancillaryBits;
    if (writeFrame(state) != 0) {
        problem = state.problem;
        state.problem = {};
        state.ancillaryBits = previousBits;
        if (ancillaryBits > 0) std::memcpy(state.ancillaryBuffer.data(), saved, n);
    }
    return problem;
}

void endAssembly(AssemblerState& state) {
    drainRing(state);
}

Status runAssembly(AssemblerState& state, AssembleRun& run) {
    state.recordSize = probeRecordSize(*run.records);
    beginAssembly(state, run.output, static_cast<uint32_t>(state.recordSize));

    uint8_t headBytes[kHeadBytes];
    if (readBytes(*run.records, headBytes, kHeadBytes) != kHeadBytes) {
        report(run, &AssembleRun::message, "record file '%s' is shorter than its %zu-byte head",
               run.recordName.c_str(), kHeadBytes);
        return Status::cutShort;
    }
    const RecordFileHead head = decodeRecordFileHead(headBytes);
    state.outputLimit = static_cast<uint32_t>(head.outputLimit);

    const uint32_t startTick = tickCount();
    uint32_t nextReport = startTick;
    int64_t ancillaryShortfall = 0;

    int32_t done = 0;
    for (; done < head.frameCount; ++done) {
        const uint8_t* entry = nextBytes(*run.records, kRecordEntryBytes);
        if (!entry) {
            report(run, &AssembleRun::message, "record file '%s' ends after %i of %i frames",
                   run.recordName.c_str(), done, head.frameCount);
            return finishOutput(run, state) ? Status::cutShort : Status::writeFailed;
        }
        decodeUsedParts(entry, state.record);
        const int32_t ancillaryBits = static_cast<int32_t>(loadLe32(entry + kRecordBytes));
        uint8_t share[kAncillaryReadLimit];
        size_t got = 0;
        if (ancillaryBits > 0) {
            const size_t want = shareBytes(ancillaryBits);
            got = readBytes(*run.ancillary, share, want);
            ancillaryShortfall += static_cast<int64_t>(want - got);
        }
        const RecordProblem problem = assembleRecord(state, ancillaryBits, share, got);
        if (problem.field) {
            reportProblem(run, done, problem);
            return finishOutput(run, state) ? Status::badRecord : Status::writeFailed;
        }

        uint32_t now = tickCount();
        if (now >= nextReport) {
            nextReport = now + kReportIntervalMs;
            reportProgress(run, state, done + 1);
        }
    }

    if (!finishOutput(run, state)) return Status::writeFailed;
    copyRestOfAncillary(run);
    if (!flushOutput(*run.output)) {
        report(run, &AssembleRun::message, "cannot write output '%s': %s", run.outputName.c_str(),
               std::strerror(run.output->error));
        return Status::writeFailed;
    }
    run.statistics = {true, done, state.ring.framesWritten, tickCount() - startTick};
    if (ancillaryShortfall > 0 && !run.ancillaryName.empty())
        report(run, &AssembleRun::warning,
               "warning: ancillary file '%s' ended %" PRId64
               " bytes before the records' shares were read",
               run.ancillaryName.c_str(), ancillaryShortfall);
    return Status::ok;
}

Status assembleFileRun(AssembleRun& run, const std::string& recordPath,
                    const std::string& ancillaryPath, const std::string& outputPath) {
    run.recordName = recordPath;
    run.ancillaryName = isNullDeviceName(ancillaryPath) ? "" : ancillaryPath;
    run.outputName = outputPath;
    InputStream records, ancillary;
    OutputStream output;
    std::string why;
    // "-" names standard input (for one of the two inputs) or standard output.
    auto open = [&why](InputStream& in, const std::string& path) {
        if (path != "-") return openInput(in, path, why);
        openStandardInput(in);
        return true;
    };
    if (!open(records, recordPath)) {
        report(run, &AssembleRun::message, "cannot open record file '%s': %s", recordPath.c_str(),
               why.c_str());
        return Status::io;
    }
    Status status = Status::io;
    const bool toStandardOutput = outputPath == "-";
    if (recordPath == "-" && ancillaryPath == "-") {
        report(run, &AssembleRun::message,
               "cannot open ancillary file '-': standard input is already the record file");
    } else if (!open(ancillary, ancillaryPath)) {
        report(run, &AssembleRun::message, "cannot open ancillary file '%s': %s",
               ancillaryPath.c_str(), why.c_str());
    } else if (const OutputCheck check = outputNamesInput(recordPath, ancillaryPath, outputPath)) {
        // Opening the output truncates it: refuse an output that is one of the inputs.
        report(run, &AssembleRun::message, "cannot open output '%s': it is the input '%s'",
               outputPath.c_str(), (check.other == 0 ? recordPath : ancillaryPath).c_str());
    } else if (!toStandardOutput && !openOutput(output, outputPath, why)) {
        report(run, &AssembleRun::message, "cannot open output '%s': %s", outputPath.c_str(),
               why.c_str());
    } else {
        if (toStandardOutput) openStandardOutput(output);
        run.records = &records;
        run.ancillary = &ancillary;
        run.output = &output;
        auto state = std::make_unique<AssemblerState>();
        status = runAssembly(*state, run);
        if (!closeOutput(output) && status != Status::writeFailed) {
            report(run, &AssembleRun::message, "cannot write output '%s': %s", outputPath.c_str(),
                   std::strerror(output.error));
            status = Status::writeFailed;
        }
    }
    closeInput(records);
    closeInput(ancillary);
    return status;
}

Status assembleMemoryRun(AssembleRun& run, const uint8_t* records, size_t recordBytes,
                      const uint8_t* ancillary, size_t ancillaryBytes,
                      std::vector<uint8_t>& output) {
    InputStream recordStream, ancillaryStream;
    OutputStream outputStream;
    openMemoryInput(recordStream, records, recordBytes);
    openMemoryInput(ancillaryStream, ancillary, ancillaryBytes);
    openMemoryOutput(outputStream, &output);
    run.records = &recordStream;
    run.ancillary = &ancillaryStream;
    run.output = &outputStream;
    run.recordName = "(memory)";
    run.ancillaryName = "(memory)";
    run.outputName = "(memory)";
    auto state = std::make_unique<AssemblerState>();
    const Status status = runAssembly(*state, run);
    flushOutput(outputStream);
    return status;
}

Status assembleInMemory(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                        size_t ancillaryBytes, std::vector<uint8_t>& output) {
    AssembleRun run;
    return assembleMemoryRun(run, records, recordBytes, ancillary, ancillaryBytes, output);
}

}  // namespace l3
