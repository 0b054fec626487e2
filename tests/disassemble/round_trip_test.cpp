// End-to-end round trips: the built l3disassemble splits a stream, the built l3assemble
// rebuilds it, and the result must equal the input less the skipped ranges that the
// summary reports. A real decoder (mpg123 -t) must accept every rebuilt stream whose input
// it accepts.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/tools.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct RunResult {
    int code = -1;
    std::string out, err;
};

RunResult run(const std::string& command, const fs::path& dir) {
    const std::string full =
        command + " >" + quote((dir / ".out").string()) + " 2>" + quote((dir / ".err").string());
    const int status = std::system(full.c_str());
    RunResult r;
    if (status != -1 && WIFEXITED(status)) r.code = WEXITSTATUS(status);
    r.out = readText(dir / ".out");
    r.err = readText(dir / ".err");
    return r;
}

// The decoder accepts a stream: exit 0 and no error or warning on stderr.
bool decoderAccepts(const fs::path& stream, const fs::path& dir, std::string& detail) {
    const RunResult r = run("mpg123 -q -t " + quote(stream.string()), dir);
    detail = r.err;
    std::string lower = r.err;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return r.code == 0 && lower.find("error") == std::string::npos &&
           lower.find("warning") == std::string::npos;
}

class RoundTrip : public ::testing::Test {
protected:
    // Round trips are compared byte for byte on every machine; where mpg123 is installed
    // (CI installs it) it also judges every rebuilt stream that it accepts as input.
    static bool haveDecoder() {
        static const bool installed = l3test::toolInstalled("mpg123");
        return installed;
    }
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "l3dis_rt_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Disassembles, reassembles and compares; returns the disassembler's exit code (and does
    // the comparisons only when it is 0).
    int roundTrip(const fs::path& input, bool checkDecoder = true) {
        SCOPED_TRACE(input.string());
        const fs::path records = dir_ / "x.records", ancillary = dir_ / "x.ancillary",
                       output = dir_ / "x.mp3";
        fs::remove(records);
        fs::remove(ancillary);
        fs::remove(output);
        const RunResult dis = run(quote(L3DISASSEMBLE_EXE) + " " + quote(input.string()) + " " +
                                      quote(records.string()) + " " + quote(ancillary.string()),
                                  dir_);
        if (dis.code != 0) {
            EXPECT_FALSE(fs::exists(records));
            EXPECT_FALSE(fs::exists(ancillary));
            EXPECT_FALSE(dis.err.empty());
            return dis.code;
        }
        EXPECT_NE(dis.out.find("frames: "), std::string::npos) << dis.out;

        // The input less the skipped ranges, as the summary lists them.
        const std::vector<uint8_t> in = readFile(input);
        std::vector<bool> skip(in.size(), false);
        std::istringstream lines(dis.out);
        std::string line;
        size_t reported = 0;
        while (std::getline(lines, line)) {
            size_t offset = 0, length = 0;
            if (std::sscanf(line.c_str(), "skipped: offset %zu, length %zu", &offset, &length) ==
                2) {
                EXPECT_LE(offset + length, in.size());
                for (size_t i = offset; i < offset + length && i < in.size(); ++i) skip[i] = true;
                reported += length;
            }
        }
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < in.size(); ++i)
            if (!skip[i]) expected.push_back(in[i]);
        EXPECT_NE(dis.out.find("skipped bytes: " + std::to_string(reported) + "\n"),
                  std::string::npos)
            << dis.out;

        const RunResult as = run(quote(L3ASSEMBLE_EXE) + " " + quote(records.string()) + " " +
                                     quote(ancillary.string()) + " " + quote(output.string()),
                                 dir_);
        EXPECT_EQ(as.code, 0) << as.err;
        const std::vector<uint8_t> out = readFile(output);
        EXPECT_EQ(out.size(), expected.size());
        EXPECT_TRUE(out == expected) << "rebuilt stream differs";

        std::string detail;
        if (checkDecoder && haveDecoder() && decoderAccepts(input, dir_, detail)) {
            EXPECT_TRUE(decoderAccepts(output, dir_, detail)) << detail;
        }
        return 0;
    }

    fs::path dir_;
};

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() != ".md" && e.path().extension() != ".sh")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST_F(RoundTrip, EveryLameFixture) {
    const auto files = filesIn(fs::path(TEST_DATA_DIR) / "lame");
    ASSERT_EQ(files.size(), 27u);
    for (const auto& f : files) EXPECT_EQ(roundTrip(f), 0) << f;
}

// Streams the record format cannot carry at all, by file name.
const std::set<std::string> kRefused = {
    "l3-he_free.bit",                    // free format
    "l3-nonstandard-big-iscf.bit",       // free format
    "l3-nonstandard-small.bit",          // 5 bytes, no frame
    "l3-nonstandard-id3v2-only.bit",     // a tag and no frame
    "l3-nonstandard-sideinfo-size.bit",  // a header with no room for its frame
};

TEST_F(RoundTrip, BundledRealWorldStreams) {
    const auto files = filesIn(fs::path(TEST_DATA_DIR) / "vectors");
    ASSERT_GE(files.size(), 20u);
    for (const auto& f : files) {
        const int code = roundTrip(f);
        EXPECT_EQ(code, kRefused.count(f.filename().string()) ? 3 : 0) << f;
    }
}

TEST_F(RoundTrip, AllRealWorldStreamsWhenPresent) {
    const fs::path dir = L3_VECTORS_DIR;
    if (!fs::is_directory(dir)) GTEST_SKIP() << dir << " is absent";
    for (const auto& f : filesIn(dir)) {
        const int code = roundTrip(f);
        EXPECT_EQ(code, kRefused.count(f.filename().string()) ? 3 : 0) << f;
    }
}

TEST_F(RoundTrip, TheBundledExampleRebuildsItsSource) {
    const fs::path examples = EXAMPLES_DIR;
    const fs::path output = dir_ / "example.mp3";
    const RunResult as =
        run(quote(L3ASSEMBLE_EXE) + " " + quote((examples / "example.records").string()) + " " +
                quote((examples / "example.ancillary").string()) + " " + quote(output.string()),
            dir_);
    ASSERT_EQ(as.code, 0) << as.err;
    EXPECT_TRUE(readFile(output) == readFile(examples / "example.mp3"));
    std::string detail;
    if (haveDecoder()) {
        EXPECT_TRUE(decoderAccepts(output, dir_, detail)) << detail;
    }
    // And the example's records are what the disassembler makes of its source today.
    EXPECT_EQ(roundTrip(examples / "example.mp3"), 0);
    EXPECT_TRUE(readFile(dir_ / "x.records") == readFile(examples / "example.records"));
    EXPECT_TRUE(readFile(dir_ / "x.ancillary") == readFile(examples / "example.ancillary"));
}

}  // namespace
