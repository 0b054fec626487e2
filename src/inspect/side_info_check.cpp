#include "inspect/side_info_check.h"

#include "l3/band_edges.h"
#include "format/scalefactor_layout.h"

namespace l3 {

namespace {

// MPEG-1 long-block scalefactor bands per scfsi group, and their width (0 slen1, 1 slen2).
constexpr int kGroupBands[4] = {6, 5, 5, 5};
constexpr int kGroupWidth[4] = {0, 0, 1, 1};

}  // namespace

const char* sideInfoProblem(const FrameRecord& record, int gr, int ch) {
    const GranuleChannelInfo& info = record.granuleInfo[gr][ch];
    if (info.big_values > kMaxBigValues) return "big_values above 288";
    if (info.window_switching_flag && info.block_type == 0)
        return "a window-switching granule with block type 0";
    const RegionBounds bounds =
        regionBounds(record.header, info.big_values, info.region0_count, info.region1_count);
    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if ((t == 4 || t == 14) && bounds.start[region] < bounds.start[region + 1])
            return "a region coded with table 4 or 14";
    }
    return nullptr;
}

int32_t scalefactorBits(const FrameRecord& record, int gr, int ch) {
    const GranuleChannelInfo& info = record.granuleInfo[gr][ch];
    if (!isMpeg1(record.header)) {
        const uint32_t entry = lsfScalefacEntry(record.header, ch, info.scalefac_compress);
        const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
        const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
        int32_t bits = 0;
        for (int p = 0; p < 4; ++p) bits += counts[p] * slen(entry, p);
        return bits;
    }
    const int width[2] = {mpeg1Slen[0][info.scalefac_compress],
                          mpeg1Slen[1][info.scalefac_compress]};
    if (info.window_switching_flag && info.block_type == 2) {
        // Short bands 0-5 and 6-11, three windows each; a mixed block has long bands
        // 0-7 in place of short bands 0-2 (all slen1).
        return (info.mixed_block_flag ? 17 : 18) * width[0] + 18 * width[1];
    }
    int32_t bits = 0;
    for (int group = 0; group < 4; ++group)
        if (gr == 0 || !record.scfsi[ch][group])
            bits += kGroupBands[group] * width[kGroupWidth[group]];
    return bits;
}

}  // namespace l3
