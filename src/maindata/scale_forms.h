#pragma once
// Other forms of a granule's scalefactors that decoders play the same: what scales each
// band is global_gain less 2 * (1 + scalefac_scale) * (scalefactor + preflag * pretab)
// quarter steps (short blocks: less 8 * subblock_gain of the window as well), so the
// scalefactors may halve with scalefac_scale set where every scaled value is even, and in
// MPEG-1 long blocks take the pretab in or out with preflag. In short blocks a window's
// subblock_gain and its scalefactors trade: one step of subblock_gain is 8 quarter steps,
// one of a scalefactor 2 (scalefac_scale 0) or 4 (scalefac_scale 1), so subblock_gain[w]
// may rise by k where every scalefactor of window w falls by 4k or 2k. Band 12 has no
// scalefactor and takes subblock_gain alone, so the trade is made only in a window whose
// band 12 holds no value but 0 (a zero plays as zero under any gain). The fewer bits decide
// which form recodeFrame takes (see granule_coder.h).
//
// Granules whose scalefactors carry another meaning, or where decoders may apply them
// otherwise, have no other form: the right channel of a frame with intensity stereo (its
// scalefactors are positions), mixed blocks, and short blocks with preflag set.
//
// Pure functions over caller-owned records; safe on any number of threads.

#include "l3/record.h"

namespace l3 {

struct ScaleForm {
    int scalefac_scale, preflag;
    int subblock_gain[3];
    uint16_t scalefactors[kScalefactorEntries];
};

inline constexpr int kMaxScaleForms = 4;

// The forms of granule (gr, ch) of rec: its own first, then the others (none that a
// scalefactor width cannot hold is left out here). Returns how many.
int scaleForms(const FrameRecord& rec, int gr, int ch, ScaleForm forms[kMaxScaleForms]);

// True when decoders scale every band of granule (gr, ch) in a and in b alike: the gains
// and flags the same, and the scalefactors (with the subblock gains of a short block) the
// same or in another form of the same scaling. The block layout and global_gain are
// compared too; the spectrum only where it decides whether a gain matters (band 12 of a
// short window, whose gain may differ where it holds only zeros in a and b).
bool sameScaling(const FrameRecord& a, const FrameRecord& b, int gr, int ch);

}  // namespace l3
