// The built l3 program on files: every clean fixture checks ok, damaged copies are damaged
// with the right kinds in text and in JSON (parsed, not compared as text), the exit codes,
// the help texts, info's JSON and plot, and agreement with mp3val where it flags a file.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "damage.h"
#include "support/record_file.h"
#include "support/tools.h"

namespace {

using l3test::frameOffset;
using l3test::lameFixture;
using l3test::runProgram;
using l3test::shellQuote;
using l3test::TempDir;

namespace fs = std::filesystem;

l3test::ProgramResult l3(const TempDir& dir, const std::string& args) {
    return runProgram(dir, L3_EXE, args);
}

std::string fixturePath(const std::string& name) {
    return (fs::path(TEST_DATA_DIR) / "lame" / name).string();
}

// Runs python3 on the program's JSON output with a script that prints one line.
std::string pythonOnJson(const TempDir& dir, const std::string& json, const std::string& script) {
    dir.write("out.json", std::vector<uint8_t>(json.begin(), json.end()));
    dir.write("read.py", std::vector<uint8_t>(script.begin(), script.end()));
    const l3test::ProgramResult r = runProgram(dir, "python3", "read.py out.json");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

TEST(L3Check, EveryCleanFixtureIsOk) {
    TempDir dir;
    std::string args;
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(TEST_DATA_DIR) / "lame")) {
        if (entry.path().extension() != ".mp3") continue;
        args += shellQuote(entry.path().string()) + " ";
        ++count;
    }
    ASSERT_GE(count, 27u);
    const l3test::ProgramResult r = l3(dir, "check " + args);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    size_t okLines = 0;
    for (size_t at = 0; (at = r.out.find(": ok (", at)) != std::string::npos; ++at) ++okLines;
    EXPECT_EQ(okLines, count) << r.out;
}

TEST(L3Check, ExitCodes) {
    TempDir dir;
    std::vector<uint8_t> cut = lameFixture("m1_44k_msforced_cbr96_notag.mp3");
    cut.erase(cut.end() - 40, cut.end());
    dir.write("cut.mp3", cut);
    const struct {
        std::string args;
        int exitCode;
    } cases[] = {
        {"check " + shellQuote(fixturePath("m1_44k_joint_cbr128.mp3")), 0},
        {"check cut.mp3", 3},
        {"check " + shellQuote(fixturePath("m1_44k_joint_cbr128.mp3")) + " cut.mp3", 3},
        {"check missing.mp3", 2},
        {"check cut.mp3 missing.mp3", 2},
        {"check", 1},
        {"check --frobnicate cut.mp3", 1},
        {"frobnicate", 1},
        {"", 1},
        {"info", 1},
        {"info missing.mp3", 2},
    };
    for (const auto& c : cases) {
        const l3test::ProgramResult r = l3(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << "l3 " << c.args << "\n" << r.out << r.err;
    }
    const l3test::ProgramResult missing = l3(dir, "check missing.mp3");
    EXPECT_NE(missing.err.find("l3 check: missing.mp3: "), std::string::npos) << missing.err;
}

TEST(L3Check, TextNamesFramesAndLimitsTheList) {
    TempDir dir;
    std::vector<uint8_t> bytes = lameFixture("m1_44k_msforced_cbr96_notag.mp3");
    // Junk in front of 25 frames: each of them is a resynchronisation whose
    // main_data_begin reaches back across junk.
    for (size_t k = 30; k >= 5; --k)
        bytes.insert(bytes.begin() + static_cast<long>(frameOffset(bytes, k)), 3, 0x00);
    dir.write("many.mp3", bytes);
    const l3test::ProgramResult r = l3(dir, "check many.mp3");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.out.find("many.mp3: damaged ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("junk"), std::string::npos);
    EXPECT_NE(r.out.find("... and "), std::string::npos) << r.out;
    size_t lines = 0;
    for (char c : r.out) lines += c == '\n';
    EXPECT_EQ(lines, 1u + 20u + 1u + 1u) << r.out;  // and what --salvage would repair
    EXPECT_NE(r.out.find("l3 repack --salvage repairs 53 of these faults"), std::string::npos)
        << r.out;
}

TEST(L3Check, JsonListsFilesAndFaults) {
    L3_REQUIRE_TOOL("python3");
    TempDir dir;
    std::vector<uint8_t> bytes = lameFixture("m1_44k_joint_cbr128_crc.mp3");
    const size_t frame6 = frameOffset(bytes, 6);
    bytes[frame6 + 9] ^= 0x10;
    dir.write("crc.mp3", bytes);
    const std::string clean = fixturePath("m1_44k_joint_cbr128.mp3");
    const l3test::ProgramResult r = l3(dir, "check --json " + shellQuote(clean) + " crc.mp3");
    EXPECT_EQ(r.exitCode, 3);
    const std::string summary = pythonOnJson(dir, r.out, R"(
import json, sys
files = json.load(open(sys.argv[1]))
out = []
for f in files:
    kinds = ",".join("%s@%s@%s" % (x["kind"], x["frame"], x["offset"]) for x in f["faults"]
                     if x["kind"] == "crc_mismatch")
    out.append("%s %s %d %s" % (f["file"].split("/")[-1], f["verdict"], f["frames"], kinds))
print("|".join(out))
)");
    EXPECT_EQ(summary, "m1_44k_joint_cbr128.mp3 ok 40 |crc.mp3 damaged 40 crc_mismatch@6@" +
                           std::to_string(frame6) + "\n");
}

// Verdicts and exit codes over several files: unsupported audio (Layer II, free format) is
// not damage and ranks below it; an ID3v2 tag appended at the end is a tag, not junk.
TEST(L3Check, UnsupportedAudioAndAppendedTags) {
    L3_REQUIRE_TOOL("python3");
    TempDir dir;
    const std::string layer2 = shellQuote((fs::path(TEST_DATA_DIR) / "other/layer2.mp2").string());
    const std::string free = shellQuote((fs::path(TEST_DATA_DIR) / "vectors/l3-he_free.bit").string());
    std::vector<uint8_t> tagged = lameFixture("m1_44k_joint_cbr128.mp3");
    // An ID3v2.4 tag with a footer: header, one TIT2 frame, footer ("3DI").
    const std::string title = "\x03" "at the end";
    std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0, 0};
    const uint8_t frame[] = {'T', 'I', 'T', '2', 0, 0, 0, static_cast<uint8_t>(title.size()), 0, 0};
    tag.insert(tag.end(), frame, frame + sizeof frame);
    tag.insert(tag.end(), title.begin(), title.end());
    tag[9] = static_cast<uint8_t>(tag.size() - 10);
    std::vector<uint8_t> footer(tag.begin(), tag.begin() + 10);
    footer[0] = '3', footer[1] = 'D', footer[2] = 'I';
    tag.insert(tag.end(), footer.begin(), footer.end());
    tagged.insert(tagged.end(), tag.begin(), tag.end());
    dir.write("tagged.mp3", tagged);
    std::vector<uint8_t> cut = lameFixture("m1_44k_msforced_cbr96_notag.mp3");
    cut.erase(cut.end() - 40, cut.end());
    dir.write("cut.mp3", cut);

    const struct {
        std::string args;
        int exitCode;
    } cases[] = {
        {"check " + layer2, 4},
        {"check " + free + " tagged.mp3", 4},
        {"check tagged.mp3", 0},
        {"check " + layer2 + " cut.mp3", 3},
        {"check " + layer2 + " missing.mp3", 2},
    };
    for (const auto& c : cases) {
        const l3test::ProgramResult r = l3(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << "l3 " << c.args << "\n" << r.out << r.err;
    }
    const l3test::ProgramResult text = l3(dir, "check " + layer2);
    EXPECT_NE(text.out.find("layer2.mp2: unsupported (MPEG-1 Layer II"), std::string::npos)
        << text.out;
    const l3test::ProgramResult json = l3(dir, "check --json " + layer2 + " " + free + " tagged.mp3");
    const std::string summary = pythonOnJson(dir, json.out, R"(
import json, sys
print("|".join("%s %s %s %d %s" % (f["file"].split("/")[-1], f["verdict"], f.get("unsupported"),
                                   len(f["faults"]), ",".join(n["kind"] for n in f["notes"]))
               for f in json.load(open(sys.argv[1]))))
)");
    EXPECT_EQ(summary,
              "layer2.mp2 unsupported MPEG-1 Layer II 0 outside_bytes|l3-he_free.bit unsupported "
              "free-format MPEG-1 Layer III 0 outside_bytes|tagged.mp3 ok None 0 \n");
    const l3test::ProgramResult info = l3(dir, "info --json tagged.mp3");
    const std::string tags = pythonOnJson(dir, info.out, R"(
import json, sys
d = json.load(open(sys.argv[1]))
print(d["frames"], [(t["type"], t["size"]) for t in d["tags"]])
)");
    EXPECT_EQ(tags, "40 [('ID3v2', " + std::to_string(tag.size()) + ")]\n");
}

TEST(L3Info, JsonHoldsTheSummary) {
    L3_REQUIRE_TOOL("python3");
    TempDir dir;
    const l3test::ProgramResult r =
        l3(dir, "info --json --frames " + shellQuote(fixturePath("m1_44k_mono_id3v1v2.mp3")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string summary = pythonOnJson(dir, r.out, R"(
import json, sys
d = json.load(open(sys.argv[1]))
x = d["xing"]; l = x["lame"]
print(d["frames"], d["frames"] == x["frames"], len(d["frame_list"]) == d["frames"] + 1,
      d["samples"]["gapless"] == d["samples"]["raw"] - l["delay"] - l["padding"],
      d["sampling_rate"], d["channel_modes"], [t["type"] for t in d["tags"]],
      x["type"], l["encoder"][:4], l["tag_crc_ok"], l["music_crc_ok"], d["bitrate"]["mode"])
)");
    EXPECT_EQ(summary,
              "40 True True True 44100 ['mono'] ['ID3v2', 'ID3v1'] Info LAME True True CBR\n");
}

TEST(L3Info, TextAndPlot) {
    TempDir dir;
    const l3test::ProgramResult r =
        l3(dir, "info --plot rate.svg " + shellQuote(fixturePath("m2_22k_joint_vbr5.mp3")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line : {"MPEG-2 Layer III, 22050 Hz, joint stereo", "VBR, min 8",
                             "Xing frame:  frames 41", "22050 samples played", "music ok"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    const std::string svg = dir.readText("rate.svg");
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.find("</svg>"), svg.size() - 7);
    // one polyline per panel, each with a point per frame
    size_t lines = 0;
    for (size_t at = 0; (at = svg.find("<polyline", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 2u);
}

TEST(L3Help, OneTableForEveryHelp) {
    TempDir dir;
    const l3test::ProgramResult top = l3(dir, "--help");
    EXPECT_EQ(top.exitCode, 0);
    for (const char* command : {"info", "check"}) {
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << top.out;
        const l3test::ProgramResult help = l3(dir, std::string("help ") + command);
        const l3test::ProgramResult option = l3(dir, std::string(command) + " --help");
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out, option.out);
        EXPECT_EQ(help.out.rfind(std::string("usage: l3 ") + command, 0), 0u) << help.out;
    }
    const l3test::ProgramResult version = l3(dir, "--version");
    EXPECT_EQ(version.out.rfind("l3 ", 0), 0u);
}

// True when mp3val's report has a warning other than the absence of tags, which it gives
// for every untagged file.
bool mp3valComplains(const std::string& report) {
    size_t at = 0;
    while ((at = report.find("WARNING", at)) != std::string::npos) {
        const size_t end = report.find('\n', at);
        if (report.substr(at, end - at).find("No supported tags") == std::string::npos) return true;
        at = end;
    }
    return false;
}

// Where mp3val finds fault with one of our damaged copies, l3 check does too.
TEST(L3Check, DamagedWhereMp3valSaysSo) {
    L3_REQUIRE_TOOL("mp3val");
    TempDir dir;
    std::vector<uint8_t> plain = lameFixture("m1_44k_msforced_cbr96_notag.mp3");
    std::vector<uint8_t> cut = plain;
    cut.erase(cut.end() - 40, cut.end());
    std::vector<uint8_t> junk = plain;
    junk.insert(junk.begin() + static_cast<long>(frameOffset(junk, 10)), 100, 0x55);
    std::vector<uint8_t> crc = lameFixture("m1_44k_joint_cbr128_crc.mp3");
    crc[frameOffset(crc, 6) + 9] ^= 0x10;
    std::vector<uint8_t> xing = lameFixture("m1_44k_joint_cbr128.mp3");
    xing[36 + 8 + 3] ^= 1;
    std::vector<uint8_t> joined = plain;
    const auto other = lameFixture("m1_48k_stereo_clicks_cbr256.mp3");
    joined.insert(joined.end(), other.begin(), other.end());
    const std::pair<const char*, std::vector<uint8_t>*> files[] = {{"cut.mp3", &cut},
                                                                   {"junk.mp3", &junk},
                                                                   {"crc.mp3", &crc},
                                                                   {"xing.mp3", &xing},
                                                                   {"joined.mp3", &joined}};
    size_t flagged = 0;
    for (const auto& [name, bytes] : files) {
        dir.write(name, *bytes);
        const l3test::ProgramResult v = runProgram(dir, "mp3val", name);
        if (!mp3valComplains(v.out)) continue;
        ++flagged;
        EXPECT_EQ(l3(dir, std::string("check ") + name).exitCode, 3) << name << ": " << v.out;
    }
    EXPECT_GT(flagged, 0u) << "mp3val flagged none of the damaged files";
}

}  // namespace

namespace {

// A 16-bit PCM WAV file of a signal that makes an encoder use every block type and the
// reservoir: tones, a noise burst after silence, a loud square wave.
std::vector<uint8_t> testWav(int rate, int channels, int seconds) {
    const uint32_t frames = static_cast<uint32_t>(rate * seconds);
    const uint32_t dataBytes = frames * static_cast<uint32_t>(channels) * 2;
    std::vector<uint8_t> wav(44 + dataBytes);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) wav[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::memcpy(wav.data(), "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put32(20, 1 | static_cast<uint32_t>(channels) << 16);
    put32(24, static_cast<uint32_t>(rate));
    put32(28, static_cast<uint32_t>(rate * channels * 2));
    put32(32, static_cast<uint32_t>(channels * 2) | 16u << 16);
    std::memcpy(wav.data() + 36, "data", 4);
    put32(40, dataBytes);
    uint32_t noise = 12345;
    size_t at = 44;
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const int part = static_cast<int>(4 * t) % 4;  // quarter-second sections
        for (int ch = 0; ch < channels; ++ch) {
            noise = noise * 1103515245u + 12345u;
            const double white = static_cast<double>((noise >> 16) & 0x7FFF) / 16384.0 - 1.0;
            double v = 0;
            if (part == 0) v = 0.3 * std::sin(2 * M_PI * (440 + 110 * ch) * t);
            if (part == 1) v = std::fmod(t, 0.25) > 0.2 ? 0.8 * white : 0.0;
            if (part == 2) v = std::sin(2 * M_PI * 1000 * t) > 0 ? 0.7 : -0.7;
            if (part == 3) v = 0.2 * white + 0.2 * std::sin(2 * M_PI * 3000 * t);
            const auto sample = static_cast<int16_t>(v * 32000);
            wav[at++] = static_cast<uint8_t>(sample);
            wav[at++] = static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8);
        }
    }
    return wav;
}

// Every clean stream Debian's lame makes checks ok, whatever the version, mode and rate
// control.
TEST(L3Check, FreshLameStreamsAreOk) {
    L3_REQUIRE_TOOL("lame");
    TempDir dir;
    dir.write("in.wav", testWav(44100, 2, 3));
    const char* const options[] = {
        "-V 0",
        "-V 9",
        "--abr 128",
        "-b 320 -p",
        "-m m -b 32",
        "-m d -b 192",
        "-m f -b 96 --nores",
        "--resample 22.05 -V 5 -p",
        "--resample 8 -b 16",
        "--resample 11.025 -m m -b 8 -p",
    };
    for (const char* o : options) {
        const l3test::ProgramResult enc =
            runProgram(dir, "lame", std::string("--quiet ") + o + " in.wav out.mp3");
        ASSERT_EQ(enc.exitCode, 0) << o << enc.err;
        const l3test::ProgramResult r = l3(dir, "check out.mp3");
        EXPECT_EQ(r.exitCode, 0) << "lame " << o << "\n" << r.out;
    }
}

}  // namespace
