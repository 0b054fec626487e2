#pragma once
// The l3assemble run: start-up, the frame loop, the end of the run, and how it ended.
// It prints nothing: the messages, the progress and the statistics are handed to the
// caller, which shows them (tools/l3assemble.cpp) or not.

#include <cstdint>
#include <string>
#include <vector>

#include "format/record_problem.h"
#include "l3/assemble.h"
#include "io/platform.h"

namespace l3 {

struct AssemblerState;

struct AssembleRun {
    InputStream* records = nullptr;
    InputStream* ancillary = nullptr;
    OutputStream* output = nullptr;
    std::string recordName;     // for messages
    std::string ancillaryName;  // empty for the null device
    std::string outputName;
    AssembleProgress progress = nullptr;  // null for a quiet run
    void* progressContext = nullptr;
    std::string message;  // why the run failed, as printed after "l3assemble: "
    std::string warning;  // a warning of a run that succeeded
    // Every message and warning in the order they arose; a failed run may have several
    // (a record file cut short, then an output that cannot be written).
    std::vector<std::string> messages;
    AssembleStatistics statistics;
};

// Runs the whole assembly on streams that are already open, in the order record file,
// ancillary file, output. Returns how it ended. The output is flushed, not closed.
Status runAssembly(AssemblerState& state, AssembleRun& run);

// The steps of a run, for callers that feed records one at a time.
// Readies state for the first frame: tables, bit store, ring, output and its byte limit.
void beginAssembly(AssemblerState& state, OutputStream* output, uint32_t outputLimit);
// Writes state.record as the next frame with its ancillary bit count and the bytes of its
// share (the min(ancillaryBits, 1024) bytes the record file's reader would take; fewer when
// the ancillary input ran short). Returns the problem when the record cannot be written:
// the frame is then taken back out and state is as it was before the call.
RecordProblem assembleRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share,
                             size_t shareBytes);
// "frame N, granule G, channel C: field ... value ... reason", as l3assemble prints it.
std::string describeProblem(int32_t frame, const RecordProblem& problem);

// The whole l3assemble run on files: opens them ("nul" names the null device; an output
// that is one of the inputs is refused), runs, closes. Returns how it ended; run's
// console and errors streams, if set, get the console lines and messages.
Status assembleFileRun(AssembleRun& run, const std::string& recordPath,
                    const std::string& ancillaryPath, const std::string& outputPath);

// A run on a record file and an ancillary file held in memory; the output is appended to
// output. Returns how it ended.
Status assembleMemoryRun(AssembleRun& run, const uint8_t* records, size_t recordBytes,
                      const uint8_t* ancillary, size_t ancillaryBytes,
                      std::vector<uint8_t>& output);

// Sends every queued frame at the end of a run fed record by record; the caller flushes.
void endAssembly(AssemblerState& state);

// The bytes of ancillary data the assembler reads for a record with this bit count.
size_t shareBytes(int32_t ancillaryBits);

// A quiet run on a record file and an ancillary file held in memory; the output is
// appended to output. Returns how it ended.
Status assembleInMemory(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                        size_t ancillaryBytes, std::vector<uint8_t>& output);

}  // namespace l3
