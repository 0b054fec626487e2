#pragma once
// l3disassemble's command line: arguments, files, the summary and the exit code.

#include <cstdio>

namespace l3disassemble {

// Runs l3disassemble with the given arguments (argv[0] is the program name). The summary
// and help go to out, messages and progress to err. Returns the exit code.
int runDisassembleCommand(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace l3disassemble
