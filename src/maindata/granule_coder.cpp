#include "maindata/granule_coder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "format/scalefactor_layout.h"
#include "maindata/scale_forms.h"
#include "maindata/spectrum_search.h"

namespace l3 {

namespace {

constexpr int kNoCost = INT_MAX / 4;

// The widths MPEG-1 scalefactors need: the bit width of the largest value under slen1 and
// under slen2, and how many values each codes (the scfsi groups granule 1 leaves out, marked
// in skipped, not counted).
struct Mpeg1Need {
    int width[2], count[2];
};

Mpeg1Need mpeg1Need(const GranuleChannelInfo& info, const uint16_t* sf, const bool skipped[4]) {
    unsigned high[2] = {0, 0};
    Mpeg1Need need{{0, 0}, {0, 0}};
    auto run = [&](int from, int to, int which) {
        for (int i = from; i < to; ++i) high[which] |= sf[i];
        need.count[which] += to - from;
    };
    if (info.block_type == 2) {
        const bool mixed = info.mixed_block_flag != 0;
        if (mixed) run(0, 8, 0);
        run(kShortBase + (mixed ? 9 : 0), kShortBase + 18, 0);
        run(kShortBase + 18, kShortBase + 36, 1);
    } else {
        for (int group = 0; group < 4; ++group)
            if (!skipped[group])
                run(scfsiGroupStart[group], scfsiGroupStart[group + 1], group < 2 ? 0 : 1);
    }
    need.width[0] = std::bit_width(high[0]);
    need.width[1] = std::bit_width(high[1]);
    return need;
}

// Bits under scalefac_compress sc, or kNoCost when a value does not fit.
int mpeg1Bits(const Mpeg1Need& need, int sc) {
    const int slen1 = mpeg1Slen[0][sc], slen2 = mpeg1Slen[1][sc];
    if (need.width[0] > slen1 || need.width[1] > slen2) return kNoCost;
    return need.count[0] * slen1 + need.count[1] * slen2;
}

// The fewest bits of a granule's scalefactors and the scalefac_compress that gives them.
struct Widths {
    int bits = kNoCost;
    int scalefac_compress = 0;
};

Widths mpeg1Widths(const GranuleChannelInfo& info, const uint16_t* sf, const bool skipped[4]) {
    const Mpeg1Need need = mpeg1Need(info, sf, skipped);
    Widths w;
    for (int sc = 0; sc < 16; ++sc) {
        const int bits = mpeg1Bits(need, sc);
        if (bits < w.bits) w = {bits, sc};
    }
    return w;
}

// The widths each LSF partition layout needs for these scalefactors: need[row][p] is the
// bit width of the largest value in partition p of partition row `row`.
void lsfWidthsNeeded(const GranuleChannelInfo& info, const uint16_t* sf, int need[6][4]) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    for (int row = 0; row < 6; ++row) {
        const uint8_t* counts = nrOfSfbBlock[row][kind];
        int index = 0;
        for (int p = 0; p < 4; ++p) {
            unsigned largest = 0;
            for (int j = 0; j < counts[p]; ++j) largest |= sf[index + j];
            need[row][p] = std::bit_width(largest);
            index += counts[p];
        }
    }
}

// Bits of LSF scalefactors with the widths lsfWidthsNeeded found under the packed entry, or
// kNoCost.
int lsfScalefactorBits(const GranuleChannelInfo& info, const int need[6][4], uint32_t entry) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const int row = partitionRow(entry);
    const uint8_t* counts = nrOfSfbBlock[row][kind];
    int bits = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        if (need[row][p] > width) return kNoCost;
        bits += counts[p] * width;
    }
    return bits;
}

// The fewest bits over every scalefac_compress with the preflag it implies (the first of
// them where several give as few). Each partition row's widths follow from its index:
// 0..399 give slen1..4 = (i >> 4) / 5, (i >> 4) % 5, (i & 15) >> 2, i & 3; 400..499 give
// slen1..3 = (j >> 2) / 5, (j >> 2) % 5, j & 3 for j = i - 400; 500..511 give slen1..2 =
// j / 3, j % 3 for j = i - 500, with preflag. So the narrowest widths of a row are the
// needed ones, where the row has them.
Widths lsfWidths(const GranuleChannelInfo& info, const uint16_t* sf, int preflag) {
    int need[6][4];
    lsfWidthsNeeded(info, sf, need);
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    struct Row {
        int first;
        int limit[4];  // the widest slen of each partition
    };
    static constexpr Row kRows[3] = {{0, {4, 4, 3, 3}}, {400, {4, 4, 3, 0}}, {500, {3, 2, 0, 0}}};
    Widths w;
    for (int row = preflag ? 2 : 0; row < (preflag ? 3 : 2); ++row) {
        const int* n = need[row];
        bool fits = true;
        int bits = 0;
        for (int p = 0; p < 4; ++p) {
            fits = fits && n[p] <= kRows[row].limit[p];
            bits += nrOfSfbBlock[row][kind][p] * n[p];
        }
        if (!fits || bits >= w.bits) continue;
        const int sc = row == 0   ? ((n[0] * 5 + n[1]) << 4) + (n[2] << 2) + n[3]
                       : row == 1 ? 400 + ((n[0] * 5 + n[1]) << 2) + n[2]
                                  : 500 + n[0] * 3 + n[1];
        w = {bits, sc};
    }
    return w;
}

int currentScalefactorBits(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (!isMpeg1(rec.header)) {
        int need[6][4];
        lsfWidthsNeeded(info, rec.scalefactors[0][ch], need);
        return lsfScalefactorBits(info, need,
                                  lsfScalefacEntry(rec.header, ch, info.scalefac_compress));
    }
    bool skipped[4] = {};
    for (int g = 0; g < 4; ++g) skipped[g] = gr == 1 && rec.scfsi[ch][g] != 0;
    return mpeg1Bits(mpeg1Need(info, rec.scalefactors[gr][ch], skipped), info.scalefac_compress);
}

// scfsi of granule 1: the groups whose scalefactors agree with granule 0's, where neither
// granule has short blocks.
void sharedGroups(const GranuleChannelInfo& info0, const uint16_t* sf0,
                  const GranuleChannelInfo& info1, const uint16_t* sf1, bool shared[4]) {
    const bool longBlocks = info0.block_type != 2 && info1.block_type != 2;
    for (int g = 0; g < 4; ++g) {
        bool same = longBlocks;
        for (int b = scfsiGroupStart[g]; same && b < scfsiGroupStart[g + 1]; ++b) same = sf0[b] == sf1[b];
        shared[g] = same;
    }
}

// A granule's new coding, while the frame's choices are made.
struct Plan {
    bool recode = false;     // not kept, and a coding holds its values
    bool freshSpectrum = false;
    SpectrumCoding spectrum{};
    int spectrumBits = 0;    // of the new coding, or of the old one where that is no larger
    ScaleForm forms[kMaxScaleForms];
    int formCount = 1;
    int form = 0;            // the one taken
    Widths widths;
};

}  // namespace

void recodeFrame(FrameRecord& rec, unsigned keep, bool otherForms) {
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = granuleCount(rec.header);
    GranuleChannelInfo old[2][2];
    std::memcpy(old, rec.granuleInfo, sizeof old);

    // The spectrum: the new coding where it takes fewer bits than the old one (which may
    // use a count1 region or big values the search leaves out).
    Plan plan[2][2];
    for (int gr = 0; gr < granules; ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            Plan& p = plan[gr][ch];
            if (keep & keepBit(gr, ch)) {
                scaleForms(rec, gr, ch, p.forms);  // its own, which stays
                continue;
            }
            const int oldSf = currentScalefactorBits(rec, gr, ch);
            const int oldSpectrum =
                oldSf >= kNoCost ? kNoCost : old[gr][ch].part2_3_length - oldSf;
            p.spectrum = bestSpectrumCoding(rec.header, rec.granuleInfo[gr][ch], rec.spectrum[gr][ch]);
            p.freshSpectrum = p.spectrum.bits < kNoSpectrumCoding && p.spectrum.bits < oldSpectrum;
            p.spectrumBits = p.freshSpectrum ? p.spectrum.bits : oldSpectrum;
            p.recode = p.spectrumBits < kNoCost;
            p.formCount = scaleForms(rec, gr, ch, p.forms);
            if (!p.recode || !otherForms) p.formCount = 1;
        }

    // The scalefactors: of each form (and in MPEG-1 each pair of forms, with the scfsi that
    // follows) the one with the fewest bits that leaves no granule larger than it was.
    auto fits = [&](int gr, int ch, int bits) {
        return !plan[gr][ch].recode || bits + plan[gr][ch].spectrumBits <= old[gr][ch].part2_3_length;
    };
    for (int ch = 0; ch < channels; ++ch) {
        if (!mpeg1) {
            Plan& p = plan[0][ch];
            if (!p.recode) continue;
            if (ch == 1 && (modeExtension(rec.header) & 1)) {
                // The right channel of intensity stereo: the widths also set which value
                // means "no intensity position", so they stay.
                p.widths = {currentScalefactorBits(rec, 0, ch), old[0][ch].scalefac_compress};
                continue;
            }
            for (int f = 0; f < p.formCount; ++f) {
                const Widths w =
                    lsfWidths(rec.granuleInfo[0][ch], p.forms[f].scalefactors, p.forms[f].preflag);
                if (w.bits < p.widths.bits && (f == 0 || fits(0, ch, w.bits))) {
                    p.widths = w;
                    p.form = f;
                }
            }
            continue;
        }
        // Kept granules keep their scalefactors, and a kept granule 1 its scfsi.
        Plan& p0 = plan[0][ch];
        Plan& p1 = plan[1][ch];
        const bool keep0 = keep & keepBit(0, ch), keep1 = keep & keepBit(1, ch);
        const int forms0 = keep0 || keep1 ? 1 : p0.formCount;
        const int forms1 = keep1 ? 1 : p1.formCount;
        const int kept0 = keep0 ? currentScalefactorBits(rec, 0, ch) : 0;
        const int kept1 = keep1 ? currentScalefactorBits(rec, 1, ch) : 0;
        int best = kNoCost;
        bool bestShared[4] = {};
        for (int f0 = 0; f0 < forms0; ++f0)
            for (int f1 = 0; f1 < forms1; ++f1) {
                const uint16_t* sf0 = p0.forms[f0].scalefactors;
                const uint16_t* sf1 = p1.forms[f1].scalefactors;
                bool shared[4];
                if (keep1) {
                    for (int g = 0; g < 4; ++g) shared[g] = rec.scfsi[ch][g] != 0;
                } else {
                    sharedGroups(rec.granuleInfo[0][ch], sf0, rec.granuleInfo[1][ch], sf1, shared);
                }
                const bool none[4] = {};
                const Widths w0 = keep0 ? Widths{kept0, old[0][ch].scalefac_compress}
                                        : mpeg1Widths(rec.granuleInfo[0][ch], sf0, none);
                const Widths w1 = keep1 ? Widths{kept1, old[1][ch].scalefac_compress}
                                        : mpeg1Widths(rec.granuleInfo[1][ch], sf1, shared);
                const int bits = w0.bits + w1.bits;
                if (bits >= best) continue;
                // The granules' own forms always fit; another form only where no granule
                // grows.
                if ((f0 || f1) && (!fits(0, ch, w0.bits) || !fits(1, ch, w1.bits))) continue;
                best = bits;
                p0.form = f0;
                p1.form = f1;
                p0.widths = w0;
                p1.widths = w1;
                std::copy(shared, shared + 4, bestShared);
            }
        if (!keep1)
            for (int g = 0; g < 4; ++g) rec.scfsi[ch][g] = bestShared[g];
    }

    auto apply = [&](int gr, int ch) {
        const Plan& p = plan[gr][ch];
        GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
        if (!p.recode) return;  // kept, or values no coding holds (its length says so)
        if (p.widths.bits >= kNoCost) {
            info = old[gr][ch];  // scalefactors no width holds: the old length says so
            return;
        }
        const ScaleForm& f = p.forms[p.form];
        info.scalefac_scale = f.scalefac_scale;
        info.preflag = f.preflag;
        std::copy(f.subblock_gain, f.subblock_gain + 3, info.subblock_gain);
        std::copy(f.scalefactors, f.scalefactors + kScalefactorEntries,
                  rec.scalefactors[mpeg1 ? gr : 0][ch]);
        info.scalefac_compress = p.widths.scalefac_compress;
        if (p.freshSpectrum) {
            const SpectrumCoding& c = p.spectrum;
            info.big_values = c.big_values;
            info.region0_count = c.region0_count;
            info.region1_count = c.region1_count;
            std::copy(c.table_select, c.table_select + 3, info.table_select);
            info.count1table_select = c.count1table_select;
        }
        info.part2_3_length = p.widths.bits + p.spectrumBits;
        info.rawPart2_3Length = info.part2_3_length;
    };
    for (int gr = 0; gr < granules; ++gr)
        for (int ch = 0; ch < channels; ++ch) apply(gr, ch);

    // An MPEG-1 granule of length 0 codes nothing, not even the scalefactors scfsi reuses:
    // a granule 1 that would have no bits but reuses scalefactors that are not all zero
    // codes them itself.
    for (int ch = 0; mpeg1 && ch < channels; ++ch) {
        GranuleChannelInfo& info = rec.granuleInfo[1][ch];
        if (info.part2_3_length != 0 || (keep & keepBit(1, ch))) continue;
        bool reusesValues = false;
        for (int g = 0; g < 4; ++g)
            for (int b = scfsiGroupStart[g]; rec.scfsi[ch][g] && b < scfsiGroupStart[g + 1]; ++b)
                reusesValues = reusesValues || rec.scalefactors[1][ch][b] != 0;
        if (!reusesValues) continue;
        std::fill(rec.scfsi[ch], rec.scfsi[ch] + 4, 0);
        const bool none[4] = {};
        const Widths w = mpeg1Widths(info, rec.scalefactors[1][ch], none);
        info.scalefac_compress = w.scalefac_compress;
        info.part2_3_length = info.rawPart2_3Length = w.bits + plan[1][ch].spectrumBits;
    }
}

bool sameGranuleValues(const FrameRecord& a, const FrameRecord& b, int gr, int ch) {
    const GranuleChannelInfo& x = a.granuleInfo[gr][ch];
    const GranuleChannelInfo& y = b.granuleInfo[gr][ch];
    // MPEG-2/2.5 frames keep their one granule's scalefactors at granule 0.
    const int sf = isMpeg1(a.header) ? gr : 0;
    return x.window_switching_flag == y.window_switching_flag && x.block_type == y.block_type &&
           x.mixed_block_flag == y.mixed_block_flag &&
           std::equal(a.spectrum[gr][ch], a.spectrum[gr][ch] + kSpectrumLines,
                      b.spectrum[gr][ch]) &&
           std::equal(a.scalefactors[sf][ch], a.scalefactors[sf][ch] + kScalefactorEntries,
                      b.scalefactors[sf][ch]);
}

}  // namespace l3
