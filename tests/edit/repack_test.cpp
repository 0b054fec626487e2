// l3 repack on real streams: every decoded value stays (our decoder), the decoded PCM
// stays (mpg123, where installed), the Xing/Info frame and the LAME extension are right
// (read back by a parser written here), and the options do what they say.

#include "l3/edit.h"
#include "edit/source_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "support/frame_scans.h"
#include "l3/assemble.h"
#include "l3/band_edges.h"
#include "format/scalefactor_layout.h"
#include "l3/frame_length.h"
#include "inspect/frame_walk.h"
#include "maindata/granule_coder.h"
#include "support/crafted_streams.h"
#include "support/decoders.h"
#include "support/record_file.h"
#include "support/tools.h"

namespace {

namespace fs = std::filesystem;
using l3test::Decoder;
using l3test::TempDir;

std::vector<uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The LAME extension's CRC, bit by bit: polynomial 0x8005 reflected, initial 0.
uint16_t bitwiseLameCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// The decoded content of every audio frame: what a decoder computes samples from.
struct Decoded {
    uint32_t header;  // less bit rate, padding and protection
    std::vector<int32_t> fields;
    std::vector<int16_t> spectrum;
    std::vector<uint16_t> scalefactors;
};

std::vector<Decoded> decodeAudio(std::span<const uint8_t> bytes) {
    const auto layout = l3test::scanCarried(bytes.data(), bytes.size());
    EXPECT_FALSE(layout.frames.empty());
    std::vector<uint8_t> mainData;
    std::vector<int64_t> areaStart;
    for (const l3::WalkFrame& f : layout.frames) {
        areaStart.push_back(8 * static_cast<int64_t>(mainData.size()));
        mainData.insert(
            mainData.end(),
            bytes.begin() + static_cast<ptrdiff_t>(f.offset) + l3::headByteCount(f.header),
            bytes.begin() + static_cast<ptrdiff_t>(f.offset) + f.length);
    }
    mainData.resize(mainData.size() + 8, 0);
    std::vector<Decoded> frames;
    auto record = std::make_unique<l3::FrameRecord>();
    for (size_t k = 0; k < layout.frames.size(); ++k) {
        const uint8_t* frame = bytes.data() + layout.frames[k].offset;
        const size_t tagAt = 4 + static_cast<size_t>(l3::sideInfoBytes(layout.frames[k].header));
        if (k == 0 && (std::memcmp(frame + tagAt, "Xing", 4) == 0 ||
                       std::memcmp(frame + tagAt, "Info", 4) == 0))
            continue;
        l3::readSideInfo(frame, *record);
        const int64_t start = areaStart[k] - 8 * int64_t{record->main_data_begin};
        EXPECT_EQ(l3::readMainData(mainData.data(), start, *record).why, nullptr) << "frame " << k;
        Decoded d;
        d.header = record->header & ~0x1F200u;
        for (int gr = 0; gr < l3::granuleCount(record->header); ++gr)
            for (int ch = 0; ch < l3::channelCount(record->header); ++ch) {
                const l3::GranuleChannelInfo& g = record->granuleInfo[gr][ch];
                d.fields.insert(d.fields.end(),
                                {g.global_gain, g.window_switching_flag, g.block_type,
                                 g.mixed_block_flag, g.subblock_gain[0], g.subblock_gain[1],
                                 g.subblock_gain[2], g.preflag, g.scalefac_scale});
                d.spectrum.insert(d.spectrum.end(), record->spectrum[gr][ch],
                                  record->spectrum[gr][ch] + 576);
                d.scalefactors.insert(d.scalefactors.end(), record->scalefactors[gr][ch],
                                      record->scalefactors[gr][ch] + 78);
            }
        frames.push_back(std::move(d));
    }
    return frames;
}

void expectSameDecodedValues(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const std::vector<Decoded> x = decodeAudio(a), y = decodeAudio(b);
    ASSERT_EQ(x.size(), y.size());
    for (size_t k = 0; k < x.size(); ++k) {
        ASSERT_EQ(x[k].header, y[k].header) << "frame " << k;
        ASSERT_EQ(x[k].fields, y[k].fields) << "frame " << k;
        ASSERT_TRUE(x[k].spectrum == y[k].spectrum) << "frame " << k;
        ASSERT_TRUE(x[k].scalefactors == y[k].scalefactors) << "frame " << k;
    }
}

// The first frame after a leading ID3v2 tag, read as a Xing/Info frame.
struct TagFrame {
    bool present = false;
    bool info = false;
    uint32_t frames = 0, bytes = 0;
    std::vector<uint8_t> toc;
    bool lame = false;
    int delay = 0, padding = 0;
    bool tagCrcRight = false, musicCrcRight = false;
    uint32_t musicLength = 0;
};

TagFrame readTagFrame(std::span<const uint8_t> file, size_t musicEnd) {
    TagFrame t;
    size_t at = 0;
    if (file.size() > 10 && std::memcmp(file.data(), "ID3", 3) == 0)
        at = 10 + (size_t{file[6]} << 21 | size_t{file[7]} << 14 | size_t{file[8]} << 7 | file[9]);
    const uint8_t* frame = file.data() + at;
    const uint32_t header = be32(frame);
    const bool mono = ((header >> 6) & 3) == 3;
    const bool mpeg1 = (header >> 19) & 1;
    const size_t tag = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (std::memcmp(frame + tag, "Xing", 4) != 0 && std::memcmp(frame + tag, "Info", 4) != 0)
        return t;
    t.present = true;
    t.info = frame[tag] == 'I';
    const uint32_t flags = be32(frame + tag + 4);
    EXPECT_EQ(flags, 15u);
    t.frames = be32(frame + tag + 8);
    t.bytes = be32(frame + tag + 12);
    t.toc.assign(frame + tag + 16, frame + tag + 116);
    const uint8_t* lame = frame + tag + 120;
    t.lame = std::isalpha(lame[0]) != 0;
    if (t.lame) {
        t.delay = lame[21] << 4 | lame[22] >> 4;
        t.padding = (lame[22] & 15) << 8 | lame[23];
        t.musicLength = be32(lame + 28);
        const size_t frameLength = static_cast<size_t>(l3::frameLength(header));
        const uint16_t music = bitwiseLameCrc(frame + frameLength, musicEnd - at - frameLength);
        t.musicCrcRight = (lame[32] << 8 | lame[33]) == music;
        const uint16_t tagCrc = bitwiseLameCrc(frame, static_cast<size_t>(lame + 34 - frame));
        t.tagCrcRight = (lame[34] << 8 | lame[35]) == tagCrc;
    }
    return t;
}

// Bytes of the file that are frames: less the tags at either end.
size_t musicEnd(std::span<const uint8_t> file) {
    const auto layout = l3test::scanCarried(file.data(), file.size());
    return layout.frames.back().offset + static_cast<size_t>(layout.frames.back().length);
}

std::vector<fs::path> lameFixtures() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(fs::path(TEST_DATA_DIR) / "lame"))
        if (e.path().extension() == ".mp3") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(Repack, KeepsEveryDecodedValueAndTheTagFrameRight) {
    for (const fs::path& file : lameFixtures()) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> in = readAll(file);
        for (const l3::CrcChoice crc : {l3::CrcChoice::keep, l3::CrcChoice::add}) {
            const l3::RepackResult r = l3::repackStream(in.data(), in.size(), {0, 0, crc});
            ASSERT_EQ(r.status, l3::Status::ok) << r.message;
            EXPECT_LE(r.output.size(), in.size() + (r.vbr ? 2 * 1441 : 0));
            expectSameDecodedValues(in, r.output);

            const TagFrame before = readTagFrame(in, musicEnd(in));
            const TagFrame after = readTagFrame(r.output, musicEnd(r.output));
            ASSERT_EQ(after.present, before.present);
            if (!after.present) continue;
            EXPECT_EQ(after.info, !r.vbr);
            EXPECT_EQ(after.frames, r.frames);
            size_t start = musicEnd(r.output) - after.bytes;
            EXPECT_EQ(be32(r.output.data() + start) >> 21, 0x7FFu) << "byte count";
            EXPECT_TRUE(std::is_sorted(after.toc.begin(), after.toc.end()));
            EXPECT_EQ(after.lame, before.lame);
            if (before.lame) {
                EXPECT_EQ(after.delay, before.delay);
                EXPECT_EQ(after.padding, before.padding);
                EXPECT_EQ(after.musicLength, after.bytes);
                EXPECT_TRUE(after.musicCrcRight);
                EXPECT_TRUE(after.tagCrcRight);
            }
        }
    }
}

TEST(Repack, TagsStayJunkAndACutLastFrameGoOnlyWhenSalvaging) {
    const std::vector<uint8_t> in =
        readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_mono_id3v1v2.mp3");
    const size_t id3v2 =
        10 + (size_t{in[6]} << 21 | size_t{in[7]} << 14 | size_t{in[8]} << 7 | in[9]);
    // Junk between two frames, and the last frame cut short before the ID3v1 tag.
    const auto layout = l3test::scanCarried(in.data(), in.size());
    const size_t third = layout.frames[3].offset;
    const size_t last = layout.frames.back().offset;
    std::vector<uint8_t> damaged(in.begin(), in.begin() + static_cast<ptrdiff_t>(third));
    damaged.insert(damaged.end(), {'j', 'u', 'n', 'k', 0, 1, 2});
    damaged.insert(damaged.end(), in.begin() + static_cast<ptrdiff_t>(third),
                   in.begin() + static_cast<ptrdiff_t>(last + 100));
    damaged.insert(damaged.end(), in.end() - 128, in.end());

    // Decoders differ on all three (they resynchronise each their own way; ffmpeg plays part
    // of the cut frame; the Info frame's byte count no longer holds): refused, naming the
    // first in the file, unless salvaging.
    const l3::RepackResult refused = l3::repackStream(damaged.data(), damaged.size(), {});
    EXPECT_EQ(refused.status, l3::Status::damaged);
    EXPECT_NE(refused.message.find("frame 0 (offset " + std::to_string(id3v2) +
                                   "): xing_mismatch: the Info tag counts 40 frames"),
              std::string::npos)
        << refused.message;
    EXPECT_TRUE(refused.output.empty());
    l3::RepackOptions salvage;
    salvage.salvage = true;
    const l3::RepackResult r = l3::repackStream(damaged.data(), damaged.size(), salvage);
    ASSERT_EQ(r.status, l3::Status::ok) << r.message;
    ASSERT_EQ(r.notes.size(), 3u);
    EXPECT_NE(r.notes[0].find("7 bytes of junk at offset " + std::to_string(third)),
              std::string::npos)
        << r.notes[0];
    EXPECT_NE(r.notes[1].find("cut short (100 bytes"), std::string::npos) << r.notes[1];
    EXPECT_NE(r.notes[2].find("xing_mismatch"), std::string::npos) << r.notes[2];
    EXPECT_TRUE(
        std::equal(in.begin(), in.begin() + static_cast<ptrdiff_t>(id3v2), r.output.begin()));
    EXPECT_TRUE(std::equal(in.end() - 128, in.end(), r.output.end() - 128));
    EXPECT_EQ(r.frames, layout.frames.size() - 2);  // less the Info frame and the cut one
}

TEST(Repack, CbrOptions) {
    const std::vector<uint8_t> in =
        readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_clicks_vbr0.mp3");
    // The smallest single rate: every frame at it, an Info frame, the values kept.
    const l3::RepackResult best = l3::repackStream(in.data(), in.size(), {0, -1, {}});
    ASSERT_EQ(best.status, l3::Status::ok) << best.message;
    EXPECT_FALSE(best.vbr);
    EXPECT_TRUE(readTagFrame(best.output, musicEnd(best.output)).info);  // Info: CBR now
    expectSameDecodedValues(in, best.output);
    const auto layout = l3test::scanCarried(best.output.data(), best.output.size());
    std::map<int, int> rates;
    // The Info frame (frame 0) has a rate of its own.
    for (size_t k = 1; k < layout.frames.size(); ++k)
        ++rates[l3::bitrateIndex(layout.frames[k].header)];
    EXPECT_EQ(rates.size(), 1u);
    const int kbps = l3::bitrateTable[1][rates.begin()->first] / 1000;

    // One step below it fails, naming a frame and that rate.
    const int below = l3::bitrateTable[1][rates.begin()->first - 1] / 1000;
    const l3::RepackResult tooSmall = l3::repackStream(in.data(), in.size(), {0, below, {}});
    EXPECT_EQ(tooSmall.status, l3::Status::cannotFit);
    EXPECT_NE(tooSmall.message.find("cannot fit at " + std::to_string(below) +
                                    " kbit/s; the smallest single rate that fits is " +
                                    std::to_string(kbps) + " kbit/s"),
              std::string::npos)
        << tooSmall.message;

    // A floor: no frame below it.
    const l3::RepackResult floor = l3::repackStream(in.data(), in.size(), {96, 0, {}});
    ASSERT_EQ(floor.status, l3::Status::ok);
    const auto floorLayout = l3test::scanCarried(floor.output.data(), floor.output.size());
    for (size_t k = 1; k < floorLayout.frames.size(); ++k)
        EXPECT_GE(l3::bitrateIndex(floorLayout.frames[k].header), 7);
}

std::vector<fs::path> headerFixtures() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(fs::path(TEST_DATA_DIR) / "headers"))
        files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Each decoder judges on its own, and skips where it is missing.
class RepackJudgedBy : public testing::TestWithParam<Decoder> {
protected:
    void SetUp() override { L3_REQUIRE_TOOL(l3test::programOf(GetParam())); }
};

INSTANTIATE_TEST_SUITE_P(Decoders, RepackJudgedBy,
                         testing::Values(Decoder::mpg123, Decoder::ffmpeg, Decoder::madplay),
                         [](const testing::TestParamInfo<Decoder>& param) {
                             return std::string(l3test::programOf(param.param));
                         });

// The command on files, judged by each decoder: the same PCM, sample for sample (as the
// decoder plays it: gapless for mpg123 and ffmpeg, all of it for madplay), with and without
// --huffman; --huffman never gives a larger file. Streams with a LAME extension, without a
// VBR header (they stay at one bit rate) and with a VBRI frame or a Xing/Info frame without
// a LAME extension (they keep it).
TEST_P(RepackJudgedBy, DecodedPcmIsIdentical) {
    const Decoder judge = GetParam();
    TempDir dir;
    std::vector<fs::path> files = lameFixtures();
    for (const fs::path& file : headerFixtures()) files.push_back(file);
    for (const char* name : {"l3-si_block.bit", "l3-test45.bit", "M2L3_compl24.bit", "l3-si.bit",
                             "taglib__xing.mp3", "l3-hecommon.bit"})
        files.push_back(fs::path(TEST_DATA_DIR) / "vectors" / name);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        // ffmpeg plays what it can of a last frame cut short, which repack drops.
        if (judge == Decoder::ffmpeg && file.filename() == "taglib__xing.mp3") continue;
        const std::vector<int16_t> original = l3test::decodePcm(dir, file.string(), judge);
        ASSERT_FALSE(original.empty());
        size_t sizes[2] = {};
        for (int huffman = 0; huffman < 2; ++huffman) {
            // (taglib__xing.mp3's last frame is cut short: mpg123 plays none of it.)
            const auto run = l3test::runProgram(dir, L3_EXE,
                                                std::string("repack -f --salvage --crc drop ") +
                                                    (huffman ? "--huffman " : "") +
                                                    l3test::shellQuote(file.string()) + " out.mp3");
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_NE(run.out.find(file.string() + ": "), std::string::npos) << run.out;
            sizes[huffman] = dir.read("out.mp3").size();
            // ffmpeg ends the long band 17 of 24 kHz at another line than the others: a
            // recoding that moves a region boundary there plays otherwise in it alone.
            if (huffman && judge == Decoder::ffmpeg &&
                file.filename().string().find("compl24") != std::string::npos)
                continue;
            std::string errors;
            const std::vector<int16_t> repacked =
                l3test::decodePcm(dir, "out.mp3", judge, true, &errors);
            EXPECT_TRUE(original == repacked)
                << (huffman ? "with --huffman: " : "") << repacked.size() << " samples, not "
                << original.size() << "; " << errors;
        }
        EXPECT_LE(sizes[1], sizes[0]);
    }
}

// A stream of short granules at sampleRate (one channel) whose window 0 has scalefactors
// 4..7 and band 12 silent but for band 11's last line, and whose windows 1 and 2 have
// scalefactors 0..3 and a value at the first (window 1) or last (window 2) line of band 12:
// --huffman raises subblock_gain of window 0 and of no other.
std::vector<uint8_t> shortWindowsStream(int sampleRate) {
    const uint32_t header = l3test::crafted::headerFor(sampleRate);
    const bool mpeg1 = l3::isMpeg1(header);
    const auto& edges = l3::shortBandEdges[static_cast<size_t>(l3::bandEdgeRow(header))];
    const int width12 = 192 - edges[12];
    std::mt19937 rng(static_cast<uint32_t>(sampleRate));
    std::vector<l3test::RecordEntry> entries;
    for (int f = 0; f < 20; ++f) {
        l3::FrameRecord rec = l3test::makeRecord(header, false);
        for (int gr = 0; gr < l3::granuleCount(header); ++gr) {
            l3::GranuleChannelInfo& info = rec.granuleInfo[gr][0];
            info.window_switching_flag = 1;
            info.block_type = 2;
            info.global_gain = 180;
            info.part2_3_length = 1 << 20;
            int16_t* lines = rec.spectrum[gr][0];
            for (int line = 0; line < 3 * edges[12]; line += 1 + static_cast<int>(rng() % 3))
                lines[line] = static_cast<int16_t>(static_cast<int>(rng() % 7) - 3);
            for (int w = 0; w < 3; ++w) {
                lines[3 * edges[11] + (w + 1) * (edges[12] - edges[11]) - 1] = 2;
                for (int s = 0; s < 12; ++s)
                    rec.scalefactors[mpeg1 ? gr : 0][0][(mpeg1 ? l3::kShortBase : 0) + 3 * s + w] =
                        static_cast<uint16_t>((w == 0 ? 4 : 0) + static_cast<int>(rng() % 4));
            }
            lines[3 * edges[12] + width12] = -1;         // window 1, first line of band 12
            lines[3 * edges[12] + 3 * width12 - 1] = 1;  // window 2, last line
        }
        l3::recodeFrame(rec, 0, false);
        entries.push_back({rec, 0});
    }
    const std::vector<uint8_t> file = l3test::recordFile(entries);
    std::vector<uint8_t> out;
    const l3::AssembleResult result = l3::assembleRecords(file.data(), file.size(), nullptr, 0, out);
    EXPECT_EQ(result.status, l3::Status::ok) << result.message;
    return out;
}

// The subblock gains of every granule of every frame of a stream, in order.
std::vector<std::array<int, 3>> subblockGains(const std::vector<uint8_t>& bytes) {
    const auto layout = l3test::scanCarried(bytes.data(), bytes.size());
    std::vector<std::array<int, 3>> gains;
    l3::FrameRecord rec;
    for (const auto& frame : layout.frames) {
        l3::readSideInfo(bytes.data() + frame.offset, rec);
        for (int gr = 0; gr < l3::granuleCount(rec.header); ++gr) {
            const int32_t* g = rec.granuleInfo[gr][0].subblock_gain;
            gains.push_back({g[0], g[1], g[2]});
        }
    }
    return gains;
}

// Short windows whose scalefactors give way to subblock_gain, at every rate: the same PCM
// in each decoder, window 0's gain raised and the windows whose band 12 sounds untouched
// (a wrong band 12 edge would move a sounding line's gain, and the PCM would differ).
TEST_P(RepackJudgedBy, ShortWindowGainsPlayAsTheirScalefactorsDid) {
    const Decoder judge = GetParam();
    TempDir dir;
    for (int rate : {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000}) {
        SCOPED_TRACE(rate);
        const std::vector<uint8_t> stream = shortWindowsStream(rate);
        dir.write("in.mp3", stream);
        const auto run = l3test::runProgram(dir, L3_EXE, "repack -f --huffman in.mp3 out.mp3");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::vector<uint8_t> out = dir.read("out.mp3");
        const std::vector<std::array<int, 3>> before = subblockGains(stream), after = subblockGains(out);
        ASSERT_EQ(before.size(), after.size());
        for (size_t k = 0; k < after.size(); ++k) {
            EXPECT_GT(after[k][0], before[k][0]) << "granule " << k;
            EXPECT_EQ(after[k][1], before[k][1]) << "granule " << k;
            EXPECT_EQ(after[k][2], before[k][2]) << "granule " << k;
        }
        const std::vector<int16_t> original = l3test::decodePcm(dir, "in.mp3", judge);
        ASSERT_FALSE(original.empty());
        EXPECT_TRUE(original == l3test::decodePcm(dir, "out.mp3", judge));
    }
}

// A VBRI frame as an independent reader sees it (the fixtures' layout, see
// tests/data/make_header_fixtures.py), at the start of a file without an ID3v2 tag.
struct Vbri {
    bool present = false;
    int version = 0, delay = 0, quality = 0;
    uint32_t bytes = 0, frames = 0;
    int entries = 0, scale = 0, entryBytes = 0, framesPerEntry = 0;
    std::vector<uint32_t> toc;
};

Vbri readVbri(const std::vector<uint8_t>& file) {
    Vbri v;
    if (file.size() < 62 || std::memcmp(file.data() + 36, "VBRI", 4) != 0) return v;
    const uint8_t* p = file.data() + 36;
    auto be16 = [](const uint8_t* q) { return q[0] << 8 | q[1]; };
    v.present = true;
    v.version = be16(p + 4);
    v.delay = be16(p + 6);
    v.quality = be16(p + 8);
    v.bytes = be32(p + 10);
    v.frames = be32(p + 14);
    v.entries = be16(p + 18);
    v.scale = be16(p + 20);
    v.entryBytes = be16(p + 22);
    v.framesPerEntry = be16(p + 24);
    for (int i = 0; i < v.entries; ++i) {
        uint32_t value = 0;
        for (int b = 0; b < v.entryBytes; ++b) value = value << 8 | p[26 + i * v.entryBytes + b];
        v.toc.push_back(value);
    }
    return v;
}

// file starts with a VBRI frame whose counts and table of contents are right for its
// frames, with the fields an edit does not bring up to date as in before.
void expectVbriUpToDate(const std::vector<uint8_t>& file, const Vbri& before) {
    const Vbri v = readVbri(file);
    ASSERT_TRUE(v.present);
    EXPECT_EQ(v.version, before.version);
    EXPECT_EQ(v.delay, before.delay);
    EXPECT_EQ(v.quality, before.quality);
    EXPECT_EQ(v.entries, before.entries);
    EXPECT_EQ(v.entryBytes, before.entryBytes);
    const auto layout = l3test::scanCarried(file.data(), file.size());
    ASSERT_GT(layout.frames.size(), 1u);
    EXPECT_EQ(layout.frames[0].offset, 0u);
    // Counting the VBRI frame, as mp3val does.
    EXPECT_EQ(v.frames, layout.frames.size());
    EXPECT_EQ(v.bytes, musicEnd(file));
    const size_t audio = layout.frames.size() - 1;
    EXPECT_GE(static_cast<size_t>(v.entries * v.framesPerEntry), audio);
    for (int i = 0; i < v.entries; ++i) {
        uint32_t bytes = 0;
        for (size_t k = static_cast<size_t>(i * v.framesPerEntry);
             k < std::min(audio, static_cast<size_t>((i + 1) * v.framesPerEntry)); ++k)
            bytes += static_cast<uint32_t>(layout.frames[k + 1].length);
        EXPECT_LE(std::abs(static_cast<int64_t>(v.toc[static_cast<size_t>(i)]) * v.scale -
                           int64_t{bytes}),
                  v.scale / 2)
            << "entry " << i;
    }
}

// A VBRI frame stays one, up to date, through repack (every way), gain, and a cut of whole
// frames from the start (which is written as the stream is); a piece that hides samples
// gets a Xing/Info frame with a LAME extension, which a VBRI frame cannot carry.
TEST(Repack, AVbriFrameStaysAVbriFrameUpToDate) {
    TempDir dir;
    for (const fs::path& file : headerFixtures()) {
        const std::vector<uint8_t> in = readAll(file);
        const Vbri before = readVbri(in);
        if (!before.present) continue;
        SCOPED_TRACE(file.filename().string());
        const std::string name = l3test::shellQuote(file.string());
        for (const char* options : {"", "--huffman", "--cbr min", "--crc add", "--min-bitrate 64"}) {
            SCOPED_TRACE(options);
            const auto run =
                l3test::runProgram(dir, L3_EXE, std::string("repack -f ") + options + " " + name +
                                                    " out.mp3");
            ASSERT_EQ(run.exitCode, 0) << run.err;
            expectVbriUpToDate(dir.read("out.mp3"), before);
        }
        ASSERT_EQ(l3test::runProgram(dir, L3_EXE, "gain -f -g 2 " + name + " gain.mp3").exitCode, 0);
        expectVbriUpToDate(dir.read("gain.mp3"), before);
        const auto layout = l3test::scanCarried(in.data(), in.size());
        const int spf = l3::granuleCount(layout.frames[1].header) * 576;
        const auto whole = l3test::runProgram(
            dir, L3_EXE, "cut -f --to-sample " + std::to_string(5 * spf) + " " + name + " a.mp3");
        ASSERT_EQ(whole.exitCode, 0) << whole.err;
        expectVbriUpToDate(dir.read("a.mp3"), before);
        const auto inside =
            l3test::runProgram(dir, L3_EXE,
                               "cut -f --from-sample 100 --to-sample " + std::to_string(5 * spf) +
                                   " " + name + " b.mp3");
        ASSERT_EQ(inside.exitCode, 0) << inside.err;
        const std::vector<uint8_t> piece = dir.read("b.mp3");
        EXPECT_FALSE(readVbri(piece).present);
        EXPECT_TRUE(readTagFrame(piece, musicEnd(piece)).lame);
    }
}

// mp3val, which checks what a player seeks by, finds nothing to say of a repacked stream
// that has a VBR header or stays at one rate, where the stream before had nothing either:
// a stream without a header stays at one bit rate, a VBRI frame stays up to date.
TEST(Repack, Mp3valFindsTheResultAsRightAsTheInput) {
    L3_REQUIRE_TOOL("mp3val");
    TempDir dir;
    auto warnings = [&](const std::string& file) {
        const auto run = l3test::runProgram(dir, "mp3val", l3test::shellQuote(file));
        std::string said;
        for (size_t at = 0; (at = run.out.find("WARNING", at)) != std::string::npos; ++at) {
            const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
            if (line.find("No supported tags") == std::string::npos) said += line + "\n";
        }
        return said;
    };
    std::vector<fs::path> files = lameFixtures();
    for (const fs::path& file : headerFixtures()) files.push_back(file);
    int oneRate = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        if (!warnings(file.string()).empty()) continue;  // lame -t VBR: nothing to keep
        ASSERT_EQ(l3test::runProgram(dir, L3_EXE,
                                     "repack -f " + l3test::shellQuote(file.string()) + " out.mp3")
                      .exitCode,
                  0);
        EXPECT_EQ(warnings(dir.path("out.mp3")), "");
        const std::vector<uint8_t> out = dir.read("out.mp3");
        const auto layout = l3test::scanCarried(out.data(), out.size());
        if (readTagFrame(out, musicEnd(out)).present || readVbri(out).present) continue;
        std::map<int, int> rates;
        for (const l3::WalkFrame& f : layout.frames) ++rates[l3::bitrateIndex(f.header)];
        EXPECT_EQ(rates.size(), 1u);
        ++oneRate;
        // Asked for, the frames take the rates they need, and get no header.
        ASSERT_EQ(
            l3test::runProgram(dir, L3_EXE,
                               "repack -f --vbr " + l3test::shellQuote(file.string()) + " vbr.mp3")
                .exitCode,
            0);
        const std::vector<uint8_t> vbr = dir.read("vbr.mp3");
        EXPECT_FALSE(readTagFrame(vbr, musicEnd(vbr)).present);
        EXPECT_LE(vbr.size(), out.size());
    }
    EXPECT_GE(oneRate, 3);
}

// The ways of naming files: '-' for standard input and output, -o DIR for several files
// (-j 2), --in-place; each gives the bytes the library gives, and the input of a failed
// run is untouched.
TEST(Repack, FileNamingsGiveTheSameBytes) {
    TempDir dir;
    const fs::path a = fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3";
    const fs::path b = fs::path(TEST_DATA_DIR) / "lame/m2_22k_joint_vbr5.mp3";
    const std::vector<uint8_t> inA = readAll(a), inB = readAll(b);
    const std::vector<uint8_t> outA = l3::plainCopy(l3::repackStream(inA.data(), inA.size(), {}).output);
    const std::vector<uint8_t> outB = l3::plainCopy(l3::repackStream(inB.data(), inB.size(), {}).output);
    ASSERT_FALSE(outA.empty());

    const auto piped =
        l3test::runProgram(dir, L3_EXE, "repack - - < " + l3test::shellQuote(a.string()));
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == outA);

    std::filesystem::create_directory(dir.path("small"));
    const auto many = l3test::runProgram(dir, L3_EXE,
                                         "repack -j 2 -o small " + l3test::shellQuote(a.string()) +
                                             " " + l3test::shellQuote(b.string()));
    EXPECT_EQ(many.exitCode, 0) << many.err;
    EXPECT_TRUE(dir.read("small/" + a.filename().string()) == outA);
    EXPECT_TRUE(dir.read("small/" + b.filename().string()) == outB);
    EXPECT_NE(many.out.find("total: "), std::string::npos) << many.out;

    dir.write("copy.mp3", inB);
    const auto inPlace = l3test::runProgram(dir, L3_EXE, "repack --in-place copy.mp3");
    EXPECT_EQ(inPlace.exitCode, 0) << inPlace.err;
    EXPECT_TRUE(dir.read("copy.mp3") == outB);

    // Naming the input as the output without --in-place is refused and touches nothing.
    dir.write("same.mp3", inB);
    const auto same = l3test::runProgram(dir, L3_EXE, "repack same.mp3 same.mp3");
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_TRUE(dir.read("same.mp3") == inB);
}

// An output that is not a regular file is written in place, never replaced by one: a named
// pipe stays a pipe and its reader gets the bytes, a device stays a device (where this
// user may make one), and a symbolic link stays a link to the file that gets the bytes.
TEST(Repack, OutputsThatAreNotFilesAreWrittenInPlace) {
    TempDir dir;
    const fs::path a = fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3";
    const std::vector<uint8_t> in = readAll(a);
    const std::vector<uint8_t> out = l3::plainCopy(l3::repackStream(in.data(), in.size(), {}).output);
    const std::string input = l3test::shellQuote(a.string());
    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
    const auto piped = l3test::runProgram(
        dir, "sh", "-c " + l3test::shellQuote(std::string("timeout 60 cat fifo > got & timeout 60 \"$0\" ") +
                                              "repack " + input + " fifo; s=$?; wait; exit $s") +
                       " " + l3test::shellQuote(L3_EXE));
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_TRUE(fs::is_fifo(dir.path("fifo")));
    EXPECT_TRUE(dir.read("got") == out);

    dir.write("target.mp3", {1, 2, 3});
    fs::create_symlink("target.mp3", dir.path("link.mp3"));
    const auto linked = l3test::runProgram(dir, L3_EXE, "repack -f " + input + " link.mp3");
    EXPECT_EQ(linked.exitCode, 0) << linked.err;
    EXPECT_TRUE(fs::is_symlink(dir.path("link.mp3")));
    EXPECT_TRUE(dir.read("target.mp3") == out);

    if (::mknod(dir.path("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "making a device node needs root; the device case did not run";
    const auto device = l3test::runProgram(dir, L3_EXE, "repack " + input + " null");
    EXPECT_EQ(device.exitCode, 0) << device.err;
    EXPECT_TRUE(fs::is_character_file(dir.path("null")));
}

TEST(Repack, RefusesFramesItCannotDecodeAndWritesNothing) {
    TempDir dir;
    const fs::path bad =
        fs::path(TEST_DATA_DIR) / "vectors/l3-nonstandard-compl-sideinfo-bigvalues.bit";
    const auto run =
        l3test::runProgram(dir, L3_EXE, "repack " + l3test::shellQuote(bad.string()) + " out.mp3");
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.err.find("side_info_invalid"), std::string::npos) << run.err;
    EXPECT_FALSE(dir.exists("out.mp3"));

    // The result is made while the frames decode; a frame that does not decode still leaves
    // no bytes in the result, with or without threads.
    const std::vector<uint8_t> in = readAll(bad);
    for (int threads : {1, 2}) {
        l3::RepackOptions options;
        options.threads = threads;
        const l3::RepackResult refused = l3::repackStream(in.data(), in.size(), options);
        EXPECT_EQ(refused.status, l3::Status::damaged);
        EXPECT_TRUE(refused.output.empty()) << threads;
    }
}

// What runs beside the decoding starts once the frames' extents are in, whether or not the
// decoding then fails, and is over when the reading returns; it does not start when no frame
// is found.
TEST(Repack, WorkBesideTheDecodingIsJoinedOnEveryWayOut) {
    const fs::path dir = fs::path(TEST_DATA_DIR);
    const std::vector<uint8_t> noise(5000, 0x55);
    const struct {
        std::vector<uint8_t> bytes;
        bool reads, runs;
    } cases[] = {
        {readAll(dir / "lame/m1_44k_joint_cbr128.mp3"), true, true},
        {readAll(dir / "vectors/l3-nonstandard-compl-sideinfo-bigvalues.bit"), false, true},
        {noise, false, false},
    };
    for (const auto& c : cases) {
        for (int threads : {1, 2}) {
            l3::SourceStream src;
            l3::SourceProblem problem;
            std::atomic<size_t> framesSeen{0};
            std::atomic<bool> done{false};
            const bool read = l3::readSource(
                c.bytes.data(), c.bytes.size(), l3::SourcePass::decode, threads, src, problem,
                nullptr, [&] {
                    framesSeen = src.frames.size();
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    done = true;
                });
            EXPECT_EQ(read, c.reads) << problem.message;
            EXPECT_EQ(done.load(), c.runs) << "threads " << threads;
            EXPECT_EQ(framesSeen.load(), c.runs ? src.frames.size() : 0);
        }
    }
}

}  // namespace

namespace {

// A stream of some 2600 frames (a tagless fixture again and again), so that frames are
// decoded in parts on several threads; breakAt names frames whose big_values is set past 288.
std::vector<uint8_t> longStream(const std::vector<size_t>& breakAt) {
    const std::vector<uint8_t> one = readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_vbr5_notag.mp3");
    std::vector<uint8_t> all;
    std::vector<size_t> starts;
    for (int copy = 0; copy < 65; ++copy) {
        for (size_t at = 0; at + 4 <= one.size();) {
            const uint32_t h = be32(one.data() + at);
            const size_t length = static_cast<size_t>(l3::frameLength(h));
            starts.push_back(all.size() + at);
            at += length;
        }
        all.insert(all.end(), one.begin(), one.end());
    }
    for (size_t k : breakAt) {
        // Granule 0, channel 0: big_values follows 20 bits of the side information and the
        // 12 of part2_3_length (MPEG-1, two channels, no CRC).
        uint8_t* side = all.data() + starts[k] + 4;
        for (int bit = 32; bit < 41; ++bit) side[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
    }
    return all;
}

}  // namespace

// Frames are decoded in parts on several threads: the same bytes as on one, and the first
// frame that cannot be decoded is the one named, whichever part it falls in.
TEST(Repack, ThreadsChangeNothing) {
    const std::vector<uint8_t> whole = longStream({});
    for (bool huffman : {false, true}) {
        l3::RepackOptions one, two;
        one.huffman = two.huffman = huffman;
        two.threads = 2;
        const l3::RepackResult a = l3::repackStream(whole.data(), whole.size(), one);
        const l3::RepackResult b = l3::repackStream(whole.data(), whole.size(), two);
        ASSERT_EQ(a.status, l3::Status::ok) << a.message;
        ASSERT_GT(a.frames, 2000u);
        EXPECT_TRUE(a.output == b.output) << "huffman " << huffman;
    }
    for (const std::vector<size_t>& bad : std::vector<std::vector<size_t>>{{2500}, {300, 2500}, {1301}}) {
        const std::vector<uint8_t> broken = longStream(bad);
        l3::RepackOptions two;
        two.threads = 2;
        const l3::RepackResult r = l3::repackStream(broken.data(), broken.size(), two);
        EXPECT_EQ(r.status, l3::Status::damaged);
        EXPECT_EQ(r.message.rfind("frame " + std::to_string(bad[0]) + " ", 0), 0u) << r.message;
        EXPECT_TRUE(r.output.empty());
    }
}

// The read-back comparison catches a single changed bit anywhere in a frame's main data,
// whether the two streams hold that main data at the same bit alignment (as a moved frame
// does) or at another (as a re-laid granule may), and passes the unchanged frames.
TEST(Repack, FrameComparisonSeesEveryChangedBit) {
    const std::vector<uint8_t> bytes = readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3");
    l3::SourceStream x;
    l3::SourceProblem problem;
    ASSERT_TRUE(l3::readSource(bytes.data(), bytes.size(), l3::SourcePass::layout, 1, x, problem))
        << problem.message;
    ASSERT_GT(x.frames.size(), 20u);
    for (int shift : {0, 3, 8, 13}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        // y: x's main-data stream moved shift bits on.
        l3::SourceStream y = x;
        y.mainData.assign(x.mainData.size() + 2, 0);
        for (int64_t bit = 0; bit < 8 * static_cast<int64_t>(x.mainData.size()); ++bit)
            if ((x.mainData[bit >> 3] >> (7 - (bit & 7))) & 1)
                y.mainData[(bit + shift) >> 3] |= static_cast<uint8_t>(0x80 >> ((bit + shift) & 7));
        for (l3::SourceFrame& f : y.frames) f.mainStart += shift;
        for (size_t k = 10; k < 14; ++k) {
            ASSERT_EQ(l3::compareFrame(x, k, y, k), "") << "frame " << k;
            const l3::SourceFrame& f = y.frames[k];
            for (int32_t j = 0; j < f.mainBits; ++j) {
                const int64_t bit = f.mainStart + j;
                y.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
                ASSERT_EQ(l3::compareFrame(x, k, y, k), "its main data differs")
                    << "frame " << k << " bit " << j;
                y.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
            }
            // The bits just outside the frame's main data are not its own.
            for (int64_t bit : {f.mainStart - 1, f.mainStart + f.mainBits}) {
                y.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
                EXPECT_EQ(l3::compareFrame(x, k, y, k), "") << "frame " << k;
                y.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
            }
        }
    }
}

// A LAME stream and its --huffman result.
struct HuffmanResult {
    std::vector<uint8_t> input =
        readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3");
    l3::RepackOptions options = [] {
        l3::RepackOptions o;
        o.huffman = true;
        return o;
    }();
    std::vector<uint8_t> output = l3::plainCopy(l3::repackStream(input.data(), input.size(), options).output);
};

// bytes read with the given pass into src; the message where they cannot be.
std::string readAs(const std::vector<uint8_t>& bytes, l3::SourcePass pass, l3::SourceStream& src,
                   l3::Damage damage = l3::Damage::refuse) {
    l3::SourceProblem problem;
    return l3::readSource(bytes.data(), bytes.size(), pass, 1, src, problem, nullptr, {}, damage)
               ? ""
               : problem.message;
}

// The frames --huffman recodes are compared bit for bit with their side information as the
// head writer wrote it and their recoded main data: every bit of either that differs in the
// result is seen, and the result as written agrees.
TEST(Repack, RecodedFramesAreComparedWithTheirRecodedBits) {
    HuffmanResult r;
    std::vector<uint8_t>& out = r.output;
    ASSERT_FALSE(out.empty());
    l3::SourceStream a, b;
    ASSERT_EQ(readAs(r.input, l3::SourcePass::recode, a), "");
    ASSERT_EQ(readAs(out, l3::SourcePass::layout, b), "");
    ASSERT_EQ(a.frames.size(), b.frames.size());
    std::vector<size_t> recoded;
    for (size_t k = 0; k < a.frames.size() && recoded.size() < 3; ++k)
        if (a.frames[k].recoded) recoded.push_back(k);
    ASSERT_EQ(recoded.size(), 3u);
    for (size_t k : recoded) {
        ASSERT_EQ(l3::compareFrame(a, k, b, k), "") << "frame " << k;
        const l3::SourceFrame& f = b.frames[k];
        const uint32_t header = f.header;
        uint8_t* side = out.data() + f.offset + ((header >> 16 & 1) ? 4 : 6);
        const int sideBits = 8 * ((header >> 6 & 3) == 3 ? 17 : 32);
        for (int j = 9; j < sideBits; ++j) {  // after main_data_begin
            side[j >> 3] ^= static_cast<uint8_t>(0x80 >> (j & 7));
            EXPECT_EQ(l3::compareFrame(a, k, b, k), "its side information differs") << j;
            side[j >> 3] ^= static_cast<uint8_t>(0x80 >> (j & 7));
        }
        for (int32_t j = 0; j < f.mainBits; ++j) {
            const int64_t bit = f.mainStart + j;
            b.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
            EXPECT_EQ(l3::compareFrame(a, k, b, k), "its main data differs") << j;
            b.mainData[bit >> 3] ^= static_cast<uint8_t>(0x80 >> (bit & 7));
        }
    }
}

// Recoding a result of --huffman gives every frame its own bits back: no frame is left
// marked as recoded, and the result is the same bytes.
TEST(Repack, AFrameWhoseRecodingGivesItsOwnBitsStaysAsItIs) {
    const HuffmanResult r;
    const std::vector<uint8_t>& once = r.output;
    ASSERT_FALSE(once.empty());
    l3::SourceStream src, again;
    ASSERT_EQ(readAs(r.input, l3::SourcePass::recode, src), "");
    const size_t recodedBefore = static_cast<size_t>(std::count_if(
        src.frames.begin(), src.frames.end(), [](const l3::SourceFrame& f) { return f.recoded; }));
    EXPECT_GT(recodedBefore, 0u);
    ASSERT_EQ(readAs(once, l3::SourcePass::recode, again), "");
    for (const l3::SourceFrame& f : again.frames) EXPECT_FALSE(f.recoded || f.fromRecord);
    EXPECT_TRUE(again.recoded.size() <= 8);  // nothing but the closing zero bytes
    EXPECT_TRUE(l3::repackStream(once.data(), once.size(), r.options).output == once);
}

namespace {

// A LAME stream with damage of each kind a salvage repairs: frame 10's big_values set above
// 288 (it does not decode), junk after frame 20, and the last frame cut short.
std::vector<uint8_t> damagedCopy(size_t& frame10, size_t& junkAt) {
    std::vector<uint8_t> in =
        readAll(fs::path(TEST_DATA_DIR) / "lame/m1_44k_msforced_cbr96_notag.mp3");
    const l3::FrameWalk walk = l3::walkFrames(in.data(), in.size());
    frame10 = walk.frames[10].offset;
    // big_values follows part2_3_length (12 bits) of granule 0, channel 0.
    const uint32_t header = (uint32_t{in[frame10]} << 24) | (uint32_t{in[frame10 + 1]} << 16);
    const size_t granule = 8 * (frame10 + 4) + 9 + 3 + 8 + 12;
    EXPECT_EQ(header >> 21, 0x7FFu);
    for (int i = 0; i < 9; ++i) in[(granule + i) / 8] |= static_cast<uint8_t>(0x80 >> ((granule + i) % 8));
    junkAt = walk.frames[21].offset;
    in.insert(in.begin() + static_cast<ptrdiff_t>(junkAt), {'j', 'u', 'n', 'k'});
    in.resize(in.size() - 50);
    return in;
}

}  // namespace

// Damage is refused, naming the first in the file; --salvage writes a stream of the same
// duration: the broken frame silent, the frames after the junk whose main data reached back
// across it silent, the cut frame dropped; every other frame plays as before (mpg123).
TEST(Repack, SalvageKeepsTheTimelineAndListsEachRepair) {
    TempDir dir;
    size_t frame10 = 0, junkAt = 0;
    const std::vector<uint8_t> damaged = damagedCopy(frame10, junkAt);
    dir.write("damaged.mp3", damaged);
    const auto refused = l3test::runProgram(dir, L3_EXE, "repack damaged.mp3 out.mp3");
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_NE(refused.err.find("frame 10 (offset " + std::to_string(frame10) +
                               "): side_info_invalid: big_values above 288"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(dir.path("out.mp3")));

    const auto salvaged = l3test::runProgram(dir, L3_EXE, "repack --salvage damaged.mp3 out.mp3");
    ASSERT_EQ(salvaged.exitCode, 0) << salvaged.err;
    for (const std::string& line :
         {"frame 10 (offset " + std::to_string(frame10) +
              "): side_info_invalid: big_values above 288: written as a silent frame",
          "dropped 4 bytes of junk at offset " + std::to_string(junkAt),
          std::string("dropped a last frame cut short")})
        EXPECT_NE(salvaged.err.find(line), std::string::npos) << line << "\n" << salvaged.err;
    const auto check = l3test::runProgram(dir, L3_EXE, "check out.mp3");
    EXPECT_EQ(check.exitCode, 0) << check.out;
    const std::vector<uint8_t> out = dir.read("out.mp3");
    const l3::FrameWalk before = l3::walkFrames(damaged.data(), damaged.size());
    const l3::FrameWalk after = l3::walkFrames(out.data(), out.size());
    EXPECT_EQ(after.frames.size(), before.frames.size() - 1);  // all but the cut one

    L3_REQUIRE_TOOL("mpg123");
    const auto a = l3test::runProgram(dir, "mpg123", "-q -s damaged.mp3");
    const auto b = l3test::runProgram(dir, "mpg123", "-q -s out.mp3");
    ASSERT_EQ(a.out.size(), b.out.size());  // the same duration
    // Stereo, 1152 samples a frame, the decoder's output 529 samples late: up to frame 9
    // every sample stays; around granule 1 of frame 10 it plays silence (the overlap with
    // granule 0 and the synthesis filter's reach take the rest).
    const size_t bytesPerFrame = 1152 * 2 * 2;
    EXPECT_EQ(a.out.compare(0, 9 * bytesPerFrame, b.out, 0, 9 * bytesPerFrame), 0);
    const size_t granule1 = 10 * 1152 + 576 + 529;
    const std::string silentStretch = b.out.substr((granule1 - 200) * 4, 320 * 4);
    EXPECT_EQ(silentStretch, std::string(silentStretch.size(), '\0'));
    EXPECT_NE(a.out.substr((granule1 - 200) * 4, 320 * 4), silentStretch);
}

// Fuzz findings (tests/data/regressions/edit), through the command:
// - Frames whose granules hold no main data recode to nothing (an empty buffer was once
//   handed to memcmp, which the sanitizers refuse). Both ways the result has the input's
//   frames and values, and repacks to no more bytes.
// - A first frame without main data, then frames whose main data reaches before the
//   stream: not a start that is kept as it is, so damage (exit 4), as for l3 split; it was
//   once laid out anew as though it had main data, and failed its own check.
// - The two frames of a stream's kept start (its first frame reaches before the stream)
//   hold "TAG" where the result's last 128 bytes begin once the junk after them is dropped,
//   and a kept frame cannot grow: refused (exit 5), where it once failed its own check.
TEST(Repack, FuzzFindingsAreRepackedOrRefused) {
    TempDir dir;
    const fs::path regressions = fs::path(TEST_DATA_DIR) / "regressions" / "edit";
    const std::vector<uint8_t> empty = readAll(regressions / "repack_frame_without_main_data.mp3");
    dir.write("empty.mp3", empty);
    for (const std::string options : {"", "--huffman "}) {
        SCOPED_TRACE(options);
        // (Its junk between frames is damage: salvaged.)
        const auto once =
            l3test::runProgram(dir, L3_EXE, "repack --salvage " + options + "empty.mp3 a.mp3");
        ASSERT_EQ(once.exitCode, 0) << once.err;
        const auto twice = l3test::runProgram(dir, L3_EXE, "repack -f " + options + "a.mp3 b.mp3");
        ASSERT_EQ(twice.exitCode, 0) << twice.err;
        EXPECT_LE(dir.read("b.mp3").size(), dir.read("a.mp3").size());
        std::filesystem::rename(dir.path("a.mp3"), dir.path(options.empty() ? "plain.mp3" : "huffman.mp3"));
    }
    const std::vector<uint8_t> plainBytes = dir.read("plain.mp3");
    l3::SourceStream in, plain;  // (they point into the bytes)
    ASSERT_EQ(readAs(empty, l3::SourcePass::decode, in, l3::Damage::salvage), "");
    ASSERT_EQ(readAs(plainBytes, l3::SourcePass::layout, plain), "");
    ASSERT_EQ(in.frames.size(), plain.frames.size());
    for (size_t k = 0; k < in.frames.size(); ++k)
        EXPECT_EQ(l3::compareFrame(in, k, plain, k), "") << "frame " << k;
    expectSameDecodedValues(plainBytes, dir.read("huffman.mp3"));

    const std::string reaching = l3test::shellQuote(
        (regressions / "repack_reaches_before_the_stream_after_an_empty_frame.mp3").string());
    const std::vector<uint8_t> split = readAll(regressions / "split_piece_ends_in_tag_bytes.mp3");
    const l3::FrameWalk walk = l3::walkFrames(split.data(), split.size());
    ASSERT_GE(walk.frames.size(), 2u);
    std::vector<uint8_t> keptStart(split.begin() + static_cast<ptrdiff_t>(walk.frames[0].offset),
                                   split.begin() + static_cast<ptrdiff_t>(walk.frames[1].offset +
                                                                          walk.frames[1].length));
    keptStart.resize(keptStart.size() + 5, 0);  // junk after them
    dir.write("kept.mp3", keptStart);
    struct Refusal {
        std::string args;
        int exitCode;
        const char* said;
    };
    const Refusal refusals[] = {
        // (Its first frame's scalefactors are longer than its part2_3_length: that comes
        // first now; with it salvaged, the frame that reaches before the stream.)
        {"repack " + reaching + " out.mp3", 4, "frame 0 (offset 0): huffman_error"},
        {"repack --huffman " + reaching + " out.mp3", 4, "frame 0 (offset 0): huffman_error"},
        {"repack --salvage " + reaching + " out.mp3", 4, "reservoir_underflow"},
        {"split --samples --at 1000 " + reaching + " out-%d.mp3", 4, "huffman_error"},
        // Junk after the last frame stays (and hides "TAG"), unless salvaged.
        {"repack --salvage kept.mp3 out.mp3", 5, "read as a tag"},
    };
    for (const Refusal& r : refusals) {
        const auto run = l3test::runProgram(dir, L3_EXE, r.args);
        EXPECT_EQ(run.exitCode, r.exitCode) << r.args << ": " << run.err;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << r.args << ": " << run.err;
    }
    EXPECT_FALSE(dir.exists("out.mp3") || dir.exists("out-1.mp3"));
}

// A fuzz finding (tests/data/regressions/edit): junk before the first frame, kept as it is,
// holds a sync pattern whose frame length did not reach the input's first frame but reaches
// the result's second one, whose first frame became smaller: a decoder would take the junk for
// a frame. Refused (exit 5, nothing written); --salvage drops the junk.
TEST(Repack, KeptJunkNeverReadsAsAFrame) {
    TempDir dir;
    const struct {
        const char* file;
        int junk;  // bytes of junk before the first frame
    } inputs[] = {
        {"repack_junk_reads_as_a_frame.mp3", 289},
        // The frame read in the junk does not even decode in the result.
        {"repack_junk_reads_as_an_undecodable_frame.mp3", 256},
    };
    const struct {
        const char* options;
        int exitCode;
    } cases[] = {{"", 5}, {"--huffman ", 5}, {"--salvage ", 0}};
    for (const auto& in : inputs)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(in.file) + " " + c.options);
            const std::string input = l3test::shellQuote(
                (fs::path(TEST_DATA_DIR) / "regressions" / "edit" / in.file).string());
            const auto run = l3test::runProgram(
                dir, L3_EXE, std::string("repack -f ") + c.options + input + " out.mp3");
            EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
            const std::string junk = std::to_string(in.junk) + " bytes of junk at offset 0";
            if (c.exitCode != 0) {
                EXPECT_NE(run.err.find("the junk before the first frame would read as a frame"),
                          std::string::npos)
                    << run.err;
                // Kept, not dropped, where it is not salvaged.
                EXPECT_NE(run.err.find("kept " + junk + ", outside the frames"), std::string::npos)
                    << run.err;
                EXPECT_FALSE(dir.exists("out.mp3"));
                continue;
            }
            EXPECT_NE(run.err.find("dropped " + junk), std::string::npos) << run.err;
            const auto check = l3test::runProgram(dir, L3_EXE, "check out.mp3");
            EXPECT_EQ(check.exitCode, 0) << check.out;
            fs::remove(dir.path("out.mp3"));
        }
}

// A fuzz finding (tests/data/regressions/edit): a stream without a VBR header whose recoded
// first frame may carry main data that spells "VBRI" where decoders look for the header (so
// the clang build laid it out): a result is never one whose first frame reads as a VBR
// header; such a layout is refused (exit 5) and nothing written.
TEST(Repack, AFirstFrameNeverReadsAsAVbrHeader) {
    TempDir dir;
    const fs::path input =
        fs::path(TEST_DATA_DIR) / "regressions" / "edit" / "repack_first_frame_spells_vbri.mp3";
    for (const char* options : {"", "--huffman "}) {
        SCOPED_TRACE(options);
        const auto run = l3test::runProgram(
            dir, L3_EXE, std::string("repack -f ") + options + l3test::shellQuote(input.string()) +
                             " out.mp3");
        if (run.exitCode == 5) {
            EXPECT_NE(run.err.find("spell a Xing, Info or VBRI header"), std::string::npos)
                << run.err;
            EXPECT_FALSE(dir.exists("out.mp3"));
            continue;
        }
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto info = l3test::runProgram(dir, L3_EXE, "info --json out.mp3");
        ASSERT_EQ(info.exitCode, 0) << info.err;
        EXPECT_NE(info.out.find("\"xing\": null"), std::string::npos) << info.out;
        std::filesystem::remove(dir.path("out.mp3"));
    }
}
