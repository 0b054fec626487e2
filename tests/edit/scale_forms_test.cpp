// The scalefactors' forms: recodeFrame's scalefactor bits against a brute force over every
// form that scales each band alike (scalefac_scale, preflag) and the scfsi that follows; the
// scaling comparison the verification relies on; and --huffman on real streams, where no
// granule may grow.

#include "maindata/scale_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "disassemble/side_info_reader.h"
#include "l3/edit.h"
#include "edit/source_stream.h"
#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "format/scalefactor_layout.h"
#include "maindata/granule_coder.h"
#include "maindata/spectrum_search.h"
#include "support/record_file.h"

namespace {

namespace fs = std::filesystem;
using l3::FrameRecord;
using l3::GranuleChannelInfo;

constexpr int kPretab[21] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2};
constexpr int kNever = 1 << 28;

// The fewest bits of an MPEG-1 granule's long-block scalefactors over every
// scalefac_compress, the groups in `shared` left out.
int fewestLongBits(const std::array<int, 21>& sf, const bool shared[4]) {
    static const int groups[5] = {0, 6, 11, 16, 21};
    int best = kNever;
    for (int sc = 0; sc < 16; ++sc) {
        int bits = 0;
        for (int g = 0; g < 4; ++g) {
            const int width = l3::mpeg1Slen[g < 2 ? 0 : 1][sc];
            for (int b = groups[g]; b < groups[g + 1] && !shared[g]; ++b)
                bits = sf[static_cast<size_t>(b)] >> width ? kNever : std::min(kNever, bits + width);
        }
        best = std::min(best, bits);
    }
    return best;
}

// Every (scalefac_scale, preflag) under which the granule's long bands scale alike, with the
// scalefactors each needs.
struct LongForm {
    int scale, preflag;
    std::array<int, 21> sf;
};

std::vector<LongForm> longForms(const uint16_t* sf, int scale, int preflag) {
    std::vector<LongForm> forms;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p) {
            LongForm f{s, p, {}};
            bool fits = true;
            for (int b = 0; b < 21; ++b) {
                const int value = (1 + scale) * (sf[b] + preflag * kPretab[b]);
                f.sf[static_cast<size_t>(b)] = value / (1 + s) - p * kPretab[b];
                fits = fits && value % (1 + s) == 0 && f.sf[static_cast<size_t>(b)] >= 0;
            }
            if (fits) forms.push_back(f);
        }
    return forms;
}

// An MPEG-1 mono frame of two long-block granules, one spectral value each (so that their
// lengths are not 0), no old coding to keep, and scalefactors that often share groups: a
// random scaling of the bands in a random one of its forms.
FrameRecord randomFrame(std::mt19937& rng) {
    FrameRecord rec = l3test::makeRecord(
        l3test::makeHeader(l3test::kMpeg1, 9, 0, false, 0, l3test::kSingleChannel), false);
    const int largest = 1 + static_cast<int>(rng() % 7);
    for (int gr = 0; gr < 2; ++gr) {
        GranuleChannelInfo& info = rec.granuleInfo[gr][0];
        info.global_gain = 140;
        info.part2_3_length = 1 << 20;
        rec.spectrum[gr][0][3] = 2;
        uint16_t* sf = rec.scalefactors[gr][0];
        info.scalefac_scale = static_cast<int>(rng() % 2);
        info.preflag = static_cast<int>(rng() % 2);
        for (int b = 0; b < 21; ++b)
            sf[b] = static_cast<uint16_t>(gr == 1 && rng() % 2 ? rec.scalefactors[0][0][b]
                                                               : rng() % (largest + 1));
        const std::vector<LongForm> forms = longForms(sf, info.scalefac_scale, info.preflag);
        const LongForm& f = forms[rng() % forms.size()];
        info.scalefac_scale = f.scale;
        info.preflag = f.preflag;
        for (int b = 0; b < 21; ++b)
            sf[b] = static_cast<uint16_t>(std::min(f.sf[static_cast<size_t>(b)], b < 11 ? 15 : 7));
    }
    return rec;
}

TEST(ScaleForms, RecodingTakesTheFewestScalefactorBitsOfEveryForm) {
    std::mt19937 rng(3);
    int changed = 0;
    for (int round = 0; round < 3000; ++round) {
        const FrameRecord before = randomFrame(rng);
        FrameRecord after = before;
        l3::recodeFrame(after);
        int spectrum = 0;
        for (int gr = 0; gr < 2; ++gr) {
            ASSERT_TRUE(l3::sameScaling(before, after, gr, 0)) << "round " << round;
            spectrum += l3::bestSpectrumCoding(before.header, before.granuleInfo[gr][0],
                                               before.spectrum[gr][0]).bits;
            changed += after.granuleInfo[gr][0].scalefac_scale !=
                           before.granuleInfo[gr][0].scalefac_scale ||
                       after.granuleInfo[gr][0].preflag != before.granuleInfo[gr][0].preflag;
        }
        int fewest = kNever;
        const GranuleChannelInfo& g0 = before.granuleInfo[0][0];
        const GranuleChannelInfo& g1 = before.granuleInfo[1][0];
        for (const LongForm& form0 :
             longForms(before.scalefactors[0][0], g0.scalefac_scale, g0.preflag))
            for (const LongForm& form1 :
                 longForms(before.scalefactors[1][0], g1.scalefac_scale, g1.preflag)) {
                const std::array<int, 21>& f0 = form0.sf;
                const std::array<int, 21>& f1 = form1.sf;
                bool shared[4];
                static const int groups[5] = {0, 6, 11, 16, 21};
                for (int g = 0; g < 4; ++g)
                    shared[g] = std::equal(f0.begin() + groups[g], f0.begin() + groups[g + 1],
                                           f1.begin() + groups[g]);
                const bool none[4] = {};
                fewest = std::min(fewest, fewestLongBits(f0, none) + fewestLongBits(f1, shared));
            }
        EXPECT_EQ(after.granuleInfo[0][0].part2_3_length + after.granuleInfo[1][0].part2_3_length,
                  fewest + spectrum)
            << "round " << round;
    }
    EXPECT_GT(changed, 300);  // the forms were taken, not only allowed
}

// What the verification accepts as playing the same, and what it refuses.
TEST(ScaleForms, SameScalingComparesWhatScalesEachBand) {
    FrameRecord base = l3test::makeRecord(l3test::makeHeader(l3test::kMpeg1, 9, 0, false, 0,
                                                             l3test::kJointStereo, 1), false);
    for (int ch = 0; ch < 2; ++ch) {
        base.granuleInfo[0][ch].global_gain = 150;
        for (int b = 0; b < 21; ++b) base.scalefactors[0][ch][b] = static_cast<uint16_t>(4 + 2 * (b % 4));
    }
    const struct {
        const char* name;
        int channel;
        bool same;
        void (*change)(FrameRecord&, int ch);
    } cases[] = {
        {"halved with scalefac_scale", 0, true,
         [](FrameRecord& r, int ch) {
             r.granuleInfo[0][ch].scalefac_scale = 1;
             for (int b = 0; b < 21; ++b) r.scalefactors[0][ch][b] /= 2;
         }},
        {"scalefac_scale alone", 0, false,
         [](FrameRecord& r, int ch) { r.granuleInfo[0][ch].scalefac_scale = 1; }},
        {"preflag with the pretab taken out", 0, true,
         [](FrameRecord& r, int ch) {
             r.granuleInfo[0][ch].preflag = 1;
             for (int b = 11; b < 21; ++b)
                 r.scalefactors[0][ch][b] = static_cast<uint16_t>(r.scalefactors[0][ch][b] - kPretab[b]);
         }},
        {"preflag alone", 0, false, [](FrameRecord& r, int ch) { r.granuleInfo[0][ch].preflag = 1; }},
        {"one scalefactor", 0, false, [](FrameRecord& r, int ch) { r.scalefactors[0][ch][20] += 1; }},
        {"global_gain", 0, false, [](FrameRecord& r, int ch) { r.granuleInfo[0][ch].global_gain += 1; }},
        {"halved in the intensity-stereo channel", 1, false,
         [](FrameRecord& r, int ch) {
             r.granuleInfo[0][ch].scalefac_scale = 1;
             for (int b = 0; b < 21; ++b) r.scalefactors[0][ch][b] /= 2;
         }},
    };
    for (const auto& c : cases) {
        FrameRecord changed = base;
        c.change(changed, c.channel);
        EXPECT_EQ(l3::sameScaling(base, changed, 0, c.channel), c.same) << c.name;
    }
}

// A short-block granule (0) of an MPEG-1 mono frame at 44.1 kHz, granule 1 long: window 0's
// scalefactors 4..7, windows 1 and 2's 0..3, a value in band 11 of every window (its last
// line), band 12 silent. Entry of short band s, window w: kShortBase + 3s + w.
FrameRecord shortGranuleFrame(uint32_t header) {
    FrameRecord rec = l3test::makeRecord(header, false);
    for (int gr = 0; gr < 2; ++gr) {
        rec.granuleInfo[gr][0].global_gain = 150;
        rec.granuleInfo[gr][0].part2_3_length = 1 << 20;
        rec.spectrum[gr][0][1] = 3;
    }
    GranuleChannelInfo& info = rec.granuleInfo[0][0];
    info.window_switching_flag = 1;
    info.block_type = 2;
    const auto& edges = l3::shortBandEdges[static_cast<size_t>(l3::bandEdgeRow(header))];
    const bool mpeg1 = l3::isMpeg1(header);
    for (int s = 0; s < 12; ++s)
        for (int w = 0; w < 3; ++w) {
            rec.scalefactors[0][0][(mpeg1 ? l3::kShortBase : 0) + 3 * s + w] =
                static_cast<uint16_t>((w == 0 ? 4 : 0) + (s + w) % 4);
            rec.spectrum[0][0][3 * edges[11] + (w + 1) * (edges[12] - edges[11]) - 1] = -2;
        }
    return rec;
}

uint16_t& shortSf(FrameRecord& r, int band, int window) {
    return r.scalefactors[0][0][(l3::isMpeg1(r.header) ? l3::kShortBase : 0) + 3 * band + window];
}

// The first (or last) line of band 12 of window w.
int16_t& topBandLine(FrameRecord& r, int w, bool last) {
    const auto& edges = l3::shortBandEdges[static_cast<size_t>(l3::bandEdgeRow(r.header))];
    const int width = 192 - edges[12];
    return r.spectrum[0][0][3 * edges[12] + w * width + (last ? width - 1 : 0)];
}

// Where moving a common amount from a short window's scalefactors into its subblock_gain
// pays, and where it must not be taken.
TEST(ScaleForms, SubblockGainTakesWhatAShortWindowsScalefactorsGiveUp) {
    const uint32_t mpeg1 = l3test::makeHeader(l3test::kMpeg1, 9, 0, false, 0, l3test::kSingleChannel);
    const uint32_t mpeg2 = l3test::makeHeader(l3test::kMpeg2, 9, 0, false, 0, l3test::kSingleChannel);
    const struct {
        const char* name;
        uint32_t header;
        std::array<int, 3> gains;  // subblock_gain after recoding
        void (*change)(FrameRecord&);
    } cases[] = {
        {"window 0 gives 4 to one step", mpeg1, {1, 0, 0}, [](FrameRecord&) {}},
        {"every window gives way", mpeg1, {1, 1, 1},
         [](FrameRecord& r) {
             for (int s = 0; s < 12; ++s) shortSf(r, s, 1) += 4, shortSf(r, s, 2) += 4;
         }},
        {"with scalefac_scale 2 to one step", mpeg1, {1, 0, 0},
         [](FrameRecord& r) {
             r.granuleInfo[0][0].scalefac_scale = 1;
             for (int s = 0; s < 12; ++s)
                 for (int w = 0; w < 3; ++w) shortSf(r, s, w) = static_cast<uint16_t>(shortSf(r, s, w) / 2);
         }},
        {"MPEG-2 partitions", mpeg2, {1, 0, 0}, [](FrameRecord&) {}},
        {"up to 7", mpeg1, {7, 2, 0},
         [](FrameRecord& r) { r.granuleInfo[0][0].subblock_gain[0] = 6, r.granuleInfo[0][0].subblock_gain[1] = 2; }},
        {"already 7", mpeg1, {7, 0, 0}, [](FrameRecord& r) { r.granuleInfo[0][0].subblock_gain[0] = 7; }},
        {"band 12 holds a value at its first line", mpeg1, {0, 0, 0},
         [](FrameRecord& r) { topBandLine(r, 0, false) = 1; }},
        {"band 12 holds a value at its last line", mpeg1, {0, 0, 0},
         [](FrameRecord& r) { topBandLine(r, 0, true) = -1; }},
        {"a scalefactor below one step", mpeg1, {0, 0, 0}, [](FrameRecord& r) { shortSf(r, 5, 0) = 3; }},
        {"no narrower width follows", mpeg1, {0, 0, 0},
         [](FrameRecord& r) { shortSf(r, 0, 1) = 7, shortSf(r, 6, 2) = 7; }},
        {"a mixed block", mpeg1, {0, 0, 0}, [](FrameRecord& r) { r.granuleInfo[0][0].mixed_block_flag = 1; }},
        {"a short block with preflag", mpeg1, {0, 0, 0}, [](FrameRecord& r) { r.granuleInfo[0][0].preflag = 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameRecord before = shortGranuleFrame(c.header);
        c.change(before);
        FrameRecord after = before;
        l3::recodeFrame(after);
        const GranuleChannelInfo& x = before.granuleInfo[0][0];
        const GranuleChannelInfo& y = after.granuleInfo[0][0];
        EXPECT_EQ((std::array<int, 3>{y.subblock_gain[0], y.subblock_gain[1], y.subblock_gain[2]}), c.gains);
        EXPECT_TRUE(l3::sameScaling(before, after, 0, 0));
        // Taken or not, the gains must still scale band 12 alike where it holds a value.
        if (topBandLine(before, 0, false) || topBandLine(before, 0, true)) {
            EXPECT_EQ(y.subblock_gain[0], x.subblock_gain[0]);
        }
    }
}

// The fewest bits of an MPEG-1 short granule's scalefactors (values by entry, kShortBase
// on) over every scalefac_compress.
int fewestShortBits(const std::array<int, 36>& sf) {
    int best = kNever;
    for (int sc = 0; sc < 16; ++sc) {
        int bits = 0;
        for (int i = 0; i < 36; ++i) {
            const int width = l3::mpeg1Slen[i < 18 ? 0 : 1][sc];
            bits = sf[static_cast<size_t>(i)] >> width ? kNever : std::min(kNever, bits + width);
        }
        best = std::min(best, bits);
    }
    return best;
}

// recodeFrame's scalefactor bits of random short granules against a brute force over every
// scalefac_scale and every subblock_gain of each window (0..7) that scales bands 0..11
// alike, a window's gain changed only where its band 12 is silent; sameScaling accepts the
// result and refuses a band 12 that would sound otherwise.
TEST(ScaleForms, ShortGranulesTakeTheFewestBitsOfEverySubblockGain) {
    std::mt19937 rng(11);
    int raised = 0;
    const uint32_t header = l3test::makeHeader(l3test::kMpeg1, 9, 0, false, 0, l3test::kSingleChannel);
    for (int round = 0; round < 400; ++round) {
        FrameRecord before = shortGranuleFrame(header);
        GranuleChannelInfo& info = before.granuleInfo[0][0];
        info.scalefac_scale = static_cast<int>(rng() % 2);
        for (int w = 0; w < 3; ++w) {
            info.subblock_gain[w] = static_cast<int>(rng() % 8);
            if (rng() % 3 == 0) topBandLine(before, w, rng() % 2) = 1;
            const int floor = static_cast<int>(rng() % 9);
            for (int s = 0; s < 12; ++s)
                shortSf(before, s, w) = static_cast<uint16_t>(
                    std::min(s < 6 ? 15 : 7, floor + static_cast<int>(rng() % 4)));
        }
        FrameRecord after = before;
        l3::recodeFrame(after);
        ASSERT_TRUE(l3::sameScaling(before, after, 0, 0)) << "round " << round;
        const int part2 = after.granuleInfo[0][0].part2_3_length -
                          l3::bestSpectrumCoding(before.header, info, before.spectrum[0][0]).bits;
        // Every equivalent form: the scaled value of each entry in quarter steps is
        // 8 * subblock_gain + 2 * (1 + scalefac_scale) * scalefactor.
        int fewest = kNever;
        for (int scale = 0; scale < 2; ++scale)
            for (int g = 0; g < 512; ++g) {
                const int gains[3] = {g & 7, (g >> 3) & 7, g >> 6};
                bool fits = true;
                std::array<int, 36> sf{};
                for (int w = 0; w < 3 && fits; ++w) {
                    fits = gains[w] == info.subblock_gain[w] ||
                           (!topBandLine(before, w, false) && !topBandLine(before, w, true));
                    for (int s = 0; s < 12 && fits; ++s) {
                        const int q = 8 * (info.subblock_gain[w] - gains[w]) +
                                      2 * (1 + info.scalefac_scale) * shortSf(before, s, w);
                        fits = q >= 0 && q % (2 * (1 + scale)) == 0;
                        sf[static_cast<size_t>(3 * s + w)] = q / (2 * (1 + scale));
                    }
                }
                if (fits) fewest = std::min(fewest, fewestShortBits(sf));
            }
        EXPECT_EQ(part2, fewest) << "round " << round;
        raised += !std::equal(info.subblock_gain, info.subblock_gain + 3, after.granuleInfo[0][0].subblock_gain);
        // A silent band 12 made to sound: its window's gain now scales it otherwise.
        for (int w = 0; w < 3; ++w)
            if (after.granuleInfo[0][0].subblock_gain[w] != info.subblock_gain[w]) {
                FrameRecord sounding = after;
                topBandLine(sounding, w, false) = 1;
                FrameRecord original = before;
                topBandLine(original, w, false) = 1;
                EXPECT_FALSE(l3::sameScaling(original, sounding, 0, 0)) << "round " << round;
            }
    }
    EXPECT_GT(raised, 50);
}

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// part2_3_length of every granule of every audio frame, in order.
std::vector<int> granuleLengths(std::span<const uint8_t> bytes) {
    l3::SourceStream src;
    l3::SourceProblem problem;
    EXPECT_TRUE(l3::readSource(bytes.data(), bytes.size(), l3::SourcePass::layout, 1, src, problem));
    std::vector<int> lengths;
    FrameRecord rec;
    for (const l3::SourceFrame& f : src.frames) {
        l3::readSideInfo(bytes.data() + f.offset, rec);
        for (int gr = 0; gr < l3::granuleCount(rec.header); ++gr)
            for (int ch = 0; ch < l3::channelCount(rec.header); ++ch)
                lengths.push_back(rec.granuleInfo[gr][ch].part2_3_length);
    }
    return lengths;
}

TEST(RepackHuffman, NoGranuleOfALameStreamGrows) {
    int shrunk = 0;
    for (const auto& e : fs::directory_iterator(fs::path(TEST_DATA_DIR) / "lame")) {
        if (e.path().extension() != ".mp3") continue;
        SCOPED_TRACE(e.path().filename().string());
        const std::vector<uint8_t> in = readFile(e.path());
        l3::RepackOptions options;
        options.huffman = true;
        const l3::RepackResult r = l3::repackStream(in.data(), in.size(), options);
        ASSERT_EQ(r.status, l3::Status::ok) << r.message;
        const std::vector<int> before = granuleLengths(in), after = granuleLengths(r.output);
        ASSERT_EQ(before.size(), after.size());
        for (size_t k = 0; k < before.size(); ++k) {
            EXPECT_LE(after[k], before[k]) << "granule " << k;
            shrunk += after[k] < before[k];
        }
    }
    EXPECT_GT(shrunk, 100);
}

}  // namespace
