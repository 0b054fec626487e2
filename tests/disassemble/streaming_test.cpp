// The disassembler as a stream: input fed in pieces of any size gives the records of the
// whole buffer, standard input and output through '-', 'nul nul' as a check that writes
// nothing, and no output left behind by a run that fails.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "disassemble/disassembler.h"
#include "format/byte_order.h"
#include "l3/frame_record.h"
#include "l3/disassemble.h"
#include "l3/record.h"
#include "support/frame_scans.h"

namespace {

using namespace l3;
namespace fs = std::filesystem;

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path lameFixture(const char* name) {
    return fs::path(TEST_DATA_DIR) / "lame" / name;
}

// Runs input through a Disassembly in pieces of the given size; the record file and
// ancillary bytes as the program would write them, or the failure.
DisassembleResult disassembleInPieces(const std::vector<uint8_t>& input, size_t piece) {
    Disassembly d;
    std::vector<uint8_t> records(kHeadBytes), ancillary;
    bool ok = true;
    for (size_t at = 0; ok && at < input.size(); at += piece) {
        ok = feedDisassembly(d, input.data() + at, std::min(piece, input.size() - at));
        records.insert(records.end(), d.recordBytes.begin(), d.recordBytes.end());
        ancillary.insert(ancillary.end(), d.ancillaryBytes.begin(), d.ancillaryBytes.end());
        d.recordBytes.clear();
        d.ancillaryBytes.clear();
    }
    if (ok) ok = finishDisassembly(d);
    DisassembleResult r;
    r.status = d.status;
    r.message = d.message;
    if (!ok) return r;
    records.insert(records.end(), d.recordBytes.begin(), d.recordBytes.end());
    ancillary.insert(ancillary.end(), d.ancillaryBytes.begin(), d.ancillaryBytes.end());
    std::copy(d.head, d.head + kHeadBytes, records.begin());
    r.records = std::move(records);
    r.ancillary = std::move(ancillary);
    r.frames = d.frames;
    r.skipped = d.skipped;
    r.trailingBytes = d.trailingBytes;
    return r;
}

// Streams with a leading tag, junk, trailing tags, a cut last frame, CRCs, MPEG-2 and 2.5.
const char* const kStreams[] = {
    "m1_44k_mono_id3v1v2.mp3",           "m1_44k_mono_id3v2.mp3", "m1_32k_stereo_vbr0_crc.mp3",
    "m25_11k_joint_cbr32_crc_notag.mp3", "m2_22k_joint_vbr5.mp3",
};

TEST(StreamingReader, PiecesOfAnySizeGiveTheRecordsOfTheWholeBuffer) {
    for (const char* name : kStreams) {
        std::vector<uint8_t> input = readFile(lameFixture(name));
        ASSERT_FALSE(input.empty()) << name;
        // A cut last frame and junk in the middle, as a pipe may deliver them.
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(input.size() / 2), 300, 0x55);
        input.resize(input.size() - 77);
        const DisassembleResult whole = disassemble(input.data(), input.size(), nullptr);
        ASSERT_EQ(whole.status, Status::ok) << name << ": " << whole.message;
        ASSERT_FALSE(whole.skipped.empty()) << name;
        for (size_t piece : {size_t{1}, size_t{3}, size_t{417}, size_t{4096}}) {
            const DisassembleResult r = disassembleInPieces(input, piece);
            ASSERT_EQ(r.status, Status::ok) << name << " in pieces of " << piece << ": " << r.message;
            EXPECT_EQ(r.records, whole.records) << name << " in pieces of " << piece;
            EXPECT_EQ(r.ancillary, whole.ancillary) << name << " in pieces of " << piece;
            EXPECT_EQ(r.trailingBytes, whole.trailingBytes) << name << " in pieces of " << piece;
            EXPECT_EQ(r.skipped.size(), whole.skipped.size()) << name << " in pieces of " << piece;
        }
    }
}

TEST(StreamingReader, RefusalsArriveWhateverThePieces) {
    std::vector<uint8_t> badCrc = readFile(lameFixture("m1_48k_stereo_cbr320_crc.mp3"));
    ASSERT_GT(badCrc.size(), 5000u);
    const DisassembleResult good = disassemble(badCrc.data(), badCrc.size(), nullptr);
    ASSERT_EQ(good.status, Status::ok) << good.message;
    // A bit flipped in the side information of frame 3.
    const auto layout = l3test::scanCarried(badCrc.data(), badCrc.size());
    ASSERT_GT(layout.frames.size(), 3u);
    badCrc[layout.frames[3].offset + 8] ^= 0x10;
    const std::vector<uint8_t> layer2 = {0xFF, 0xFD, 0x90, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        const std::vector<uint8_t>* input;
        Status status;
        const char* text;
    };
    const Case cases[] = {
        {"a CRC that differs", &badCrc, Status::cannotCarry, "frame 3 (offset"},
        {"a Layer II header", &layer2, Status::notLayer3, "Layer I or Layer II"},
    };
    for (const Case& c : cases)
        for (size_t piece : {size_t{1}, size_t{100}, size_t{1} << 20}) {
            const DisassembleResult r = disassembleInPieces(*c.input, piece);
            EXPECT_EQ(r.status, c.status) << c.what << " in pieces of " << piece;
            EXPECT_NE(r.message.find(c.text), std::string::npos) << c.what << ": " << r.message;
            EXPECT_TRUE(r.records.empty()) << c.what;
        }
}

// The public reader: its frames, written as record entries with their shares, and its
// trailing bytes give the files of the whole-buffer run.
TEST(PublicReader, FramesAndTrailingBytesMakeTheFilesOfTheWholeBuffer) {
    for (const char* name : kStreams) {
        const std::vector<uint8_t> input = readFile(lameFixture(name));
        const DisassembleResult whole = disassemble(input.data(), input.size(), nullptr);
        ASSERT_EQ(whole.status, Status::ok) << name;
        Disassembler reader;
        std::vector<uint8_t> records(kHeadBytes), ancillary;
        DisassembledFrame frame;
        size_t frames = 0, closing = 0, raw = 0;
        auto take = [&] {
            while (reader.nextFrame(frame)) {
                const size_t at = records.size();
                records.resize(at + kRecordEntryBytes);
                encodeFrameRecord(frame.record, records.data() + at);
                storeLe32(records.data() + at + kRecordBytes,
                          static_cast<uint32_t>(frame.ancillaryBits));
                ancillary.insert(ancillary.end(), frame.ancillary.begin(), frame.ancillary.end());
                ++frames;
                closing += frame.closing;
                raw += frame.rawReason != nullptr;
            }
        };
        for (size_t at = 0; at < input.size(); at += 1000) {
            ASSERT_TRUE(reader.feed(input.data() + at, std::min<size_t>(1000, input.size() - at)))
                << reader.message();
            take();
        }
        ASSERT_TRUE(reader.finish()) << reader.message();
        take();
        encodeRecordFileHead(reader.head(), records.data());
        ancillary.insert(ancillary.end(), reader.trailing().begin(), reader.trailing().end());
        EXPECT_EQ(records, whole.records) << name;
        EXPECT_EQ(ancillary, whole.ancillary) << name;
        EXPECT_EQ(frames, whole.frames + (whole.closingRecord ? 1 : 0)) << name;
        EXPECT_EQ(closing, whole.closingRecord ? 1u : 0u) << name;
        EXPECT_EQ(raw, whole.rawFrames) << name;
        EXPECT_EQ(reader.trailing().size(), whole.trailingBytes) << name;
        EXPECT_EQ(reader.skipped().size(), whole.skipped.size()) << name;
    }
}

TEST(PublicReader, AFailureSaysWhyAndStaysFailed) {
    const std::vector<uint8_t> noise(5000, 0x42);
    Disassembler reader;
    EXPECT_TRUE(reader.feed(noise.data(), noise.size()));  // no frame yet: nothing decided
    EXPECT_FALSE(reader.finish());
    EXPECT_EQ(reader.status(), Status::notLayer3);
    EXPECT_EQ(reader.message(), "no Layer III frame found");
    EXPECT_FALSE(reader.feed(noise.data(), 10));
    DisassembledFrame frame;
    EXPECT_FALSE(reader.nextFrame(frame));
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Pipes : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "l3dis_pipe_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const char* name) const { return quote((dir_ / name).string()); }
    std::vector<uint8_t> bytes(const char* name) const { return readFile(dir_ / name); }
    fs::path dir_;
    const std::string dis_ = quote(L3DISASSEMBLE_EXE);
    const std::string asm_ = quote(L3ASSEMBLE_EXE);
};

TEST_F(Pipes, StandardInputGivesTheRecordsOfTheFile) {
    for (const char* name : kStreams) {
        const std::string input = quote(lameFixture(name).string());
        ASSERT_EQ(runShell(dis_ + " --quiet " + input + " " + path("r") + " " + path("a")), 0);
        ASSERT_EQ(
            runShell("cat " + input + " | " + dis_ + " --quiet - " + path("pr") + " " + path("pa")),
            0)
            << name;
        EXPECT_EQ(bytes("pr"), bytes("r")) << name;
        EXPECT_EQ(bytes("pa"), bytes("a")) << name;
        // And back through pipes: records on standard input, the stream on standard output.
        ASSERT_EQ(runShell("cat " + path("r") + " | " + asm_ + " - " + path("a") + " - >" +
                           path("piped.mp3") + " 2>" + path("console")),
                  0)
            << name;
        ASSERT_EQ(runShell(asm_ + " " + path("r") + " " + path("a") + " " + path("file.mp3") +
                           " >" + path("fileconsole")),
                  0);
        EXPECT_EQ(bytes("piped.mp3"), bytes("file.mp3")) << name;
        EXPECT_FALSE(bytes("console").empty()) << "the console lines go to standard error";
    }
}

TEST_F(Pipes, StandardOutputCarriesEitherOutput) {
    const std::string input = quote(lameFixture("m1_44k_mono_id3v1v2.mp3").string());
    ASSERT_EQ(
        runShell(dis_ + " " + input + " " + path("r") + " " + path("a") + " >" + path("summary")),
        0);
    ASSERT_EQ(runShell(dis_ + " " + input + " - " + path("a2") + " >" + path("r2") + " 2>" +
                       path("summary2")),
              0);
    EXPECT_EQ(bytes("r2"), bytes("r"));
    EXPECT_EQ(bytes("summary2"), bytes("summary")) << "the summary moves to standard error";
    ASSERT_EQ(runShell(dis_ + " --quiet " + input + " " + path("r3") + " - >" + path("a3")), 0);
    EXPECT_EQ(bytes("a3"), bytes("a"));
    // A file named '-' is reached as ./-.
    ASSERT_EQ(
        runShell("cd " + quote(dir_.string()) + " && " + dis_ + " --quiet " + input + " ./- nul"),
        0);
    EXPECT_EQ(bytes("-"), bytes("r"));
}

TEST_F(Pipes, NulNulChecksWithoutWriting) {
    const std::string input = quote(lameFixture("m2_22k_joint_vbr5.mp3").string());
    const std::string cd = "cd " + quote(dir_.string()) + " && ";
    EXPECT_EQ(runShell(cd + dis_ + " --quiet " + input + " nul NUL"), 0);
    EXPECT_EQ(runShell(cd + "cat " + input + " | " + dis_ + " --quiet - Nul nul"), 0);
    EXPECT_TRUE(fs::is_empty(dir_)) << "nothing written";
    EXPECT_EQ(runShell(dis_ + " --quiet " + input + " - - >/dev/null 2>&1"), 2);  // l3disassemble: an output cannot be written
    EXPECT_EQ(runShell(asm_ + " - - nul </dev/null 2>/dev/null"), 2);
}

// Outputs that are not regular files are written in place, never replaced by a file: a
// named pipe's reader gets the records, a symbolic link stays a link to the file that gets
// the ancillary bytes, and one device may take both outputs (where this user may make one).
TEST_F(Pipes, OutputsThatAreNotFilesAreWrittenInPlace) {
    const std::string input = quote(lameFixture("m1_44k_mono_id3v1v2.mp3").string());
    ASSERT_EQ(runShell(dis_ + " --quiet " + input + " " + path("r") + " " + path("a")), 0);
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    std::ofstream(dir_ / "target") << "old";
    fs::create_symlink("target", dir_ / "link");
    EXPECT_EQ(runShell("cd " + quote(dir_.string()) + " && { timeout 60 cat fifo > got & } && " +
                       "timeout 60 " + dis_ + " --quiet " + input + " fifo link; s=$?; wait; exit $s"),
              0);
    EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
    EXPECT_EQ(bytes("got"), bytes("r"));
    EXPECT_EQ(bytes("target"), bytes("a"));

    if (::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "making a device node needs root; the device case did not run";
    EXPECT_EQ(runShell(dis_ + " --quiet " + input + " " + path("null") + " " + path("null")), 0);
    EXPECT_TRUE(fs::is_character_file(dir_ / "null"));
}

TEST_F(Pipes, AFailedRunLeavesNoFiles) {
    std::vector<uint8_t> input = readFile(lameFixture("m1_48k_stereo_cbr320_crc.mp3"));
    const auto layout = l3test::scanCarried(input.data(), input.size());
    ASSERT_FALSE(layout.frames.empty());
    input[layout.frames.back().offset + 7] ^= 0x01;  // its CRC no longer matches
    std::ofstream(dir_ / "bad.mp3", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
    EXPECT_EQ(runShell("cat " + path("bad.mp3") + " | " + dis_ + " - " + path("r") + " " +
                       path("a") + " 2>" + path("err")),
              4);  // l3disassemble: a frame the format cannot carry
    const std::vector<uint8_t> err = bytes("err");
    EXPECT_NE(std::string(err.begin(), err.end()).find("(standard input): frame"),
              std::string::npos);
    // Neither output nor a temporary file of one (r.part-XXXXXX) is left.
    for (const auto& e : fs::directory_iterator(dir_)) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name != "r" && name != "a" && name.rfind("r.part", 0) != 0 &&
                    name.rfind("a.part", 0) != 0)
            << name;
    }
}

}  // namespace
