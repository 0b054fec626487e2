#include "assemble/record_check.h"

#include "l3/band_edges.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

constexpr int kMaxBigValues = 288;

// Collects the first field that does not fit; later checks are skipped once one failed.
struct Checker {
    RecordProblem found;
    int gr = -1;
    int ch = -1;

    bool ok() const { return found.field == nullptr; }

    void width(const char* field, int32_t value, int bits) {
        if (ok() && (value < 0 || value >= (int32_t{1} << bits)))
            found = recordProblem(field, value, widthReason(bits), gr, ch);
    }

    void fail(const char* field, int64_t value, const char* reason) {
        if (ok()) found = recordProblem(field, value, reason, gr, ch);
    }

    static const char* widthReason(int bits) {
        static const char* const reasons[] = {
            "does not fit 0 bits",  "does not fit 1 bit",   "does not fit 2 bits",
            "does not fit 3 bits",  "does not fit 4 bits",  "does not fit 5 bits",
            "does not fit 6 bits",  "does not fit 7 bits",  "does not fit 8 bits",
            "does not fit 9 bits",  "does not fit 10 bits", "does not fit 11 bits",
            "does not fit 12 bits",
        };
        return reasons[bits];
    }
};

bool tableExists(int t) {
    return t >= 0 && t < 32 && t != 4 && t != 14;
}

void checkGranuleChannel(Checker& c, const FrameRecord& rec, const GranuleChannelInfo& info) {
    const bool mpeg1 = isMpeg1(rec.header);
    const bool raw = rec.rawMainData != 0;
    if (raw)
        c.width("rawPart2_3Length", info.rawPart2_3Length, 12);
    else
        c.width("part2_3_length", info.part2_3_length, 12);
    c.width("big_values", info.big_values, 9);
    c.width("global_gain", info.global_gain, 8);
    c.width("scalefac_compress", info.scalefac_compress, mpeg1 ? 4 : 9);
    c.width("window_switching_flag", info.window_switching_flag, 1);
    const bool switching = info.window_switching_flag != 0;
    if (switching) {
        c.width("block_type", info.block_type, 2);
        c.width("mixed_block_flag", info.mixed_block_flag, 1);
        c.width("table_select[0]", info.table_select[0], 5);
        c.width("table_select[1]", info.table_select[1], 5);
        c.width("subblock_gain[0]", info.subblock_gain[0], 3);
        c.width("subblock_gain[1]", info.subblock_gain[1], 3);
        c.width("subblock_gain[2]", info.subblock_gain[2], 3);
    } else {
        c.width("table_select[0]", info.table_select[0], 5);
        c.width("table_select[1]", info.table_select[1], 5);
        c.width("table_select[2]", info.table_select[2], 5);
        c.width("region0_count", info.region0_count, 4);
        c.width("region1_count", info.region1_count, 3);
    }
    if (mpeg1) c.width("preflag", info.preflag, 1);
    c.width("scalefac_scale", info.scalefac_scale, 1);
    c.width("count1table_select", info.count1table_select, 1);
    if (raw || !c.ok()) return;

    if (info.big_values > kMaxBigValues) c.fail("big_values", info.big_values, "is above 288");
    if (!c.ok() || info.part2_3_length == 0) return;
    // The implicit region counts of window-switching granules are set by the head writer
    // before coding; they always lie within the band table.
    const int r0 = switching ? implicitRegion0Count(mpeg1, info.block_type) : info.region0_count;
    const int r1 = switching ? kImplicitRegion1Count : info.region1_count;
    const RegionBounds bounds = regionBounds(rec.header, info.big_values, r0, r1);
    static const char* const names[3] = {"table_select[0]", "table_select[1]", "table_select[2]"};
    for (int region = 0; region < (switching ? 2 : 3); ++region)
        if (bounds.start[region + 1] > bounds.start[region] &&
            !tableExists(info.table_select[region]))
            c.fail(names[region], info.table_select[region],
                   "names no code table (4 and 14 do not exist)");
}

}  // namespace

RecordProblem checkRecord(const AssemblerState& state, int32_t ancillaryBits) {
    const FrameRecord& rec = state.record;
    const uint32_t header = rec.header;
    if (versionCode(header) == 1)
        return recordProblem("version code (header bits 20-19)", 1, "is reserved");
    if (samplingIndex(header) == 3) return recordProblem("sampling_frequency", 3, "is reserved");
    if (!hasFrameLength(header))
        return recordProblem("bitrate_index", bitrateIndex(header), "gives no frame length");
    if (ancillaryBits > kMaxAncillaryBits)
        return recordProblem("ancillaryBits", ancillaryBits, "is above 8192");

    const bool mpeg1 = isMpeg1(header);
    const int channels = channelCount(header);
    Checker c;
    c.width("main_data_begin", rec.main_data_begin, mpeg1 ? 9 : 8);
    c.width("private_bits", rec.private_bits, mpeg1 ? (channels == 1 ? 5 : 3) : channels);
    if (mpeg1) {
        static const char* const names[4] = {"scfsi[0]", "scfsi[1]", "scfsi[2]", "scfsi[3]"};
        for (int ch = 0; ch < channels; ++ch) {
            c.ch = ch;
            for (int group = 0; group < 4; ++group) c.width(names[group], rec.scfsi[ch][group], 1);
        }
        c.ch = -1;
    }
    for (int gr = 0; gr < granuleCount(header); ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            c.gr = gr;
            c.ch = ch;
            checkGranuleChannel(c, rec, rec.granuleInfo[gr][ch]);
        }
    if (!c.ok()) return c.found;

    // Main data and ancillary bits are placed at or above the frame's start, reaching back
    // main_data_begin bytes; in the first frames that can reach above the store's top.
    const int64_t frameStart = state.store.writePos;
    const bool raw = rec.rawMainData != 0;
    const int64_t mainDataBegin = state.firstFrame ? 0 : rec.main_data_begin;
    const int64_t anchor = raw ? frameStart : frameStart + 8 * mainDataBegin;
    if (anchor + (ancillaryBits > 0 ? ancillaryBits : 0) > kStoreTopBit)
        return recordProblem("ancillaryBits", ancillaryBits,
                             "with main_data_begin reaches above the top of the bit store");
    return {};
}

}  // namespace l3
