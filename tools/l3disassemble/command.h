#pragma once
// l3disassemble's command line: arguments, files, the summary and the exit code.

#include <cstdio>

#include "l3/status.h"

namespace l3disassemble {

// l3disassemble's exit codes.
enum ExitCode : int {
    kDisOk = 0,
    kDisUsage = 1,
    kDisIo = 2,           // input cannot be read, an output cannot be written, too much held
    kDisNotLayer3 = 3,    // no Layer III frame, free format, Layer I/II
    kDisCannotCarry = 4,  // a frame the format cannot carry (gap over 8192 bits, CRC mismatch)
    kDisStrict = 5,       // --strict and bytes were skipped
    kDisVerify = 6,       // the records do not rebuild the input (an internal fault)
};

// The exit code for how a disassembly ended.
int exitCode(l3::Status status);

// Runs l3disassemble with the given arguments (argv[0] is the program name). The summary
// and help go to out, messages and progress to err. Returns the exit code.
int runDisassembleCommand(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace l3disassemble
