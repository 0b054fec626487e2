// Long runs, only when L3_LONG_TESTS=1 (.ci/run sets it): l3disassemble reads a stream of
// a few hundred megabytes from a pipe in bounded memory. The stream is made on the fly
// by repeating a committed one and is never stored.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr long kMemoryBoundKiB = 64 * 1024;
// AddressSanitizer's shadow memory and freed-block quarantine add to the resident size: the
// bound is checked in the build without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string firstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

size_t framesIn(const std::string& summaryLine) {
    return static_cast<size_t>(std::strtoull(summaryLine.c_str() + 8, nullptr, 10));
}

TEST(LongRun, AStreamOfHundredsOfMegabytesFromAPipeInBoundedMemory) {
    const char* enabled = std::getenv("L3_LONG_TESTS");
    if (!enabled || std::string(enabled) != "1") GTEST_SKIP() << "set L3_LONG_TESTS=1 to run";
    const fs::path source = fs::path(BENCH_DATA_DIR) / "m1_44k_joint_cbr320.mp3";
    const fs::path dir = fs::temp_directory_path();
    const std::string summary = (dir / "l3dis_long_summary").string();
    const std::string single = (dir / "l3dis_long_single").string();
    const std::string exe = quote(L3DISASSEMBLE_EXE);
    ASSERT_EQ(
        std::system((exe + " " + quote(source.string()) + " nul nul >" + quote(single)).c_str()),
        0);
    const size_t framesPerCopy = framesIn(firstLine(single));
    ASSERT_GT(framesPerCopy, 0u);

    const size_t copies = (size_t{400} << 20) / fs::file_size(source);  // about 400 MB
    const std::string command = "i=0; while [ $i -lt " + std::to_string(copies) + " ]; do cat " +
                                quote(source.string()) + "; i=$((i+1)); done | " + exe +
                                " - nul nul >" + quote(summary);
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    if (!kAddressSanitizer) {
        EXPECT_LT(usage.ru_maxrss, kMemoryBoundKiB) << "peak memory in KiB";
    }
    EXPECT_EQ(framesIn(firstLine(summary)), copies * framesPerCopy);
    fs::remove(summary);
    fs::remove(single);
}

}  // namespace
