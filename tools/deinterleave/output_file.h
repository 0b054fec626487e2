#pragma once

#include <sys/types.h>

#include <string>

#include "deinterleave/input_file.h"

namespace deinterleave {

// The output, created or truncated. A failed run leaves no output that could pass for a finished
// one: discardOutput removes a regular output file (it was emptied when opened anyway). Devices and
// pipes are never removed.
struct OutputFile {
    int fd = -1;
    std::string path;
    bool regular = false;  // a regular file: seekable, and removed on failure
    dev_t device = 0;
    ino_t inode = 0;
};

enum class OpenOutputStatus {
    ok,
    failed,       // errno is in `error`
    sameAsInput,  // path names the input file; it was left untouched
};

// Opens path for writing, creating it if needed. An existing regular file is truncated only after
// it was checked not to be the input, so that refusing it loses nothing.
OpenOutputStatus openOutput(const char* path, const InputFile& input, OutputFile& output,
                            int& error);

// Closes the output; returns 0 or the errno of the failed close (a late write error).
int closeOutput(OutputFile& output);

// Closes the output if it is still open and removes it when it is a regular file still found at
// its path. Safe to call from a signal handler after openOutput has completed.
void discardOutput(const OutputFile& output);

}  // namespace deinterleave
