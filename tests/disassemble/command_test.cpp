// l3disassemble's command line, run in-process: help and usage, the outputs that are
// refused, --strict, and files that cannot be read or written.

#include "l3disassemble/command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<uint8_t> fixture(const std::string& name) {
    std::ifstream in(std::filesystem::path(TEST_DATA_DIR) / "lame" / name, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    EXPECT_FALSE(bytes.empty()) << name;
    return bytes;
}

struct CommandRun {
    int code;
    std::string out, err;
};

CommandRun runCommand(std::vector<std::string> args) {
    std::vector<const char*> argv{"l3disassemble"};
    for (auto& a : args) argv.push_back(a.c_str());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    CommandRun run{
        l3disassemble::runDisassembleCommand(static_cast<int>(argv.size()), argv.data(), out, err),
        "", ""};
    for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
        std::rewind(file);
        int c;
        while ((c = std::fgetc(file)) != EOF) text->push_back(static_cast<char>(c));
        std::fclose(file);
    }
    return run;
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "l3dis_cmd_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

TEST_F(CommandLine, HelpVersionAndUsage) {
    CommandRun r = runCommand({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("exit codes"), std::string::npos);
    EXPECT_TRUE(r.err.empty());
    r = runCommand({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string("l3disassemble ") + L3_VERSION + "\n");
    r = runCommand({});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
    r = runCommand({"a", "b"});
    EXPECT_EQ(r.code, 1);
    r = runCommand({"--bogus", "a", "b", "c"});
    EXPECT_EQ(r.code, 1);
}

// The outputs replace what their names hold: an output naming the input (which would
// replace the MP3 by its records) or both outputs naming one file is refused.
TEST_F(CommandLine, OutputsThatCollideWithTheInputOrEachOtherAreRefused) {
    const std::filesystem::path source = std::string(TEST_DATA_DIR) + "/lame/m2_16k_mono_cbr8.mp3";
    std::filesystem::copy_file(source, path("in.mp3"));
    CommandRun r = runCommand({path("in.mp3"), path("in.mp3"), path("a")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("it is the input file"), std::string::npos) << r.err;
    EXPECT_EQ(std::filesystem::file_size(path("in.mp3")), std::filesystem::file_size(source));
    EXPECT_FALSE(std::filesystem::exists(path("a")));

    r = runCommand({path("in.mp3"), path("r"), path("r")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("both outputs name the same file"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("r")));
}

TEST_F(CommandLine, StrictRefusesSkippedBytesAndWritesNothing) {
    const std::string input = std::string(TEST_DATA_DIR) + "/lame/m1_44k_mono_id3v2.mp3";
    CommandRun r = runCommand({"--strict", input, path("r"), path("a")});
    EXPECT_EQ(r.code, 5);
    EXPECT_NE(r.err.find("offset 0"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("r")));
    EXPECT_FALSE(std::filesystem::exists(path("a")));

    r = runCommand({input, path("r"), path("a")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("skipped: offset 0, length 125\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(path("r")));

    // --strict on a stream with nothing to skip succeeds.
    r = runCommand({"--strict", "--quiet",
                    std::string(TEST_DATA_DIR) + "/lame/m1_44k_mono_id3v1.mp3", path("r2"),
                    path("a2")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST_F(CommandLine, UnreadableInputAndUnwritableOutput) {
    CommandRun r = runCommand({path("missing.mp3"), path("r"), path("a")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("missing.mp3"), std::string::npos);
    const std::string input = std::string(TEST_DATA_DIR) + "/lame/m1_32k_mono_cbr32.mp3";
    r = runCommand({input, path("no/such/dir/r"), path("a")});
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(std::filesystem::exists(path("a")));
}

TEST_F(CommandLine, AWriteThatFailsMidwayLeavesNoFiles) {
    // Records of some 2000 frames (11 MB) against a 1 MiB limit on file sizes: the writer
    // fails on its first block while frames are still being decoded.
    const std::vector<uint8_t> one = fixture("m1_44k_joint_cbr128.mp3");
    std::vector<uint8_t> many;
    while (many.size() < 1500000) many.insert(many.end(), one.begin(), one.end());
    const std::string input = path("in.mp3");
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(many.data()),
               static_cast<std::streamsize>(many.size()));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit limited{1 << 20, saved.rlim_max};
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);  // a write past it fails instead
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const CommandRun r = runCommand({input, path("r"), path("a")});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("cannot write '" + path("r") + "'"), std::string::npos) << r.err;
    // Neither output nor a temporary file of one (r.part-XXXXXX) is left.
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(input).parent_path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name != "r" && name != "a" && name.rfind("r.part", 0) != 0 &&
                    name.rfind("a.part", 0) != 0)
            << name;
    }
}

}  // namespace
