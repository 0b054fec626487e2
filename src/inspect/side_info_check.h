#pragma once
// Side information the stream format forbids, found before any main data is read, and the
// scalefactor bits a granule's side information implies.

#include <cstdint>

#include "l3/frame_record.h"

namespace l3 {

// Why granule gr, channel ch of record (filled by readSideInfo) cannot be decoded; null
// when its side information is allowed: big_values at most 288, no region coded with
// table 4 or 14, a window-switching granule not of block type 0, region counts inside
// the 22 long bands.
const char* sideInfoProblem(const FrameRecord& record, int gr, int ch);

// Bits of the scalefactors (part 2) that granule gr, channel ch begins with.
int32_t scalefactorBits(const FrameRecord& record, int gr, int ch);

}  // namespace l3
