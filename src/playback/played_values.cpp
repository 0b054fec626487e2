#include "playback/played_values.h"

#include <algorithm>
#include <array>

#include "disassemble/main_data_reader.h"
#include "format/band_edges.h"
#include "format/frame_header.h"

namespace l3 {

namespace {

// The decoders whose reading the model follows, in this order in the tables below; the
// first one's reading is the one values are read with where they disagree.
constexpr int kDecoders = 3;  // mpg123 (libmpg123), ffmpeg (libavcodec), madplay (libmad)

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
constexpr std::array<std::array<std::array<int16_t, kDecoders>, kKinds>, 9> kSwitchingStart = {{
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
    std::array<int16_t, kDecoders> lines;
};
constexpr EdgeException kEdgeExceptions[] = {
    {4, 18, {332, 330, 332}},  // 24 kHz, the end of band 17
};

int edgeLine(int row, int edge, int decoder) {
    for (const EdgeException& e : kEdgeExceptions)
        if (e.row == row && e.edge == edge) return e.lines[static_cast<size_t>(decoder)];
    return longBandEdges[static_cast<size_t>(row)][static_cast<size_t>(edge)];
}

// Region starts 1 and 2 of a granule in one decoder's reading, within the big values.
struct Starts {
    int r1, r2;
};

Starts decoderStarts(uint32_t header, const GranuleChannelInfo& info, int decoder) {
    const int row = bandEdgeRow(header);
    const int bigEnd = 2 * info.big_values;
    int r1, r2;
    if (info.window_switching_flag) {
        r1 = kSwitchingStart[static_cast<size_t>(row)][switchingKind(info)]
                            [static_cast<size_t>(decoder)];
        r2 = kSpectrumLines;
    } else {
        r1 = edgeLine(row, std::min(info.region0_count + 1, 22), decoder);
        r2 = edgeLine(row, std::min(info.region0_count + info.region1_count + 2, 22), decoder);
    }
    return {std::min(r1, bigEnd), std::min(r2, bigEnd)};
}

// True when the granule's big values have a region coded with a table: pairs that take bits.
bool codedPairs(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);
    for (int region = 0; region < 3; ++region)
        if (info.table_select[region] != 0 && bounds.start[region] < bounds.start[region + 1])
            return true;
    return false;
}

}  // namespace

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
    const int row = bandEdgeRow(header);
    int low = edgeLine(row, edge, 0), high = low;
    for (int d = 1; d < kDecoders; ++d) {
        low = std::min(low, edgeLine(row, edge, d));
        high = std::max(high, edgeLine(row, edge, d));
    }
    return {low, high};
}

void setPlayedRegions(FrameRecord& rec) {
    for (int gr = 0; gr < granuleCount(rec.header); ++gr)
        for (int ch = 0; ch < channelCount(rec.header); ++ch) {
            GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            if (!info.window_switching_flag) continue;
            info.region0_count = switchingRegions(rec.header, info).region0_count;
            info.region1_count = kImplicitRegion1Count;
        }
}

bool boundaryDisputed(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (info.big_values <= 0) return false;
    Starts starts[kDecoders];
    for (int d = 0; d < kDecoders; ++d) starts[d] = decoderStarts(rec.header, info, d);
    // The region each decoder reads a line in; only lines between two decoders' starts can
    // differ, and there the region's table must be the same.
    auto table = [&](int d, int line) {
        const int region = line < starts[d].r1 ? 0 : line < starts[d].r2 ? 1 : 2;
        return info.table_select[region];
    };
    for (int boundary = 0; boundary < 2; ++boundary) {
        int low = kSpectrumLines, high = 0;
        for (const Starts& s : starts) {
            const int at = boundary == 0 ? s.r1 : s.r2;
            low = std::min(low, at);
            high = std::max(high, at);
        }
        for (int line = low; line < high; ++line)
            for (int d = 1; d < kDecoders; ++d)
                if (table(d, line) != table(0, line)) return true;
    }
    return false;
}

MainDataProblem readPlayedValues(const uint8_t* stream, int64_t mainStart, FrameRecord& rec,
                                 PlayedFrame& played) {
    played = {};
    MainDataEnds ends;
    if (const MainDataProblem problem = readMainData(stream, mainStart, rec, nullptr, &ends))
        return problem;
    for (int gr = 0; gr < granuleCount(rec.header); ++gr)
        for (int ch = 0; ch < channelCount(rec.header); ++ch) {
            const uint8_t end = ends.end[gr][ch];
            const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            if (end & kScalefactorsPastEnd)
                return {MainDataFault::coding, "scalefactors longer than part2_3_length"};
            if (end & kPairsPastEnd)
                return {MainDataFault::coding, "part2_3_length ends inside a big-value pair"};
            // mpg123 silences the frame there too, while the others play the pairs as zero.
            if ((end & kPairsLeft) || (info.part2_3_length == 0 && codedPairs(rec, gr, ch)))
                return {MainDataFault::coding,
                        "part2_3_length ends before its last big-value pairs"};
            uint8_t notes = 0;
            if (end & kBitsAfterLastLine) notes |= kStuffing;
            if (end & kQuadPastEnd) {
                notes |= kQuadDropped;
                if (end & kQuadSignsPastEnd) notes |= kQuadSignsCut;
                const int line = ends.lastQuad[gr][ch];
                int16_t* lines = rec.spectrum[gr][ch] + line;
                played.droppedLine[gr][ch] = static_cast<int16_t>(line);
                std::copy(lines, lines + 4, played.dropped[gr][ch]);
                std::fill(lines, lines + 4, int16_t{0});
            }
            if (boundaryDisputed(rec, gr, ch)) notes |= kBoundaryDisputed;
            played.notes[gr][ch] = notes;
            played.any |= notes;
        }
    return {};
}

void restoreCodedValues(FrameRecord& rec, const PlayedFrame& played) {
    if (!(played.any & kQuadDropped)) return;
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch)
            if (played.notes[gr][ch] & kQuadDropped)
                std::copy(played.dropped[gr][ch], played.dropped[gr][ch] + 4,
                          rec.spectrum[gr][ch] + played.droppedLine[gr][ch]);
}

const char* playedNoteText(uint8_t notes) {
    if (notes & kBoundaryDisputed)
        return "decoders place a region boundary differently, with other code tables on "
               "either side";
    if (notes & kQuadSignsCut)
        return "the sign bits of its last count1 quadruple run past part2_3_length";
    if (notes & kQuadDropped) return "its last count1 quadruple runs past part2_3_length";
    if (notes & kStuffing) return "bits after line 576 within part2_3_length";
    return "";
}

}  // namespace l3
