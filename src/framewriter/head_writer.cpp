#include "framewriter/head_writer.h"

#include "format/frame_crc.h"
#include "l3/frame_length.h"
#include "framewriter/frame_writer_state.h"

namespace l3 {

namespace {

// Side-information fields are int32 in the record; checked values are non-negative and
// fit their widths.
inline void put(BitPacker& p, int32_t value, int width) {
    pack(p, static_cast<uint32_t>(value), width);
}

// Fills in the fields the stream leaves implicit, then writes the 22 bits that depend
// on window switching.
void writeBranchElements(BitPacker& store, GranuleChannelInfo& info, bool mpeg1) {
    if (info.window_switching_flag != 0) {
        info.table_select[2] = 0;
        info.region0_count = implicitRegion0Count(mpeg1, info.block_type);
        info.region1_count = kImplicitRegion1Count;
        put(store, info.block_type, 2);
        put(store, info.mixed_block_flag, 1);
        put(store, info.table_select[0], 5);
        put(store, info.table_select[1], 5);
        put(store, info.subblock_gain[0], 3);
        put(store, info.subblock_gain[1], 3);
        put(store, info.subblock_gain[2], 3);
    } else {
        info.block_type = 0;
        info.mixed_block_flag = 0;
        put(store, info.table_select[0], 5);
        put(store, info.table_select[1], 5);
        put(store, info.table_select[2], 5);
        put(store, info.region0_count, 4);
        put(store, info.region1_count, 3);
    }
}

void writeSideInfo(FrameWriterState& state, BitPacker& store) {
    FrameRecord& rec = state.record;
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = mpeg1 ? 2 : 1;

    rec.placedMainDataBegin = state.firstFrame ? 0 : rec.main_data_begin;
    put(store, rec.main_data_begin, mpeg1 ? 9 : 8);
    if (mpeg1) {
        put(store, rec.private_bits, channels == 1 ? 5 : 3);
        for (int ch = 0; ch < channels; ++ch)
            for (int group = 0; group < 4; ++group) put(store, rec.scfsi[ch][group], 1);
    } else {
        put(store, rec.private_bits, channels == 1 ? 1 : 2);
    }

    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            put(store, rec.rawMainData ? info.rawPart2_3Length : info.part2_3_length, 12);
            put(store, info.big_values, 9);
            put(store, info.global_gain, 8);
            put(store, info.scalefac_compress, mpeg1 ? 4 : 9);
            put(store, info.window_switching_flag, 1);
            writeBranchElements(store, info, mpeg1);
            if (mpeg1) put(store, info.preflag, 1);
            put(store, info.scalefac_scale, 1);
            put(store, info.count1table_select, 1);
        }
    }
}

}  // namespace

void writeHead(FrameWriterState& state) {
    BitStore& store = state.store;
    const uint32_t header = state.record.header;
    clearAhead(store);
    // The header goes into cleared bytes, so putting it is the same as replacing them.
    BitWriter w = beginWriting(store);
    BitPacker fields{w};
    pack(fields, header, 32);
    // The CRC field starts as a copy of the last two header bytes, which the CRC covers.
    if (hasCrc(header)) pack(fields, header & 0xFFFF, 16);
    writeSideInfo(state, fields);
    flushPacker(fields);
    endWriting(w, store);

    FrameSlot& slot = state.ring.slots[writeSlot(state.ring)];
    slot.headCount = headByteCount(header);
    takeBytes(store, slot.headBytes, slot.headCount);
    if (hasCrc(header)) {
        uint16_t crc = frameCrc(slot.headBytes + 4, 2 + static_cast<size_t>(sideInfoBytes(header)));
        slot.headBytes[4] = static_cast<uint8_t>(crc >> 8);
        slot.headBytes[5] = static_cast<uint8_t>(crc);
    }
}

}  // namespace l3
