#pragma once
// Memory for the large working sets of the edits: a stream's main data, the tables they keep
// per frame, their results. Blocks come from memory while the memory blocks in use stay
// within a budget (kSpillMemoryBudget); past it a block of a megabyte or more is a temporary
// file mapped into memory (where the platform has mappings), so that an edit of a stream of
// any length holds a bounded amount of anonymous memory: the rest is the page cache's, which
// the system writes out and takes back under pressure instead of running out. Blocks of a
// megabyte or more are mapped on their own, so that a freed one goes back to the system.
//
// The temporary files lie in $TMPDIR, else /var/tmp (which is on disk where /tmp may be in
// memory), else /tmp; they have no name (or lose it at once), so nothing is left behind.
// Their blocks are reserved when the block is made, so a full disk fails the allocation
// (the block then comes from memory, as below the budget) rather than a later write.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace l3 {

inline constexpr size_t kSpillMemoryBudget = size_t{40} << 20;

// A block of bytes (aligned for any type); spillFree takes it back with the same size.
void* spillAllocate(size_t bytes);
void spillFree(void* block, size_t bytes);

// Bytes of spill blocks in use in memory and in mapped files.
struct SpillUse {
    size_t memoryBytes = 0;
    size_t fileBytes = 0;
};
SpillUse spillUse();

template <class T>
struct SpillAllocator {
    using value_type = T;
    SpillAllocator() = default;
    template <class U>
    SpillAllocator(const SpillAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(spillAllocate(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { spillFree(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const SpillAllocator<U>&) const {
        return true;
    }
};

// One block of spill memory, uninitialised, given back when it goes.
class SpillBlock {
public:
    SpillBlock() = default;
    explicit SpillBlock(size_t bytes)
        : bytes_(static_cast<uint8_t*>(spillAllocate(bytes))), size_(bytes) {}
    ~SpillBlock() { spillFree(bytes_, size_); }
    SpillBlock(const SpillBlock&) = delete;
    SpillBlock& operator=(const SpillBlock&) = delete;
    uint8_t* data() const { return bytes_; }

private:
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

template <class T>
using SpillVector = std::vector<T, SpillAllocator<T>>;
using SpillBytes = SpillVector<uint8_t>;

// A spill vector holds the same elements as an ordinary one.
template <class T>
bool operator==(const SpillVector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// An ordinary vector's copy of what a spill vector holds.
template <class T>
std::vector<T> plainCopy(const SpillVector<T>& v) {
    return std::vector<T>(v.begin(), v.end());
}

}  // namespace l3
