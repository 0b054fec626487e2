#include "l3/spill_memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "io/platform.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#define L3_SPILL_FILES 1
#else
#define L3_SPILL_FILES 0
#endif

namespace l3 {

namespace {

std::atomic<size_t> memoryInUse{0};
std::atomic<size_t> filesInUse{0};

// Blocks smaller than this always come from the heap: a mapping (or a file) per small block
// would cost more than it saves.
constexpr size_t kSmallestSpill = size_t{1} << 20;

#if L3_SPILL_FILES
size_t pageRound(size_t bytes) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// A temporary file of `bytes` bytes, its blocks reserved, mapped; null where that fails.
void* mapTemporaryFile(size_t bytes) {
    const char* env = std::getenv("TMPDIR");
    const std::string dirs[] = {env && *env ? env : "", "/var/tmp", "/tmp"};
    for (const std::string& dir : dirs) {
        if (dir.empty()) continue;
        int fd = -1;
#ifdef O_TMPFILE
        fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
        if (fd < 0) {
            std::string name = dir + "/l3-spill-XXXXXX";
            fd = ::mkstemp(name.data());
            if (fd < 0) continue;
            ::unlink(name.c_str());
        }
        // Reserved now: writing into a hole of a full file system would end the process.
        void* block = MAP_FAILED;
        if (::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) == 0)
            block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);  // the mapping keeps the file
        if (block != MAP_FAILED) return block;
    }
    return nullptr;
}

// A block of anonymous memory of `bytes` bytes, on a 2 MiB boundary (so that large pages can
// cover all of it), mapped on its own so that it goes back to the system when freed (a heap
// may keep what was freed); null where that fails.
void* mapAnonymous(size_t bytes) {
    constexpr size_t kLarge = size_t{2} << 20;
    const size_t whole = bytes + kLarge;
    void* area = ::mmap(nullptr, whole, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(area);
    const uintptr_t aligned = (start + kLarge - 1) & ~(kLarge - 1);
    if (aligned > start) ::munmap(area, aligned - start);
    const uintptr_t end = start + whole, used = aligned + pageRound(bytes);
    if (end > used) ::munmap(reinterpret_cast<void*>(used), end - used);
    adviseLargePages(reinterpret_cast<void*>(aligned), bytes);
    return reinterpret_cast<void*>(aligned);
}

// The mapped blocks in use (a block's address tells a mapping from a heap block), and
// whether each is a file's.
struct MappedBlock {
    void* block;
    bool file;
};
std::mutex mappedLock;
std::vector<MappedBlock>& mappedBlocks() {
    static std::vector<MappedBlock> blocks;
    return blocks;
}
#endif

}  // namespace

void* spillAllocate(size_t bytes) {
    if (bytes == 0) bytes = 1;
#if L3_SPILL_FILES
    if (bytes >= kSmallestSpill) {
        const bool file = memoryInUse.load() + bytes > kSpillMemoryBudget;
        void* block = file ? mapTemporaryFile(bytes) : mapAnonymous(bytes);
        if (block) {
            std::lock_guard<std::mutex> hold(mappedLock);
            mappedBlocks().push_back({block, file});
            (file ? filesInUse : memoryInUse) += bytes;
            return block;
        }
    }
#endif
    void* block = largePagesAllocate(bytes);
    memoryInUse += bytes;
    return block;
}

void spillFree(void* block, size_t bytes) {
    if (!block) return;
    if (bytes == 0) bytes = 1;
#if L3_SPILL_FILES
    if (bytes >= kSmallestSpill) {
        std::lock_guard<std::mutex> hold(mappedLock);
        std::vector<MappedBlock>& blocks = mappedBlocks();
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (blocks[i].block != block) continue;
            (blocks[i].file ? filesInUse : memoryInUse) -= bytes;
            blocks[i] = blocks.back();
            blocks.pop_back();
            ::munmap(block, pageRound(bytes));
            return;
        }
    }
#endif
    largePagesFree(block);
    memoryInUse -= bytes;
}

SpillUse spillUse() {
    return {memoryInUse.load(), filesInUse.load()};
}

}  // namespace l3
