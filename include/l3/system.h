#pragma once
// What the machine and its files offer the toolkit and the programs over it: processors for
// threaded calls (RepackOptions::threads and the like), the null device, where an output is
// written, and a few file operations the standard library lacks.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace l3 {

// The processors this process may run on (taskset and cgroup CPU sets narrow them), at
// least 1.
int availableProcessors();  // 1 in the WebAssembly build, which has no threads

// Lets a closed pipe surface as a write error instead of ending the process.
void ignoreBrokenPipeSignal();

// "nul" in any case names the null device on every platform: read, it is empty;
// written, it discards everything.
bool isNullDeviceName(std::string_view name);

// Where an output named path is written. A name that leads to something other than a
// regular file (a device such as /dev/null, a named pipe) is written in place and never
// replaced: a temporary file renamed over it would put a plain file where the device was.
// Anything else is written to a temporary file renamed onto target at the end; target is
// the file a symbolic link leads to, so that the link stays a link.
struct OutputPlace {
    std::string target;
    bool inPlace = false;
};
OutputPlace outputPlace(const std::string& path);

// The size of an open regular file, or -1 for anything else (a pipe, a terminal).
int64_t regularFileSize(FILE* file);

// Reserves a file's blocks from offset on for count bytes (growing the file to cover them),
// so that writing there later does not reserve them page by page. False where the file
// system or platform cannot (nothing is changed then).
bool reserveFileBlocks(FILE* file, uint64_t offset, uint64_t count);

// Cuts a file back (or extends it) to size bytes, after flushing what the stream holds.
bool resizeFile(FILE* file, uint64_t size);

// Makes a standard stream carry bytes unchanged (it does already, except on Windows).
void setBinaryMode(FILE* stream);

}  // namespace l3
