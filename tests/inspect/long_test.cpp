// Long runs, only when L3_LONG_TESTS=1 (.ci/run sets it): l3's commands on a stream of a
// few hundred megabytes, made on the fly by repeating a committed one and never stored,
// each run with its private writable memory (heap and anonymous mappings, not the mapped
// input) limited to 64 MiB: a command that kept anything per byte or per large frame
// record could not finish.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/record_file.h"

namespace {

namespace fs = std::filesystem;
using l3test::shellQuote;

constexpr long kDataLimitKiB = 64 * 1024;

struct BoundedRun {
    int status;
    std::string out;
};

// Runs l3 with args (shell text) under the memory limit; stdout is kept.
BoundedRun boundedL3(const std::string& args, const fs::path& dir) {
    const std::string outPath = (dir / "stdout").string();
    const std::string command = "ulimit -d " + std::to_string(kDataLimitKiB) + " && exec " +
                                shellQuote(L3_EXE) + " " + args + " >" + shellQuote(outPath);
    const int status = std::system(("sh -c " + shellQuote(command)).c_str());
    std::ifstream in(outPath, std::ios::binary);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::string(std::istreambuf_iterator<char>(in), {})};
}

// True when file a starts with every byte of file b (and, whole, has no more).
bool startsWith(const fs::path& a, const fs::path& b, bool whole) {
    if (whole && fs::file_size(a) != fs::file_size(b)) return false;
    const std::string command = "cmp -s -n " + std::to_string(fs::file_size(b)) + " " +
                                shellQuote(a.string()) + " " + shellQuote(b.string());
    return std::system(command.c_str()) == 0;
}

// A data limit leaves AddressSanitizer no room for its shadow memory: the sanitizer build
// runs these commands in its other tests, not here.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

class LongL3 : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* enabled = std::getenv("L3_LONG_TESTS");
        if (!enabled || std::string(enabled) != "1" || kAddressSanitizer) return;
        dir_ = fs::temp_directory_path() / ("l3_long_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        const fs::path source = fs::path(TEST_DATA_DIR) / "lame" / "m1_44k_msforced_cbr96_notag.mp3";
        std::ifstream in(source, std::ios::binary);
        const std::vector<char> copy(std::istreambuf_iterator<char>(in), {});
        copies_ = (size_t{300} << 20) / copy.size();  // about 300 MB
        std::ofstream out(dir_ / "long.mp3", std::ios::binary);
        for (size_t i = 0; i < copies_; ++i) out.write(copy.data(), static_cast<long>(copy.size()));
        const BoundedRun one = boundedL3("check " + shellQuote(source.string()), dir_);
        framesPerCopy_ = std::strtoull(one.out.c_str() + one.out.find("ok (") + 4, nullptr, 10);
    }
    static void TearDownTestSuite() {
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    void SetUp() override {
        if (kAddressSanitizer)
            GTEST_SKIP() << "under AddressSanitizer, which a data limit leaves no room";
        if (dir_.empty()) GTEST_SKIP() << "set L3_LONG_TESTS=1 to run";
        ASSERT_GT(framesPerCopy_, 0u);
    }
    static std::string path(const char* name) { return shellQuote((dir_ / name).string()); }
    static size_t frames() { return copies_ * framesPerCopy_; }

    static inline fs::path dir_;
    static inline size_t copies_ = 0, framesPerCopy_ = 0;
};

TEST_F(LongL3, CheckAndInfoReadAStreamOfHundredsOfMegabytesInBoundedMemory) {
    const std::string count = std::to_string(frames());
    std::string lastLine = "\n";
    lastLine.append(std::to_string(frames() - 1)).append(" ");
    const struct {
        std::string args, expected;
    } cases[] = {
        {"check " + path("long.mp3"), "ok (" + count + " frames)"},
        {"check --json " + path("long.mp3"), "\"frames\": " + count},
        {"info --json " + path("long.mp3"), "\"frames\": " + count},
        {"info --frames " + path("long.mp3"), lastLine},
    };
    for (const auto& c : cases) {
        const BoundedRun run = boundedL3(c.args, dir_);
        EXPECT_EQ(run.status, 0) << c.args;
        EXPECT_NE(run.out.find(c.expected), std::string::npos) << c.args;
    }
}

// The change goes through a temporary file frame by frame and is read back from it; its
// undo gives every byte back, and so does the opposite change in place without a tag, but
// for the undo item's tag after the frames.
TEST_F(LongL3, GainAndItsUndoInBoundedMemory) {
    const struct {
        std::string args;
        const char *result, *expected;  // result starts with expected's bytes
        bool whole;                     // and has no more
    } cases[] = {
        {"gain -g 3 " + path("long.mp3") + " " + path("louder.mp3"), nullptr, nullptr, false},
        {"gain --undo " + path("louder.mp3") + " " + path("back.mp3"), "back.mp3", "long.mp3",
         true},
        {"gain -g -3 --no-tag --in-place " + path("louder.mp3"), "louder.mp3", "long.mp3", false},
        {"check " + path("louder.mp3"), nullptr, nullptr, false},
    };
    for (const auto& c : cases) {
        const BoundedRun run = boundedL3(c.args, dir_);
        EXPECT_EQ(run.status, 0) << c.args << run.out;
        if (c.result) {
            EXPECT_TRUE(startsWith(dir_ / c.result, dir_ / c.expected, c.whole)) << c.args;
        }
    }
}

// The edits keep their large working sets (main data, per-frame tables, results) in memory
// only up to a budget and the rest in temporary files: under the limit each one finishes, and
// what it writes reads back whole. The pieces of a split join back to every frame.
TEST_F(LongL3, EditsInBoundedMemory) {
    const std::string count = std::to_string(frames());
    const struct {
        std::string args;
        const char* result;  // checked to hold `frames` audio frames
        size_t frames;
    } cases[] = {
        {"repack -q " + path("long.mp3") + " " + path("packed.mp3"), "packed.mp3", frames()},
        {"repack -q --huffman " + path("long.mp3") + " " + path("recoded.mp3"), "recoded.mp3",
         frames()},
        {"split --every 10000 " + path("long.mp3") + " " + path("piece-%d.mp3"), nullptr, 0},
        {"join -o " + path("joined.mp3") + " " + path("piece-1.mp3") + " " +
             path("piece-2.mp3") + " " + path("piece-3.mp3"),
         nullptr, 0},
        {"cut --from 60 --to -60 " + path("joined.mp3") + " " + path("cut.mp3"), nullptr, 0},
    };
    for (const auto& c : cases) {
        const BoundedRun run = boundedL3(c.args, dir_);
        ASSERT_EQ(run.status, 0) << c.args << run.out;
        if (!c.result) continue;
        const BoundedRun check = boundedL3("check " + path(c.result), dir_);
        EXPECT_NE(check.out.find("ok (" + std::to_string(c.frames) + " frames)"),
                  std::string::npos)
            << c.args << ": " << check.out;
    }
    // About 300 MB of this stream last some 26 000 s: three pieces, which joined are every
    // frame again.
    const BoundedRun joined = boundedL3("check " + path("joined.mp3"), dir_);
    EXPECT_NE(joined.out.find("ok (" + count + " frames)"), std::string::npos) << joined.out;
    EXPECT_EQ(boundedL3("check " + path("piece-4.mp3"), dir_).status, 2);  // no such piece
    const BoundedRun cut = boundedL3("check " + path("cut.mp3"), dir_);
    EXPECT_NE(cut.out.find(": ok ("), std::string::npos) << cut.out;
}

}  // namespace
