#pragma once

#include <sys/types.h>

#include <cstdint>

namespace deinterleave {

// The input, opened and measured. Only a regular file can be measured before it is read, so
// pipes, devices, sockets and directories are refused at measuring time.
struct InputFile {
    int fd = -1;
    bool fromStart = true;  // false: standard input already read part-way
    uint64_t size = 0;      // bytes, from the file's metadata
    dev_t device = 0;       // identity, to refuse an output that is the input itself
    ino_t inode = 0;
};

// The input's bytes in memory: mapped read-only when the file system allows it, otherwise read
// into a heap buffer.
struct InputBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    void* mapping = nullptr;  // non-null when data is a mapping of `size` bytes
    uint8_t* heap = nullptr;  // non-null when data was read into the heap
};

enum class LoadStatus {
    ok,
    noMemory,   // neither a mapping nor a heap buffer of the size could be had
    shortRead,  // the file delivered fewer bytes than it measured (or a read failed)
};

// Opens path for reading without blocking on a FIFO that has no writer. Returns 0 or errno.
// "-" opens standard input.
int openInput(const char* path, InputFile& input);

// Measures the open input. Returns false when it is not a regular file or cannot be examined.
bool measureInput(InputFile& input);

// Makes all input.size bytes available; `error` receives the errno behind a failure.
LoadStatus loadInput(const InputFile& input, InputBytes& bytes, int& error);

void releaseInput(InputBytes& bytes);

}  // namespace deinterleave
