// Spill memory: past its budget, blocks live in temporary files that hold what is written,
// leave no name behind, and go when freed.

#include "l3/spill_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

// TMPDIR set for a test's life.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const fs::path& dir) {
        if (const char* old = std::getenv("TMPDIR")) old_ = old, had_ = true;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TemporaryDirectory() { had_ ? setenv("TMPDIR", old_.c_str(), 1) : unsetenv("TMPDIR"); }

private:
    std::string old_;
    bool had_ = false;
};

TEST(SpillMemory, BlocksPastTheBudgetLiveInFilesThatLeaveNothingBehind) {
    const fs::path dir = fs::temp_directory_path() / ("spill_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const l3::SpillUse before = l3::spillUse();
    const struct {
        const char* name;
        fs::path tmpdir;
    } cases[] = {
        {"TMPDIR", dir},
        {"TMPDIR missing: /var/tmp or /tmp", dir / "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TemporaryDirectory tmp(c.tmpdir);
        const size_t block = l3::kSpillMemoryBudget / 2;
        std::vector<std::unique_ptr<l3::SpillBlock>> blocks;
        for (int i = 0; i < 4; ++i) {
            blocks.push_back(std::make_unique<l3::SpillBlock>(block));
            std::fill_n(blocks.back()->data(), block, static_cast<uint8_t>(i + 1));
        }
        EXPECT_GE(l3::spillUse().fileBytes, before.fileBytes + 2 * block);
        EXPECT_LE(l3::spillUse().memoryBytes, l3::kSpillMemoryBudget + before.memoryBytes);
        for (int i = 0; i < 4; ++i) {
            const uint8_t* b = blocks[static_cast<size_t>(i)]->data();
            EXPECT_EQ(std::count(b, b + block, static_cast<uint8_t>(i + 1)),
                      static_cast<std::ptrdiff_t>(block));
        }
        EXPECT_TRUE(fs::is_empty(dir));  // the files have no name
        blocks.clear();
        EXPECT_EQ(l3::spillUse().fileBytes, before.fileBytes);
        EXPECT_EQ(l3::spillUse().memoryBytes, before.memoryBytes);
    }
    fs::remove_all(dir);
}

// A vector that grows past the budget moves into a file and keeps every element.
TEST(SpillMemory, AGrowingVectorKeepsItsElements) {
    const size_t count = 3 * l3::kSpillMemoryBudget / sizeof(uint64_t);
    l3::SpillVector<uint64_t> v;
    for (size_t i = 0; i < count; ++i) v.push_back(i * 2654435761u);
    EXPECT_GT(l3::spillUse().fileBytes, 0u);
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i) wrong += v[i] != i * 2654435761u;
    EXPECT_EQ(wrong, 0u);
    const std::vector<uint64_t> plain = l3::plainCopy(v);
    EXPECT_TRUE(v == plain);
}

}  // namespace
