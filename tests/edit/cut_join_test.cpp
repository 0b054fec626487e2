// l3 cut, l3 split and l3 join on real streams, judged by mpg123 and ffmpeg: a piece played
// gapless gives exactly the input's samples of its range, split pieces joined give back the
// input's frames and samples, a join of different streams plays each of them in turn, and
// what cannot be done is refused with nothing written. Streams with a LAME extension, without
// any VBR header, with a VBRI frame and with a Xing/Info frame without a LAME extension.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "edit/cut.h"
#include "l3/edit.h"
#include "edit/source_stream.h"
#include "edit/splice.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/xing_tag.h"
#include "inspect/frame_walk.h"
#include "support/crafted_streams.h"
#include "support/decoders.h"
#include "support/record_file.h"
#include "support/tools.h"

namespace {

namespace fs = std::filesystem;
using l3test::Decoder;
using l3test::programOf;
using l3test::runProgram;
using l3test::shellQuote;
using l3test::TempDir;

constexpr int64_t kDecoderDelay = 529;

std::vector<uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path lame(const char* name) {
    return fs::path(TEST_DATA_DIR) / "lame" / name;
}

// What the tests need to know of an input, read with the format layer.
struct Facts {
    l3::XingKind kind = l3::XingKind::none;
    bool lame = false;
    int delay = 0, padding = 0;
    int channels = 0;
    int samplesPerFrame = 0;
    size_t frames = 0;  // audio frames
};

Facts factsOf(const std::vector<uint8_t>& bytes) {
    const l3::FrameWalk walk = l3::walkFrames(bytes.data(), bytes.size());
    Facts f;
    size_t first = 0;
    if (!walk.frames.empty()) {
        const l3::WalkFrame& w = walk.frames[0];
        const l3::XingTag tag =
            l3::readXingTag(bytes.data() + w.offset, static_cast<size_t>(w.length));
        if (tag.kind != l3::XingKind::none) first = 1;
        f.kind = tag.kind;
        f.lame = tag.lame.present;
        f.delay = tag.lame.present ? tag.lame.delay : 0;
        f.padding = tag.lame.present ? tag.lame.padding : 0;
    }
    for (size_t k = first; k < walk.frames.size(); ++k)
        if (!walk.frames[k].truncated) ++f.frames;
    if (first < walk.frames.size()) {
        const uint32_t header = walk.frames[first].header;
        f.channels = l3::channelCount(header);
        f.samplesPerFrame = l3::isMpeg1(header) ? 1152 : 576;
    }
    return f;
}

// The decoder's 16-bit output of file; gapless false (mpg123 only): its raw output.
std::vector<int16_t> decode(const TempDir& dir, const std::string& file, bool gapless,
                            std::string* errors = nullptr, Decoder d = Decoder::mpg123) {
    return l3test::decodePcm(dir, file, d, gapless, errors);
}

// The raw decoder sample where the input's timeline starts (see src/edit/cut.h).
int64_t rawStart(const Facts& f) {
    if (f.lame) return f.delay + kDecoderDelay;
    return f.kind == l3::XingKind::xing || f.kind == l3::XingKind::info ? kDecoderDelay : 0;
}

// The input's timeline as PCM, as decoder d plays it: what every decoder plays of the input.
// d's output less, for a VBRI frame, the frame of silence mpg123 decodes it to, and for a
// Xing/Info frame without a LAME extension, the first 529 samples, which ffmpeg plays and
// mpg123 does not.
std::vector<int16_t> timeline(const TempDir& dir, const std::string& file, const Facts& f,
                              Decoder d = Decoder::mpg123) {
    std::vector<int16_t> out = decode(dir, file, true, nullptr, d);
    size_t skip = 0;
    if (f.kind == l3::XingKind::vbri && d == Decoder::mpg123)
        skip = static_cast<size_t>(f.samplesPerFrame);
    else if (!f.lame && f.kind != l3::XingKind::none && f.kind != l3::XingKind::vbri &&
             d == Decoder::ffmpeg)
        skip = kDecoderDelay;
    skip = std::min(out.size(), skip * static_cast<size_t>(f.channels));
    out.erase(out.begin(), out.begin() + static_cast<ptrdiff_t>(skip));
    return out;
}

// Pieces of one-channel MPEG-2 and 2.5 whose first sample lies in a granule 1 modulo 4 of
// the input as mpg123 counts them (a VBRI frame counted), before its sample 480, cannot
// keep mpg123's synthesis cycle (see src/edit/cut.cpp): a few samples would round one
// apart, so cut and split refuse them.
bool cycleMayDiffer(const Facts& f, int64_t from) {
    const int64_t raw = from + rawStart(f) + (f.kind == l3::XingKind::vbri ? f.samplesPerFrame : 0);
    return f.samplesPerFrame == 576 && f.channels == 1 && raw / 576 % 4 == 1 && raw % 576 < 480;
}

// Ranges no piece plays exactly in ffmpeg, which cut refuses (see src/edit/cut.cpp): inside
// one frame, which the piece would trim at both ends. n: the timeline's length.
bool insideOneFrame(const Facts& f, int64_t from, int64_t to, int64_t n) {
    const int64_t r1 = from + rawStart(f), r2 = to + rawStart(f), spf = f.samplesPerFrame;
    const bool endTrimmed = to == n ? f.lame && f.padding > kDecoderDelay : r2 % spf != 0;
    return r1 % spf != 0 && r1 / spf == (r2 - 1) / spf && endTrimmed;
}

// A VBRI frame, which mpg123 decodes as a frame, changes its rounding of MPEG-2 and 2.5
// frames after it in the last bit, in a few samples, in a way no stream without one
// reproduces (no number of silent frames in its place does): pieces of such streams may
// differ so in mpg123.
bool vbriMayDiffer(const Facts& f) {
    return f.kind == l3::XingKind::vbri && f.samplesPerFrame == 576;
}

// piece against samples from..to of the input's timeline ref, as judge decodes both.
void expectSamples(const std::vector<int16_t>& piece, const std::vector<int16_t>& ref, int64_t from,
                   int64_t to, const Facts& f, Decoder judge = Decoder::mpg123) {
    const size_t a = static_cast<size_t>(from) * f.channels,
                 b = static_cast<size_t>(to) * f.channels;
    ASSERT_LE(b, ref.size());
    ASSERT_EQ(piece.size(), b - a) << "samples played";
    if (judge != Decoder::mpg123 || !vbriMayDiffer(f)) {
        const auto at = std::mismatch(piece.begin(), piece.end(), ref.begin() + ptrdiff_t(a));
        EXPECT_TRUE(at.first == piece.end())
            << "first difference at sample " << (at.first - piece.begin()) / f.channels;
        return;
    }
    size_t differ = 0;
    for (size_t i = 0; i < piece.size(); ++i) {
        const int d = piece[i] - ref[a + i];
        ASSERT_LE(std::abs(d), 1) << "at sample " << i / f.channels;
        differ += d != 0;
    }
    // About one sample in 3000 was seen, anywhere in the piece (one in 900 after a VBRI frame).
    EXPECT_LE(differ, piece.size() / (vbriMayDiffer(f) ? 400 : 1000) + 2);
}

// The streams every test runs over: MPEG-1, 2 and 2.5; CBR and VBR; with a LAME extension
// and without; mono and stereo; with CRCs; 320 kbit/s, whose frames use the whole
// reservoir (pieces need filler frames before the first).
const char* const kStreams[] = {
    "lame/m1_44k_joint_cbr128.mp3",
    "lame/m1_44k_joint_clicks_vbr0.mp3",
    "lame/m1_44k_joint_vbr5_notag.mp3",
    "lame/m1_44k_mono_clicks_cbr64_crc.mp3",
    "lame/m1_48k_stereo_cbr320_crc.mp3",
    "lame/m1_32k_mono_cbr32.mp3",
    "lame/m2_22k_joint_vbr5.mp3",
    "lame/m2_24k_stereo_cbr160_crc.mp3",
    "lame/m2_16k_mono_cbr8.mp3",
    "lame/m2_16k_joint_silence_abr96_notag.mp3",
    "lame/m25_12k_stereo_clicks_vbr0.mp3",
    "lame/m25_11k_joint_cbr32_crc_notag.mp3",
    "vectors/l3-test45.bit",
    "vectors/l3-si_block.bit",
    "headers/m1_44k_joint_vbr5_vbri.mp3",
    "headers/m1_44k_msforced_cbr96_vbri.mp3",
    "headers/m2_16k_joint_silence_abr96_vbri.mp3",
    "headers/m25_11k_joint_cbr32_crc_vbri.mp3",
    "headers/m1_44k_joint_vbr5_xing.mp3",
    "headers/m2_16k_mono_cbr8_info.mp3",
    "headers/m25_11k_joint_cbr32_crc_info.mp3",
};

struct Range {
    int64_t from, to;
};

// Ranges of a timeline of n samples, every end inside a frame; and ranges whose first
// sample lies early and late in a granule 1 modulo 4 of the decoder's output (the one
// granule a start may miss from its sample 480 on, see src/edit/cut.cpp).
std::vector<Range> rangesOf(int64_t n, const Facts& f) {
    std::vector<Range> ranges = {{0, 1000},
                                 {1, n},
                                 {n / 3 + 7, n / 2 + 501},
                                 {n - 700, n},
                                 {577, 1730},
                                 {n / 5 + 3, n - 600},
                                 {2 * n / 3 - 11, 2 * n / 3 + 13}};
    const int64_t granule = n / 576 / 8 * 4 + 1;
    for (const int64_t at : {100, 479, 480, 575}) {
        const int64_t from = granule * 576 + at - rawStart(f);
        ranges.push_back({from, std::min(n, from + 4000)});
    }
    return ranges;
}

// Each decoder judges the same edits on its own: a test per decoder, which skips where the
// decoder is missing.
class JudgedBy : public testing::TestWithParam<Decoder> {
protected:
    void SetUp() override { L3_REQUIRE_TOOL(programOf(GetParam())); }
};

INSTANTIATE_TEST_SUITE_P(Decoders, JudgedBy, testing::Values(Decoder::mpg123, Decoder::ffmpeg),
                         [](const testing::TestParamInfo<Decoder>& param) {
                             return std::string(programOf(param.param));
                         });

TEST_P(JudgedBy, CutPiecesPlayExactlyTheInputsSamples) {
    const Decoder judge = GetParam();
    TempDir dir;
    for (const char* name : kStreams) {
        const std::string file = (fs::path(TEST_DATA_DIR) / name).string();
        SCOPED_TRACE(name);
        const Facts f = factsOf(readAll(file));
        const std::vector<int16_t> ref = timeline(dir, file, f, judge);
        const int64_t n = static_cast<int64_t>(ref.size()) / f.channels;
        for (const Range& r : rangesOf(n, f)) {
            SCOPED_TRACE(std::to_string(r.from) + ".." + std::to_string(r.to));
            const auto run =
                runProgram(dir, L3_EXE,
                           "cut -f --from-sample " + std::to_string(r.from) + " --to-sample " +
                               std::to_string(r.to) + " " + shellQuote(file) + " piece.mp3");
            if (insideOneFrame(f, r.from, r.to, n)) {
                EXPECT_EQ(run.exitCode, 5);
                EXPECT_NE(run.err.find("inside one frame"), std::string::npos) << run.err;
                EXPECT_FALSE(dir.exists("piece.mp3"));
                continue;
            }
            if (run.exitCode == 5 && run.err.find("exactly in mpg123") != std::string::npos) {
                // Refused, naming the nearest starts that play exactly; the first is cut.
                EXPECT_TRUE(cycleMayDiffer(f, r.from));
                EXPECT_FALSE(dir.exists("piece.mp3"));
                const size_t at = run.err.find("the nearest that can: sample");
                ASSERT_NE(at, std::string::npos) << run.err;
                const int64_t near = std::stoll(run.err.substr(run.err.find_first_of(
                    "0123456789", at)));
                EXPECT_FALSE(cycleMayDiffer(f, near));
                EXPECT_LT(std::abs(near - r.from), 576);
                const auto again = runProgram(
                    dir, L3_EXE,
                    "cut -f --from-sample " + std::to_string(near) + " --to-sample " +
                        std::to_string(r.to) + " " + shellQuote(file) + " piece.mp3");
                ASSERT_EQ(again.exitCode, 0) << again.err;
                expectSamples(decode(dir, "piece.mp3", true, nullptr, judge), ref, near, r.to, f,
                              judge);
                fs::remove(dir.path("piece.mp3"));
                continue;
            }
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_NE(
                run.out.find("samples " + std::to_string(r.from) + "-" + std::to_string(r.to)),
                std::string::npos)
                << run.out;
            std::string errors;
            const std::vector<int16_t> piece = decode(dir, "piece.mp3", true, &errors, judge);
            EXPECT_EQ(errors, "");
            expectSamples(piece, ref, r.from, r.to, f, judge);
            // Xing/Info counts and TOC, the LAME extension's CRCs, every frame decodes.
            const auto check = runProgram(dir, L3_EXE, "check piece.mp3");
            EXPECT_EQ(check.exitCode, 0) << check.out;
            fs::remove(dir.path("piece.mp3"));
        }
    }
}

TEST(Cut, TimesInSecondsAndStandardInputAndOutput) {
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    const std::string file = lame("m1_44k_joint_cbr128.mp3").string();
    const Facts f = factsOf(readAll(file));
    const std::vector<int16_t> ref = timeline(dir, file, f);
    const auto named =
        runProgram(dir, L3_EXE, "cut --from 0.25 --to 0:00.750 " + shellQuote(file) + " a.mp3");
    ASSERT_EQ(named.exitCode, 0) << named.err;
    expectSamples(decode(dir, "a.mp3", true), ref, 11025, 33075, f);
    // No --to: up to the end.
    const auto piped = runProgram(dir, L3_EXE, "cut --from 0.25 - - < " + shellQuote(file));
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    dir.write("b.mp3", std::vector<uint8_t>(piped.out.begin(), piped.out.end()));
    EXPECT_NE(piped.err.find("-: samples 11025-44100"), std::string::npos) << piped.err;
    expectSamples(decode(dir, "b.mp3", true), ref, 11025, 44100, f);
}

// Times counted from the end and lengths name the same pieces as the absolute range: the
// same bytes (the stream plays 44100 samples).
TEST(Cut, FromTheEndAndLengthsAreTheSamePieces) {
    TempDir dir;
    const std::string file = shellQuote(lame("m1_44k_joint_cbr128.mp3").string());
    const struct {
        const char *range, *same;
    } cases[] = {
        {"--from -0.5", "--from 0.5"},
        {"--from 0.2 --length 0.3", "--from 0.2 --to 0.5"},
        {"--from -0.75 --to -0.25", "--from 0.25 --to 0.75"},
        {"--from-sample -10000 --length-samples 4000", "--from-sample 34100 --to-sample 38100"},
        {"--from 0.9 --length 5", "--from 0.9"},  // a length past the end: up to the end
        {"--from -5 --to 0.3", "--to 0.3"},        // before the start: from the start
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range);
        ASSERT_EQ(runProgram(dir, L3_EXE, std::string("cut -f ") + c.range + " " + file + " a.mp3")
                      .exitCode,
                  0);
        ASSERT_EQ(runProgram(dir, L3_EXE, std::string("cut -f ") + c.same + " " + file + " b.mp3")
                      .exitCode,
                  0);
        EXPECT_EQ(dir.read("a.mp3"), dir.read("b.mp3"));
    }
    // --to and --length together, a length counted from the end: usage (1), nothing written.
    for (const char* bad : {"--to 0.5 --length 0.2", "--length -0.2", "--length-samples -5"}) {
        const auto run = runProgram(dir, L3_EXE, std::string("cut ") + bad + " " + file + " c.mp3");
        EXPECT_EQ(run.exitCode, 1) << bad;
        EXPECT_FALSE(dir.exists("c.mp3"));
    }
    const auto every = runProgram(dir, L3_EXE, "split --every -0.2 " + file + " p-%d.mp3");
    EXPECT_EQ(every.exitCode, 1);
}

// A cue sheet of 5 tracks: 5 pieces named from it, each playing exactly the input's samples
// from its track's INDEX 01 to the next (the first from the start), tagged with its title,
// performer, album and number (ffprobe reads the tags where it is installed).
TEST(Split, ByCueSheet) {
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    const std::string file = lame("m1_44k_joint_cbr128.mp3").string();
    const Facts f = factsOf(readAll(file));
    const std::vector<int16_t> ref = timeline(dir, file, f);
    // Latin-1 (the album's title), a title with '/', a track without a title.
    const auto writeText = [&](const char* name, const std::string& text) {
        dir.write(name, std::vector<uint8_t>(text.begin(), text.end()));
    };
    writeText("album.cue", std::string("PERFORMER \"Band\"\nTITLE \"Caf\xE9\"\nFILE \"x.mp3\" MP3\n"
                                       "TRACK 01 AUDIO\n TITLE \"One\"\n INDEX 01 00:00:05\n"
                                       "TRACK 02 AUDIO\n TITLE \"A/B\"\n PERFORMER \"Guest\"\n"
                                       " INDEX 01 00:00:15\n"
                                       "TRACK 03 AUDIO\n TITLE \"Three\"\n INDEX 01 00:00:31\n"
                                       "TRACK 04 AUDIO\n INDEX 01 00:00:44\n"
                                       "TRACK 05 AUDIO\n TITLE \"Five\"\n INDEX 01 00:00:60\n"));
    const auto run = runProgram(dir, L3_EXE,
                                "split --cue album.cue " + shellQuote(file) + " '%n %p - %t.mp3'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const struct {
        const char *name, *title, *artist;
        int64_t from;  // samples: INDEX 01 frames * 44100 / 75
    } pieces[] = {{"01 Band - One.mp3", "One", "Band", 0},
                  {"02 Guest - A_B.mp3", "A/B", "Guest", 15 * 588},
                  {"03 Band - Three.mp3", "Three", "Band", 31 * 588},
                  {"04 Band - Track 04.mp3", "", "Band", 44 * 588},
                  {"05 Band - Five.mp3", "Five", "Band", 60 * 588}};
    for (size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(pieces[k].name);
        ASSERT_TRUE(dir.exists(pieces[k].name)) << run.out;
        expectSamples(decode(dir, pieces[k].name, true), ref, pieces[k].from,
                      k + 1 < 5 ? pieces[k + 1].from : 44100, f);
        const std::vector<uint8_t> bytes = dir.read(pieces[k].name);
        ASSERT_GT(bytes.size(), 10u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "ID3\x04");
        if (!l3test::toolInstalled("ffprobe")) continue;
        const auto probe = runProgram(dir, "ffprobe",
                                      "-v error -show_entries format_tags=title,artist,album,"
                                      "track -of default=nw=1 " +
                                          shellQuote(pieces[k].name));
        EXPECT_NE(probe.out.find("TAG:album=Caf\xC3\xA9"), std::string::npos) << probe.out;
        EXPECT_NE(probe.out.find("TAG:artist=" + std::string(pieces[k].artist)),
                  std::string::npos);
        EXPECT_NE(probe.out.find("TAG:track=" + std::to_string(k + 1) + "/5"), std::string::npos);
        EXPECT_EQ(probe.out.find("TAG:title=") != std::string::npos, *pieces[k].title != 0);
        if (*pieces[k].title) {
            EXPECT_NE(probe.out.find("TAG:title=" + std::string(pieces[k].title)),
                      std::string::npos);
        }
    }
    // A malformed sheet is refused naming its line; nothing written.
    writeText("bad.cue", std::string("FILE a MP3\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                     "TRACK 02 AUDIO\nINDEX 01 0:61:00\n"));
    const auto bad = runProgram(dir, L3_EXE, "split --cue bad.cue " + shellQuote(file) + " b-%n.mp3");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("bad.cue: line 5: "), std::string::npos) << bad.err;
    EXPECT_FALSE(dir.exists("b-01.mp3"));
}

// A one-channel MPEG-2 stream: a point asked for where no piece plays exactly (see
// cycleMayDiffer) is refused, while points split --every finds move to the nearest start
// that plays exactly, and every piece then plays the input's samples.
TEST(Split, EveryMovesAPointToTheNearestExactStart) {
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    const std::string file = lame("m2_16k_mono_cbr8.mp3").string();
    const Facts f = factsOf(readAll(file));
    ASSERT_TRUE(cycleMayDiffer(f, 14400));
    const auto at = runProgram(dir, L3_EXE, "split --samples --at 4800,9600,14400 " +
                                                shellQuote(file) + " a-%d.mp3");
    EXPECT_EQ(at.exitCode, 5);
    EXPECT_NE(at.err.find("exactly in mpg123"), std::string::npos) << at.err;
    EXPECT_FALSE(dir.exists("a-1.mp3"));
    const auto every =
        runProgram(dir, L3_EXE, "split --samples --every 4800 " + shellQuote(file) + " e-%d.mp3");
    ASSERT_EQ(every.exitCode, 0) << every.err;
    std::vector<int64_t> starts;
    for (size_t p = 0; (p = every.out.find(": samples ", p)) != std::string::npos; ++p)
        starts.push_back(std::stoll(every.out.substr(p + 10)));
    ASSERT_EQ(starts.size(), 4u) << every.out;
    EXPECT_EQ(starts[1], 4800);
    EXPECT_EQ(starts[2], 9600);
    EXPECT_NE(starts[3], 14400);
    EXPECT_LE(std::abs(starts[3] - 14400), 2 * 576);
    const std::vector<int16_t> ref = timeline(dir, file, f);
    const int64_t n = static_cast<int64_t>(ref.size()) / f.channels;
    starts.push_back(n);
    for (size_t k = 0; k + 1 < starts.size(); ++k)
        expectSamples(decode(dir, dir.path("e-" + std::to_string(k + 1) + ".mp3"), true), ref,
                      starts[k], starts[k + 1], f);
}

// Two silences of 2 s between three tones: --silence cuts in the middle of each (the
// decoded tones ring on a little past their ends, so within 0.05 s); a longer --min-silence
// finds none and writes nothing; a --threshold above the tones' level makes all of it one
// silence from the start, which splits nothing either.
TEST(Split, AtSilences) {
    L3_REQUIRE_TOOL("sox");
    L3_REQUIRE_TOOL("lame");
    TempDir dir;
    ASSERT_EQ(runProgram(dir, "sox",
                         "-n -r 44100 -c 2 t.wav synth 2 sine 440 vol 0.5 && sox -n -r 44100 -c 2 "
                         "z.wav trim 0 2 && sox t.wav z.wav t.wav z.wav t.wav all.wav && lame "
                         "--quiet -b 128 all.wav all.mp3")
                  .exitCode,
              0);
    const auto run = runProgram(dir, L3_EXE, "split --silence all.mp3 p-%d.mp3");
    if (run.exitCode == 5 && run.err.find("needs libmpg123") != std::string::npos)
        GTEST_SKIP() << run.err;
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<int64_t> starts;
    for (size_t at = 0; (at = run.out.find(": samples ", at)) != std::string::npos; ++at)
        starts.push_back(std::stoll(run.out.substr(at + 10)));
    ASSERT_EQ(starts.size(), 3u) << run.out;
    EXPECT_EQ(starts[0], 0);
    EXPECT_LE(std::abs(starts[1] - 3 * 44100), 2205);
    EXPECT_LE(std::abs(starts[2] - 7 * 44100), 2205);
    for (const char* none : {"--min-silence 2.5", "--threshold -1dB"}) {
        const auto r = runProgram(dir, L3_EXE, std::string("split --silence ") + none +
                                                   " all.mp3 q-%d.mp3");
        EXPECT_EQ(r.exitCode, 5) << none;
        EXPECT_NE(r.err.find("nothing to split"), std::string::npos) << r.err;
        EXPECT_FALSE(dir.exists("q-1.mp3"));
    }
}

// The tags around the frames (here ID3v2 before, ID3v1 after) are copied into a piece, and
// a join has the first input's.
TEST(CutAndJoin, KeepTheTagsAroundTheFrames) {
    TempDir dir;
    const fs::path file = lame("m1_44k_mono_id3v1v2.mp3");
    const std::vector<uint8_t> in = readAll(file);
    const size_t id3v2 =
        10 + (size_t{in[6]} << 21 | size_t{in[7]} << 14 | size_t{in[8]} << 7 | in[9]);
    auto sameTags = [&](const std::vector<uint8_t>& out) {
        return out.size() > id3v2 + 128 &&
               std::equal(in.begin(), in.begin() + ptrdiff_t(id3v2), out.begin()) &&
               std::equal(in.end() - 128, in.end(), out.end() - 128);
    };
    ASSERT_EQ(
        runProgram(dir, L3_EXE, "cut --from 0.3 --to 0.6 " + shellQuote(file.string()) + " a.mp3")
            .exitCode,
        0);
    EXPECT_TRUE(sameTags(dir.read("a.mp3")));
    ASSERT_EQ(
        runProgram(dir, L3_EXE,
                   "join -o b.mp3 a.mp3 " + shellQuote(lame("m1_32k_mono_cbr32.mp3").string()))
            .exitCode,
        5);
    ASSERT_EQ(
        runProgram(dir, L3_EXE,
                   "join -o b.mp3 a.mp3 " + shellQuote(lame("m1_44k_mono_id3v2.mp3").string()))
            .exitCode,
        0);
    EXPECT_TRUE(sameTags(dir.read("b.mp3")));
}

// Audio frames of b against a's: headers, side information and main data (the layout
// aside), one for one, after b's first fillers, which are silent filler frames.
void expectSameFrames(std::span<const uint8_t> a, std::span<const uint8_t> b,
                      size_t fillers = 0) {
    l3::SourceStream x, y;
    l3::SourceProblem px, py;
    // (a may be damaged: its frames as a salvage takes them.)
    ASSERT_TRUE(l3::readSource(a.data(), a.size(), l3::SourcePass::decode, 1, x, px, nullptr, {},
                               l3::Damage::salvage))
        << px.message;
    ASSERT_TRUE(l3::readSource(b.data(), b.size(), l3::SourcePass::layout, 1, y, py)) << py.message;
    ASSERT_EQ(x.frames.size() + fillers, y.frames.size());
    for (size_t k = 0; k < fillers; ++k) ASSERT_TRUE(l3::isFillerFrame(y, k)) << "frame " << k;
    for (size_t k = 0; k < x.frames.size(); ++k)
        ASSERT_EQ(l3::compareFrame(x, k, y, k + fillers), "") << "frame " << k;
}

TEST_P(JudgedBy, SplitPiecesJoinBackIntoTheInput) {
    const Decoder judge = GetParam();
    TempDir dir;
    for (const char* name : kStreams) {
        const std::string file = (fs::path(TEST_DATA_DIR) / name).string();
        SCOPED_TRACE(name);
        const std::vector<uint8_t> input = readAll(file);
        const Facts f = factsOf(input);
        const std::vector<int16_t> ref = timeline(dir, file, f, judge);
        const int64_t n = static_cast<int64_t>(ref.size()) / f.channels;
        // Every piece reaches into a second frame (see insideOneFrame).
        const int64_t spf = f.samplesPerFrame;
        std::vector<int64_t> cuts = {0, n / 5 + 3, n / 2 + 1, n / 2 + 700 + spf, n - 600 - spf, n};
        // (Points no piece starts at exactly, which split refuses, moved past; see above.)
        for (int64_t& c : cuts)
            while (c != n && cycleMayDiffer(f, c)) c += 97;
        std::string at;
        for (size_t k = 1; k + 1 < cuts.size(); ++k) {
            if (k > 1) at += ',';
            at += std::to_string(cuts[k]);
        }
        const auto split = runProgram(
            dir, L3_EXE, "split -f --samples --at " + at + " " + shellQuote(file) + " part-%02d.mp3");
        ASSERT_EQ(split.exitCode, 0) << split.err;
        std::string parts;
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
            char piece[32];
            std::snprintf(piece, sizeof piece, "part-%02zu.mp3", k + 1);
            SCOPED_TRACE(piece);
            parts += std::string(" ") + piece;
            expectSamples(decode(dir, piece, true, nullptr, judge), ref, cuts[k], cuts[k + 1], f,
                          judge);
        }
        EXPECT_FALSE(dir.exists("part-06.mp3"));

        const auto join = runProgram(dir, L3_EXE, "join -f -o joined.mp3" + parts);
        ASSERT_EQ(join.exitCode, 0) << join.err;
        const std::vector<uint8_t> joined = dir.read("joined.mp3");
        std::string errors;
        const std::vector<int16_t> whole = decode(dir, "joined.mp3", true, &errors, judge);
        EXPECT_EQ(errors, "");
        expectSamples(whole, ref, 0, n, f, judge);
        const Facts g = factsOf(joined);
        // The input's frames, and its header: but that of a VBRI stream, which the first
        // piece does not keep (its frame of silence in mpg123 is no sample of the timeline),
        // nor can the join bring back: a Xing frame, a silent frame before the frames, a
        // delay that hides it.
        expectSameFrames(input, joined, f.kind == l3::XingKind::vbri ? 1 : 0);
        if (f.kind != l3::XingKind::vbri) {
            // Xing or Info as the result's frames have one bit rate or not.
            const auto family = [](l3::XingKind k) {
                return k == l3::XingKind::info ? l3::XingKind::xing : k;
            };
            EXPECT_EQ(family(g.kind), family(f.kind));
            EXPECT_EQ(g.delay, f.delay);
        }
        if (f.lame) {
            EXPECT_EQ(g.padding, f.padding);
        }
        EXPECT_EQ(runProgram(dir, L3_EXE, "check joined.mp3").exitCode, 0);
    }
}

TEST(Split, EveryAndTheNamesOfThePieces) {
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    const std::string file = lame("m1_44k_joint_cbr128.mp3").string();
    const Facts f = factsOf(readAll(file));
    const std::vector<int16_t> ref = timeline(dir, file, f);
    const auto run =
        runProgram(dir, L3_EXE, "split --every 0.3 " + shellQuote(file) + " 'q %%%d.mp3'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // 13230 samples each, the last what is left of 44100.
    const int64_t cuts[] = {0, 13230, 26460, 39690, 44100};
    for (int k = 0; k < 4; ++k) {
        const std::string piece = "q %" + std::to_string(k + 1) + ".mp3";
        SCOPED_TRACE(piece);
        expectSamples(decode(dir, piece, true), ref, cuts[k], cuts[k + 1], f);
    }
    EXPECT_FALSE(dir.exists("q %5.mp3"));

    struct Pattern {
        const char* pattern;
        const char* first;
    };
    for (const Pattern& p :
         {Pattern{"a%03d.mp3", "a001.mp3"}, Pattern{"b%2d", "b 1"}, Pattern{"c-%d-%%", "c-1-%"}}) {
        const auto named = runProgram(
            dir, L3_EXE, "split --at 0.5 " + shellQuote(file) + " " + shellQuote(p.pattern));
        EXPECT_EQ(named.exitCode, 0) << named.err;
        EXPECT_TRUE(dir.exists(p.first)) << p.pattern;
    }
    for (const char* bad : {"none.mp3", "two%d%d.mp3", "x%s.mp3", "y%-3d.mp3"}) {
        const auto refused =
            runProgram(dir, L3_EXE, "split --at 0.5 " + shellQuote(file) + " " + shellQuote(bad));
        EXPECT_EQ(refused.exitCode, 1) << bad;
    }
}

// Different streams one after another (whole files, or pieces "file@from-to" cut from
// them, with delays of several frames): they play as long as the inputs together within
// half a frame, with the first input's delay and the last input's padding.
TEST(Join, DifferentStreamsPlayAsLongAsTheInputsTogether) {
    L3_REQUIRE_TOOL("mpg123");
    const std::vector<std::vector<std::string>> joins = {
        {"m1_44k_joint_cbr128.mp3", "m1_44k_joint_clicks_vbr0.mp3"},
        {"m1_44k_joint_cbr128.mp3", "m1_44k_joint_abr96.mp3", "m1_44k_joint_clicks_vbr0.mp3",
         "m1_44k_dual_cbr192.mp3", "m1_44k_joint_cbr128.mp3@20000-31000",
         "m1_44k_joint_cbr128_crc.mp3", "m1_44k_joint_vbr5_notag.mp3"},
        {"m2_22k_joint_vbr5.mp3@1000-3000", "m2_22k_joint_vbr5.mp3@9000-12345",
         "m2_22k_joint_clicks_cbr64_crc.mp3", "m2_22k_joint_clicks_cbr64_crc.mp3@500-7000",
         "m2_22k_joint_vbr5.mp3@5000-6000", "m2_22k_joint_vbr5.mp3@14000-22050",
         "m2_22k_joint_vbr5.mp3"},
    };
    TempDir dir;
    for (const std::vector<std::string>& inputs : joins) {
        std::string args = "join -f -o j.mp3";
        std::vector<std::vector<int16_t>> refs;
        std::vector<Facts> facts;
        size_t total = 0;
        for (size_t i = 0; i < inputs.size(); ++i) {
            char name[64];
            long long from = 0, to = -1;
            std::sscanf(inputs[i].c_str(), "%63[^@]@%lld-%lld", name, &from, &to);
            std::string file = lame(name).string();
            if (to >= 0) {
                const std::string piece = dir.path("in" + std::to_string(i) + ".mp3");
                ASSERT_EQ(runProgram(dir, L3_EXE,
                                     "cut -f --from-sample " + std::to_string(from) + " --to-sample " +
                                         std::to_string(to) + " " + shellQuote(file) + " " +
                                         shellQuote(piece))
                              .exitCode,
                          0);
                file = piece;
            }
            args += ' ' + shellQuote(file);
            facts.push_back(factsOf(readAll(file)));
            refs.push_back(timeline(dir, file, facts.back()));
            total += refs.back().size();
        }
        SCOPED_TRACE(args);
        ASSERT_EQ(runProgram(dir, L3_EXE, args).exitCode, 0);
        std::string errors;
        const std::vector<int16_t> joined = decode(dir, "j.mp3", true, &errors);
        EXPECT_EQ(errors, "");
        const size_t ch = static_cast<size_t>(facts[0].channels);
        const size_t frame = static_cast<size_t>(facts[0].samplesPerFrame) * ch, half = frame / 2;
        EXPECT_LE(std::max(joined.size(), total) - std::min(joined.size(), total), half);
        const Facts j = factsOf(dir.read("j.mp3"));
        EXPECT_EQ(j.delay, facts.front().delay);
        EXPECT_EQ(j.padding, facts.back().lame ? facts.back().padding : kDecoderDelay);
        EXPECT_EQ(runProgram(dir, L3_EXE, "check j.mp3").exitCode, 0);
        // Each input plays (within one in the last bit: mpg123 rounds by a granule's index in
        // the stream) within half a frame of where the inputs before it end: all but what a
        // seam may take (under a frame each side, where the frames left out hold less junk)
        // or mix with the input before (two granules).
        auto near = [](int16_t x, int16_t y) { return std::abs(x - y) <= 1; };
        for (size_t i = 0, at = 0; i < refs.size(); at += refs[i++].size()) {
            const auto ref = refs[i].begin();
            const size_t from = i == 0 ? 0 : frame + 1152 * ch;
            const size_t to = refs[i].size() - (i + 1 == refs.size() ? 0 : frame);
            bool found = to < from + 256 * ch;  // too short to place
            for (size_t s = std::max(at + from, half) - half; !found && s <= at + from + half;
                 s += ch)
                found = s + to - from <= joined.size() &&
                        std::equal(ref + ptrdiff_t(from), ref + ptrdiff_t(to),
                                   joined.begin() + ptrdiff_t(s), near);
            EXPECT_TRUE(found) << "input " << i << " is not within half a frame of its place";
        }
    }
}

TEST(CutSplitJoin, RefuseWhatTheyCannotDoAndWriteNothing) {
    TempDir dir;
    const std::string good = shellQuote(lame("m1_44k_joint_cbr128.mp3").string());
    const std::string bad = shellQuote(
        (fs::path(TEST_DATA_DIR) / "vectors/l3-nonstandard-compl-sideinfo-bigvalues.bit").string());
    const std::string none =
        shellQuote((fs::path(TEST_DATA_DIR) / "vectors/l3-nonstandard-small.bit").string());
    const std::string mono = shellQuote(lame("m1_44k_mono_id3v2.mp3").string());
    const std::string lsf = shellQuote(lame("m2_22k_joint_vbr5.mp3").string());
    struct Case {
        std::string args;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"cut --from 0.1 " + bad + " out.mp3", 4, "side_info_invalid"},
        {"cut " + none + " out.mp3", 3, "no Layer III frame"},
        {"cut --from 1.0 " + good + " out.mp3", 5, "at or past the end (44100 samples)"},
        {"cut --from 0.5 --to 0.5 " + good + " out.mp3", 5, "the range is empty"},
        {"cut --from 1:60 " + good + " out.mp3", 1, "not a time: 1:60"},
        {"cut --from-sample 1.5 " + good + " out.mp3", 1, "not a sample index"},
        {"cut " + good, 1, "wanted IN and OUT"},
        {"cut missing.mp3 out.mp3", 2, "cannot read"},
        {"split --at 0.5,0.25 " + good + " out%d.mp3", 5, "does not lie after"},
        {"split --at 1.5 " + good + " out%d.mp3", 5, "before the end"},
        {"split --at 0.5 --every 0.1 " + good + " out%d.mp3", 1, "give one of --at, --every"},
        {"split --every 0.1 " + bad + " out%d.mp3", 4, "side_info_invalid"},
        {"join -o out.mp3 " + good + " " + lsf, 5, "MPEG-2, 22050 Hz, 2 channels, unlike"},
        {"join -o out.mp3 " + good + " " + mono, 5, "1 channel, unlike"},
        {"join -o out.mp3 " + good + " " + bad, 4, "side_info_invalid"},
        {"join " + good, 1, "wanted -o OUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = runProgram(dir, L3_EXE, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        for (const char* out : {"out.mp3", "out1.mp3"}) EXPECT_FALSE(dir.exists(out));
    }
}

// Every stream of the shared collection: a cut inside frames plays the input's samples,
// or the stream is refused as not Layer III (3) or as damaged (4).
TEST(Cut, SharedStreamCollection) {
    L3_REQUIRE_TOOL("mpg123");
    const fs::path root = L3_VECTORS_DIR;
    if (!fs::is_directory(root)) GTEST_SKIP() << root << " is not there";
    TempDir dir;
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.path().extension() != ".md" && e.file_size() < 1'000'000)
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    int cut = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const Facts f = factsOf(readAll(file));
        const std::vector<int16_t> ref =
            f.channels ? timeline(dir, file.string(), f) : std::vector<int16_t>{};
        // The timeline's length: raw samples less those before its start and, with a LAME
        // extension, the padding beyond the decoder's own delay.
        const int64_t n = std::max<int64_t>(
            0, static_cast<int64_t>(f.frames) * f.samplesPerFrame - rawStart(f) -
                   (f.lame ? std::max<int64_t>(f.padding, kDecoderDelay) - kDecoderDelay : 0));
        const Range r{n / 3 + 7, 2 * n / 3 + 5};
        const auto run =
            runProgram(dir, L3_EXE,
                       "cut -f --from-sample " + std::to_string(r.from) + " --to-sample " +
                           std::to_string(r.to) + " " + shellQuote(file.string()) + " piece.mp3");
        if (run.exitCode != 0) {
            // (Or a start no piece plays exactly from: see cut.cpp.)
            const bool noStart = run.err.find("exactly in mpg123") != std::string::npos ||
                                 run.err.find("one channel and two") != std::string::npos ||
                                 run.err.find("ffmpeg passes over") != std::string::npos;
            EXPECT_TRUE(run.exitCode == 3 || run.exitCode == 4 ||
                        (run.exitCode == 5 && (insideOneFrame(f, r.from, r.to, n) || noStart)))
                << run.exitCode << run.err;
            EXPECT_FALSE(dir.exists("piece.mp3"));
            continue;
        }
        ++cut;
        EXPECT_EQ(runProgram(dir, L3_EXE, "check piece.mp3").exitCode, 0);
        // mpg123 plays nothing of a stream of one frame: it finds no second header. Where the
        // channel count changes, the decoder's samples are no longer one per channel per
        // instant of the timeline: the tests/judges script compares those.
        const std::vector<uint8_t> bytes = readAll(file);
        const l3::FrameWalk walk = l3::walkFrames(bytes.data(), bytes.size());
        const bool oneChannelCount =
            std::all_of(walk.frames.begin(), walk.frames.end(), [&](const l3::WalkFrame& w) {
                return l3::channelCount(w.header) == f.channels;
            });
        if (f.frames > 1 && oneChannelCount)
            expectSamples(decode(dir, "piece.mp3", true), ref, r.from, r.to, f);
        std::filesystem::remove(dir.path("piece.mp3"));
    }
    EXPECT_GE(cut, 20);
}

// Streams that start with frames whose main data lies before the stream: two collected
// ones, and lame streams cut blindly (their bytes from the header of frame `from` on, 0: as
// they are). repack (three ways) and join of split pieces give the same samples, and pieces
// starting in those frames, just after them or later play the input's.
struct BlindStart {
    const char* name;
    size_t from;
};
const BlindStart kBlindStarts[] = {
    {"vectors/MEANDR90.mp3", 0},
    {"vectors/l3-sin1k0db.bit", 0},
    {"lame/m1_44k_joint_cbr128_crc.mp3", 11},
    {"lame/m1_44k_joint_clicks_vbr0.mp3", 9},
    {"lame/m1_48k_stereo_cbr320_crc.mp3", 7},
    {"lame/m2_22k_joint_vbr5.mp3", 7},
    {"lame/m25_11k_joint_cbr32_crc_notag.mp3", 10},
};

TEST(BlindStart, RepackCutSplitAndJoinPlayTheSameSamples) {
    L3_REQUIRE_TOOL("mpg123");
    TempDir dir;
    for (const BlindStart& s : kBlindStarts) {
        SCOPED_TRACE(std::string(s.name) + " from frame " + std::to_string(s.from));
        std::vector<uint8_t> input = readAll(fs::path(TEST_DATA_DIR) / s.name);
        const l3::FrameWalk walk = l3::walkFrames(input.data(), input.size());
        // A last frame cut short is refused without --salvage: it goes first.
        if (walk.frames.back().truncated) input.resize(walk.frames.back().offset);
        const size_t at = s.from ? walk.frames[s.from].offset : 0;
        input.erase(input.begin(), input.begin() + ptrdiff_t(at));
        dir.write("start.mp3", input);
        for (const char* options : {"", "--huffman ", "--cbr min "}) {
            const auto run =
                runProgram(dir, L3_EXE, std::string("repack -f ") + options + "start.mp3 out.mp3");
            ASSERT_EQ(run.exitCode, 0) << options << run.err;
            EXPECT_NE(run.err.find("kept frame 0 (offset "), std::string::npos) << run.err;
            for (bool gapless : {true, false})
                EXPECT_TRUE(decode(dir, "start.mp3", gapless) == decode(dir, "out.mp3", gapless))
                    << options << gapless;
        }
        const Facts f = factsOf(input);
        const std::vector<int16_t> ref = timeline(dir, dir.path("start.mp3"), f);
        const int64_t n = static_cast<int64_t>(ref.size()) / f.channels, spf = f.samplesPerFrame;
        // A piece that needs the kept start but would begin too far before its first sample
        // (the MPEG-2 stream keeps 9 frames) may be refused; so is one that starts before
        // sample 529, which needs silent frames before the kept start, unless it is whole
        // frames from the start (written without a tag frame). None is cut wrong.
        int refused = 0;
        for (const Range& r : {Range{0, 1000}, Range{300, 2 * spf}, Range{0, 2 * spf},
                               Range{spf + 100, 4 * spf}, Range{2 * spf + 200, 5 * spf},
                               Range{5 * spf + 100, 8 * spf}, Range{1, n}, Range{n / 2, n}}) {
            SCOPED_TRACE(std::to_string(r.from) + ".." + std::to_string(r.to));
            const auto run =
                runProgram(dir, L3_EXE,
                           "cut -f --from-sample " + std::to_string(r.from) + " --to-sample " +
                               std::to_string(r.to) + " start.mp3 piece.mp3");
            if (r.from < kDecoderDelay && !(r.from == 0 && r.to % spf == 0)) {
                EXPECT_EQ(run.exitCode, 5);
                EXPECT_NE(run.err.find("before sample 529 a piece needs silent frames"),
                          std::string::npos)
                    << run.err;
                continue;
            }
            refused += run.exitCode == 5 && run.err.find("kept together") != std::string::npos;
            if (run.exitCode == 5) continue;
            ASSERT_EQ(run.exitCode, 0) << run.err;
            expectSamples(decode(dir, "piece.mp3", true), ref, r.from, r.to, f);
        }
        EXPECT_LE(refused, 1);
        ASSERT_EQ(runProgram(dir, L3_EXE,
                             "split -f --samples --at " + std::to_string(spf) + "," +
                                 std::to_string(3 * spf) + " start.mp3 part-%d.mp3")
                      .exitCode,
                  0);
        ASSERT_EQ(
            runProgram(dir, L3_EXE, "join -f -o j.mp3 part-1.mp3 part-2.mp3 part-3.mp3").exitCode, 0);
        expectSameFrames(input, dir.read("j.mp3"));
        EXPECT_TRUE(decode(dir, "j.mp3", true) == ref);
    }
}

// Frames that reach before the stream after a frame with main data are damage: the first
// audio frame of a stream followed by a blind cut of it is refused by every edit that needs
// that frame; a cut that does not need it is made, and says what it left as it is.
TEST(BlindStart, AFrameReachingBeforeTheStreamLaterIsRefused) {
    TempDir dir;
    const std::vector<uint8_t> bytes = readAll(lame("m1_44k_joint_cbr128.mp3"));
    const l3::FrameWalk walk = l3::walkFrames(bytes.data(), bytes.size());
    const l3::WalkFrame& first = walk.frames[1];  // after the Info frame
    size_t k = 5;  // main_data_begin (9 bits after the header) beyond first's main-data bytes
    while ((bytes[walk.frames[k].offset + 4] << 1 | bytes[walk.frames[k].offset + 5] >> 7) <=
           first.length - 36)
        ++k;
    std::vector<uint8_t> middle(bytes.begin() + ptrdiff_t(first.offset),
                                bytes.begin() + ptrdiff_t(first.offset + size_t(first.length)));
    middle.insert(middle.end(), bytes.begin() + ptrdiff_t(walk.frames[k].offset), bytes.end());
    dir.write("middle.mp3", middle);
    dir.write("blind.mp3", std::vector<uint8_t>(middle.begin() + first.length, middle.end()));
    for (const std::string& args : std::vector<std::string>{
             "repack middle.mp3 out.mp3", "cut --to 0.1 middle.mp3 out.mp3",
             "split --every 0.1 middle.mp3 out%d.mp3", "join -o out.mp3 middle.mp3",
             "join -o out.mp3 " + shellQuote(lame("m1_44k_joint_cbr128.mp3").string()) +
                 " blind.mp3"}) {
        SCOPED_TRACE(args);
        const auto run = runProgram(dir, L3_EXE, args);
        EXPECT_EQ(run.exitCode, 4) << run.err;
        EXPECT_NE(run.err.find("reservoir_underflow"), std::string::npos) << run.err;
        for (const char* out : {"out.mp3", "out1.mp3"}) EXPECT_FALSE(dir.exists(out));
    }
    const auto later = runProgram(dir, L3_EXE, "cut --from 0.5 middle.mp3 later.mp3");
    EXPECT_EQ(later.exitCode, 0) << later.err;
    EXPECT_NE(later.err.find("reservoir_underflow: main_data_begin reaches before the stream "
                             "(outside the piece, left as it is)"),
              std::string::npos)
        << later.err;
    const auto salvaged = runProgram(dir, L3_EXE, "cut --salvage --to 0.1 middle.mp3 early.mp3");
    EXPECT_EQ(salvaged.exitCode, 0) << salvaged.err;
    EXPECT_NE(salvaged.err.find("written as a silent frame"), std::string::npos) << salvaged.err;
}

}  // namespace

// A stream without a VBR header whose first frame is silent, as filler frames are (zero side
// information), with junk between frames: its first piece's delay hides the filler frames
// before it and no more, and the pieces join back into the stream without a tag frame.
TEST(SplitAndJoin, AFirstFrameLikeAFillerFrameIsTheStreamsOwn) {
    TempDir dir;
    const fs::path file =
        fs::path(TEST_DATA_DIR) / "regressions" / "edit" / "silent_first_frame.mp3";
    // (Its junk is refused unless salvaged: decoders resynchronise each their own way.)
    ASSERT_EQ(runProgram(dir, L3_EXE,
                         "split --salvage --samples --at 6254 " + shellQuote(file.string()) +
                             " part-%d.mp3")
                  .exitCode,
              0);
    const auto joined = runProgram(dir, L3_EXE, "join -o j.mp3 part-1.mp3 part-2.mp3");
    ASSERT_EQ(joined.exitCode, 0) << joined.err;
    const std::vector<uint8_t> j = dir.read("j.mp3");
    expectSameFrames(readAll(file), j);
    EXPECT_EQ(factsOf(j).kind, l3::XingKind::none);
}

// Main data that happens to hold "TAG" where a result's last 128 bytes begin would read as
// an ID3v1 tag to every player, which would then lose the last frames: the result's last
// frame is made larger so that the bytes move away from the end. The first input is a
// damaged stream whose pieces, joined, once met it; the second is that join, whose smallest
// layout meets it again.
TEST(EndOfStream, MainDataThatReadsAsATagStaysAudio) {
    TempDir dir;
    const fs::path regressions = fs::path(TEST_DATA_DIR) / "regressions" / "edit";
    // Its frame 12 ends before its last big-value pairs: mpg123 plays that frame silent,
    // the others play the pairs as zero; no edit can promise the same samples.
    const std::string damaged = shellQuote((regressions / "tag_bytes_in_main_data.mp3").string());
    const auto split =
        runProgram(dir, L3_EXE, "split --samples --at 2657 " + damaged + " part-%d.mp3");
    EXPECT_EQ(split.exitCode, 4);
    EXPECT_NE(split.err.find("frame 12 (offset 864): huffman_error"), std::string::npos)
        << split.err;
    EXPECT_FALSE(fs::exists(dir.path("part-1.mp3")));

    const fs::path nearEnd = regressions / "tag_bytes_near_the_end.mp3";
    const auto repacked =
        runProgram(dir, L3_EXE, "repack " + shellQuote(nearEnd.string()) + " r.mp3");
    ASSERT_EQ(repacked.exitCode, 0) << repacked.err;
    expectSameFrames(readAll(nearEnd), dir.read("r.mp3"));
    const auto check = runProgram(dir, L3_EXE, "check r.mp3");
    EXPECT_EQ(check.exitCode, 0) << check.out;
}

// A fuzz finding: a damaged stream whose first frame reaches before it, so that its first
// two frames are kept as they are by every piece that needs them. Their bytes hold "TAG"
// 128 bytes before their end: a piece that ends with them would end so, every player would
// take its last bytes for an ID3v1 tag and lose the frames, and a kept frame cannot grow.
// Such a piece is refused (exit 5, saying why), where it once failed its own check. At every
// point the split is refused so or gives pieces that join back into the input's frames.
TEST(EndOfStream, KeptFramesEndingInTagBytesAreRefused) {
    const fs::path file =
        fs::path(TEST_DATA_DIR) / "regressions" / "edit" / "split_piece_ends_in_tag_bytes.mp3";
    const std::vector<uint8_t> in = readAll(file);
    l3::SourceStream src;
    l3::SourceProblem problem;
    // (Its junk between frames is damage: salvaged.)
    ASSERT_TRUE(l3::readSource(in.data(), in.size(), l3::SourcePass::decode, 1, src, problem,
                               nullptr, {}, l3::Damage::salvage));
    const int64_t length = l3::timelineOf(src).length;
    size_t refused = 0, joined = 0;
    for (int64_t at = 1; at < length; ++at) {
        SCOPED_TRACE(at);
        l3::TimePoint point;
        point.samples = true;
        point.units = at;
        const l3::CutResult r = l3::splitStream(in.data(), in.size(), {point}, nullptr, true);
        if (r.status != l3::Status::ok) {
            ASSERT_EQ(r.status, l3::Status::outOfRange) << r.message;
            ++refused;
            continue;
        }
        std::vector<l3::JoinInput> pieces;
        for (const l3::CutPiece& piece : r.pieces)
            pieces.push_back({"piece", piece.output.data(), piece.output.size()});
        const l3::JoinResult j = l3::joinStreams(pieces);
        ASSERT_EQ(j.status, l3::Status::ok) << j.message;
        expectSameFrames(in, j.output);
        ++joined;
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(joined, 0u);

    TempDir dir;
    const auto run = runProgram(dir, L3_EXE, "split --salvage --samples --at 197 " +
                                                 shellQuote(file.string()) + " part-%d.mp3");
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_NE(run.err.find("no piece can start at sample 0"), std::string::npos) << run.err;
    EXPECT_FALSE(dir.exists("part-1.mp3") || dir.exists("part-2.mp3"));
}

// A blind cut of lame/m2_22k_joint_vbr5.mp3 (from its frame 7: its first 9 frames are kept
// as they are) behind a LAME extension whose encoder delay is 3000 samples, more than 4
// frames: a piece that starts with the kept start is refused, but the input's own start
// plays as the input does.
std::vector<uint8_t> blindStartWithALongDelay(const TempDir& dir) {
    std::vector<uint8_t> input = readAll(lame("m2_22k_joint_vbr5.mp3"));
    const size_t at = l3::walkFrames(input.data(), input.size()).frames[7].offset;
    input.erase(input.begin(), input.begin() + static_cast<ptrdiff_t>(at));
    dir.write("blind.mp3", input);
    // (A cut from sample 0 of a stream without a LAME extension is written as that stream
    // is, without one: from sample 600 it gets one, with a delay that hides 71 samples.)
    EXPECT_EQ(runProgram(dir, L3_EXE, "cut --from-sample 600 blind.mp3 tagged.mp3").exitCode, 0);
    std::vector<uint8_t> tagged = dir.read("tagged.mp3");
    const l3::FrameWalk walk = l3::walkFrames(tagged.data(), tagged.size());
    const l3::XingTag tag =
        l3::readXingTag(tagged.data(), static_cast<size_t>(walk.frames[0].length));
    EXPECT_TRUE(tag.lame.present);
    // The delay's 12 bits, then the LAME tag CRC over the frame's bytes before it.
    uint8_t* lameBytes = tagged.data() + tag.tagOffset + 120;
    const int delay = 3000;
    lameBytes[21] = static_cast<uint8_t>(delay >> 4);
    lameBytes[22] = static_cast<uint8_t>((delay & 15) << 4 | (lameBytes[22] & 15));
    uint16_t crc = 0;
    for (const uint8_t* p = tagged.data(); p < lameBytes + 34; ++p) {
        crc ^= *p;
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    lameBytes[34] = static_cast<uint8_t>(crc >> 8);
    lameBytes[35] = static_cast<uint8_t>(crc);
    return tagged;
}

// A split's first piece starts as the input does. Frames that hold only samples the
// encoder delay hides (a delay of two frames and more: a fuzz finding's 3663 samples, a
// piece cut from a stream's 2576) were once in no piece, and the pieces joined lacked them;
// so were those of a kept start where the delay reaches more than 4 frames in (a second
// finding, and a blind cut given a delay of 3000). Now they join back into the input's
// frames, and play its samples.
TEST(SplitAndJoin, FramesTheDelayHidesAreInTheFirstPiece) {
    TempDir dir;
    ASSERT_EQ(runProgram(dir, L3_EXE,
                         "cut --from-sample 2000 " +
                             shellQuote(lame("m1_44k_joint_cbr128.mp3").string()) + " cut.mp3")
                  .exitCode,
              0);
    dir.write("long_delay.mp3", blindStartWithALongDelay(dir));
    const fs::path regressions = fs::path(TEST_DATA_DIR) / "regressions" / "edit";
    const std::pair<std::string, int> cases[] = {
        {dir.path("cut.mp3"), 1000},
        {dir.path("long_delay.mp3"), 4000},
        {(regressions / "split_delay_hides_whole_frames.mp3").string(), 1497},
        {(regressions / "split_delay_hides_a_kept_start.mp3").string(), 5809}};
    for (const auto& [file, at] : cases) {
        SCOPED_TRACE(file);
        // (The fuzz findings' Info frames count frames they lack: salvaged.)
        const auto split =
            runProgram(dir, L3_EXE, "split -f --salvage --samples --at " + std::to_string(at) +
                                        " " + shellQuote(file) + " part-%d.mp3");
        ASSERT_EQ(split.exitCode, 0) << split.err;
        const auto join = runProgram(dir, L3_EXE, "join -f -o joined.mp3 part-1.mp3 part-2.mp3");
        ASSERT_EQ(join.exitCode, 0) << join.err;
        expectSameFrames(readAll(file), dir.read("joined.mp3"));
    }
    L3_REQUIRE_TOOL("mpg123");
    for (const auto& [file, at] : {std::pair{"cut.mp3", 1000}, std::pair{"long_delay.mp3", 4000}}) {
        SCOPED_TRACE(file);
        ASSERT_EQ(runProgram(dir, L3_EXE,
                             "split -f --samples --at " + std::to_string(at) + " " + file +
                                 " part-%d.mp3")
                      .exitCode,
                  0);
        std::vector<int16_t> pieces = decode(dir, "part-1.mp3", true);
        const std::vector<int16_t> second = decode(dir, "part-2.mp3", true);
        pieces.insert(pieces.end(), second.begin(), second.end());
        EXPECT_FALSE(pieces.empty());
        EXPECT_TRUE(pieces == decode(dir, file, true));
    }
}

// A fuzz finding: a stream whose kept start holds a frame without main data between two
// undecodable ones (none of its frames has main data). Its split's first piece keeps that
// start as it is, and join once refused the second undecodable frame for following a frame
// that is not; the pieces now join back into the input's frames.
TEST(SplitAndJoin, AKeptStartWithAFrameBetweenUndecodableOnesJoinsBack) {
    TempDir dir;
    const fs::path file = fs::path(TEST_DATA_DIR) / "regressions" / "edit" /
                          "join_kept_start_with_an_empty_frame.mp3";
    // (A stream without a LAME extension whose first frames are kept as they are: its pieces
    // start at frame edges, here after the first frame; its junk is salvaged.)
    const auto split =
        runProgram(dir, L3_EXE, "split --salvage --samples --at 576 " +
                                    shellQuote(file.string()) + " part-%d.mp3");
    ASSERT_EQ(split.exitCode, 0) << split.err;
    const auto join =
        runProgram(dir, L3_EXE, "join --salvage -o joined.mp3 part-1.mp3 part-2.mp3");
    ASSERT_EQ(join.exitCode, 0) << join.err;
    expectSameFrames(readAll(file), dir.read("joined.mp3"));
}

namespace cutstarts {

l3::CutResult cutSamples(const std::vector<uint8_t>& in, int64_t from, int64_t to) {
    const l3::TimePoint a{true, from, 1}, b{true, to, 1};
    return l3::cutStream(in.data(), in.size(), a, &b);
}

// Starts a piece of a stream that changes its channel count may take: in runs of 5 frames
// of 1152 samples (mono first or stereo first), a piece plays as the input does (the
// tests/judges script checks it in the decoders) only where its first frames have the first
// played frame's count and, starting in one channel, no frame of two channels before it
// leaves state the piece cannot hold; the others are refused, naming the change.
TEST(Cut, StartsOfAStreamThatChangesItsChannelCount) {
    struct Case {
        bool startMono;
        int64_t from, to;  // raw samples (no tag frame: the timeline starts at the first)
        bool made;
    } cases[] = {
        {true, 2 * 1152 + 100, 9000, true},     // in the first mono run: nothing before it
        {true, 7 * 1152 + 100, 16000, true},    // in the first stereo run, far from its start
        {true, 5 * 1152 + 100, 9000, false},    // a stereo frame whose frames before are mono
        {true, 12 * 1152 + 100, 16000, true},   // mono again, up to the end of the run
        {true, 12 * 1152 + 100, 18000, false},  // and into the next stereo run
        {false, 7 * 1152 + 300, 11000, true},   // mono after stereo, within its run
        {false, 7 * 1152 + 300, 15000, false},  // and into stereo at frame 10
        {false, 2 * 1152 + 100, 9000, true},    // the first stereo run
        {false, 12 * 1152 + 100, 20000, true},  // stereo after mono, far enough in
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.startMono) + " " + std::to_string(c.from) + ".." +
                     std::to_string(c.to));
        const auto s = l3test::crafted::modeSwitching(44100, 5, c.startMono, 2);
        const l3::CutResult r = cutSamples(s.odd, c.from, c.to);
        EXPECT_EQ(r.status == l3::Status::ok, c.made) << r.message;
        if (!c.made) {
            EXPECT_EQ(r.status, l3::Status::outOfRange);
            EXPECT_NE(r.message.find("between one channel and two"), std::string::npos)
                << r.message;
        }
    }
}

// ffmpeg passes over a stream's first frames until three in a row agree on channel mode,
// copyright, original and emphasis. A conformance stream whose frames change those bits
// one by one: every piece starts with three frames that agree (a filler frame copies the
// first frame's header), as read back.
TEST(Cut, PiecesStartWithThreeFramesFfmpegTakes) {
    const std::vector<uint8_t> in =
        readAll(fs::path(TEST_DATA_DIR) / "vectors" / "l3-hecommon.bit");
    for (const int64_t from : {1000, 4000, 8640, 10000, 12000, 15000}) {
        SCOPED_TRACE(from);
        const l3::CutResult r = cutSamples(in, from, from + 9000);
        ASSERT_EQ(r.status, l3::Status::ok) << r.message;
        const l3::SpillBytes& out = r.pieces.at(0).output;
        const l3::FrameWalk walk = l3::walkFrames(out.data(), out.size());
        ASSERT_GE(walk.frames.size(), 4u);
        for (size_t k = 2; k < 4; ++k)  // after the Info frame
            EXPECT_EQ(walk.frames[k].header & 0xFFFE0CCFu, walk.frames[1].header & 0xFFFE0CCFu)
                << k;
    }
}

}  // namespace cutstarts
