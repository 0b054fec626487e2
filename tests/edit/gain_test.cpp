// l3 gain: only global_gain changes, by N in every granule of every audio frame; undo gives
// the file back; with mp3gain installed, the bytes are mp3gain's, and each undoes the other.

#include "l3/edit.h"

#include <gtest/gtest.h>

#include "l3/id3v2_user_text.h"
#include "l3/tag_finder.h"
#include "support/decoders.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "disassemble/side_info_reader.h"
#include "l3/frame_header.h"
#include "inspect/frame_walk.h"
#include "support/record_file.h"
#include "support/tools.h"

namespace {

namespace fs = std::filesystem;
using l3test::TempDir;

std::vector<uint8_t> fixture(const std::string& name) {
    std::ifstream in(fs::path(TEST_DATA_DIR) / "lame" / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const char* const kFixtures[] = {"m1_44k_joint_cbr128_crc.mp3", "m1_44k_mono_id3v1v2.mp3",
                                 "m2_22k_joint_vbr5.mp3", "m25_11k_joint_cbr32_crc_notag.mp3",
                                 "m1_44k_dual_cbr192.mp3"};

// Every frame's side information with its gains zeroed, or its gains alone.
std::vector<std::vector<int32_t>> fields(const std::vector<uint8_t>& bytes, bool gains) {
    const l3::FrameWalk walk = l3::walkFrames(bytes.data(), bytes.size());
    std::vector<std::vector<int32_t>> all;
    auto r = std::make_unique<l3::FrameRecord>();
    for (const l3::WalkFrame& f : walk.frames) {
        if (f.truncated) continue;
        l3::readSideInfo(bytes.data() + f.offset, *r);
        std::vector<int32_t> v;
        for (int gr = 0; gr < 2; ++gr)
            for (int ch = 0; ch < 2; ++ch) {
                l3::GranuleChannelInfo g = r->granuleInfo[gr][ch];
                if (gains) {
                    v.push_back(g.global_gain);
                } else {
                    g.global_gain = 0;
                    const auto* p = reinterpret_cast<const int32_t*>(&g);
                    v.insert(v.end(), p, p + sizeof g / 4);
                }
            }
        all.push_back(v);
    }
    return all;
}

TEST(Gain, OnlyGlobalGainChangesAndUndoGivesTheFileBack) {
    for (const char* name : kFixtures) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> in = fixture(name);
        for (const int steps : {2, -3}) {
            const l3::GainResult r = l3::applyGain(in.data(), in.size(), {steps, -1, true});
            ASSERT_EQ(r.status, l3::Status::ok) << r.message;
            EXPECT_GT(r.frames, 0u);
            EXPECT_EQ(fields(r.output, false), fields(in, false));
            const auto before = fields(in, true), after = fields(r.output, true);
            ASSERT_EQ(before.size(), after.size());
            // Frame 0 may be the Info frame, whose zero side information stays zero.
            for (size_t k = 1; k < before.size(); ++k)
                for (size_t i = 0; i < before[k].size(); ++i) {
                    if (before[k][i] == 0 && after[k][i] == 0) continue;  // unused granule
                    ASSERT_EQ(after[k][i], before[k][i] + steps) << "frame " << k;
                }
            const l3::GainResult back = l3::undoGain(r.output.data(), r.output.size());
            ASSERT_EQ(back.status, l3::Status::ok) << back.message;
            EXPECT_TRUE(back.output == in);
        }
    }
}

// A frame whose stored CRC was wrong keeps it wrong by as much, so undo still gives back
// every byte; a right one is right after the change.
TEST(Gain, AWrongCrcStaysWrongAndUndoStillGivesTheBytesBack) {
    std::vector<uint8_t> in = fixture("m1_44k_joint_cbr128_crc.mp3");
    const l3::FrameWalk walk = l3::walkFrames(in.data(), in.size());
    ASSERT_GT(walk.frames.size(), 5u);
    in[walk.frames[5].offset + 4] ^= 0x5A;
    const l3::GainResult r = l3::applyGain(in.data(), in.size(), {3, -1, true});
    ASSERT_EQ(r.status, l3::Status::ok);
    const l3::GainResult back = l3::undoGain(r.output.data(), r.output.size());
    EXPECT_TRUE(back.output == in);
    for (size_t k : {size_t{4}, size_t{6}})
        EXPECT_TRUE(l3::crcMatches(r.output.data() + walk.frames[k].offset, walk.frames[k].header));
    EXPECT_FALSE(l3::crcMatches(r.output.data() + walk.frames[5].offset, walk.frames[5].header));
}

TEST(Gain, ValuesOutsideTheFieldAreHeldAndCounted) {
    const std::vector<uint8_t> in = fixture("m1_44k_joint_cbr128.mp3");
    const l3::GainResult r = l3::applyGain(in.data(), in.size(), {255, -1, false});
    ASSERT_EQ(r.status, l3::Status::ok);
    EXPECT_GT(r.clamped, 0u);
    for (const auto& frame : fields(r.output, true))
        for (int32_t g : frame) EXPECT_TRUE(g == 255 || g == 0);
}

TEST(Gain, RefusalsOfTheCommand) {
    TempDir dir;
    const std::string joint = (fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3").string();
    const auto channel = l3test::runProgram(
        dir, L3_EXE, "gain -g 1 --channel 1 " + l3test::shellQuote(joint) + " out.mp3");
    EXPECT_EQ(channel.exitCode, 1);
    EXPECT_NE(channel.err.find("joint stereo"), std::string::npos) << channel.err;
    const auto undo =
        l3test::runProgram(dir, L3_EXE, "gain --undo " + l3test::shellQuote(joint) + " out.mp3");
    EXPECT_EQ(undo.exitCode, 4);
    EXPECT_FALSE(dir.exists("out.mp3"));
}

// Zero steps change nothing (no undo item either); a change that holds values at 0 or 255
// says so, writes mp3gain's bytes up to its APEv2 tag and mp3gain's undo value, records
// that an undo cannot be exact, and the undo says so.
TEST(Gain, ZeroIsNoChangeAndAHeldValueMakesTheUndoInexact) {
    TempDir dir;
    const std::vector<uint8_t> in = fixture("m1_44k_joint_cbr128.mp3");
    dir.write("in.mp3", in);
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -g 2 in.mp3 tagged.mp3").exitCode, 0);
    for (const char* name : {"in.mp3", "tagged.mp3"}) {
        ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f -g 0 " + std::string(name) + " zero.mp3")
                      .exitCode,
                  0);
        EXPECT_TRUE(dir.read("zero.mp3") == dir.read(name)) << name;
    }
    const auto up = l3test::runProgram(dir, L3_EXE, "gain -g 100 in.mp3 up.mp3");
    ASSERT_EQ(up.exitCode, 0) << up.err;
    EXPECT_NE(up.err.find("will not give them back exactly"), std::string::npos) << up.err;
    const std::string ours = dir.readText("up.mp3"),
                      undo = std::string("MP3GAIN_UNDO") + '\0' + "-100,-100,N";
    EXPECT_NE(ours.find(undo), std::string::npos);
    EXPECT_NE(ours.find("L3_UNDO_INEXACT"), std::string::npos);
    const auto back = l3test::runProgram(dir, L3_EXE, "gain --undo up.mp3 back.mp3");
    ASSERT_EQ(back.exitCode, 0) << back.err;
    EXPECT_NE(back.err.find("the undo is not exact"), std::string::npos) << back.err;
    EXPECT_EQ(dir.read("back.mp3").size(), in.size());
    L3_REQUIRE_TOOL("mp3gain");
    dir.write("theirs.mp3", in);
    ASSERT_EQ(l3test::runProgram(dir, "mp3gain", "-g 100 theirs.mp3").exitCode, 0);
    const std::string theirs = dir.readText("theirs.mp3");
    const size_t tag = theirs.find("APETAGEX");
    ASSERT_NE(tag, std::string::npos);
    EXPECT_EQ(ours.substr(0, tag), theirs.substr(0, tag));
    EXPECT_NE(theirs.find(undo), std::string::npos);
}

// l3 check takes a gain change with undo information as intact (its music CRC is checked
// with the undo applied) and one without it as a changed file.
TEST(Gain, CheckForgivesARecordedGainChangeOnly) {
    TempDir dir;
    const std::string src =
        l3test::shellQuote((fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3").string());
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -g 2 " + src + " tagged.mp3").exitCode, 0);
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -g 2 --no-tag " + src + " bare.mp3").exitCode,
              0);
    EXPECT_EQ(l3test::runProgram(dir, L3_EXE, "check tagged.mp3").exitCode, 0);
    const auto bare = l3test::runProgram(dir, L3_EXE, "check bare.mp3");
    EXPECT_EQ(bare.exitCode, 3);
    EXPECT_NE(bare.out.find("music_crc"), std::string::npos) << bare.out;
    // A change that held values (recorded as inexact) leaves nothing to check the CRC with.
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -g 100 " + src + " held.mp3").exitCode, 0);
    const auto held = l3test::runProgram(dir, L3_EXE, "check held.mp3");
    EXPECT_EQ(held.exitCode, 0) << held.out;
}

// The same bytes as mp3gain, with and without its tag, per channel and cumulative; and
// each tool undoes the other's change, giving back the audio bytes.
TEST(Gain, AgreesWithMp3gain) {
    L3_REQUIRE_TOOL("mp3gain");
    TempDir dir;
    struct Case {
        const char* file;
        std::vector<std::string> steps;  // applied in turn
        const char* ours;                // l3 gain options besides -g
        const char* theirs;              // mp3gain options besides the gain
    };
    const Case cases[] = {
        {"m1_44k_joint_cbr128_crc.mp3", {"2"}, "--no-tag", "-s s"},
        {"m1_44k_joint_cbr128_crc.mp3", {"2"}, "", ""},
        {"m1_44k_mono_id3v1.mp3", {"-3"}, "", ""},
        {"m2_22k_joint_vbr5.mp3", {"3", "-1"}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string src = (fs::path(TEST_DATA_DIR) / "lame" / c.file).string();
        dir.write("theirs.mp3", fixture(c.file));
        dir.write("ours.mp3", fixture(c.file));
        for (const std::string& n : c.steps) {
            ASSERT_EQ(
                l3test::runProgram(dir, "mp3gain", "-g " + n + " -c " + c.theirs + " theirs.mp3")
                    .exitCode,
                0);
            const auto ours = l3test::runProgram(
                dir, L3_EXE, "gain -g " + n + " " + c.ours + " ours.mp3 next.mp3");
            ASSERT_EQ(ours.exitCode, 0) << ours.err;
            std::filesystem::rename(dir.path("next.mp3"), dir.path("ours.mp3"));
        }
        EXPECT_TRUE(dir.read("ours.mp3") == dir.read("theirs.mp3"));
        if (std::string(c.ours).empty()) {
            // Ours undoes theirs exactly; theirs undoes ours in the audio bytes.
            ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f --undo theirs.mp3 back.mp3").exitCode,
                      0);
            EXPECT_TRUE(dir.read("back.mp3") == fixture(c.file));
            ASSERT_EQ(l3test::runProgram(dir, "mp3gain", "-u ours.mp3").exitCode, 0);
            const std::vector<uint8_t> undone = dir.read("ours.mp3"), original = fixture(c.file);
            EXPECT_TRUE(std::equal(original.begin(), original.end() - 128, undone.begin()));
        }
    }
    // One channel of a dual-channel stream, as mp3gain's -l.
    dir.write("dual.mp3", fixture("m1_44k_dual_cbr192.mp3"));
    dir.write("dual_ours.mp3", fixture("m1_44k_dual_cbr192.mp3"));
    ASSERT_EQ(l3test::runProgram(dir, "mp3gain", "-l 0 2 -c dual.mp3").exitCode, 0);
    ASSERT_EQ(
        l3test::runProgram(dir, L3_EXE, "gain -g 2 --channel 0 dual_ours.mp3 out.mp3").exitCode, 0);
    EXPECT_TRUE(dir.read("out.mp3") == dir.read("dual.mp3"));
}

// On files mp3gain has analysed (its track items, or track and album items from a run over
// two files), -g N gives mp3gain's bytes, the items moved as it moves them (N = 2 takes the
// first file's track gain past -9.999999, which both hold there); our undo then gives the
// analysed file's audio back, and its tag up to the last decimal of a peak or gain.
TEST(Gain, AnalysedFilesAgreeWithMp3gain) {
    L3_REQUIRE_TOOL("mp3gain");
    TempDir dir;
    struct Case {
        const char* file;
        const char* analysis;  // mp3gain options; "album": both files analysed as one album
    };
    const Case cases[] = {
        {"m1_44k_joint_cbr128.mp3", "-s r"},       {"m1_44k_mono_id3v1v2.mp3", "-s r"},
        {"m2_22k_joint_vbr5.mp3", "album"},        {"m1_48k_stereo_clicks_cbr256.mp3", "album"},
        {"m25_11k_joint_cbr32_crc_notag.mp3", "-s r"},
    };
    for (const Case& c : cases) {
        dir.write("base.mp3", fixture(c.file));
        dir.write("other.mp3", fixture("m1_44k_mono_id3v1.mp3"));
        const bool album = std::string(c.analysis) == "album";
        ASSERT_EQ(l3test::runProgram(dir, "mp3gain",
                                     album ? "base.mp3 other.mp3" : std::string(c.analysis) +
                                                                        " base.mp3")
                      .exitCode,
                  0);
        const std::string analysed = dir.readText("base.mp3");
        ASSERT_NE(analysed.find(album ? "REPLAYGAIN_ALBUM_GAIN" : "REPLAYGAIN_TRACK_GAIN"),
                  std::string::npos);
        for (const int n : {2, -3, 1, -13}) {
            SCOPED_TRACE(std::string(c.file) + " " + c.analysis + " -g " + std::to_string(n));
            dir.write("theirs.mp3", dir.read("base.mp3"));
            ASSERT_EQ(l3test::runProgram(dir, "mp3gain", "-g " + std::to_string(n) + " theirs.mp3")
                          .exitCode,
                      0);
            const auto ours = l3test::runProgram(
                dir, L3_EXE, "gain -f -g " + std::to_string(n) + " base.mp3 ours.mp3");
            ASSERT_EQ(ours.exitCode, 0) << ours.err;
            EXPECT_TRUE(dir.read("ours.mp3") == dir.read("theirs.mp3"));
            ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f --undo ours.mp3 back.mp3").exitCode,
                      0);
            const std::string back = dir.readText("back.mp3");
            const size_t tag = analysed.find("APETAGEX");
            EXPECT_EQ(back.substr(0, tag), analysed.substr(0, tag));
            EXPECT_EQ(back.size(), analysed.size());
            EXPECT_EQ(back.find("MP3GAIN_UNDO"), std::string::npos);
        }
    }
}

// A tag's user texts rewritten: ours replace the old ones of those descriptions (in any
// case, in Latin-1 or UTF-16), every other frame stays, the version and footer stay; tags
// that cannot be walked are refused.
TEST(Gain, Id3v2UserTextsAreReplaced) {
    auto frame = [](const std::string& id, const std::vector<uint8_t>& body, bool syncsafe) {
        std::vector<uint8_t> f(id.begin(), id.end());
        const size_t n = body.size();
        for (int i = 3; i >= 0; --i)
            f.push_back(static_cast<uint8_t>(syncsafe ? (n >> (7 * i)) & 0x7F : (n >> (8 * i)) & 0xFF));
        f.insert(f.end(), {0, 0});
        f.insert(f.end(), body.begin(), body.end());
        return f;
    };
    auto tag = [](int version, uint8_t flags, std::vector<uint8_t> body, size_t padding) {
        body.resize(body.size() + padding, 0);
        const size_t n = body.size();
        std::vector<uint8_t> t = {'I', 'D', '3', static_cast<uint8_t>(version), 0, flags,
                                  static_cast<uint8_t>(n >> 21 & 0x7F), static_cast<uint8_t>(n >> 14 & 0x7F),
                                  static_cast<uint8_t>(n >> 7 & 0x7F), static_cast<uint8_t>(n & 0x7F)};
        t.reserve(t.size() + body.size() + 10);
        t.insert(t.end(), body.begin(), body.end());
        if (flags & 0x10) {
            std::vector<uint8_t> footer(t.begin(), t.begin() + 10);  // (not a range of t itself)
            std::copy_n("3DI", 3, footer.begin());
            t.insert(t.end(), footer.begin(), footer.end());
        }
        return t;
    };
    auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const std::vector<uint8_t> title = {3, 'S', 'o', 'n', 'g'};
    const std::vector<uint8_t> oldGain = {0, 'r', 'e', 'p', 'l', 'a', 'y', 'g', 'a', 'i', 'n',
                                          '_', 't', 'r', 'a', 'c', 'k', '_', 'g', 'a', 'i', 'n',
                                          0, '1', ' ', 'd', 'B'};
    std::vector<uint8_t> wideGain = {1, 0xFF, 0xFE};  // UTF-16, little-endian
    for (const char c : std::string("REPLAYGAIN_TRACK_GAIN")) wideGain.insert(wideGain.end(), {uint8_t(c), 0});
    wideGain.insert(wideGain.end(), {0, 0, '2', 0});
    const std::vector<uint8_t> other = {0, 'M', 'O', 'O', 'D', 0, 'x'};
    const std::vector<l3::UserText> ours = {{"REPLAYGAIN_TRACK_GAIN", "-6.52 dB"},
                                            {"REPLAYGAIN_TRACK_PEAK", "0.988553"}};
    const std::vector<std::string> drop = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                           "REPLAYGAIN_ALBUM_GAIN"};
    struct Case {
        const char* what;
        std::vector<uint8_t> tag;
        bool ok;
        size_t kept;  // user texts besides ours
        int version;
    };
    const Case cases[] = {
        {"none", {}, true, 0, 4},
        {"v2.4, padding", tag(4, 0, cat({frame("TIT2", title, true), frame("TXXX", oldGain, true), frame("TXXX", other, true)}), 100), true, 1, 4},
        {"v2.4, footer", tag(4, 0x10, cat({frame("TXXX", wideGain, true), frame("TIT2", title, true)}), 0), true, 0, 4},
        {"v2.3, UTF-16", tag(3, 0, cat({frame("TXXX", wideGain, false), frame("TXXX", other, false), frame("TIT2", title, false)}), 4), true, 1, 3},
        {"v2.3, extended header", tag(3, 0x40, cat({{0, 0, 0, 6, 0, 0, 0, 0, 0, 0}, frame("TXXX", oldGain, false)}), 0), true, 0, 3},
        {"v2.2", tag(2, 0, {'T', 'T', '2', 0, 0, 2, 0, 'x'}, 0), false, 0, 0},
        {"unsynchronised", tag(3, 0x80, frame("TIT2", title, false), 0), false, 0, 0},
        {"frame past the end", [&] { auto t = tag(4, 0, frame("TIT2", title, true), 0); t[17] = 9; return t; }(), false, 0, 0},
        {"unreadable ID", tag(4, 0, frame("ti!2", title, true), 0), false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const l3::Id3v2Rewrite r = l3::replaceUserTexts(c.tag, drop, ours);
        ASSERT_EQ(r.ok, c.ok) << r.message;
        if (!c.ok) continue;
        EXPECT_EQ(r.tag[3], c.version);
        EXPECT_EQ(l3::findTags(r.tag.data(), r.tag.size()).tags.at(0).length, r.tag.size());
        const std::vector<l3::UserText> texts = l3::readUserTexts(r.tag);
        ASSERT_EQ(texts.size(), c.kept + ours.size());
        for (size_t k = 0; k < ours.size(); ++k) {
            EXPECT_EQ(texts[c.kept + k].description, ours[k].description);
            EXPECT_EQ(texts[c.kept + k].value, ours[k].value);
        }
        const std::string bytes(r.tag.begin(), r.tag.end());
        EXPECT_EQ(bytes.find("Song") != std::string::npos,
                  std::string(c.tag.begin(), c.tag.end()).find("Song") != std::string::npos);
        if (c.tag.size() > r.tag.size()) ADD_FAILURE() << "the tag shrank below its frames";
        // Written again, the tag is the same: our texts replace themselves.
        EXPECT_TRUE(l3::replaceUserTexts(r.tag, drop, ours).tag == r.tag);
    }
}

#ifdef L3_HAVE_LOUDNESS
// --write-tags: each file gets ReplayGain 2.0 tags holding what --scan --json measured,
// which mutagen and ffprobe read; the frames keep every byte (so mpg123 plays the same
// samples); the ID3v2.3 tag of a lame file stays 2.3 with its frames; an APEv2 tag gets the
// items too; a second run replaces the first's values (an album's included).
TEST(Gain, WriteTagsLeavesTheAudioAndIsReadByOthers) {
    L3_REQUIRE_TOOL("ffprobe");
    L3_REQUIRE_TOOL("mpg123");
    // Debian's mutagen goes with Debian's Python, whatever python3 comes first on PATH.
    if (std::system("/usr/bin/python3 -c 'import mutagen' 2>/dev/null") != 0)
        GTEST_SKIP() << "mutagen is not installed; the Debian package 'python3-mutagen' brings it";
    TempDir dir;
    const char* files[] = {"m1_44k_joint_cbr128.mp3", "m1_44k_mono_id3v1v2.mp3", "m2_22k_joint_vbr5.mp3"};
    std::vector<std::vector<uint8_t>> originals;
    for (const char* f : files) originals.push_back(fixture(f));
    dir.write("a.mp3", originals[0]);
    dir.write("b.mp3", originals[1]);
    const l3::GainResult undoTagged = l3::applyGain(originals[2].data(), originals[2].size(), {1, -1, true});
    ASSERT_EQ(undoTagged.status, l3::Status::ok);
    originals[2] = undoTagged.output;  // an APEv2 tag with the undo item
    dir.write("c.mp3", originals[2]);
    const std::vector<std::string> names = {"a.mp3", "b.mp3", "c.mp3"};
    const auto scan = l3test::runProgram(dir, L3_EXE, "gain --scan --json --target-lufs -16 a.mp3 b.mp3 c.mp3");
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    // Values in the text --scan --json printed: after "key": in file k's record (or the album's).
    auto valueAfter = [&](size_t from, const std::string& key) {
        const size_t at = scan.out.find("\"" + key + "\": ", from) + key.size() + 4;
        return scan.out.substr(at, scan.out.find_first_of(",}", at) - at);
    };
    const std::string pcmBefore = l3test::runProgram(dir, "sh", "-c 'mpg123 -q -s a.mp3 b.mp3 c.mp3 | cat'").out;
    for (const char* run : {"--track", "--album"}) {  // the second replaces the first's values
        const auto r = l3test::runProgram(
            dir, L3_EXE, std::string("gain ") + run + " --write-tags --target-lufs -16 -j 2 --in-place a.mp3 b.mp3 c.mp3");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("total: 3 of 3 files tagged, 0 failed"), std::string::npos) << r.out;
    }
    const size_t albumAt = scan.out.find("\"album\"");
    for (size_t k = 0; k < names.size(); ++k) {
        SCOPED_TRACE(names[k]);
        const size_t at = scan.out.find("\"file\": \"" + names[k] + "\"");
        const std::map<std::string, std::string> wanted = {
            {"REPLAYGAIN_TRACK_GAIN", valueAfter(at, "track_gain") + " dB"},
            {"REPLAYGAIN_TRACK_PEAK", valueAfter(at, "peak")},
            {"REPLAYGAIN_ALBUM_GAIN", valueAfter(albumAt, "gain") + " dB"},
            {"REPLAYGAIN_ALBUM_PEAK", valueAfter(albumAt, "peak")},
            {"REPLAYGAIN_REFERENCE_LOUDNESS", "-16.00 LUFS"}};
        const auto mutagen = l3test::runProgram(
            dir, "/usr/bin/python3", "-c 'import sys, mutagen.id3 as m; t = m.ID3(sys.argv[1]); print(t.version[1]); "
                            "[print(f.desc + \"=\" + f.text[0]) for f in t.getall(\"TXXX\")]' " + names[k]);
        const auto ffprobe = l3test::runProgram(
            dir, "ffprobe", "-v error -show_entries format_tags -of default=nw=1 " + names[k]);
        for (const auto& [key, value] : wanted) {
            const std::string line = key + "=" + value + "\n";
            EXPECT_NE(mutagen.out.find(line), std::string::npos) << mutagen.out;
            EXPECT_EQ(mutagen.out.find(line), mutagen.out.rfind(line)) << mutagen.out;  // once
            EXPECT_NE(ffprobe.out.find("TAG:" + line), std::string::npos) << ffprobe.out;
        }
        EXPECT_EQ(mutagen.out.substr(0, 2), k == 1 ? "3\n" : "4\n");
        // Every byte from the first frame to the trailing tags is the input's.
        const std::vector<uint8_t> out = dir.read(names[k]);
        const l3::TagLayout before = l3::findTags(originals[k].data(), originals[k].size()),
                            after = l3::findTags(out.data(), out.size());
        ASSERT_EQ(before.audioEnd - before.audioStart, after.audioEnd - after.audioStart);
        EXPECT_TRUE(std::equal(originals[k].begin() + static_cast<ptrdiff_t>(before.audioStart),
                               originals[k].begin() + static_cast<ptrdiff_t>(before.audioEnd),
                               out.begin() + static_cast<ptrdiff_t>(after.audioStart)));
        if (k == 1) {
            EXPECT_NE(ffprobe.out.find("TAG:title=lame fixture both"), std::string::npos);
        }
        if (k == 2) {
            const std::string text(out.begin(), out.end());
            EXPECT_NE(text.find(std::string("REPLAYGAIN_TRACK_PEAK") + '\0' + wanted.at("REPLAYGAIN_TRACK_PEAK")), std::string::npos);
            EXPECT_NE(text.find("MP3GAIN_UNDO"), std::string::npos);
        }
    }
    EXPECT_TRUE(l3test::runProgram(dir, "sh", "-c 'mpg123 -q -s a.mp3 b.mp3 c.mp3 | cat'").out == pcmBefore);
    // A tag that cannot be rewritten is named and nothing is written.
    std::vector<uint8_t> v22 = {'I', 'D', '3', 2, 0, 0, 0, 0, 0, 8, 'T', 'T', '2', 0, 0, 2, 0, 'x'};
    v22.insert(v22.end(), originals[0].begin(), originals[0].end());
    dir.write("v22.mp3", v22);
    const auto refused = l3test::runProgram(dir, L3_EXE, "gain --track --write-tags v22.mp3 out.mp3");
    EXPECT_EQ(refused.exitCode, 7) << refused.err;
    EXPECT_NE(refused.err.find("ID3v2.2"), std::string::npos) << refused.err;
    EXPECT_FALSE(dir.exists("out.mp3"));
}
#endif

// Where the frames of a stream lie, as every reader of it finds them.
std::vector<std::pair<size_t, uint32_t>> framesFound(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<size_t, uint32_t>> frames;
    for (const l3::WalkFrame& f : l3::walkFrames(bytes.data(), bytes.size()).frames)
        frames.emplace_back(f.offset, f.header);
    return frames;
}

// An APEv2 tag with header and footer holding one item, as other gain tools write it.
std::vector<uint8_t> apeTag(const std::string& key, const std::string& value) {
    auto le32 = [](std::vector<uint8_t>& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    std::vector<uint8_t> item;
    le32(item, static_cast<uint32_t>(value.size()));
    le32(item, 0);
    item.insert(item.end(), key.begin(), key.end());
    item.push_back(0);
    item.insert(item.end(), value.begin(), value.end());
    std::vector<uint8_t> tag;
    for (const uint32_t flags : {0xA0000000u, 0x80000000u}) {  // header, footer
        if (flags == 0x80000000u) tag.insert(tag.end(), item.begin(), item.end());
        const std::string magic = "APETAGEX";
        tag.insert(tag.end(), magic.begin(), magic.end());
        le32(tag, 2000);
        le32(tag, static_cast<uint32_t>(item.size() + 32));
        le32(tag, 1);
        le32(tag, flags);
        tag.resize(tag.size() + 8, 0);
    }
    return tag;
}

// A fuzz finding: in this damaged stream a frame header after junk would be confirmed by
// the header where its frame ends, which lies in a later frame's global_gain. One step
// down completes that header, and the frames found change: the change is refused, with
// and without undo information, and nothing is written; so is one step up, whose undo
// would lower a value held at 255 into it, and the undo of such a change made by another
// tool; and, in a second finding, a change whose undo would leave a tag hidden. Every other change leaves the frames where they were and, undone, gives the bytes
// back.
TEST(Gain, AChangeThatWouldMoveTheFramesIsRefused) {
    const fs::path file = fs::path(TEST_DATA_DIR) / "regressions/edit/gain_completes_a_frame_header.mp3";
    std::ifstream stream(file, std::ios::binary);
    const std::vector<uint8_t> in{std::istreambuf_iterator<char>(stream), {}};
    std::vector<int> refused;
    for (int steps = -8; steps <= 8; ++steps)
        for (const bool tag : {true, false}) {
            SCOPED_TRACE(std::to_string(steps) + (tag ? "" : " --no-tag"));
            const l3::GainResult r = l3::applyGain(in.data(), in.size(), {steps, -1, tag});
            if (steps == 0) {  // changes nothing, and records nothing to undo
                EXPECT_TRUE(r.output == in);
                continue;
            }
            if (r.status == l3::Status::inexact) {
                EXPECT_TRUE(r.output.empty());
                refused.push_back(steps);
                continue;
            }
            ASSERT_EQ(r.status, l3::Status::ok) << r.message;
            EXPECT_EQ(framesFound(r.output), framesFound(in));
            if (!tag) continue;
            const l3::GainResult back = l3::undoGain(r.output.data(), r.output.size());
            ASSERT_EQ(back.status, l3::Status::ok) << back.message;
            EXPECT_TRUE(back.output == in || r.clamped > 0);
        }
    EXPECT_EQ(std::count(refused.begin(), refused.end(), -1), 2);
    EXPECT_EQ(std::count(refused.begin(), refused.end(), 1), 1);  // with its undo only

    TempDir dir;
    std::vector<uint8_t> held = l3::applyGain(in.data(), in.size(), {1, -1, false}).output;
    ASSERT_FALSE(held.empty());
    const std::vector<uint8_t> undo = apeTag("MP3GAIN_UNDO", "-001,-001,N");
    held.insert(held.end(), undo.begin(), undo.end());
    dir.write("held.mp3", held);
    const std::string name = l3test::shellQuote(file.string());
    const std::string hidden = l3test::shellQuote(
        (fs::path(TEST_DATA_DIR) / "regressions/edit/gain_undo_would_hide_a_damaged_tag.mp3")
            .string());
    const std::string clean =
        l3test::shellQuote((fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3").string());
    struct Run {
        std::string args;
        int exitCode;
        const char* said;  // in the message
    };
    const Run runs[] = {
        {"gain -g -1 " + name + " out.mp3", 6, "found otherwise"},
        {"gain -g -1 --no-tag " + name + " out.mp3", 6, "found otherwise"},
        {"gain -g 1 " + name + " out.mp3", 6, "its undo would fail"},
        {"gain --undo held.mp3 out.mp3", 6, "found otherwise"},
        // Its damaged APEv2 tag, rewritten without the undo item, would be hidden by "TAG"
        // 128 bytes before the end.
        {"gain -g 5 " + hidden + " out.mp3", 6, "its undo would fail"},
        {"gain -g 255 " + clean + " loud.mp3", 0, "will not give them back exactly"},
    };
    for (const Run& run : runs) {
        const auto r = l3test::runProgram(dir, L3_EXE, run.args);
        EXPECT_EQ(r.exitCode, run.exitCode) << run.args << ": " << r.err;
        EXPECT_NE(r.err.find(run.said), std::string::npos) << run.args << ": " << r.err;
    }
    EXPECT_FALSE(dir.exists("out.mp3"));
    // The refused results and their undos were made in temporary files: none is left.
    for (const auto& entry : fs::directory_iterator(dir.path("")))
        EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos)
            << entry.path();
}

}  // namespace

// --target-lufs: a 1 kHz sine at -23 dBFS in both channels is -23 LUFS by the definition of
// EBU R128; the steps toward each target are applied exactly as -g N applies them, and the
// result measures within half a step of the target.
TEST(Gain, TargetLoudness) {
    TempDir dir;
#ifndef L3_HAVE_LOUDNESS
    const auto r = l3test::runProgram(
        dir, L3_EXE, "gain --target-lufs -14 --dry-run " +
                         l3test::shellQuote((fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3").string()));
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("libebur128-dev"), std::string::npos) << r.err;
    GTEST_SKIP() << "built without libmpg123 and libebur128 (Debian packages libmpg123-dev, libebur128-dev)";
#else
    L3_REQUIRE_TOOL("sox");
    L3_REQUIRE_TOOL("lame");
    ASSERT_EQ(l3test::runProgram(dir, "sox", "-n -r 44100 -c 2 sine.wav synth 20 sine 1000 gain -23")
                  .exitCode, 0);
    ASSERT_EQ(l3test::runProgram(dir, "lame", "--quiet -b 192 sine.wav sine.mp3").exitCode, 0);
    auto measure = [&](const std::string& file, double target) {
        const auto m = l3test::runProgram(dir, L3_EXE, "gain --dry-run --target-lufs " +
                                                           std::to_string(target) + " " + file);
        EXPECT_EQ(m.exitCode, 0) << m.err;
        double lufs = 0, said = 0;
        int steps = 0;
        EXPECT_EQ(std::sscanf(m.out.c_str(), "%*[^:]: %lf LUFS, target %lf LUFS: %d steps", &lufs,
                              &said, &steps), 3) << m.out;
        EXPECT_NEAR(said, target, 0.05);
        return std::pair{lufs, steps};
    };
    const auto [original, none] = measure("sine.mp3", -23);
    EXPECT_NEAR(original, -23.0, 0.5);
    EXPECT_EQ(none, 0);
    EXPECT_FALSE(dir.exists("sine.mp3.part"));
    for (double target : {-14.0, -30.0, -9.5}) {
        const int steps = static_cast<int>(std::lround((target - original) / 1.5));
        ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f --target-lufs " + std::to_string(target) +
                                                      " sine.mp3 target.mp3").exitCode, 0);
        ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f -g " + std::to_string(steps) +
                                                      " sine.mp3 steps.mp3").exitCode, 0);
        EXPECT_EQ(dir.read("target.mp3"), dir.read("steps.mp3")) << target;
        EXPECT_NEAR(measure("target.mp3", target).first, target, 0.75 + 0.2) << target;
    }
    // Silence has no integrated loudness: nothing to aim from.
    ASSERT_EQ(l3test::runProgram(dir, "sox", "-n -r 44100 -c 2 quiet.wav trim 0 3").exitCode, 0);
    ASSERT_EQ(l3test::runProgram(dir, "lame", "--quiet quiet.wav quiet.mp3").exitCode, 0);
    const auto silent = l3test::runProgram(dir, L3_EXE, "gain --target-lufs -14 quiet.mp3 out.mp3");
    EXPECT_EQ(silent.exitCode, 5);
    EXPECT_FALSE(dir.exists("out.mp3"));
#endif
}

#ifdef L3_HAVE_LOUDNESS
namespace {

// The largest decoded magnitude of a file in mpg123 and how many samples sit at full scale.
std::pair<int, size_t> decodedPeak(const TempDir& dir, const std::string& file) {
    const auto pcm = l3test::runProgram(dir, "sh", "-c 'mpg123 -q -s " + file + " | cat'");
    int peak = 0;
    size_t full = 0;
    for (size_t i = 0; i + 1 < pcm.out.size(); i += 2) {
        const int v = std::abs(int{static_cast<int16_t>(static_cast<uint8_t>(pcm.out[i]) |
                                                       static_cast<uint8_t>(pcm.out[i + 1]) << 8)});
        peak = std::max(peak, v);
        full += v >= 32767;
    }
    return {peak, full};
}

// The steps each line "FILE: ... N steps (D dB)" of a run gave.
std::vector<int> stepsSaid(const std::string& out) {
    std::vector<int> steps;
    for (size_t at = 0; (at = out.find(" steps (", at)) != std::string::npos; ++at) {
        const size_t sign = out.rfind(' ', at - 1);
        steps.push_back(std::stoi(out.substr(sign + 1, at - sign - 1)));
    }
    return steps;
}

}  // namespace

// A folder of a loud and a quiet file: --album gives both the same steps, from their joint
// loudness; --no-clip keeps every decoded sample below full scale where the gain that the
// target asks clips (which a run without it says, with the count); --scan prints the same
// steps and changes nothing; --target-db 89 is --target-lufs -18.
TEST(Gain, AlbumTrackAndClipping) {
    L3_REQUIRE_TOOL("sox");
    L3_REQUIRE_TOOL("lame");
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    ASSERT_EQ(l3test::runProgram(dir, "sh",
                                 "-c 'sox -n -r 44100 -c 2 l.wav synth 4 sine 440 vol 0.5 && "
                                 "sox -n -r 44100 -c 2 q.wav synth 4 sine 300 vol 0.05 && "
                                 "lame --quiet -b 128 l.wav loud.mp3 && "
                                 "lame --quiet -b 128 q.wav quiet.mp3'")
                  .exitCode,
              0);
    const std::vector<uint8_t> loud = dir.read("loud.mp3"), quiet = dir.read("quiet.mp3");

    const auto scanned = l3test::runProgram(dir, L3_EXE, "gain --scan --target-lufs 0 loud.mp3");
    ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
    const int wanted = stepsSaid(scanned.out).at(0);
    EXPECT_GT(wanted, 2);
    const auto clipping = l3test::runProgram(dir, L3_EXE, "gain --target-lufs 0 loud.mp3 c.mp3");
    ASSERT_EQ(clipping.exitCode, 0) << clipping.err;
    EXPECT_EQ(stepsSaid(clipping.out), std::vector<int>{wanted});
    EXPECT_NE(clipping.err.find("samples pass full scale"), std::string::npos) << clipping.err;
    EXPECT_GT(decodedPeak(dir, "c.mp3").second, 1000u);

    const auto kept = l3test::runProgram(dir, L3_EXE, "gain --target-lufs 0 --no-clip loud.mp3 k.mp3");
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    const int lowered = stepsSaid(kept.out).at(0);
    EXPECT_LT(lowered, wanted);
    EXPECT_EQ(kept.err.find("full scale"), std::string::npos) << kept.err;
    const auto [peak, full] = decodedPeak(dir, "k.mp3");
    EXPECT_EQ(full, 0u);
    EXPECT_GT(peak, 32767 / 1.19);  // one step more would have clipped

    const auto album = l3test::runProgram(dir, L3_EXE,
                                          "gain --album --no-clip --target-lufs -10 --in-place "
                                          "loud.mp3 quiet.mp3");
    ASSERT_EQ(album.exitCode, 0) << album.err;
    const std::vector<int> steps = stepsSaid(album.out);
    ASSERT_EQ(steps.size(), 2u) << album.out;
    EXPECT_EQ(steps[0], steps[1]);
    EXPECT_EQ(decodedPeak(dir, "loud.mp3").second, 0u);
    EXPECT_EQ(decodedPeak(dir, "quiet.mp3").second, 0u);
    // Each file changed by those steps, as -g gives them.
    dir.write("l0.mp3", loud);
    dir.write("q0.mp3", quiet);
    const std::string g = "gain -f -g " + std::to_string(steps[0]) + " ";
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, g + "l0.mp3 l1.mp3").exitCode, 0);
    ASSERT_EQ(l3test::runProgram(dir, L3_EXE, g + "q0.mp3 q1.mp3").exitCode, 0);
    EXPECT_EQ(dir.read("loud.mp3"), dir.read("l1.mp3"));
    EXPECT_EQ(dir.read("quiet.mp3"), dir.read("q1.mp3"));

    const auto db = l3test::runProgram(dir, L3_EXE, "gain --track --target-db 89 -f l0.mp3 d.mp3");
    const auto lufs = l3test::runProgram(dir, L3_EXE, "gain --track -f l0.mp3 e.mp3");
    ASSERT_EQ(db.exitCode, 0) << db.err;
    ASSERT_EQ(lufs.exitCode, 0) << lufs.err;
    EXPECT_EQ(dir.read("d.mp3"), dir.read("e.mp3"));
    // --scan changes nothing and its JSON holds the same steps.
    const auto json = l3test::runProgram(dir, L3_EXE, "gain --scan --json l0.mp3 q0.mp3");
    ASSERT_EQ(json.exitCode, 0);
    EXPECT_NE(json.out.find("\"track_steps\": " + std::to_string(stepsSaid(lufs.out).at(0))),
              std::string::npos)
        << json.out;
    EXPECT_EQ(dir.read("l0.mp3"), loud);
}
#endif
