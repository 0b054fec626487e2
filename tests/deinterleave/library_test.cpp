// The library behind deinterleave: argument parsing, tile planning, the gather kernel and the
// writer, compared with the byte-by-byte definition.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "deinterleave/input_file.h"
#include "deinterleave/interleave_factor.h"
#include "deinterleave/output_file.h"
#include "deinterleave/stream_writer.h"
#include "reference.h"

namespace {

using namespace deinterleave;
using deinterleave_test::randomBytes;
using deinterleave_test::referenceOutput;

TEST(ParseInterleaveFactor, ReadsDigitsAfterBlanksAndOneSign) {
    EXPECT_EQ(parseInterleaveFactor("3"), 3);
    EXPECT_EQ(parseInterleaveFactor("  +3"), 3);
    EXPECT_EQ(parseInterleaveFactor("\t\n 12"), 12);
    EXPECT_EQ(parseInterleaveFactor("-2"), -2);
    EXPECT_EQ(parseInterleaveFactor("007"), 7);
}

TEST(ParseInterleaveFactor, StopsAtFirstNonDigit) {
    EXPECT_EQ(parseInterleaveFactor("3abc"), 3);
    EXPECT_EQ(parseInterleaveFactor("12 34"), 12);
    EXPECT_EQ(parseInterleaveFactor("0x10"), 0);
    EXPECT_EQ(parseInterleaveFactor("5.9"), 5);
}

TEST(ParseInterleaveFactor, TextWithoutLeadingDigitsIsZero) {
    EXPECT_EQ(parseInterleaveFactor("abc"), 0);
    EXPECT_EQ(parseInterleaveFactor(""), 0);
    EXPECT_EQ(parseInterleaveFactor("+"), 0);
    EXPECT_EQ(parseInterleaveFactor("+-3"), 0);
    EXPECT_EQ(parseInterleaveFactor("- 3"), 0);
    EXPECT_EQ(parseInterleaveFactor("x3"), 0);
    EXPECT_EQ(parseInterleaveFactor("-0"), 0);
}

TEST(ParseInterleaveFactor, SaturatesInsteadOfWrapping) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(parseInterleaveFactor("9223372036854775807"), kMax);
    EXPECT_EQ(parseInterleaveFactor("9223372036854775808"), kMax);
    EXPECT_EQ(parseInterleaveFactor("18446744073709551617"), kMax);  // 2^64 + 1 must not wrap to 1
    EXPECT_EQ(parseInterleaveFactor("99999999999999999999999999"), kMax);
    EXPECT_EQ(parseInterleaveFactor("-9223372036854775808"), kMin);
    EXPECT_EQ(parseInterleaveFactor("-99999999999999999999999999"), kMin);
    EXPECT_EQ(parseInterleaveFactor("4294967299"), 4294967299);  // beyond 32 bits, kept
}

// Every kernel that runs here, whatever the run-time choice would be, against the definition:
// tiles whose heights straddle the 8- and 16-row steps, whose widths straddle the 16-column
// blocks, at both ends of the input (where a block's loads would pass the last row), and with the
// bytes between the columns of the staging buffer checked untouched.
TEST(GatherTile, EveryKernelMatchesDefinitionAroundBlockEdges) {
    const std::vector<uint8_t> input = randomBytes(6000, 1);
    int ran = 0;
    for (GatherKernel kernel : kForcedKernels) {
        for (uint64_t factor : {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 1000}) {
            if (!kernelRuns(kernel, factor)) continue;
            ++ran;
            const uint64_t count = input.size() / factor;
            const uint64_t last = count - 1;
            std::vector<Tile> tiles;
            for (uint64_t height : {1, 7, 8, 15, 16, 17, 31, 32, 33, 47}) {
                if (height > count) continue;
                for (auto [columnBegin, columnEnd] :
                     {std::pair<uint64_t, uint64_t>{0, factor},
                      {factor / 3, factor / 3 + 1},
                      {factor - std::min<uint64_t>(factor, 17), factor},
                      {factor / 2, std::min<uint64_t>(factor, factor / 2 + 16)}}) {
                    tiles.push_back({count - height, count, columnBegin, columnEnd});
                    tiles.push_back({0, height, columnBegin, columnEnd});
                    tiles.push_back({last / 2 - height / 2, last / 2 - height / 2 + height,
                                     columnBegin, columnEnd});
                }
            }
            tiles.push_back({0, count, 0, factor});
            for (const Tile& tile : tiles) {
                const uint64_t height = tile.rowEnd - tile.rowBegin;
                const uint64_t stride = height + 5;
                const uint64_t columns = tile.columnEnd - tile.columnBegin;
                std::vector<uint8_t> got(stride * columns, 0xAA), want(got);
                for (uint64_t c = 0; c < columns; ++c) {
                    for (uint64_t k = 0; k < height; ++k) {
                        want[c * stride + k] =
                            input[tile.columnBegin + c + factor * (tile.rowEnd - 1 - k)];
                    }
                }
                gatherTile(kernel, input.data(), factor, count, tile, got.data(), stride);
                ASSERT_EQ(got, want) << kernelName(kernel) << " factor " << factor << " rows "
                                     << tile.rowBegin << ".." << tile.rowEnd << " columns "
                                     << tile.columnBegin << ".." << tile.columnEnd;
            }
        }
    }
    EXPECT_GE(ran, 17 + 8 + 1);  // everywhere: plain for all factors, unrolled for 1..8, and 1 swap
}

TEST(GatherTile, AutomaticChoiceRunsAndEachKernelKnowsItsFactors) {
    for (uint64_t factor : {1, 2, 3, 8, 9, 1000}) {
        EXPECT_TRUE(kernelRuns(automaticKernel(factor), factor)) << factor;
    }
    EXPECT_FALSE(kernelRuns(GatherKernel::reverseBytes, 2));
    EXPECT_FALSE(kernelRuns(GatherKernel::twoStreams, 3));
    EXPECT_FALSE(kernelRuns(GatherKernel::unrolled, 9));
    EXPECT_FALSE(kernelRuns(GatherKernel::byteShuffle, 2));
    EXPECT_FALSE(kernelRuns(GatherKernel::byteShuffle, 9));
#if defined(__SSE2__)
    // Where the build has SSE2 the vector kernels must be among those the tests run.
    EXPECT_TRUE(kernelRuns(GatherKernel::twoStreams, 2));
    EXPECT_TRUE(kernelRuns(GatherKernel::blockTranspose, 3));
    EXPECT_TRUE(kernelRuns(GatherKernel::blockTranspose, 1000));
    EXPECT_EQ(automaticKernel(1000), GatherKernel::blockTranspose);
#endif
}

TEST(ChooseTileShape, StaysWithinBufferRowsAndColumns) {
    for (uint64_t factor : {uint64_t{1}, uint64_t{2}, uint64_t{7}, uint64_t{128}, uint64_t{129},
                            uint64_t{1000}, uint64_t{1} << 40}) {
        for (uint64_t count :
             {uint64_t{1}, uint64_t{2}, uint64_t{3000}, uint64_t{1} << 20, uint64_t{5} << 30}) {
            for (uint64_t tileBytes : {uint64_t{1}, uint64_t{100}, kTileBytes}) {
                for (OutputKind kind : {OutputKind::seekable, OutputKind::sequential}) {
                    const TileShape t = chooseTileShape(factor, count, kind, tileBytes);
                    SCOPED_TRACE(::testing::Message() << "factor " << factor << " count " << count
                                                      << " tile " << tileBytes);
                    EXPECT_GE(t.rows, 1u);
                    EXPECT_LE(t.rows, count);
                    EXPECT_GE(t.columns, 1u);
                    EXPECT_LE(t.columns, factor);
                    EXPECT_LE(t.rows * t.columns, std::max(kMostTileGrowth * tileBytes, t.rows));
                    if (kind == OutputKind::sequential && t.rows < count) {
                        EXPECT_EQ(t.columns, 1u);
                    }
                }
            }
        }
    }
    // Rows short enough are taken whole, in a larger tile; longer rows are cut into column
    // groups, so that each piece written stays long; short columns are taken whole.
    const uint64_t leastPiece = kTileBytes / kLeastPieceDivisor;
    const TileShape rows = chooseTileShape(1000, 1000000, OutputKind::seekable);
    EXPECT_EQ(rows.columns, 1000u);
    EXPECT_GE(rows.rows, leastPiece);
    EXPECT_LE(rows.rows * 1000, kMostTileGrowth * kTileBytes);
    const TileShape wide = chooseTileShape(100000, 100000, OutputKind::seekable);
    EXPECT_EQ(wide.rows, leastPiece);
    EXPECT_EQ(wide.columns, kTileBytes / leastPiece);
    const TileShape whole = chooseTileShape(65536, 4096, OutputKind::seekable);
    EXPECT_EQ(whole.rows, 4096u);
    EXPECT_EQ(whole.columns, kTileBytes / 4096);
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "deinterleave_lib_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::vector<uint8_t> readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    std::filesystem::path dir_;
};

using WriteStreams = TempDir;

constexpr OutputKind kOutputKinds[] = {OutputKind::mapped, OutputKind::seekable,
                                       OutputKind::sequential};

const char* kindName(OutputKind kind) {
    return kind == OutputKind::mapped     ? "mapped"
           : kind == OutputKind::seekable ? "seekable"
                                          : "sequential";
}

// Small tiles force every combination of partial row blocks and column groups on small inputs,
// for every kernel that runs here: sizes a row or a byte either side of the 16-row steps and of
// the tiles, sizes no multiple of N, N above the size, N = 1. They also give both workers of
// the shared paths tiles of their own (tiles of 1000 bytes: whole short columns, 37 tiles for
// 4099 streams; 4096 bytes: bands of whole rows from 9 streams up).
TEST_F(WriteStreams, EveryKernelMatchesReferenceForSizesFactorsTilesAndOutputKinds) {
    const std::vector<uint8_t> all = randomBytes(40000, 7);
    const auto path = dir_ / "out";
    for (size_t size : {0, 1, 2, 10, 257, 4099, 40000}) {
        const std::vector<uint8_t> input(all.begin(), all.begin() + static_cast<ptrdiff_t>(size));
        for (uint64_t factor : {1, 2, 3, 5, 7, 8, 9, 16, 17, 128, 130, 1000, 4099, 40001}) {
            const std::vector<uint8_t> want = referenceOutput(input, factor);
            for (GatherKernel kernel : kForcedKernels) {
                if (!kernelRuns(kernel, factor)) continue;
                for (uint64_t tileBytes : {1, 13, 300, 1000, 4096}) {
                    if (size > 5000 && tileBytes < 100) continue;  // ten thousand writes or more
                    for (OutputKind kind : kOutputKinds) {
                        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
                        ASSERT_GE(fd, 0);
                        const int error = writeStreams(input.data(), factor, size / factor, fd,
                                                       kind, tileBytes, kernel);
                        ::close(fd);
                        ASSERT_EQ(error, 0);
                        ASSERT_EQ(readFile(path), want)
                            << kernelName(kernel) << " size " << size << " factor " << factor
                            << " tile " << tileBytes << " " << kindName(kind);
                    }
                }
            }
        }
    }
}

TEST_F(WriteStreams, RefusesAKernelThatDoesNotRunForTheFactor) {
    const std::vector<uint8_t> input = randomBytes(100, 3);
    const int fd = ::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(writeStreams(input.data(), 3, 33, fd, OutputKind::seekable, kTileBytes,
                           GatherKernel::reverseBytes),
              EINVAL);
    ::close(fd);
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), 0u);
}

TEST_F(WriteStreams, DefaultTileAcrossSeveralRowBlocks) {
    // Above kTileBytes for every N, so the row blocks, the column groups of long rows and their
    // offsets are exercised at the tile size the program uses; from 1000 up whole columns go out
    // together, 70000 of them in more than one vectored write.
    const std::vector<uint8_t> input = randomBytes(5 * 1024 * 1024 + 3, 11);
    const auto path = dir_ / "out";
    for (uint64_t factor : {1, 2, 7, 17, 64, 1000, 70000}) {
        for (OutputKind kind : kOutputKinds) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(writeStreams(input.data(), factor, input.size() / factor, fd, kind), 0);
            ::close(fd);
            ASSERT_TRUE(readFile(path) == referenceOutput(input, factor))
                << "factor " << factor << " " << kindName(kind);
        }
    }
}

TEST_F(WriteStreams, ReportsWriteFailure) {
    const std::vector<uint8_t> input = randomBytes(100, 3);
    writeFile(dir_ / "out", {});
    const int fd = ::open((dir_ / "out").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (OutputKind kind : kOutputKinds)
        EXPECT_EQ(writeStreams(input.data(), 3, 33, fd, kind), EBADF) << kindName(kind);
    ::close(fd);
}

TEST_F(WriteStreams, AWriteFailingHalfwayStopsEveryPathWithItsError) {
    // /dev/full refuses every write: the threads that gather and write must stop and hand the
    // error back, not wait for each other, whichever of them meets it and however many tiles
    // are left. Small tiles give each path dozens of tiles.
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full here";
    const std::vector<uint8_t> input = randomBytes(200000, 9);
    struct Case {
        uint64_t factor;
        uint64_t tileBytes;
        const char* path;
    };
    const Case cases[] = {
        {3, 4096, "whole rows, gathered beside the writes"},
        {1, 20000, "whole rows, one stream"},
        {40000, 4096, "whole short columns, two workers"},
        {100, 4096, "many long columns (mapped where it can be)"},
    };
    for (const Case& c : cases) {
        for (OutputKind kind : kOutputKinds) {
            const int error = writeStreams(input.data(), c.factor, input.size() / c.factor, fd,
                                           kind, c.tileBytes);
            EXPECT_NE(error, 0) << c.path << " " << kindName(kind);
        }
    }
    ::close(fd);
}

TEST_F(WriteStreams, AMappedOutputThatCannotBeMappedIsWritten) {
    // A descriptor open for writing only cannot be mapped: the bytes go out by pwrite instead
    // (100 streams of 1000 rows in tiles of 256 rows would be mapped).
    const std::vector<uint8_t> input = randomBytes(100000, 4);
    const int fd = ::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writeStreams(input.data(), 100, input.size() / 100, fd, OutputKind::mapped, 4096), 0);
    ::close(fd);
    EXPECT_TRUE(readFile(dir_ / "out") == referenceOutput(input, 100));
}

TEST_F(WriteStreams, HugeFactorWithNothingToWriteReturnsAtOnce) {
    const uint8_t byte = 0;
    const int fd = ::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(writeStreams(&byte, uint64_t{1} << 62, 0, fd, OutputKind::sequential), 0);
    ::close(fd);
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), 0u);
}

using InputOutputFiles = TempDir;

TEST_F(InputOutputFiles, MeasuresRegularFileAndLoadsIt) {
    const std::vector<uint8_t> bytes = randomBytes(12345, 5);
    writeFile(dir_ / "in", bytes);
    InputFile input;
    ASSERT_EQ(openInput((dir_ / "in").c_str(), input), 0);
    ASSERT_TRUE(measureInput(input));
    EXPECT_EQ(input.size, bytes.size());
    InputBytes loaded;
    int error = -1;
    ASSERT_EQ(loadInput(input, loaded, error), LoadStatus::ok);
    EXPECT_EQ(std::vector<uint8_t>(loaded.data, loaded.data + loaded.size), bytes);
    releaseInput(loaded);
    ::close(input.fd);
}

TEST_F(InputOutputFiles, RefusesToMeasurePipeOrDirectory) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    InputFile pipeInput;
    pipeInput.fd = fds[0];
    EXPECT_FALSE(measureInput(pipeInput));
    ::close(fds[0]);
    ::close(fds[1]);

    InputFile dirInput;
    ASSERT_EQ(openInput(dir_.c_str(), dirInput), 0);
    EXPECT_FALSE(measureInput(dirInput));
    ::close(dirInput.fd);
}

TEST_F(InputOutputFiles, OpeningMissingInputGivesErrno) {
    InputFile input;
    EXPECT_EQ(openInput((dir_ / "absent").c_str(), input), ENOENT);
}

TEST_F(InputOutputFiles, RefusesOutputThatIsTheInputAndKeepsIt) {
    const std::vector<uint8_t> bytes = randomBytes(99, 9);
    writeFile(dir_ / "in", bytes);
    InputFile input;
    ASSERT_EQ(openInput((dir_ / "in").c_str(), input), 0);
    ASSERT_TRUE(measureInput(input));
    OutputFile output;
    int error = 0;
    // A second name for the same file is caught too.
    std::filesystem::create_hard_link(dir_ / "in", dir_ / "alias");
    EXPECT_EQ(openOutput((dir_ / "alias").c_str(), input, output, error),
              OpenOutputStatus::sameAsInput);
    EXPECT_EQ(readFile(dir_ / "in"), bytes);
    ::close(input.fd);
}

TEST_F(InputOutputFiles, OutputIsTruncatedAndDiscardRemovesIt) {
    writeFile(dir_ / "in", {1, 2, 3});
    writeFile(dir_ / "out", randomBytes(500, 2));
    InputFile input;
    ASSERT_EQ(openInput((dir_ / "in").c_str(), input), 0);
    ASSERT_TRUE(measureInput(input));
    OutputFile output;
    int error = 0;
    ASSERT_EQ(openOutput((dir_ / "out").c_str(), input, output, error), OpenOutputStatus::ok);
    EXPECT_TRUE(output.regular);
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), 0u);
    discardOutput(output);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out"));
    ::close(input.fd);
}

TEST_F(InputOutputFiles, DiscardLeavesAFileThatReplacedTheOutput) {
    writeFile(dir_ / "in", {1, 2, 3});
    InputFile input;
    ASSERT_EQ(openInput((dir_ / "in").c_str(), input), 0);
    ASSERT_TRUE(measureInput(input));
    OutputFile output;
    int error = 0;
    ASSERT_EQ(openOutput((dir_ / "out").c_str(), input, output, error), OpenOutputStatus::ok);
    std::filesystem::remove(dir_ / "out");
    writeFile(dir_ / "out", {4, 5});
    discardOutput(output);
    EXPECT_EQ(readFile(dir_ / "out"), (std::vector<uint8_t>{4, 5}));
    ::close(input.fd);
}

TEST_F(InputOutputFiles, DeviceOutputIsNotRegularAndNotRemoved) {
    // A machine whose /dev/null was replaced by a plain file cannot run this (the discard
    // below would rightly remove that file): say so instead.
    ASSERT_TRUE(std::filesystem::is_character_file("/dev/null"))
        << "/dev/null is not a device on this machine";
    writeFile(dir_ / "in", {1});
    InputFile input;
    ASSERT_EQ(openInput((dir_ / "in").c_str(), input), 0);
    ASSERT_TRUE(measureInput(input));
    OutputFile output;
    int error = 0;
    ASSERT_EQ(openOutput("/dev/null", input, output, error), OpenOutputStatus::ok);
    EXPECT_FALSE(output.regular);
    discardOutput(output);
    EXPECT_TRUE(std::filesystem::exists("/dev/null"));
    ::close(input.fd);
}

}  // namespace
