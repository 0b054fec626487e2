#pragma once
// Where decoders place the big-value region boundaries, as lines: the line at which they
// start region 1 of a window-switching granule (the side information does not send it, and
// they do not agree), and the lines at which they place a long-block band edge named by
// region0_count or region1_count (they agree but at one edge). The coding rules the
// assembler writes by are the first decoder's reading; the spectrum search avoids
// boundaries the others place apart, and the playback model marks granules coded across
// them.
//
// Pure functions of the header and the side information; any thread.

#include <cstdint>

#include "l3/record.h"

namespace l3 {

// The decoders whose reading these lines follow: mpg123 (libmpg123), ffmpeg (libavcodec),
// madplay (libmad), in this order; the first one's reading is the one values are read with
// where they disagree.
inline constexpr int kRegionDecoders = 3;

// The line at which decoder `decoder` starts region 1 of a window-switching granule.
int switchingStartLine(uint32_t header, const GranuleChannelInfo& info, int decoder);

// The line at which decoder `decoder` places the long-block band edge `edge` (0..22) as a
// region boundary.
int edgeLine(uint32_t header, int edge, int decoder);

// Where decoders start region 1 of a window-switching granule, as lines: low..high (equal
// where they agree), and the region0_count (a long band edge, edge = region0_count + 1) at
// which values are read and written.
struct SwitchingRegions {
    int region0_count;
    int low, high;
};
SwitchingRegions switchingRegions(uint32_t header, const GranuleChannelInfo& info);

// The lines at which decoders place the long-block band edge `edge` (0..22) as a region
// boundary: low..high, equal where they agree.
struct EdgeLines {
    int low, high;
};
EdgeLines regionEdgeLines(uint32_t header, int edge);

}  // namespace l3
