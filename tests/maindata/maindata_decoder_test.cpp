// End to end through a real decoder: records with a plausible spectrum, sensible table
// choices and a bit reservoir in use, whose part2_3_length values come from coding each
// granule once in the test (reference_coder.h), are assembled in memory and handed to
// `mpg123 -t`, which must decode every stream without a complaint.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "assemble/run_driver.h"
#include "l3/frame_record.h"
#include "reference_coder.h"
#include "support/tools.h"
#include "tables/code_tables.h"

namespace l3 {
namespace {

using l3test::kLinbits;
using l3test::kYLen;
using l3test::makeHeader;

constexpr int kMpeg1 = 3, kMpeg2 = 2, kMpeg25 = 0;
constexpr int kStereo = 0, kJointStereo = 1, kMono = 3;

// ---------------------------------------------------------------------------------------
// Record file, written field by field in its little-endian layout

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int b = 0; b < 4; ++b) out[at + b] = uint8_t(v >> (8 * b));
}
void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}

// Appends one 5610-byte record and an ancillary bit count of 0.
void appendRecord(std::vector<uint8_t>& file, const FrameRecord& rec) {
    const size_t base = file.size();
    file.resize(base + 5614, 0);
    put32(file, base + 0, rec.header);
    put32(file, base + 6, uint32_t(rec.main_data_begin));
    put32(file, base + 14, uint32_t(rec.private_bits));
    for (int ch = 0; ch < 2; ++ch)
        for (int g = 0; g < 4; ++g) put32(file, base + 18 + 16 * ch + 4 * g, rec.scfsi[ch][g]);
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) {
            const GranuleChannelInfo& gi = rec.granuleInfo[gr][ch];
            const int32_t fields[20] = {0,
                                        0,
                                        gi.part2_3_length,
                                        gi.big_values,
                                        gi.global_gain,
                                        gi.scalefac_compress,
                                        gi.window_switching_flag,
                                        gi.block_type,
                                        gi.mixed_block_flag,
                                        gi.table_select[0],
                                        gi.table_select[1],
                                        gi.table_select[2],
                                        gi.subblock_gain[0],
                                        gi.subblock_gain[1],
                                        gi.subblock_gain[2],
                                        gi.region0_count,
                                        gi.region1_count,
                                        gi.preflag,
                                        gi.scalefac_scale,
                                        gi.count1table_select};
            for (int f = 0; f < 20; ++f)
                put32(file, base + 58 + 160 * gr + 80 * ch + 4 * f, uint32_t(fields[f]));
            for (int k = 0; k < 78; ++k)
                put16(file, base + 378 + 312 * gr + 156 * ch + 2 * k, rec.scalefactors[gr][ch][k]);
            for (int i = 0; i < 576; ++i)
                put16(file, base + 1002 + 2304 * gr + 1152 * ch + 2 * i,
                      uint16_t(rec.spectrum[gr][ch][i]));
        }
}

// ---------------------------------------------------------------------------------------
// Frame sizes, by the stream format's formulas

// Bit rates in kbit/s by bitrate_index, and sampling rates by version code and index.
constexpr int kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kLsfKbps[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kSamplingRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

int frameBytes(uint32_t header) {
    const int version = (header >> 19) & 3;
    const int bitrateIndex = (header >> 12) & 15;
    const bool mpeg1 = version == 3;
    const int kbps = mpeg1 ? kMpeg1Kbps[bitrateIndex] : kLsfKbps[bitrateIndex];
    const int rate = kSamplingRates[version][(header >> 10) & 3];
    return (mpeg1 ? 144 : 72) * kbps * 1000 / rate + int((header >> 9) & 1);
}

int headBytes(uint32_t header) {
    const bool mpeg1 = (header >> 19) & 1, mono = ((header >> 6) & 3) == 3;
    const int side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    return 4 + (((header >> 16) & 1) ? 0 : 2) + side;
}

// ---------------------------------------------------------------------------------------
// Record generation

struct StreamCase {
    const char* name;
    int version, samplingIndex, mode, modeExtension;
    bool crc;
    int bitrateIndex;
    int frames;
    uint32_t seed;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordMaker {
public:
    explicit RecordMaker(uint32_t seed) : rng_(seed) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }

    // A table whose range holds maxValue: a small table when one fits, else an escape table.
    int tableFor(int maxValue) {
        if (maxValue == 0 && pick(0, 1)) return 0;
        std::vector<int> fits;
        for (int t = 1; t < 32; ++t) {
            if (kYLen[t] == 0) continue;
            const bool ok =
                kLinbits[t] == 0 ? maxValue <= kYLen[t] - 1 : maxValue - 15 < (1 << kLinbits[t]);
            if (ok && (kLinbits[t] == 0 || maxValue > 15 || pick(0, 5) == 0)) fits.push_back(t);
        }
        return fits[pick(0, int(fits.size()) - 1)];
    }

    // Side information, scalefactors and spectrum of one granule and channel; scale in
    // (0, 1] sets how much of the spectrum is occupied and how loud it is.
    void makeGranule(FrameRecord& rec, int gr, int ch, int blockType, bool mixed, double scale) {
        const uint32_t header = rec.header;
        const bool mpeg1 = (header >> 19) & 1;
        GranuleChannelInfo& gi = rec.granuleInfo[gr][ch];
        gi = GranuleChannelInfo{};
        gi.global_gain = pick(140, 170);
        gi.scalefac_scale = pick(0, 1);
        gi.count1table_select = pick(0, 1);
        gi.block_type = blockType;
        gi.window_switching_flag = blockType != 0;
        if (blockType != 0) {
            gi.mixed_block_flag = blockType == 2 && mixed;
            gi.region0_count = (!mpeg1 && blockType == 2) ? 5 : 7;
            gi.region1_count = 22;
            for (int w = 0; w < 3; ++w) gi.subblock_gain[w] = pick(0, 3);
        } else {
            gi.region0_count = pick(2, 12);
            gi.region1_count = pick(1, std::min(7, 20 - gi.region0_count));
        }
        if (mpeg1) gi.preflag = blockType == 2 ? 0 : pick(0, 1);

        // Scalefactors within their widths.
        uint16_t* sf = rec.scalefactors[gr][ch];
        std::fill(sf, sf + 78, 0);
        if (mpeg1) {
            gi.scalefac_compress = pick(0, 15);
            const int slen1 = l3test::kMpeg1Slen[gi.scalefac_compress][0];
            const int slen2 = l3test::kMpeg1Slen[gi.scalefac_compress][1];
            for (int b = 0; b < 21; ++b)
                sf[b] = uint16_t(pick(0, (1 << (b < 11 ? slen1 : slen2)) - 1));
            for (int s = 0; s < 12; ++s)
                for (int w = 0; w < 3; ++w)
                    sf[39 + 3 * s + w] = uint16_t(pick(0, (1 << (s < 6 ? slen1 : slen2)) - 1));
        } else {
            gi.scalefac_compress = pick(0, 511);
            const l3test::LsfLayout layout =
                l3test::lsfLayout(gi.scalefac_compress, l3test::intensityRight(header, ch));
            const int* sizes = l3test::kPartitionSizes[layout.row][l3test::blockKind(gi)];
            int index = 0;
            for (int p = 0; p < 4; ++p)
                for (int j = 0; j < sizes[p]; ++j)
                    sf[index++] = uint16_t(pick(0, (1 << layout.slen[p]) - 1));
        }

        // Spectrum: loud low lines fading towards bigEnd, then -1/0/+1, then zeros.
        int16_t* lines = rec.spectrum[gr][ch];
        std::fill(lines, lines + 576, 0);
        gi.big_values = std::max(1, int(scale * pick(16, 240)));
        const int bigEnd = 2 * gi.big_values;
        const int loudness[] = {1, 3, 7, 15, 60, 400, 3000};
        const int peak = std::max(1, int(scale * loudness[pick(0, 6)]));
        for (int i = 0; i < bigEnd; ++i) {
            const double fade = 1.0 - double(i) / bigEnd;
            const int a = std::max(1, int(peak * fade * fade));
            lines[i] = int16_t(pick(-a, a));
        }
        const int quads = int(scale * pick(0, std::min(60, (576 - bigEnd) / 4)));
        for (int i = bigEnd; i < bigEnd + 4 * quads; ++i)
            lines[i] = int16_t(pick(0, 3) == 0 ? pick(0, 1) * 2 - 1 : 0);

        const l3test::Regions r = l3test::regionsFor(header, gi);
        const int starts[4] = {0, r.region1Start, r.region2Start, r.bigEnd};
        for (int region = 0; region < 3; ++region) {
            int maxValue = 0;
            for (int i = starts[region]; i < starts[region + 1]; ++i)
                maxValue = std::max(maxValue, std::abs(int(lines[i])));
            gi.table_select[region] = tableFor(maxValue);
        }
        if (blockType != 0) gi.table_select[2] = 0;  // region 2 is empty
        gi.part2_3_length = int(l3test::refGranule(rec, gr, ch).bits.size());
    }

    std::mt19937 rng_;
};

struct BuiltStream {
    std::vector<uint8_t> records;
    size_t expectedBytes = 0;
    int frames = 0;
    int reservoirFrames = 0;  // frames whose main data starts in earlier frames
};

BuiltStream buildStream(const StreamCase& c) {
    codeTables();
    RecordMaker maker(c.seed);
    BuiltStream out;
    out.frames = c.frames;
    out.records.assign(12, 0);
    put32(out.records, 0, uint32_t(c.frames));
    put32(out.records, 8, 0xFFFFFFFFu);  // no output limit

    const bool mpeg1 = c.version == kMpeg1;
    const int granules = mpeg1 ? 2 : 1;
    const int channels = c.mode == kMono ? 1 : 2;
    const int maxBegin = mpeg1 ? 511 : 255;
    int blockType[2] = {0, 0};  // the last block type of each channel
    int64_t areaStart = 0;      // byte offset of this frame's main-data area
    int64_t dataEnd = 0;        // first byte after the previous frame's main data

    FrameRecord rec{};
    for (int f = 0; f < c.frames; ++f) {
        rec = FrameRecord{};
        const int padding = maker.pick(0, 1);
        rec.header = makeHeader(c.version, c.samplingIndex, c.mode, c.modeExtension, c.crc,
                                c.bitrateIndex, padding);
        rec.private_bits = maker.pick(0, 1);
        const int mainCount = frameBytes(rec.header) - headBytes(rec.header);
        out.expectedBytes += size_t(frameBytes(rec.header));

        const int64_t room = areaStart - dataEnd;
        int begin = int(std::min<int64_t>(room, maxBegin));
        if (maker.pick(0, 4) == 0) begin = maker.pick(0, begin);  // leave a gap now and then
        rec.main_data_begin = begin;
        if (begin > 0) ++out.reservoirFrames;

        // Block types follow long, start, short or mixed, stop; each channel on its own.
        int types[2][2];
        bool mixed[2][2];
        for (int gr = 0; gr < granules; ++gr)
            for (int ch = 0; ch < channels; ++ch) {
                int& last = blockType[ch];
                int next = last == 0   ? (maker.pick(0, 5) == 0 ? 1 : 0)
                           : last == 1 ? 2
                           : last == 2 ? (maker.pick(0, 1) ? 2 : 3)
                                       : 0;
                types[gr][ch] = next;
                mixed[gr][ch] = next == 2 && maker.pick(0, 3) == 0;
                last = next;
            }
        if (mpeg1)
            for (int ch = 0; ch < channels; ++ch)
                if (types[0][ch] != 2 && types[1][ch] != 2)
                    for (int g = 0; g < 4; ++g) rec.scfsi[ch][g] = maker.pick(0, 2) == 0;

        // Shrink the frame until it fits the space it may use and each granule fits 12 bits.
        double scale = 0.3 + 0.7 * maker.unit();
        int64_t bits = 0;
        for (;;) {
            bits = 0;
            bool fits = true;
            for (int gr = 0; gr < granules; ++gr)
                for (int ch = 0; ch < channels; ++ch) {
                    maker.makeGranule(rec, gr, ch, types[gr][ch], mixed[gr][ch], scale);
                    fits = fits && rec.granuleInfo[gr][ch].part2_3_length <= 4095;
                    bits += rec.granuleInfo[gr][ch].part2_3_length;
                }
            if (fits && bits <= 8 * int64_t(begin + mainCount)) break;
            scale *= 0.7;
        }
        appendRecord(out.records, rec);
        dataEnd = areaStart - begin + (bits + 7) / 8;
        areaStart += mainCount;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// The decoder

struct DecoderRun {
    int exitCode = -1;
    std::string messages;  // standard error
};

DecoderRun runDecoder(const std::vector<uint8_t>& stream, const std::string& name) {
    const std::string dir = testing::TempDir();
    const std::string mp3 = dir + "/maindata_" + name + ".mp3";
    const std::string err = dir + "/maindata_" + name + ".err";
    {
        std::ofstream file(mp3, std::ios::binary);
        file.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    }
    DecoderRun run;
    const int status =
        std::system(("mpg123 -t '" + mp3 + "' > /dev/null 2> '" + err + "'").c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(err);
    run.messages.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(mp3.c_str());
    std::remove(err.c_str());
    return run;
}

// The first complaint in the decoder's messages, or an empty string.
std::string complaint(const std::string& messages) {
    std::string lower = messages;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return char(std::tolower(ch)); });
    for (const char* word : {"error", "warning", "illegal", "bad", "big_values", "can't", "cannot",
                             "invalid", "not allowed", "skipped", "junk"})
        if (lower.find(word) != std::string::npos) return word;
    return "";
}

class DecoderAccepts : public testing::TestWithParam<StreamCase> {};

TEST_P(DecoderAccepts, AssembledStreamDecodesCleanly) {
    L3_REQUIRE_TOOL("mpg123");
    const StreamCase& c = GetParam();
    const BuiltStream built = buildStream(c);
    EXPECT_GT(built.reservoirFrames, c.frames / 2) << "the bit reservoir is hardly used";

    std::vector<uint8_t> stream;
    const uint8_t noAncillary = 0;
    ASSERT_EQ(assembleInMemory(built.records.data(), built.records.size(), &noAncillary, 0, stream),
              Status::ok);
    ASSERT_EQ(stream.size(), built.expectedBytes);

    const DecoderRun run = runDecoder(stream, c.name);
    EXPECT_EQ(run.exitCode, 0) << run.messages;
    EXPECT_EQ(complaint(run.messages), "") << run.messages;
}

INSTANTIATE_TEST_SUITE_P(
    VersionsRatesAndModes, DecoderAccepts,
    testing::Values(
        StreamCase{"mpeg1_44k_stereo_crc", kMpeg1, 0, kStereo, 0, true, 11, 40, 1},
        StreamCase{"mpeg1_48k_joint_ms", kMpeg1, 1, kJointStereo, 2, false, 10, 40, 2},
        StreamCase{"mpeg1_32k_mono_crc", kMpeg1, 2, kMono, 0, true, 9, 40, 3},
        StreamCase{"mpeg2_22k_stereo", kMpeg2, 0, kStereo, 0, false, 11, 40, 4},
        StreamCase{"mpeg2_24k_intensity_crc", kMpeg2, 1, kJointStereo, 1, true, 12, 40, 5},
        StreamCase{"mpeg2_16k_mono", kMpeg2, 2, kMono, 0, false, 8, 40, 6},
        StreamCase{"mpeg25_11k_stereo_crc", kMpeg25, 0, kStereo, 0, true, 8, 40, 7},
        StreamCase{"mpeg25_12k_mono", kMpeg25, 1, kMono, 0, false, 6, 40, 8},
        StreamCase{"mpeg25_8k_joint_ms_intensity", kMpeg25, 2, kJointStereo, 3, false, 7, 40, 9}),
    [](const testing::TestParamInfo<StreamCase>& param) { return std::string(param.param.name); });

// The check above has teeth: a record whose part2_3_length does not match its data makes
// the decoder complain.
TEST(DecoderAccepts, MismatchedLengthIsNoticed) {
    L3_REQUIRE_TOOL("mpg123");
    BuiltStream built =
        buildStream(StreamCase{"mismatch", kMpeg1, 0, kStereo, 0, false, 14, 30, 11});
    // Shorten every granule's part2_3_length by 40 bits in the record file.
    for (int f = 0; f < built.frames; ++f)
        for (int g = 0; g < 4; ++g) {
            const size_t at = 12 + 5614 * size_t(f) + 58 + 80 * g + 8;
            uint32_t v = 0;
            for (int b = 0; b < 4; ++b) v |= uint32_t(built.records[at + b]) << (8 * b);
            put32(built.records, at, v > 40 ? v - 40 : 0);
        }
    std::vector<uint8_t> stream;
    const uint8_t noAncillary = 0;
    ASSERT_EQ(assembleInMemory(built.records.data(), built.records.size(), &noAncillary, 0, stream),
              Status::ok);
    const DecoderRun run = runDecoder(stream, "mismatch");
    EXPECT_TRUE(run.exitCode != 0 || !complaint(run.messages).empty()) << run.messages;
}

}  // namespace
}  // namespace l3
