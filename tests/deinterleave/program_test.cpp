// Runs the built deinterleave program on files in a temporary directory and checks its exit
// code, its one stdout line, its stderr message and the output bytes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "reference.h"

namespace {

using deinterleave_test::randomBytes;
using deinterleave_test::referenceOutput;

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class DeinterleaveProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "deinterleave_run_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs `deinterleave ARGS` through the shell, inside the temporary directory. `prefix` is shell
    // text placed before the command in the same shell (ulimit, a pipe feeding stdin, a
    // background reader).
    RunResult run(const std::string& args, const std::string& prefix = "") const {
        // `wait` lets a background reader of the output finish before the result is looked at.
        const std::string command = "cd " + quote(dir_.string()) + " && { " + prefix + " " +
                                    quote(DEINTERLEAVE_EXE) + " " + args + " >" +
                                    quote(path(".stdout")) + " 2>" + quote(path(".stderr")) +
                                    "; status=$?; wait; exit $status; }";
        const int status = std::system(command.c_str());
        RunResult result{-1, readText(".stdout"), readText(".stderr")};
        if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        return result;
    }

    std::string readText(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<uint8_t> readBytes(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void writeBytes(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }

    // A failure: the code, a message on stderr, nothing on stdout.
    static void expectFailure(const RunResult& r, int code) {
        EXPECT_EQ(r.exitCode, code) << "stderr: " << r.err;
        EXPECT_FALSE(r.err.empty());
        EXPECT_TRUE(r.out.empty()) << r.out;
    }

    std::filesystem::path dir_;
};

std::vector<uint8_t> iota(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

TEST_F(DeinterleaveProgram, TenBytesThreeStreamsDropsLastByte) {
    writeBytes("in", iota(10));
    const RunResult r = run("3 in out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "3\n");
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_EQ(readBytes("out"), (std::vector<uint8_t>{6, 3, 0, 7, 4, 1, 8, 5, 2}));
}

TEST_F(DeinterleaveProgram, OneStreamReversesTheFile) {
    const std::vector<uint8_t> input = randomBytes(100001, 21);
    writeBytes("in", input);
    const RunResult r = run("1 in out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "100001\n");
    EXPECT_TRUE(readBytes("out") == std::vector<uint8_t>(input.rbegin(), input.rend()));
}

TEST_F(DeinterleaveProgram, MoreStreamsThanBytesGivesEmptyOutput) {
    writeBytes("in", iota(5));
    const RunResult r = run("9 in out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
    ASSERT_TRUE(exists("out"));
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), 0u);
}

TEST_F(DeinterleaveProgram, EmptyInputGivesEmptyOutput) {
    writeBytes("in", {});
    writeBytes("out", iota(50));  // an existing output is truncated
    const RunResult r = run("3 in out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
    ASSERT_TRUE(exists("out"));
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), 0u);
}

TEST_F(DeinterleaveProgram, ExistingLongerOutputIsReplacedNotOverlaid) {
    writeBytes("in", iota(10));
    writeBytes("out", randomBytes(1000, 4));
    const RunResult r = run("3 in out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes("out"), (std::vector<uint8_t>{6, 3, 0, 7, 4, 1, 8, 5, 2}));
}

TEST_F(DeinterleaveProgram, ArgumentParsingLikeTheCommandLineAlwaysDid) {
    writeBytes("in", iota(10));
    const std::vector<uint8_t> want = {6, 3, 0, 7, 4, 1, 8, 5, 2};
    for (const char* n : {"'  +3'", "3abc", "'\t3'", "03"}) {
        std::filesystem::remove(dir_ / "out");
        const RunResult r = run(std::string(n) + " in out");
        EXPECT_EQ(r.exitCode, 0) << n << ": " << r.err;
        EXPECT_EQ(r.out, "3\n") << n;
        EXPECT_EQ(readBytes("out"), want) << n;
    }
}

TEST_F(DeinterleaveProgram, NonPositiveFactorIsRejectedBeforeAnyFileIsOpened) {
    writeBytes("in", iota(10));
    for (const char* n : {"abc", "0", "-2", "-0", "''", "+", "' -7'"}) {
        // The input does not exist either: a factor error must come first.
        RunResult r = run(std::string(n) + " absent out");
        expectFailure(r, 1);
        r = run(std::string(n) + " in out");
        expectFailure(r, 1);
        EXPECT_FALSE(exists("out")) << n;
    }
}

TEST_F(DeinterleaveProgram, NoArgumentsPrintsUsageOnStderr) {
    const RunResult r = run("");
    expectFailure(r, 1);
    EXPECT_NE(r.err.find("Usage: deinterleave N INFILE OUTFILE"), std::string::npos) << r.err;
}

TEST_F(DeinterleaveProgram, HelpListsUsageAndEveryExitCode) {
    for (const char* flag : {"-h", "--help"}) {
        const RunResult r = run(flag);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.empty());
        EXPECT_NE(r.out.find("Usage: deinterleave N INFILE OUTFILE"), std::string::npos);
        for (const char* code :
             {"\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ", "\n  5  "}) {
            EXPECT_NE(r.out.find(code), std::string::npos) << "exit code line" << code;
        }
    }
}

TEST_F(DeinterleaveProgram, VersionPrintsTheProjectVersion) {
    const RunResult r = run("--version");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("deinterleave ") + L3_VERSION + "\n");
}

TEST_F(DeinterleaveProgram, MissingOrUnopenableInputIsCode2) {
    expectFailure(run("3"), 2);
    RunResult r = run("3 absent out");
    expectFailure(r, 2);
    EXPECT_NE(r.err.find("absent"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("out"));
    // The input is tested before the output argument.
    expectFailure(run("3 absent"), 2);
}

TEST_F(DeinterleaveProgram, MissingOutputArgumentIsCode3AfterInputWasOpened) {
    writeBytes("in", iota(10));
    expectFailure(run("3 in"), 3);
}

TEST_F(DeinterleaveProgram, UnopenableOutputIsCode3) {
    writeBytes("in", iota(10));
    expectFailure(run("3 in no/such/dir/out"), 3);
    expectFailure(run("3 in ."), 3);  // a directory
}

TEST_F(DeinterleaveProgram, OutputThatIsTheInputIsCode3AndInputSurvives) {
    const std::vector<uint8_t> input = randomBytes(64, 8);
    writeBytes("in", input);
    expectFailure(run("2 in in"), 3);
    expectFailure(run("2 in ./in"), 3);
    EXPECT_EQ(readBytes("in"), input);
}

TEST_F(DeinterleaveProgram, PipeInputCannotBeMeasured) {
    RunResult r = run("1 /dev/stdin out", "printf abc |");
    expectFailure(r, 4);
    EXPECT_FALSE(exists("out"));
    // Measuring comes before the output argument is looked at.
    expectFailure(run("1 /dev/stdin", "printf abc |"), 4);
}

// '-' is standard input (a regular file redirected, or refused like any pipe) or standard
// output (the streams in order, the count on standard error); './-' is a file named '-'.
TEST_F(DeinterleaveProgram, DashNamesStandardInputAndOutput) {
    const std::vector<uint8_t> input = randomBytes(100003, 5);
    writeBytes("in", input);
    const RunResult fromStdin = run("7 - out < in");
    EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.err;
    EXPECT_EQ(fromStdin.out, std::to_string(input.size() / 7) + "\n");
    EXPECT_TRUE(readBytes("out") == referenceOutput(input, 7));

    expectFailure(run("7 - out2", "cat in |"), 4);
    EXPECT_FALSE(exists("out2"));

    const RunResult toStdout = run("7 in -");
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    EXPECT_EQ(toStdout.err, std::to_string(input.size() / 7) + "\n");
    const std::vector<uint8_t> expected = referenceOutput(input, 7);
    EXPECT_TRUE(std::vector<uint8_t>(toStdout.out.begin(), toStdout.out.end()) == expected);

    writeBytes("-", iota(10));
    const RunResult named = run("3 ./- out3");
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(readBytes("out3"), (std::vector<uint8_t>{6, 3, 0, 7, 4, 1, 8, 5, 2}));
}

TEST_F(DeinterleaveProgram, FifoWithoutWriterIsRefusedWithoutHanging) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    expectFailure(run("2 fifo out"), 4);
    EXPECT_FALSE(exists("out"));
}

TEST_F(DeinterleaveProgram, DeviceInputCannotBeMeasured) {
    expectFailure(run("2 /dev/zero out"), 4);
    EXPECT_FALSE(exists("out"));
}

TEST_F(DeinterleaveProgram, InputShorterThanItsSizeIsCode4AndLeavesNoOutput) {
    // Attribute files of sysfs claim a size of a page and deliver a line.
    const char* sysfsFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st {};
    if (::stat(sysfsFile, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 512) {
        GTEST_SKIP() << "no sysfs attribute file to read";
    }
    const RunResult r = run(std::string("1 ") + sysfsFile + " out");
    expectFailure(r, 4);
    EXPECT_FALSE(exists("out"));
}

TEST_F(DeinterleaveProgram, WriteErrorOnDeviceIsCode5) {
    writeBytes("in", randomBytes(300000, 5));
    for (const char* n : {"1", "3", "1000"}) {
        const RunResult r = run(std::string(n) + " in /dev/full");
        expectFailure(r, 5);
    }
}

TEST_F(DeinterleaveProgram, WriteErrorOnRegularFileIsCode5AndRemovesOutput) {
    // A file size limit of 64 KiB (in 512-byte blocks) makes the writes fail with EFBIG.
    writeBytes("in", randomBytes(3 * 1024 * 1024, 6));
    for (const char* n : {"1", "7", "1000"}) {
        const RunResult r = run(std::string(n) + " in out", "ulimit -f 128 &&");
        expectFailure(r, 5);
        EXPECT_FALSE(exists("out")) << n;
    }
}

TEST_F(DeinterleaveProgram, PipeOutputGetsTheBytesInOrder) {
    const std::vector<uint8_t> input = randomBytes(3 * 1024 * 1024 + 5, 12);
    writeBytes("in", input);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    for (const char* n : {"1", "7", "300"}) {
        const RunResult r = run(std::string(n) + " in fifo", "timeout 60 cat fifo > piped & timeout 60 ");
        const uint64_t factor = std::strtoull(n, nullptr, 10);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, std::to_string(input.size() / factor) + "\n");
        EXPECT_TRUE(readBytes("piped") == referenceOutput(input, factor)) << "N " << n;
    }
}

TEST_F(DeinterleaveProgram, ANamedPipeWhoseReaderLeavesIsAWriteError) {
    // The reader takes 10 bytes of 3 MiB and goes: the writes fail, nothing waits forever.
    writeBytes("in", randomBytes(3 * 1024 * 1024, 13));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    const RunResult r = run("1 in fifo", "timeout 60 head -c 10 fifo > /dev/null & timeout 60 ");
    expectFailure(r, 5);
    EXPECT_TRUE(exists("fifo"));
}

TEST_F(DeinterleaveProgram, RandomFilesMatchByteByByteDefinition) {
    uint32_t seed = 100;
    for (size_t size :
         {size_t{1}, size_t{2}, size_t{17}, size_t{4096}, size_t{65537}, size_t{2500000}}) {
        const std::vector<uint8_t> input = randomBytes(size, seed++);
        writeBytes("in", input);
        for (uint64_t factor : {1, 2, 3, 4, 7, 8, 13, 128, 255, 4096}) {
            const RunResult r = run(std::to_string(factor) + " in out");
            ASSERT_EQ(r.exitCode, 0) << r.err;
            ASSERT_EQ(r.out, std::to_string(size / factor) + "\n");
            ASSERT_TRUE(readBytes("out") == referenceOutput(input, factor))
                << "size " << size << " N " << factor;
        }
    }
}

TEST_F(DeinterleaveProgram, LargeFilesSplitBetweenTwoThreadsComeOutExact) {
    // 20 MiB gives both threads runs of tiles of their own: bands of whole rows in the mapped
    // output (N = 1, 7, 1000) and tiles of whole short streams (N = 70000). The output there
    // before is longer, and must not show through.
    const std::vector<uint8_t> input = randomBytes((size_t{20} << 20) + 5, 77);
    writeBytes("in", input);
    for (uint64_t factor : {1, 7, 1000, 70000}) {
        writeBytes("out", std::vector<uint8_t>(input.size() + 12345, 0xA5));
        const RunResult r = run(std::to_string(factor) + " in out");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, std::to_string(input.size() / factor) + "\n");
        EXPECT_TRUE(readBytes("out") == referenceOutput(input, factor)) << "N " << factor;
    }
}

TEST_F(DeinterleaveProgram, ExtraArgumentsAreIgnored) {
    writeBytes("in", iota(10));
    const RunResult r = run("3 in out extra");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes("out"), (std::vector<uint8_t>{6, 3, 0, 7, 4, 1, 8, 5, 2}));
}

}  // namespace
