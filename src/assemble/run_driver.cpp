#include "assemble/run_driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "assemble/assembler_state.h"
#include "assemble/record_check.h"
#include "format/byte_order.h"
#include "framewriter/frame_writer.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr uint32_t kReportIntervalMs = 500;
constexpr int64_t kTagBytes = 128;

void report(const AssembleRun& run, const char* format, ...) {
    if (!run.errors) return;
    std::fputs("l3assemble: ", run.errors);
    va_list args;
    va_start(args, format);
    std::vfprintf(run.errors, format, args);
    va_end(args);
    std::fputc('\n', run.errors);
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

void reportProblem(const AssembleRun& run, int32_t frame, const RecordProblem& p) {
    char where[96];
    int n = std::snprintf(where, sizeof where, "frame %i", frame);
    if (p.granule >= 0) n += std::snprintf(where + n, sizeof where - n, ", granule %i", p.granule);
    if (p.channel >= 0) n += std::snprintf(where + n, sizeof where - n, ", channel %i", p.channel);
    const char* indexName = std::strcmp(p.field, "spectrum") == 0 ? "line" : "entry";
    if (p.index >= 0)
        report(run, "%s: %s %s %i value %" PRId64 " %s", where, p.field, indexName, p.index,
               p.value, p.reason);
    else
        report(run, "%s: %s %" PRId64 " %s", where, p.field, p.value, p.reason);
}

void printProgress(const AssembleRun& run, const AssemblerState& state, int32_t done) {
    if (!run.console) return;
    uint64_t position = run.records->position;
    double estimate =
        position ? done * (static_cast<double>(state.recordSize) / static_cast<double>(position))
                 : 0.0;
    estimate = std::clamp(estimate, -2147483648.0, 2147483647.0);
    std::fprintf(run.console, "Frames: %i/%i(?) \r", done, static_cast<int32_t>(estimate));
}

void printStatistics(const AssembleRun& run, const AssemblerState& state, int32_t done,
                     uint32_t startTick) {
    if (!run.console) return;
    uint32_t elapsed = tickCount() - startTick;
    std::fprintf(run.console, "%i frames found.   \n", done);
    std::fprintf(run.console, "%i frames written.\n", state.ring.framesWritten);
    std::fprintf(run.console, "Processed %i frames in ", done);
    std::fprintf(run.console, "%i.%03is", static_cast<int>(elapsed / 1000),
                 static_cast<int>(elapsed % 1000));
    std::fprintf(run.console, "\n");
    std::fflush(run.console);
}

// Sends what is still queued and makes sure it reached the output. Returns false after
// a write error, which has then been reported.
bool finishOutput(const AssembleRun& run, AssemblerState& state) {
    drainRing(state);
    if (flushOutput(*run.output)) return true;
    report(run, "cannot write output '%s': %s", run.outputName.c_str(),
           std::strerror(run.output->error));
    return false;
}

void copyRestOfAncillary(const AssembleRun& run) {
    uint8_t block[1 << 16];
    size_t n;
    while ((n = readBytes(*run.ancillary, block, sizeof block)) > 0)
        writeBytes(*run.output, block, n);
}

}  // namespace

size_t shareBytes(int32_t ancillaryBits) {
    return ancillaryBits > 0 ? static_cast<size_t>(std::min(ancillaryBits, kAncillaryReadLimit))
                             : 0;
}

RecordProblem placeCheckedRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share,
                                 size_t shareCount) {
    // The share replaces the start of the buffer; keep what it replaces, so that a frame
    // taken back out leaves the previous record's ancillary bits as they were.
    uint8_t saved[kAncillaryReadLimit];
    const size_t want = shareBytes(ancillaryBits);
    const int32_t previousBits = state.ancillaryBits;
    std::memcpy(saved, state.ancillaryBuffer.data(), want);
    if (shareCount > 0) std::memcpy(state.ancillaryBuffer.data(), share, shareCount);
    state.ancillaryBits = ancillaryBits;
    if (writeFrame(state) == 0) return {};
    state.ancillaryBits = previousBits;
    std::memcpy(state.ancillaryBuffer.data(), saved, want);
    return state.problem;
}

void beginAssembly(AssemblerState& state, OutputStream& output, uint32_t outputLimit) {
    codeTables();  // built here at start-up, once per process
    initBitStore(state.store);
    initFrameRing(state.ring);
    state.ancillaryBits = -1;
    state.ancillaryBuffer.fill(0);
    state.output = &output;
    state.outputLimit = outputLimit;
    state.firstFrame = 1;
    state.problem = {};
}

RecordProblem assembleRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share) {
    RecordProblem problem = checkRecord(state, ancillaryBits);
    if (problem.field) return problem;
    return placeCheckedRecord(state, ancillaryBits, share, shareBytes(ancillaryBits));
}

void endAssembly(AssemblerState& state) {
    drainRing(state);
}

int runAssembly(AssemblerState& state, const AssembleRun& run) {
    beginAssembly(state, *run.output, 0);
    state.recordSize = probeRecordSize(*run.records);
    state.outputLimit = static_cast<uint32_t>(state.recordSize);

    uint8_t headBytes[kHeadBytes];
    if (readBytes(*run.records, headBytes, kHeadBytes) != kHeadBytes) {
        report(run, "record file '%s' is shorter than its %zu-byte head", run.recordName.c_str(),
               kHeadBytes);
        return kExitTruncated;
    }
    const RecordFileHead head = decodeRecordFileHead(headBytes);
    state.outputLimit = static_cast<uint32_t>(head.outputLimit);

    const uint32_t startTick = tickCount();
    uint32_t nextReport = startTick;
    int64_t ancillaryShortfall = 0;
    uint8_t share[kAncillaryReadLimit];

    int32_t done = 0;
    for (; done < head.frameCount; ++done) {
        const uint8_t* entry = nextBytes(*run.records, kRecordEntryBytes);
        if (!entry) {
            report(run, "record file '%s' ends after %i of %i frames", run.recordName.c_str(), done,
                   head.frameCount);
            return finishOutput(run, state) ? kExitTruncated : kExitWriteError;
        }
        decodeUsedParts(entry, state.record);
        const int32_t ancillaryBits = static_cast<int32_t>(loadLe32(entry + kRecordBytes));
        RecordProblem problem = checkRecord(state, ancillaryBits);
        if (!problem.field) {
            const size_t want = shareBytes(ancillaryBits);
            const size_t got = readBytes(*run.ancillary, share, want);
            ancillaryShortfall += static_cast<int64_t>(want - got);
            problem = placeCheckedRecord(state, ancillaryBits, share, got);
        }
        if (problem.field) {
            reportProblem(run, done, problem);
            return finishOutput(run, state) ? kExitBadRecord : kExitWriteError;
        }

        uint32_t now = tickCount();
        if (now >= nextReport) {
            nextReport = now + kReportIntervalMs;
            printProgress(run, state, done + 1);
        }
    }

    if (!finishOutput(run, state)) return kExitWriteError;
    copyRestOfAncillary(run);
    if (!flushOutput(*run.output)) {
        report(run, "cannot write output '%s': %s", run.outputName.c_str(),
               std::strerror(run.output->error));
        return kExitWriteError;
    }
    printStatistics(run, state, done, startTick);
    if (ancillaryShortfall > 0 && !run.ancillaryName.empty())
        report(run,
               "warning: ancillary file '%s' ended %" PRId64
               " bytes before the records' shares were read",
               run.ancillaryName.c_str(), ancillaryShortfall);
    return kExitOk;
}

int assembleInMemory(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                     size_t ancillaryBytes, std::vector<uint8_t>& output) {
    InputStream recordStream, ancillaryStream;
    OutputStream outputStream;
    openMemoryInput(recordStream, records, recordBytes);
    openMemoryInput(ancillaryStream, ancillary, ancillaryBytes);
    openMemoryOutput(outputStream, &output);
    AssembleRun run;
    run.records = &recordStream;
    run.ancillary = &ancillaryStream;
    run.output = &outputStream;
    run.recordName = "(memory)";
    run.ancillaryName = "(memory)";
    auto state = std::make_unique<AssemblerState>();
    int code = runAssembly(*state, run);
    flushOutput(outputStream);
    return code;
}

}  // namespace l3
