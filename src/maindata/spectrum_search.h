#pragma once
// The coding of one granule's spectral values in the fewest bits, found by exhaustive
// search: every legal big_values (from the smallest that holds every value above 1 up to
// the pair of the last nonzero line), every region0_count and region1_count of a long
// block (the implicit regions of a window-switching granule), the cheapest table of each
// region (never 4 or 14; an escape table only where its linbits hold the region's largest
// value), the cheaper count1 table, and a count1 region that ends with the quadruple of the
// last nonzero line. Codings that decoders read differently are left out (see
// region_lines.h): a long-block region boundary at a band edge decoders place apart, and,
// across the lines where decoders start region 1 of a window-switching granule apart, a
// second table.
//
// The search sweeps the pairs once with the bits of every table side by side, keeping per
// table the cheapest coding of the lines before the last region's start, and stops where a
// lower bound (the bits already spent, plus each later pair under its own cheapest table)
// reaches the best total found: it skips only what cannot win. Pure function; any thread.

#include <cstdint>

#include "l3/record.h"

namespace l3 {

// A granule's spectrum coding; bits is kNoSpectrumCoding where no table holds a value.
struct SpectrumCoding {
    int bits;
    int big_values, region0_count, region1_count, count1table_select;
    int table_select[3];
};

inline constexpr int kNoSpectrumCoding = 1 << 24;

// info gives the block layout (window_switching_flag, block_type, mixed_block_flag);
// lines are the granule's 576 values.
SpectrumCoding bestSpectrumCoding(uint32_t header, const GranuleChannelInfo& info,
                                  const int16_t* lines);

}  // namespace l3
