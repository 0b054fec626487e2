#include "format/region_lines.h"

#include <algorithm>
#include <array>

#include "l3/band_edges.h"
#include "l3/frame_header.h"

namespace l3 {

namespace {

// Window-switching granules of each kind: start, short, mixed (block type 2 with the mixed
// flag), stop.
enum SwitchingKind { kStart, kShort, kMixed, kStop, kKinds };

SwitchingKind switchingKind(const GranuleChannelInfo& info) {
    if (info.block_type == 2) return info.mixed_block_flag ? kMixed : kShort;
    return info.block_type == 1 ? kStart : kStop;
}

// The line at which each decoder starts region 1 of a window-switching granule, indexed by
// bandEdgeRow(header), kind and decoder. Found by decoding granules coded with another
// table on either side of a trial boundary, against the same values coded with one table.
constexpr std::array<std::array<std::array<int16_t, kRegionDecoders>, kKinds>, 9>
    kSwitchingStart = {{
        // MPEG-1 44.1, 48, 32 kHz: long band 8 for every kind.
        {{{36, 36, 36}, {36, 36, 36}, {36, 36, 36}, {36, 36, 36}}},
        {{{36, 36, 36}, {36, 36, 36}, {36, 36, 36}, {36, 36, 36}}},
        {{{36, 36, 36}, {36, 36, 36}, {36, 36, 36}, {36, 36, 36}}},
        // MPEG-2 22.05, 24, 16 kHz: line 36 (long band 6) for short blocks, long band 8 for
        // start and stop; mixed blocks at 36 but in madplay at 48, which is no band edge.
        {{{54, 54, 54}, {36, 36, 36}, {36, 36, 48}, {54, 54, 54}}},
        {{{54, 54, 54}, {36, 36, 36}, {36, 36, 48}, {54, 54, 54}}},
        {{{54, 54, 54}, {36, 36, 36}, {36, 36, 48}, {54, 54, 54}}},
        // MPEG-2.5 11.025, 12, 8 kHz: as MPEG-2, but mixed blocks three ways: mpg123 at long
        // band 8, ffmpeg at long band 6, madplay at 48 (64 at 8 kHz).
        {{{54, 54, 54}, {36, 36, 36}, {54, 36, 48}, {54, 54, 54}}},
        {{{54, 54, 54}, {36, 36, 36}, {54, 36, 48}, {54, 54, 54}}},
        {{{108, 108, 108}, {72, 72, 72}, {108, 72, 64}, {108, 108, 108}}},
    }};

// Long-block band edges that some decoder places elsewhere as a region boundary: row
// (bandEdgeRow), edge index, and the line each decoder uses.
struct EdgeException {
    int row, edge;
    std::array<int16_t, kRegionDecoders> lines;
};
constexpr EdgeException kEdgeExceptions[] = {
    {4, 18, {332, 330, 332}},  // 24 kHz, the end of band 17
};

}  // namespace

int switchingStartLine(uint32_t header, const GranuleChannelInfo& info, int decoder) {
    return kSwitchingStart[static_cast<size_t>(bandEdgeRow(header))][switchingKind(info)]
                          [static_cast<size_t>(decoder)];
}

int edgeLine(uint32_t header, int edge, int decoder) {
    const int row = bandEdgeRow(header);
    for (const EdgeException& e : kEdgeExceptions)
        if (e.row == row && e.edge == edge) return e.lines[static_cast<size_t>(decoder)];
    return longBandEdges[static_cast<size_t>(row)][static_cast<size_t>(edge)];
}

SwitchingRegions switchingRegions(uint32_t header, const GranuleChannelInfo& info) {
    const int row = bandEdgeRow(header);
    const auto& lines = kSwitchingStart[static_cast<size_t>(row)][switchingKind(info)];
    const auto [low, high] = std::minmax_element(lines.begin(), lines.end());
    const auto& edges = longBandEdges[static_cast<size_t>(row)];
    int region0 = implicitRegion0Count(isMpeg1(header), info.block_type);
    for (int e = 1; e < 22; ++e)
        if (edges[static_cast<size_t>(e)] == lines[0]) {
            region0 = e - 1;
            break;
        }
    return {region0, *low, *high};
}

EdgeLines regionEdgeLines(uint32_t header, int edge) {
    int low = edgeLine(header, edge, 0), high = low;
    for (int d = 1; d < kRegionDecoders; ++d) {
        low = std::min(low, edgeLine(header, edge, d));
        high = std::max(high, edgeLine(header, edge, d));
    }
    return {low, high};
}

}  // namespace l3
