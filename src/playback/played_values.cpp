#include "playback/played_values.h"

#include <algorithm>

#include "disassemble/main_data_reader.h"
#include "l3/band_edges.h"
#include "l3/frame_header.h"

namespace l3 {

namespace {

// Region starts 1 and 2 of a granule in one decoder's reading, within the big values.
struct Starts {
    int r1, r2;
};

Starts decoderStarts(uint32_t header, const GranuleChannelInfo& info, int decoder) {
    const int bigEnd = 2 * info.big_values;
    int r1, r2;
    if (info.window_switching_flag) {
        r1 = switchingStartLine(header, info, decoder);
        r2 = kSpectrumLines;
    } else {
        r1 = edgeLine(header, std::min(info.region0_count + 1, 22), decoder);
        r2 = edgeLine(header, std::min(info.region0_count + info.region1_count + 2, 22), decoder);
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
    Starts starts[kRegionDecoders];
    for (int d = 0; d < kRegionDecoders; ++d) starts[d] = decoderStarts(rec.header, info, d);
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
            for (int d = 1; d < kRegionDecoders; ++d)
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
