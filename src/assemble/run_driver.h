#pragma once
// The l3assemble run: start-up, the frame loop, the end of the run, and the exit code.

#include <cstdio>
#include <string>
#include <vector>

#include "format/platform.h"

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

// A quiet run on a record file and an ancillary file held in memory; the output is
// appended to output. Returns the exit code.
int assembleInMemory(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                     size_t ancillaryBytes, std::vector<uint8_t>& output);

}  // namespace l3
