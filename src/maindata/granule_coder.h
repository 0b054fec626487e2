#pragma once
// Re-choosing how a frame's decoded values are coded, for the fewest bits: per granule and
// channel the spectrum's coding (the big-values/count1 boundary, the region split, the
// table of each region and the count1 table: an exhaustive search, see spectrum_search.h);
// the scalefactors' form (scalefac_scale and, in MPEG-1 long blocks, preflag, where the
// scalefactors take them in; in short blocks each window's subblock_gain, where its
// scalefactors give way to it: see scale_forms.h) and widths (scalefac_compress, and scfsi in
// MPEG-1 frames, the partition layout in MPEG-2/2.5 frames). What a decoder computes from
// the frame does not change: global_gain, block types, every spectral value and what every
// band that holds a value other than 0 is scaled by stay. A granule keeps its old spectrum coding where that
// is no larger and never becomes larger than it was, so neither does a recoded frame.

#include "l3/record.h"

namespace l3 {

// record holds the decoded values and the side information they were read with (the
// region counts of window-switching granules where decoders place region 1, as
// setPlayedRegions leaves them); its coding fields and part2_3_length are replaced. The
// coding chosen is never one that decoders read differently (see spectrum_search.h). The
// granules named in keep (keepBit) keep their side information as it is. Without
// otherForms every scalefactor, scalefac_scale and preflag stays as the record has it (an
// edit of values reads back as written).
void recodeFrame(FrameRecord& record, unsigned keep = 0, bool otherForms = true);

inline unsigned keepBit(int gr, int ch) {
    return 1u << (2 * gr + ch);
}

// True when granule gr, channel ch has the same values in a and b: block type and flags,
// scalefactors and spectrum (what recodeFrame keeps, less the gains, which take no bits).
bool sameGranuleValues(const FrameRecord& a, const FrameRecord& b, int gr, int ch);

}  // namespace l3
