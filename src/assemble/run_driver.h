#pragma once
// The l3assemble run: start-up, the frame loop, the end of the run, and the exit code.

#include <cstdio>
#include <string>
#include <vector>

#include "format/platform.h"
#include "format/record_problem.h"

namespace l3 {

struct AssemblerState;

// Exit codes of l3assemble.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,       // no record file argument
    kExitCannotOpen = 2,  // an input or the output could not be opened
    kExitTruncated = 3,   // record file shorter than its head or its frame count
    kExitBadRecord = 4,   // a record the frame writer cannot lay out
    kExitWriteError = 5,  // the output could not be written
};

struct AssembleRun {
    InputStream* records = nullptr;
    InputStream* ancillary = nullptr;
    OutputStream* output = nullptr;
    std::string recordName;     // for messages
    std::string ancillaryName;  // empty for the null device
    std::string outputName;
    FILE* console = nullptr;  // progress and statistics lines; null for a quiet run
    FILE* errors = nullptr;   // messages; null for a quiet run
};

// Runs the whole assembly on streams that are already open, in the order record file,
// ancillary file, output. Returns the exit code. The output is flushed, not closed.
int runAssembly(AssemblerState& state, const AssembleRun& run);

// A run fed one record at a time, for a caller that makes records as it goes (the
// disassembler checks its records this way). beginAssembly prepares state to write to
// output, sending at most outputLimit frame bytes (a countdown the caller may lower
// later, through state.outputLimit). assembleRecord checks and writes state.record (the
// caller has decoded it there) with its ancillary bit count; share holds the
// shareBytes(ancillaryBits) bytes of its ancillary share. It returns the problem that
// stopped the frame (field null when none); the run is then as before the call.
// endAssembly sends every queued frame; the caller flushes output.
void beginAssembly(AssemblerState& state, OutputStream& output, uint32_t outputLimit);
RecordProblem assembleRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share);
void endAssembly(AssemblerState& state);

// The bytes of ancillary data the assembler reads for a record with this bit count.
size_t shareBytes(int32_t ancillaryBits);

// Writes state.record, already checked, with shareCount bytes of its share (fewer than
// shareBytes(ancillaryBits) when the ancillary file ran short).
RecordProblem placeCheckedRecord(AssemblerState& state, int32_t ancillaryBits, const uint8_t* share,
                                 size_t shareCount);

// A quiet run on a record file and an ancillary file held in memory; the output is
// appended to output. Returns the exit code.
int assembleInMemory(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                     size_t ancillaryBytes, std::vector<uint8_t>& output);

}  // namespace l3
