#include "disassemble/side_info_reader.h"

#include <cstring>

#include "bits/bit_reader.h"
#include "format/byte_order.h"
#include "format/frame_crc.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

inline int32_t field(BitReader& r, int width) {
    return static_cast<int32_t>(readBits(r, width));
}

void readBranchElements(BitReader& r, GranuleChannelInfo& info, bool mpeg1) {
    if (info.window_switching_flag) {
        info.block_type = field(r, 2);
        info.mixed_block_flag = field(r, 1);
        info.table_select[0] = field(r, 5);
        info.table_select[1] = field(r, 5);
        info.table_select[2] = 0;
        for (int w = 0; w < 3; ++w) info.subblock_gain[w] = field(r, 3);
        info.region0_count = implicitRegion0Count(mpeg1, info.block_type);
        info.region1_count = kImplicitRegion1Count;
    } else {
        for (int region = 0; region < 3; ++region) info.table_select[region] = field(r, 5);
        info.region0_count = field(r, 4);
        info.region1_count = field(r, 3);
    }
}

}  // namespace

void readSideInfo(const uint8_t* frame, FrameRecord& record) {
    std::memset(&record, 0, sizeof record);
    const uint32_t header = loadBe32(frame);
    record.header = header;
    const bool mpeg1 = isMpeg1(header);
    const int channels = channelCount(header);
    const int granules = granuleCount(header);
    BitReader r{frame, 8 * sideInfoOffset(header), 8 * headByteCount(header)};

    record.main_data_begin = field(r, mpeg1 ? 9 : 8);
    if (mpeg1) {
        record.private_bits = field(r, channels == 1 ? 5 : 3);
        for (int ch = 0; ch < channels; ++ch)
            for (int group = 0; group < 4; ++group) record.scfsi[ch][group] = field(r, 1);
    } else {
        record.private_bits = field(r, channels == 1 ? 1 : 2);
    }
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            GranuleChannelInfo& info = record.granuleInfo[gr][ch];
            info.part2_3_length = field(r, 12);
            info.rawPart2_3Length = info.part2_3_length;
            info.big_values = field(r, 9);
            info.global_gain = field(r, 8);
            info.scalefac_compress = field(r, mpeg1 ? 4 : 9);
            info.window_switching_flag = field(r, 1);
            readBranchElements(r, info, mpeg1);
            if (mpeg1) info.preflag = field(r, 1);
            info.scalefac_scale = field(r, 1);
            info.count1table_select = field(r, 1);
        }
    }
}

MainDataExtent readMainDataExtent(const uint8_t* frame) {
    const uint32_t header = loadBe32(frame);
    const bool mpeg1 = isMpeg1(header);
    const int channels = channelCount(header);
    const int blocks = granuleCount(header) * channels;
    BitReader r{frame, 8 * sideInfoOffset(header), 8 * headByteCount(header)};
    MainDataExtent extent{field(r, mpeg1 ? 9 : 8), 0};
    // Private bits (and scfsi), then one block per granule and channel: part2_3_length first,
    // and every block as long as the others whichever window-switching branch it takes.
    r.pos += mpeg1 ? (channels == 1 ? 5 : 3) + 4 * channels : (channels == 1 ? 1 : 2);
    const int blockBits = mpeg1 ? 59 : 63;
    for (int b = 0; b < blocks; ++b) {
        extent.bits += field(r, 12);
        r.pos += blockBits - 12;
    }
    return extent;
}

bool crcMatches(const uint8_t* frame, uint32_t header) {
    if (!hasCrc(header)) return true;
    const uint16_t crc = frameHeadCrc(frame, header);
    return frame[4] == (crc >> 8) && frame[5] == (crc & 0xFF);
}

}  // namespace l3
