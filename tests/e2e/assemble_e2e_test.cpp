// Runs the built l3assemble on record files written by the tests and checks the exit code,
// the console lines, the messages on standard error and the output bytes. Expected streams
// come from the independent stream model in support/record_file.h.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/record_file.h"
#include "support/tools.h"

namespace {

// Compares two byte vectors, reporting sizes and the first differing byte.
#define EXPECT_SAME_BYTES(actual, expected) \
    EXPECT_EQ(l3test::describeDifference(actual, expected), "")

using l3test::makeHeader;
using l3test::makeRecord;
using l3test::ProgramResult;
using l3test::RecordEntry;
using l3test::shellQuote;

constexpr uint32_t kUnlimited = 0xFFFFFFFFu;
constexpr size_t kEntryBytes = 5614;

class Assemble : public ::testing::Test {
protected:
    ProgramResult run(const std::string& args) const {
        return l3test::runProgram(dir_, L3ASSEMBLE_EXE, args);
    }
    std::string q(const std::string& name) const { return shellQuote(dir_.path(name)); }

    // The console of a finished run: the first progress line (always printed after the
    // first frame, with the estimate i * size / position), possibly further progress lines,
    // then the three statistics lines.
    static void expectConsole(const std::string& out, int frames, int written, int firstEstimate) {
        std::string pattern;
        if (frames > 0)
            pattern = "Frames: 1/" + std::to_string(firstEstimate) +
                      "\\(\\?\\) \\r(Frames: \\d+/-?\\d+\\(\\?\\) \\r)*";
        pattern += std::to_string(frames) + " frames found\\.   \\n" + std::to_string(written) +
                   " frames written\\.\\nProcessed " + std::to_string(frames) +
                   " frames in \\d+\\.\\d{3}s\\n";
        EXPECT_TRUE(std::regex_match(out, std::regex(pattern))) << "stdout: " << out;
    }

    // One message line on standard error, matching pattern somewhere.
    static void expectOneMessage(const std::string& err, const std::string& pattern) {
        EXPECT_TRUE(std::regex_match(err, std::regex("l3assemble: [^\\n]*\\n"))) << err;
        EXPECT_TRUE(std::regex_search(err, std::regex(pattern))) << err << " lacks " << pattern;
    }

    // Estimate printed after the first frame for a record file of size bytes.
    static int firstEstimate(size_t size) {
        return static_cast<int>(static_cast<double>(size) / static_cast<double>(12 + kEntryBytes));
    }

    l3test::TempDir dir_;
};

// A short run of raw MPEG-1 frames at 128 kbit/s, 44.1 kHz.
std::vector<RecordEntry> rawRun(int count, int32_t ancillaryBits) {
    return std::vector<RecordEntry>(count, RecordEntry{makeRecord(0xFFFB9064), ancillaryBits});
}

// Records of every layout with random side information and ancillary shares of every size;
// raw, or coded without main data bits.
std::vector<RecordEntry> variedRun(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<RecordEntry> entries;
    for (int i = 0; i < count; ++i) {
        const bool mpeg1 = i % 3 != 1;
        const uint32_t version =
            mpeg1 ? l3test::kMpeg1 : (l3test::draw(rng) % 2 ? l3test::kMpeg2 : l3test::kMpeg25);
        const uint32_t header =
            makeHeader(version, 1 + l3test::draw(rng) % 14, l3test::draw(rng) % 3, l3test::draw(rng) % 2, l3test::draw(rng) % 2, l3test::draw(rng) % 4);
        const bool raw = !mpeg1 || rng() % 2;
        l3::FrameRecord r = makeRecord(header, raw);
        l3test::randomSideInfo(r, rng);
        if (!raw)
            for (auto& granule : r.granuleInfo)
                for (auto& info : granule) info.part2_3_length = 0;
        r.main_data_begin = static_cast<int32_t>(rng() % 200);
        entries.push_back({r, static_cast<int32_t>(rng() % 3000) - 100});
    }
    return entries;
}

TEST_F(Assemble, OnlyTheRecordFileDiscardsTheStreamAndPrintsCounts) {
    const std::vector<uint8_t> file = l3test::recordFile(rawRun(3, 40));
    dir_.write("rec", file);
    const ProgramResult r = run("rec");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectConsole(r.out, 3, 3, firstEstimate(file.size()));
    EXPECT_EQ(r.err, "");  // the default ancillary file is empty without a warning
    EXPECT_FALSE(dir_.exists("nul"));
}

TEST_F(Assemble, NulNamesTheNullDeviceInAnyCase) {
    const std::vector<RecordEntry> entries = variedRun(12, 31);
    dir_.write("rec", l3test::recordFile(entries));
    const std::vector<uint8_t> expected = l3test::modelRun(entries, {}, kUnlimited).output;
    for (const char* name : {"NUL", "nul", "Nul"}) {
        const ProgramResult r = run("rec " + std::string(name) + " out");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_SAME_BYTES(dir_.read("out"), expected) << name;
        EXPECT_FALSE(dir_.exists(name));
    }
    const ProgramResult r = run("rec nul nul");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(dir_.exists("nul"));
}

// The stream bytes of records without coded main data: header (the record's little-endian
// header word sent most significant byte first), CRC, side information with the raw
// part2_3_length values, ancillary bits ahead of each header and again at the very end,
// then the rest of the ancillary file.
TEST_F(Assemble, RecordsWithoutCodedMainDataGiveExactFrames) {
    std::vector<RecordEntry> entries = variedRun(60, 41);
    entries[0].record.header = 0xFFFB9064;
    entries[0].record.rawMainData = 1;
    entries[20].ancillaryBits = 8192;
    entries.back().ancillaryBits = 300;
    const std::vector<uint8_t> ancillary = l3test::randomBytes(80000, 43);
    dir_.write("rec", l3test::recordFile(entries));
    dir_.write("anc", ancillary);
    const ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<uint8_t> out = dir_.read("out");
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFB);
    EXPECT_EQ(out[2], 0x90);
    EXPECT_EQ(out[3], 0x64);
    const l3test::ModelRun model = l3test::modelRun(entries, ancillary, kUnlimited);
    ASSERT_EQ(model.ancillaryShortfall, 0u);
    EXPECT_SAME_BYTES(out, model.output);
}

TEST_F(Assemble, SingleRawFrameWithCrc) {
    l3::FrameRecord record = makeRecord(makeHeader(l3test::kMpeg1, 9, 0, true, 1, 1, 2));
    record.main_data_begin = 0x1AB;
    record.private_bits = 5;
    record.granuleInfo[0][0].rawPart2_3Length = 0xABC;
    record.granuleInfo[0][0].part2_3_length = 0x123;
    record.granuleInfo[1][1].rawPart2_3Length = 0x801;
    record.granuleInfo[1][1].global_gain = 0x99;
    dir_.write("rec", l3test::recordFile({{record, 0}}));
    const ProgramResult r = run("rec nul out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> head = l3test::referenceHead(record);
    ASSERT_EQ(head.size(), 38u);
    std::vector<uint8_t> expected(418, 0);
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_SAME_BYTES(dir_.read("out"), expected);
}

// Values are not masked to their widths: a rawPart2_3Length of 4096 leaves its 12-bit field
// zero and sets the last bit of the element before it (scfsi[1][3] in a two-channel MPEG-1
// frame). Only the cases the run is documented to refuse stop it; this is not one of them.
// A value wider than its side-information field would spill into the element before it
// and write a silently wrong frame: the record is refused, naming the field, and the frames
// before it still come out whole.
TEST_F(Assemble, ValueWiderThanItsFieldIsRefused) {
    l3::FrameRecord good = makeRecord(0xFFFB9064);
    l3::FrameRecord wide = makeRecord(0xFFFB9064);
    wide.granuleInfo[1][0].rawPart2_3Length = 4096;
    dir_.write("rec", l3test::recordFile({{good, 0}, {wide, 0}}));
    const ProgramResult r = run("rec nul out");
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_NE(r.err.find("frame 1, granule 1, channel 0: rawPart2_3Length 4096"), std::string::npos)
        << r.err;
    const std::vector<uint8_t> head = l3test::referenceHead(good);
    std::vector<uint8_t> expected(417, 0);
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_SAME_BYTES(dir_.read("out"), expected);
}

// Each record with a positive bit count takes min(bits, 1024) bytes of the ancillary file,
// counting bits as bytes: 20 bits take 20 bytes, and the rest follows the last frame.
TEST_F(Assemble, EachRecordTakesItsShareOfTheAncillaryFile) {
    const std::vector<uint8_t> ancillary = l3test::randomBytes(2100, 47);
    std::vector<RecordEntry> entries = rawRun(3, 0);
    entries[0].ancillaryBits = 20;
    entries[1].ancillaryBits = 2000;  // above 1024: takes 1024 bytes
    dir_.write("rec", l3test::recordFile(entries));
    dir_.write("anc", ancillary);
    const ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> out = dir_.read("out");
    ASSERT_EQ(out.size(), 3 * 417 + 2100 - 20 - 1024);
    EXPECT_TRUE(std::equal(ancillary.begin() + 20 + 1024, ancillary.end(), out.begin() + 3 * 417));
    EXPECT_SAME_BYTES(out, l3test::modelRun(entries, ancillary, kUnlimited).output);
}

TEST_F(Assemble, FrameCountZeroOrNegativeCopiesTheAncillaryFile) {
    const std::vector<uint8_t> ancillary = l3test::randomBytes(5000, 53);
    dir_.write("anc", ancillary);
    for (int32_t count : {0, -3}) {
        dir_.write("rec", l3test::recordFile(count, -1, rawRun(2, 8)));
        const ProgramResult r = run("rec anc out");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        expectConsole(r.out, 0, 0, 0);
        EXPECT_SAME_BYTES(dir_.read("out"), ancillary) << count;
    }
}

TEST_F(Assemble, OutputLimitZeroLeavesOnlyTheAncillaryRest) {
    const std::vector<RecordEntry> entries = rawRun(25, 16);
    const std::vector<uint8_t> ancillary = l3test::randomBytes(25 * 16 + 77, 59);
    dir_.write("anc", ancillary);
    dir_.write("rec", l3test::recordFile(25, 0, entries));
    const int estimate = firstEstimate(12 + 25 * kEntryBytes);
    ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectConsole(r.out, 25, 25, estimate);
    EXPECT_SAME_BYTES(dir_.read("out"),
                      std::vector<uint8_t>(ancillary.end() - 77, ancillary.end()));

    for (int32_t limit : {-1, -1000000, 5000}) {
        dir_.write("rec", l3test::recordFile(25, limit, entries));
        r = run("rec anc out");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        expectConsole(r.out, 25, 25, estimate);
        EXPECT_SAME_BYTES(dir_.read("out"),
                          l3test::modelRun(entries, ancillary, static_cast<uint32_t>(limit)).output)
            << limit;
    }
}

// A trailing 128-byte block that begins with TAG is left out of the size the progress
// estimate uses; any other block counts. Neither reaches the output.
TEST_F(Assemble, TrailingTagLowersTheProgressEstimate) {
    const std::vector<RecordEntry> entries = rawRun(3, 0);
    const std::vector<uint8_t> expected = l3test::modelRun(entries, {}, kUnlimited).output;
    for (const char* tail : {"TAG", "TAX", "XAG"}) {
        std::vector<uint8_t> file = l3test::recordFile(entries);
        std::vector<uint8_t> block(128, 'T');
        std::copy(tail, tail + 3, block.begin());
        file.insert(file.end(), block.begin(), block.end());
        dir_.write("rec", file);
        const ProgramResult r = run("rec nul out");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const bool tagged = std::string(tail) == "TAG";
        // 3 entries: 16854 bytes; with the block 16982. 16854 / 5626 < 3 <= 16982 / 5626.
        expectConsole(r.out, 3, 3, tagged ? 2 : 3);
        EXPECT_EQ(firstEstimate(file.size() - (tagged ? 128 : 0)), tagged ? 2 : 3);
        EXPECT_SAME_BYTES(dir_.read("out"), expected) << tail;
    }
}

// ---------------------------------------------------------------------------------------
// Failures: one message, every complete frame sent, a non-zero exit code.

TEST_F(Assemble, NoArgumentsPrintsUsage) {
    const ProgramResult r = run("");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::regex_search(r.err, std::regex("usage", std::regex::icase))) << r.err;
}

TEST_F(Assemble, UnopenableFilesAreNamed) {
    dir_.write("rec", l3test::recordFile(rawRun(2, 0)));
    ProgramResult r = run("missing.rec");
    EXPECT_EQ(r.exitCode, 2);
    expectOneMessage(r.err, "missing\\.rec.*No such file");
    EXPECT_EQ(r.out, "");

    r = run("rec missing.anc out");
    EXPECT_EQ(r.exitCode, 2);
    expectOneMessage(r.err, "missing\\.anc.*No such file");
    EXPECT_FALSE(dir_.exists("out"));

    r = run("rec nul no/such/dir/out");
    EXPECT_EQ(r.exitCode, 2);
    expectOneMessage(r.err, "no/such/dir/out.*No such file");
}

// Opening the output truncates it, so an output that is one of the inputs (by name or by
// a hard link) would destroy it: refused before anything is opened for writing.
TEST_F(Assemble, OutputThatIsAnInputIsRefused) {
    const std::vector<uint8_t> records = l3test::recordFile(rawRun(2, 0));
    const std::vector<uint8_t> ancillary = l3test::randomBytes(300, 5);
    dir_.write("rec", records);
    dir_.write("anc", ancillary);
    ProgramResult r = run("rec anc rec");
    EXPECT_EQ(r.exitCode, 2);
    expectOneMessage(r.err, "output 'rec'.*is the input");
    EXPECT_TRUE(dir_.read("rec") == records);

    std::filesystem::create_hard_link(dir_.path("anc"), dir_.path("anc.link"));
    r = run("rec anc anc.link");
    EXPECT_EQ(r.exitCode, 2);
    expectOneMessage(r.err, "anc\\.link.*is the input 'anc'");
    EXPECT_TRUE(dir_.read("anc") == ancillary);

    // Devices are not files to protect: /dev/null may stand for both.
    r = run("rec /dev/null /dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(Assemble, RecordFileShorterThanItsHead) {
    for (size_t size : {0, 11}) {
        std::vector<uint8_t> file = l3test::recordFile(rawRun(1, 0));
        file.resize(size);
        dir_.write("short.rec", file);
        const ProgramResult r = run("short.rec nul out");
        EXPECT_EQ(r.exitCode, 3) << size;
        expectOneMessage(r.err, "short\\.rec.*12");
        EXPECT_TRUE(dir_.read("out").empty());
    }
}

// The file ends inside frame 2's record, or inside its ancillary count, before the head's
// count of 5 is reached: the frames of the two complete records still come out.
TEST_F(Assemble, RecordFileEndingInsideAFrame) {
    const std::vector<RecordEntry> entries = variedRun(3, 61);
    const std::vector<uint8_t> whole = l3test::recordFile(5, -1, entries);
    const std::vector<RecordEntry> complete(entries.begin(), entries.begin() + 2);
    const std::vector<uint8_t> ancillary = l3test::randomBytes(9000, 67);
    dir_.write("anc", ancillary);
    const std::vector<uint8_t> expected =
        l3test::modelRun(complete, ancillary, kUnlimited, false).output;
    for (size_t cut : {size_t{1}, size_t{2000}, size_t{kEntryBytes - 2}}) {
        std::vector<uint8_t> file(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut));
        dir_.write("rec", file);
        const ProgramResult r = run("rec anc out");
        EXPECT_EQ(r.exitCode, 3) << cut;
        expectOneMessage(r.err, "record file.*ends after 2 of 5 frames");
        EXPECT_SAME_BYTES(dir_.read("out"), expected) << cut;
    }
    // Ending exactly after the second entry is the same failure.
    std::vector<uint8_t> file(whole.begin(), whole.begin() + 12 + 2 * kEntryBytes);
    dir_.write("rec", file);
    const ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 3);
    expectOneMessage(r.err, "ends after 2 of 5 frames");
    EXPECT_SAME_BYTES(dir_.read("out"), expected);
}

struct BadHeaderCase {
    uint32_t header;
    int frame;
    const char* message;  // frame index, field and value
};

TEST_F(Assemble, HeaderWithoutFrameLengthStopsTheRun) {
    const BadHeaderCase cases[] = {
        {makeHeader(l3test::kMpeg1, 0, 0), 2, "frame 2\\b.*bitrate_index 0\\b"},
        {makeHeader(l3test::kMpeg2, 15, 1), 1, "frame 1\\b.*bitrate_index 15\\b"},
        {makeHeader(l3test::kMpeg1, 9, 3), 3, "frame 3\\b.*sampling_frequency 3\\b"},
        {makeHeader(l3test::kVersionReserved, 9, 0), 2, "frame 2\\b.*version.* 1\\b"},
        {makeHeader(l3test::kVersionReserved, 0, 3), 0, "frame 0\\b"},
    };
    const std::vector<uint8_t> ancillary = l3test::randomBytes(9000, 71);
    dir_.write("anc", ancillary);
    for (const BadHeaderCase& c : cases) {
        std::vector<RecordEntry> entries = variedRun(5, 73);
        entries[c.frame].record.header = c.header;
        dir_.write("rec", l3test::recordFile(entries));
        const ProgramResult r = run("rec anc out");
        EXPECT_EQ(r.exitCode, 4) << c.message;
        expectOneMessage(r.err, c.message);
        const std::vector<RecordEntry> before(entries.begin(), entries.begin() + c.frame);
        EXPECT_SAME_BYTES(dir_.read("out"),
                          l3test::modelRun(before, ancillary, kUnlimited, false).output)
            << c.message;
    }
}

TEST_F(Assemble, AncillaryCountAbove8192StopsTheRun) {
    const std::vector<uint8_t> ancillary = l3test::randomBytes(9000, 79);
    dir_.write("anc", ancillary);
    std::vector<RecordEntry> entries = rawRun(3, 8);
    entries[1].ancillaryBits = 8192;
    dir_.write("rec", l3test::recordFile(entries));
    ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_SAME_BYTES(dir_.read("out"), l3test::modelRun(entries, ancillary, kUnlimited).output);

    entries[1].ancillaryBits = 8193;
    dir_.write("rec", l3test::recordFile(entries));
    r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 4);
    expectOneMessage(r.err, "frame 1\\b.*ancillaryBits 8193\\b");
    EXPECT_SAME_BYTES(dir_.read("out"),
                      l3test::modelRun({entries[0]}, ancillary, kUnlimited, false).output);
}

// The second frame (after a 96-byte first frame with 75 main-data bytes) starts 600 bits
// below the initial writer position, 8792 bits below the store's top. main_data_begin 511
// takes its main data 4088 bits up, which leaves room for exactly 4704 ancillary bits.
TEST_F(Assemble, AncillaryBitsReachingAboveTheStoreStopTheRun) {
    const uint32_t header = makeHeader(l3test::kMpeg1, 1, 1, false, 0, l3test::kSingleChannel);
    ASSERT_EQ(l3test::referenceFrameLength(header) - l3test::referenceHeadBytes(header), 75);
    l3::FrameRecord reaching = makeRecord(header, false);
    reaching.main_data_begin = 511;
    std::vector<RecordEntry> entries{{makeRecord(header, false), 0}, {reaching, 4704}};
    const std::vector<uint8_t> ancillary = l3test::randomBytes(600, 83);
    dir_.write("anc", ancillary);
    dir_.write("rec", l3test::recordFile(entries));
    ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_SAME_BYTES(dir_.read("out"), l3test::modelRun(entries, ancillary, kUnlimited).output);

    entries[1].ancillaryBits = 4705;
    dir_.write("rec", l3test::recordFile(entries));
    r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 4);
    expectOneMessage(r.err, "frame 1\\b.*ancillaryBits 4705\\b");
    EXPECT_SAME_BYTES(dir_.read("out"),
                      l3test::modelRun({entries[0]}, ancillary, kUnlimited, false).output);
}

// A spectral value that its code table cannot code is found while the frame is written;
// the frame is taken back out, with its ancillary bits, which it had already placed in the
// areas of the frames before it. Those frames come out as a run over them alone gives them.
TEST_F(Assemble, FrameFailingWhileCodedLeavesEarlierFramesIntact) {
    std::vector<RecordEntry> entries = rawRun(3, 16);
    l3::FrameRecord coded = makeRecord(0xFFFB9064, false);
    coded.main_data_begin = 100;
    l3::GranuleChannelInfo& info = coded.granuleInfo[0][0];
    info.part2_3_length = 200;
    info.big_values = 1;
    info.table_select[0] = 1;  // codes magnitudes 0 and 1 only
    coded.spectrum[0][0][0] = 5;
    entries.push_back({coded, 800});
    const std::vector<uint8_t> ancillary = l3test::randomBytes(3 * 16 + 800 + 50, 97);
    dir_.write("anc", ancillary);
    dir_.write("rec", l3test::recordFile(entries));
    const ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 4);
    expectOneMessage(r.err, "frame 3\\b.*spectrum.*\\b5\\b");
    const std::vector<RecordEntry> before(entries.begin(), entries.begin() + 3);
    EXPECT_SAME_BYTES(dir_.read("out"),
                      l3test::modelRun(before, ancillary, kUnlimited, false).output);
}

TEST_F(Assemble, OutputWriteErrorIsReported) {
    dir_.write("rec", l3test::recordFile(rawRun(30, 0)));
    const ProgramResult r = run("rec nul /dev/full");
    EXPECT_EQ(r.exitCode, 5);
    expectOneMessage(r.err, "/dev/full");
}

TEST_F(Assemble, ShortNamedAncillaryFileWarnsOnce) {
    std::vector<RecordEntry> entries = rawRun(6, 24);
    const std::vector<uint8_t> ancillary = l3test::randomBytes(3 * 24 + 5, 89);
    dir_.write("rec", l3test::recordFile(entries));
    dir_.write("anc", ancillary);
    const ProgramResult r = run("rec anc out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectConsole(r.out, 6, 6, firstEstimate(12 + 6 * kEntryBytes));
    expectOneMessage(r.err, "warning.*anc");
    const l3test::ModelRun model = l3test::modelRun(entries, ancillary, kUnlimited);
    ASSERT_GT(model.ancillaryShortfall, 0u);
    EXPECT_SAME_BYTES(dir_.read("out"), model.output);
}

// A run may say several things; they come in the order they arose: the record file cut
// short, then the output that could not take the frames before it; with the stream on
// standard output, the statistics and then the warning of an ancillary file that ran short.
TEST_F(Assemble, MessagesComeInTheOrderTheyArose) {
    dir_.write("cut", l3test::recordFile(5, -1, rawRun(2, 0)));
    ProgramResult r = run("cut nul /dev/full");
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("l3assemble: record file 'cut' ends after 2 "
                                                   "of 5 frames\\nl3assemble: cannot write "
                                                   "output '/dev/full': [^\\n]+\\n")))
        << r.err;

    dir_.write("rec", l3test::recordFile(rawRun(6, 24)));
    dir_.write("anc", l3test::randomBytes(3 * 24 + 5, 89));
    r = run("rec anc -");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string warning = "l3assemble: warning: ancillary file 'anc' ended ";
    const size_t at = r.err.find(warning);
    ASSERT_NE(at, std::string::npos) << r.err;
    expectConsole(r.err.substr(0, at), 6, 6, firstEstimate(12 + 6 * kEntryBytes));
    EXPECT_TRUE(std::regex_match(r.err.substr(at), std::regex(warning + "\\d+ bytes [^\\n]+\\n")))
        << r.err;
}

// A decoder accepts a stream of silent frames coded without main data bits.
TEST_F(Assemble, DecoderAcceptsSilentFrames) {
    L3_REQUIRE_TOOL("mpg123");
    dir_.write("rec", l3test::recordFile(std::vector<RecordEntry>(
                          40, RecordEntry{makeRecord(0xFFFB9064, false), 0})));
    ASSERT_EQ(run("rec nul out.mp3").exitCode, 0);
    const std::string command = "mpg123 -t " + q("out.mp3") + " 2>" + q("decoder.txt");
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string report = dir_.readText("decoder.txt");
    EXPECT_EQ(report.find("rror"), std::string::npos) << report;
    EXPECT_EQ(report.find("arning"), std::string::npos) << report;
}

}  // namespace
