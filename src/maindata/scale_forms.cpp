#include "maindata/scale_forms.h"

#include <algorithm>
#include <climits>

#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "format/scalefactor_layout.h"

namespace l3 {

namespace {

// What preflag adds to the scalefactors of long bands 0..21.
constexpr int kPretab[22] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};

// The record entries of a granule's coded scalefactors: long bands 0..20 at 0..20 (both
// versions); short bands 0..11, three windows each, from kShortBase (MPEG-1) or 0.
struct Entries {
    int first, count;
    bool longBands;
};

Entries entriesOf(const FrameRecord& rec, int gr, int ch) {
    if (rec.granuleInfo[gr][ch].block_type != 2) return {0, 21, true};
    return {isMpeg1(rec.header) ? kShortBase : 0, 36, false};
}

const uint16_t* scalefactorsOf(const FrameRecord& rec, int gr, int ch) {
    return rec.scalefactors[isMpeg1(rec.header) ? gr : 0][ch];
}

// True when the granule's scalefactors may take another form.
bool formsAllowed(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (ch == 1 && (modeExtension(rec.header) & 1)) return false;  // intensity positions
    return info.block_type != 2 || (!info.mixed_block_flag && !info.preflag);
}

// The scaled value of entry i (relative to Entries::first): in half steps of the exponent.
int scaled(const Entries& e, int i, int sf, int scale, int preflag) {
    return (1 + scale) * (sf + (e.longBands ? preflag * kPretab[i] : 0));
}

// The scaled value in the same units with the window's subblock gain (short blocks): one
// step of subblock_gain is 8 quarter steps of the exponent, 4 of these units.
int scaledInWindow(const Entries& e, int i, int sf, const GranuleChannelInfo& info) {
    const int window = e.longBands ? 0 : 4 * info.subblock_gain[i % 3];
    return window + scaled(e, i, sf, info.scalefac_scale, info.preflag);
}

// True when band 12 (no scalefactor of its own) of short window w holds only zeros.
bool silentTopBand(const FrameRecord& rec, int gr, int ch, int w) {
    const auto& edges = shortBandEdges[bandEdgeRow(rec.header)];
    const int width = 192 - edges[12];
    const int16_t* band = rec.spectrum[gr][ch] + 3 * edges[12] + w * width;
    return std::all_of(band, band + width, [](int16_t v) { return v == 0; });
}

// f with each window whose band 12 is silent given the largest subblock_gain its
// scalefactors leave room for (at most 7), or false when no window gains any.
bool raiseSubblockGains(const FrameRecord& rec, int gr, int ch, const Entries& e, ScaleForm& f) {
    const int step = 4 / (1 + f.scalefac_scale);  // scalefactor steps per subblock_gain step
    bool raised = false;
    for (int w = 0; w < 3; ++w) {
        if (!silentTopBand(rec, gr, ch, w)) continue;
        int lowest = INT_MAX;
        for (int i = w; i < e.count; i += 3) lowest = std::min<int>(lowest, f.scalefactors[e.first + i]);
        const int k = std::min(7 - f.subblock_gain[w], lowest / step);
        if (k <= 0) continue;
        f.subblock_gain[w] += k;
        for (int i = w; i < e.count; i += 3)
            f.scalefactors[e.first + i] = static_cast<uint16_t>(f.scalefactors[e.first + i] - k * step);
        raised = true;
    }
    return raised;
}

}  // namespace

int scaleForms(const FrameRecord& rec, int gr, int ch, ScaleForm forms[kMaxScaleForms]) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const uint16_t* sf = scalefactorsOf(rec, gr, ch);
    ScaleForm& own = forms[0];
    own.scalefac_scale = info.scalefac_scale;
    own.preflag = info.preflag;
    std::copy(info.subblock_gain, info.subblock_gain + 3, own.subblock_gain);
    std::copy(sf, sf + kScalefactorEntries, own.scalefactors);
    if (!formsAllowed(rec, gr, ch)) return 1;
    const Entries e = entriesOf(rec, gr, ch);
    // preflag is implied by scalefac_compress in MPEG-2/2.5 and means nothing in short blocks.
    const bool preflagFree = isMpeg1(rec.header) && e.longBands;
    int count = 1;
    for (int scale = 0; scale < 2; ++scale)
        for (int preflag = 0; preflag < 2; ++preflag) {
            if (scale == info.scalefac_scale && preflag == info.preflag) continue;
            if (!preflagFree && preflag != info.preflag) continue;
            ScaleForm& f = forms[count];
            f = own;
            f.scalefac_scale = scale;
            f.preflag = preflag;
            bool fits = true;
            for (int i = 0; i < e.count && fits; ++i) {
                const int value = scaled(e, i, sf[e.first + i], info.scalefac_scale, info.preflag);
                const int v = value / (1 + scale) - (e.longBands ? preflag * kPretab[i] : 0);
                fits = value % (1 + scale) == 0 && v >= 0;
                f.scalefactors[e.first + i] = static_cast<uint16_t>(v);
            }
            if (fits) ++count;
        }
    // Short blocks (preflag never varies there): each form again with its windows' gains
    // raised, where that lowers the scalefactors.
    if (!e.longBands)
        for (int f = 0, forms0 = count; f < forms0; ++f) {
            forms[count] = forms[f];
            if (raiseSubblockGains(rec, gr, ch, e, forms[count])) ++count;
        }
    return count;
}

bool sameScaling(const FrameRecord& a, const FrameRecord& b, int gr, int ch) {
    const GranuleChannelInfo& x = a.granuleInfo[gr][ch];
    const GranuleChannelInfo& y = b.granuleInfo[gr][ch];
    if (x.global_gain != y.global_gain || x.window_switching_flag != y.window_switching_flag ||
        x.block_type != y.block_type || x.mixed_block_flag != y.mixed_block_flag)
        return false;
    const bool sameGains = std::equal(x.subblock_gain, x.subblock_gain + 3, y.subblock_gain);
    const uint16_t* p = scalefactorsOf(a, gr, ch);
    const uint16_t* q = scalefactorsOf(b, gr, ch);
    const bool same = x.scalefac_scale == y.scalefac_scale && x.preflag == y.preflag;
    if (!formsAllowed(a, gr, ch) || !formsAllowed(b, gr, ch))
        return same && sameGains && std::equal(p, p + kScalefactorEntries, q);
    const Entries e = entriesOf(a, gr, ch);
    if (e.longBands ? !sameGains : x.preflag != y.preflag) return false;
    // A short window's band 12 takes subblock_gain alone: it may differ only where the band
    // plays as zeros.
    for (int w = 0; w < 3 && !e.longBands; ++w)
        if (x.subblock_gain[w] != y.subblock_gain[w] &&
            !(silentTopBand(a, gr, ch, w) && silentTopBand(b, gr, ch, w)))
            return false;
    for (int i = 0; i < kScalefactorEntries; ++i) {
        const int k = i - e.first;
        if (k < 0 || k >= e.count) {
            if (p[i] != q[i]) return false;
        } else if (scaledInWindow(e, k, p[i], x) != scaledInWindow(e, k, q[i], y)) {
            return false;
        }
    }
    return true;
}

}  // namespace l3
