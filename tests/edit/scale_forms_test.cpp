// The scalefactors' forms: recodeFrame's scalefactor bits against a brute force over every
// form that scales each band alike (scalefac_scale, preflag) and the scfsi that follows; the
// scaling comparison the verification relies on; and --huffman on real streams, where no
// granule may grow.

#include "edit/scale_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "disassemble/side_info_reader.h"
#include "edit/granule_coder.h"
#include "edit/repack.h"
#include "edit/source_stream.h"
#include "edit/spectrum_search.h"
#include "format/frame_header.h"
#include "format/scalefactor_layout.h"
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

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// part2_3_length of every granule of every audio frame, in order.
std::vector<int> granuleLengths(const std::vector<uint8_t>& bytes) {
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
        ASSERT_EQ(r.status, 0) << r.message;
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
