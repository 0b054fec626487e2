#pragma once
// The platform layer: a millisecond tick counter, the null device, and buffered byte
// streams over files or memory. Output streams collect bytes in a large buffer and hand
// whole blocks to the file, so writing a byte costs no call and no lock.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "l3/system.h"

namespace l3 {

// Milliseconds of a steady clock, as an unsigned 32-bit counter that wraps.
uint32_t tickCount();

// Asks for large pages (where the system has them) for the whole pages within a buffer
// about to be written for the first time: a fresh buffer of megabytes otherwise costs a page
// fault per 4 KiB, which can take longer than filling it.
void adviseLargePages(void* buffer, size_t bytes);

// Memory for buffers of megabytes: a block of 2 MiB or more starts on a 2 MiB boundary and
// asks for large pages over all of it (adviseLargePages on a block that starts elsewhere
// leaves up to two large pages' worth of small ones at its ends); smaller blocks as malloc
// gives them. largePagesAllocate throws std::bad_alloc where there is no memory;
// largePagesFree takes what it gave (or null).
void* largePagesAllocate(size_t bytes);
void largePagesFree(void* block);

// An allocator for std::vector of such buffers.
template <class T>
struct LargePageAllocator {
    using value_type = T;
    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(largePagesAllocate(n * sizeof(T))); }
    void deallocate(T* p, size_t) { largePagesFree(p); }
    template <class U>
    bool operator==(const LargePageAllocator<U>&) const {
        return true;
    }
};

using LargeBytes = std::vector<uint8_t, LargePageAllocator<uint8_t>>;

inline constexpr size_t kInputBlockBytes = 1 << 20;

// Files are read in large blocks; readBytes and takeBytes hand out bytes from the block.
// A stream closes its file when it goes (standard input stays open); it is not copied.
struct InputStream {
    InputStream() = default;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream();

    FILE* file = nullptr;             // a file, or
    const uint8_t* memory = nullptr;  // a block of memory, or neither: the null device
    size_t memorySize = 0;
    size_t memoryPos = 0;
    std::vector<uint8_t> block;  // bytes read from the file ahead of use
    size_t blockPos = 0;
    size_t blockEnd = 0;
    uint64_t position = 0;  // bytes delivered so far
};

// Reads up to count bytes; returns how many were delivered (short only at end of input
// or on a read error).
size_t readBytes(InputStream& in, uint8_t* destination, size_t count);
// The next count bytes (count <= kInputBlockBytes) in place, valid until the next read;
// null when fewer remain, and then nothing is consumed.
const uint8_t* nextBytes(InputStream& in, size_t count);
// Size of the whole input in bytes, or -1 when it cannot be measured (a pipe). Like
// peekByteAt, only before the first read.
int64_t measureSize(InputStream& in);
// Reads the byte at an absolute offset without moving the read position; -1 if none.
int peekByteAt(InputStream& in, int64_t offset);
bool openInput(InputStream& in, const std::string& path, std::string& error);
void openMemoryInput(InputStream& in, const uint8_t* bytes, size_t size);
// Standard input, read like a file.
void openStandardInput(InputStream& in);
void closeInput(InputStream& in);

inline constexpr size_t kOutputBufferBytes = 1 << 20;

// A stream that goes unclosed (a failed run) closes its file without writing what it
// holds: closeOutput is what flushes and reports. Standard output stays open.
struct OutputStream {
    OutputStream() = default;
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    ~OutputStream();

    FILE* file = nullptr;                    // a file, or
    std::vector<uint8_t>* memory = nullptr;  // a memory sink, or neither: discard
    std::vector<uint8_t> buffer;
    size_t used = 0;
    bool failed = false;  // a write to the file failed; checked by the caller on flush
    int error = 0;        // errno of the first failure
};

bool openOutput(OutputStream& out, const std::string& path, std::string& error);
// Standard output, written like a file.
void openStandardOutput(OutputStream& out);
// Appends everything written to sink (on each flush).
void openMemoryOutput(OutputStream& out, std::vector<uint8_t>* sink);
// Hands the buffered bytes to the file or memory sink. Returns false after any failure.
bool flushOutput(OutputStream& out);
// Flushes and closes the file. Returns false if anything written was lost.
bool closeOutput(OutputStream& out);

inline bool discards(const OutputStream& out) {
    return !out.file && !out.memory;
}

// Returns room for count bytes (count <= kOutputBufferBytes) at the end of the buffer;
// the caller fills them and then calls commitBytes.
inline uint8_t* reserveBytes(OutputStream& out, size_t count) {
    if (out.buffer.size() - out.used < count) flushOutput(out);
    return out.buffer.data() + out.used;
}

inline void commitBytes(OutputStream& out, size_t count) {
    out.used += count;
}

inline void writeBytes(OutputStream& out, const uint8_t* bytes, size_t count) {
    if (discards(out)) return;
    while (count > 0) {
        size_t room = out.buffer.size() - out.used;
        if (room == 0) {
            flushOutput(out);
            room = out.buffer.size();
        }
        size_t n = count < room ? count : room;
        std::memcpy(out.buffer.data() + out.used, bytes, n);
        out.used += n;
        bytes += n;
        count -= n;
    }
}

}  // namespace l3
