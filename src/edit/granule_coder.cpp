#include "edit/granule_coder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/band_edges.h"
#include "format/frame_header.h"
#include "format/scalefactor_layout.h"
#include "edit/spectrum_search.h"

namespace l3 {

namespace {

constexpr int kNoCost = INT_MAX / 4;

// Bits of MPEG-1 scalefactors under scalefac_compress sc, or kNoCost when a value does not
// fit; `skipped` marks the scfsi groups granule 1 leaves out.
int mpeg1ScalefactorBits(const GranuleChannelInfo& info, const uint16_t* sf, int sc,
                         const bool skipped[4]) {
    const int slen1 = mpeg1Slen[0][sc], slen2 = mpeg1Slen[1][sc];
    int bits = 0;
    auto run = [&](int from, int to, int width) {
        for (int i = from; i < to; ++i)
            if (sf[i] >> width) bits = kNoCost;
        if (bits < kNoCost) bits += (to - from) * width;
    };
    if (info.block_type == 2) {
        const bool mixed = info.mixed_block_flag != 0;
        if (mixed) run(0, 8, slen1);
        run(kShortBase + (mixed ? 9 : 0), kShortBase + 18, slen1);
        run(kShortBase + 18, kShortBase + 36, slen2);
    } else {
        for (int group = 0; group < 4; ++group)
            if (!skipped[group])
                run(scfsiGroupStart[group], scfsiGroupStart[group + 1], group < 2 ? slen1 : slen2);
    }
    return bits;
}

// Bits of MPEG-2/2.5 scalefactors under the packed entry, or kNoCost.
int lsfScalefactorBits(const GranuleChannelInfo& info, const uint16_t* sf, uint32_t entry) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
    int bits = 0, index = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        for (int j = 0; j < counts[p]; ++j)
            if (sf[index + j] >> width) return kNoCost;
        bits += counts[p] * width;
        index += counts[p];
    }
    return bits;
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

// lsfScalefactorBits from the widths lsfWidthsNeeded found.
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

int currentScalefactorBits(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (!isMpeg1(rec.header))
        return lsfScalefactorBits(info, rec.scalefactors[0][ch],
                                  lsfScalefacEntry(rec.header, ch, info.scalefac_compress));
    bool skipped[4] = {};
    for (int g = 0; g < 4; ++g) skipped[g] = gr == 1 && rec.scfsi[ch][g] != 0;
    return mpeg1ScalefactorBits(info, rec.scalefactors[gr][ch], info.scalefac_compress, skipped);
}

}  // namespace

void recodeFrame(FrameRecord& rec, unsigned keep) {
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = granuleCount(rec.header);
    const FrameRecord before = rec;

    // scfsi: granule 1 reuses granule 0's scalefactors of every group where they agree and
    // neither granule has short blocks.
    if (mpeg1)
        for (int ch = 0; ch < channels; ++ch) {
            if (keep & keepBit(1, ch)) continue;  // its bits stay, with the scfsi they assume
            const bool longBlocks =
                rec.granuleInfo[0][ch].block_type != 2 && rec.granuleInfo[1][ch].block_type != 2;
            for (int g = 0; g < 4; ++g) {
                bool same = longBlocks;
                for (int b = scfsiGroupStart[g]; same && b < scfsiGroupStart[g + 1]; ++b)
                    same = rec.scalefactors[0][ch][b] == rec.scalefactors[1][ch][b];
                rec.scfsi[ch][g] = same ? 1 : 0;
            }
        }

    auto code = [&](int gr, int ch) {
        if (keep & keepBit(gr, ch)) return;
        GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
        // Scalefactors: the narrowest widths that hold every value.
        int sfBits = kNoCost;
        if (mpeg1) {
            bool skipped[4] = {};
            for (int g = 0; g < 4; ++g) skipped[g] = gr == 1 && rec.scfsi[ch][g] != 0;
            for (int sc = 0; sc < 16; ++sc) {
                const int bits = mpeg1ScalefactorBits(info, rec.scalefactors[gr][ch], sc, skipped);
                if (bits < sfBits) sfBits = bits, info.scalefac_compress = sc;
            }
        } else if (ch == 1 && (modeExtension(rec.header) & 1)) {
            // The right channel of intensity stereo: the widths also set which value
            // means "no intensity position", so they stay.
            sfBits = currentScalefactorBits(rec, gr, ch);
        } else {
            const uint32_t old = lsfScalefacEntry(rec.header, ch, info.scalefac_compress);
            int need[6][4];
            lsfWidthsNeeded(info, rec.scalefactors[0][ch], need);
            for (int sc = 0; sc < 512; ++sc) {
                const uint32_t entry = lsfScalefacTables.lsfScalefac[static_cast<size_t>(sc)];
                if (impliedPreflag(entry) != impliedPreflag(old)) continue;
                const int bits = lsfScalefactorBits(info, need, entry);
                if (bits < sfBits) sfBits = bits, info.scalefac_compress = sc;
            }
        }
        const SpectrumCoding c = bestSpectrumCoding(rec.header, info, rec.spectrum[gr][ch]);
        const int total = c.bits >= kNoSpectrumCoding ? kNoCost : sfBits + c.bits;
        // The old coding stays where the new one is no smaller (it may use a count1
        // region the search does not consider).
        const GranuleChannelInfo& old = before.granuleInfo[gr][ch];
        const int oldSfBits = currentScalefactorBits(before, gr, ch);
        const bool sameScfsi =
            !mpeg1 || gr == 0 || std::equal(before.scfsi[ch], before.scfsi[ch] + 4, rec.scfsi[ch]);
        if (total >= kNoCost || (sameScfsi && old.part2_3_length <= total && oldSfBits < kNoCost)) {
            // Keep the old spectrum coding; where scfsi changed (granule 1 of MPEG-1),
            // with the scalefactor widths just chosen for it.
            const int chosen = info.scalefac_compress;
            info = old;
            if (!sameScfsi) {
                info.scalefac_compress = chosen;
                info.part2_3_length = old.part2_3_length - oldSfBits + sfBits;
                info.rawPart2_3Length = info.part2_3_length;
            }
            return;
        }
        info.big_values = c.big_values;
        info.region0_count = c.region0_count;
        info.region1_count = c.region1_count;
        std::copy(c.table_select, c.table_select + 3, info.table_select);
        info.count1table_select = c.count1table_select;
        info.part2_3_length = total;
        info.rawPart2_3Length = total;
    };
    for (int gr = 0; gr < granules; ++gr)
        for (int ch = 0; ch < channels; ++ch) code(gr, ch);

    // An MPEG-1 granule of length 0 codes nothing, not even the scalefactors scfsi reuses:
    // a granule 1 that would have no bits but reuses scalefactors that are not all zero
    // codes them itself.
    for (int ch = 0; mpeg1 && ch < channels; ++ch) {
        if (rec.granuleInfo[1][ch].part2_3_length != 0 || (keep & keepBit(1, ch))) continue;
        bool reusesValues = false;
        for (int g = 0; g < 4; ++g)
            for (int b = scfsiGroupStart[g]; rec.scfsi[ch][g] && b < scfsiGroupStart[g + 1]; ++b)
                reusesValues = reusesValues || rec.scalefactors[1][ch][b] != 0;
        if (!reusesValues) continue;
        std::fill(rec.scfsi[ch], rec.scfsi[ch] + 4, 0);
        code(1, ch);
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
