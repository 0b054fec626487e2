#include "io/platform.h"

#include <sys/stat.h>
#ifdef __linux__
#include <sched.h>
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace l3 {

uint32_t tickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<uint32_t>(ms);
}

bool isNullDeviceName(std::string_view name) {
    if (name.size() != 3) return false;
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    return lower(name[0]) == 'n' && lower(name[1]) == 'u' && lower(name[2]) == 'l';
}

OutputPlace outputPlace(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) return {path, false};
    if (!std::filesystem::is_regular_file(status)) return {path, true};
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)))
        return {path, false};
    std::filesystem::path target = std::filesystem::canonical(path, error);
    return {error ? path : target.string(), false};
}

void ignoreBrokenPipeSignal() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int64_t regularFileSize(FILE* file) {
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
#endif
    return static_cast<int64_t>(info.st_size);
}

bool reserveFileBlocks(FILE* file, uint64_t offset, uint64_t count) {
#ifdef __linux__
    return ::fallocate(fileno(file), 0, static_cast<off_t>(offset), static_cast<off_t>(count)) ==
           0;
#else
    (void)file, (void)offset, (void)count;
    return false;
#endif
}

bool resizeFile(FILE* file, uint64_t size) {
    if (std::fflush(file) != 0) return false;
#ifdef _WIN32
    return _chsize_s(_fileno(file), static_cast<int64_t>(size)) == 0;
#else
    return ::ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
#endif
}

void adviseLargePages(void* buffer, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kPage = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(kPage - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)bytes;
#endif
}

int availableProcessors() {
#ifdef __EMSCRIPTEN__
    return 1;  // built without threads: every path runs its work inline
#else
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
#endif
}

void* largePagesAllocate(size_t bytes) {
    constexpr size_t kLarge = size_t{2} << 20;
    const bool large = bytes >= kLarge;
    const size_t rounded = large ? (bytes + kLarge - 1) / kLarge * kLarge : std::max<size_t>(bytes, 1);
#ifdef _WIN32
    void* block = _aligned_malloc(rounded, large ? kLarge : alignof(std::max_align_t));
#else
    void* block = large ? std::aligned_alloc(kLarge, rounded) : std::malloc(rounded);
#endif
    if (!block) throw std::bad_alloc();
    if (large) adviseLargePages(block, rounded);
    return block;
}

void largePagesFree(void* block) {
#ifdef _WIN32
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void setBinaryMode(FILE* stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

namespace {

// Makes at least count bytes available in the file's block, if the file still has them.
size_t fillBlock(InputStream& in, size_t count) {
    size_t have = in.blockEnd - in.blockPos;
    if (have >= count) return have;
    if (in.block.empty()) in.block.resize(kInputBlockBytes);
    std::memmove(in.block.data(), in.block.data() + in.blockPos, have);
    in.blockPos = 0;
    in.blockEnd = have;
    while (in.blockEnd < count) {
        size_t n =
            std::fread(in.block.data() + in.blockEnd, 1, in.block.size() - in.blockEnd, in.file);
        if (n == 0) break;
        in.blockEnd += n;
    }
    return in.blockEnd;
}

}  // namespace

size_t readBytes(InputStream& in, uint8_t* destination, size_t count) {
    size_t n = 0;
    if (in.file) {
        while (n < count) {
            size_t have = fillBlock(in, std::min(count - n, kInputBlockBytes));
            if (have == 0) break;
            size_t take = std::min(have, count - n);
            std::memcpy(destination + n, in.block.data() + in.blockPos, take);
            in.blockPos += take;
            n += take;
        }
    } else if (in.memory) {
        size_t left = in.memorySize - in.memoryPos;
        n = count < left ? count : left;
        if (n > 0) std::memcpy(destination, in.memory + in.memoryPos, n);
        in.memoryPos += n;
    }
    in.position += n;
    return n;
}

const uint8_t* nextBytes(InputStream& in, size_t count) {
    const uint8_t* bytes = nullptr;
    if (in.file) {
        if (fillBlock(in, count) < count) return nullptr;
        bytes = in.block.data() + in.blockPos;
        in.blockPos += count;
    } else if (in.memory) {
        if (in.memorySize - in.memoryPos < count) return nullptr;
        bytes = in.memory + in.memoryPos;
        in.memoryPos += count;
    } else {
        return nullptr;
    }
    in.position += count;
    return bytes;
}

int64_t measureSize(InputStream& in) {
    if (in.memory) return static_cast<int64_t>(in.memorySize);
    if (!in.file) return 0;
    long here = std::ftell(in.file);
    if (here < 0 || std::fseek(in.file, 0, SEEK_END) != 0) return -1;
    long size = std::ftell(in.file);
    if (std::fseek(in.file, here, SEEK_SET) != 0) return -1;
    return size;
}

int peekByteAt(InputStream& in, int64_t offset) {
    if (offset < 0) return -1;
    if (in.memory) {
        return static_cast<uint64_t>(offset) < in.memorySize ? in.memory[offset] : -1;
    }
    if (!in.file) return -1;
    long here = std::ftell(in.file);
    if (here < 0 || std::fseek(in.file, static_cast<long>(offset), SEEK_SET) != 0) return -1;
    int c = std::fgetc(in.file);
    std::fseek(in.file, here, SEEK_SET);
    return c == EOF ? -1 : c;
}

// Closes what in held and starts it afresh.
static void resetInput(InputStream& in) {
    closeInput(in);
    in.memory = nullptr;
    in.memorySize = in.memoryPos = 0;
    in.block.clear();
    in.blockPos = in.blockEnd = 0;
    in.position = 0;
}

bool openInput(InputStream& in, const std::string& path, std::string& error) {
    resetInput(in);
    if (isNullDeviceName(path)) return true;
    in.file = std::fopen(path.c_str(), "rb");
    if (!in.file) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

void openMemoryInput(InputStream& in, const uint8_t* bytes, size_t size) {
    resetInput(in);
    in.memory = bytes;
    in.memorySize = size;
}

void openStandardInput(InputStream& in) {
    resetInput(in);
    setBinaryMode(stdin);
    in.file = stdin;
}

InputStream::~InputStream() {
    closeInput(*this);
}

OutputStream::~OutputStream() {
    if (file && file != stdout) std::fclose(file);
}

void closeInput(InputStream& in) {
    if (in.file && in.file != stdin) std::fclose(in.file);
    in.file = nullptr;
}

bool openOutput(OutputStream& out, const std::string& path, std::string& error) {
    out.file = nullptr;
    out.used = 0;
    out.failed = false;
    out.buffer.assign(kOutputBufferBytes, 0);
    if (isNullDeviceName(path)) return true;
    out.file = std::fopen(path.c_str(), "wb");
    if (!out.file) {
        error = std::strerror(errno);
        return false;
    }
    std::setvbuf(out.file, nullptr, _IONBF, 0);  // our own buffer is the only one
    return true;
}

void openStandardOutput(OutputStream& out) {
    out.file = stdout;
    out.memory = nullptr;
    out.used = 0;
    out.failed = false;
    out.buffer.assign(kOutputBufferBytes, 0);
    setBinaryMode(stdout);
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // our own buffer is the only one
}

void openMemoryOutput(OutputStream& out, std::vector<uint8_t>* sink) {
    out.file = nullptr;
    out.memory = sink;
    out.used = 0;
    out.failed = false;
    out.buffer.assign(kOutputBufferBytes, 0);
}

bool flushOutput(OutputStream& out) {
    if (out.used > 0 && !out.failed) {
        if (out.file) {
            errno = 0;
            if (std::fwrite(out.buffer.data(), 1, out.used, out.file) != out.used) {
                out.failed = true;
                out.error = errno;
            }
        } else if (out.memory) {
            out.memory->insert(out.memory->end(), out.buffer.begin(),
                               out.buffer.begin() + static_cast<std::ptrdiff_t>(out.used));
        }
    }
    out.used = 0;
    return !out.failed;
}

bool closeOutput(OutputStream& out) {
    bool ok = flushOutput(out);
    if (out.file) {
        errno = 0;
        if (std::fclose(out.file) != 0 && ok) {
            out.failed = true;
            out.error = errno;
            ok = false;
        }
        out.file = nullptr;
    }
    return ok;
}

}  // namespace l3
