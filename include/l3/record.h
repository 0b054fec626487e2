#pragma once
// Records: the per-frame description l3assemble writes a stream from and l3disassemble
// takes a stream apart into.
//
// A record file is a 12-byte head (RecordFileHead), then per frame one 5610-byte record
// followed by the frame's 4-byte ancillary bit count. All numbers are little-endian and the
// layout is packed, so records are decoded field by field into the aligned FrameRecord
// below (decodeFrameRecord) and encoded back (encodeFrameRecord); never cast a file's
// bytes to a FrameRecord.

#include <cstddef>
#include <cstdint>

namespace l3 {

inline constexpr size_t kHeadBytes = 12;
inline constexpr size_t kRecordBytes = 5610;
inline constexpr size_t kRecordEntryBytes = kRecordBytes + 4;  // record + ancillaryBits
inline constexpr int kScalefactorEntries = 78;
inline constexpr int kSpectrumLines = 576;
// The assembler loads at most this many bytes of ancillary data per record, so a record
// carries at most 8192 ancillary bits.
inline constexpr int kAncillaryReadLimit = 1024;
inline constexpr int kMaxAncillaryBits = 8 * kAncillaryReadLimit;

// Side information of one granule and channel: twenty 32-bit fields in file order,
// 80 bytes in the file.
struct GranuleChannelInfo {
    int32_t reserved;
    int32_t rawPart2_3Length;  // written instead of part2_3_length in raw frames
    int32_t part2_3_length;    // also the exact number of main-data bits coded
    int32_t big_values;
    int32_t global_gain;
    int32_t scalefac_compress;
    int32_t window_switching_flag;
    int32_t block_type;
    int32_t mixed_block_flag;
    int32_t table_select[3];
    int32_t subblock_gain[3];
    int32_t region0_count;
    int32_t region1_count;
    int32_t preflag;
    int32_t scalefac_scale;
    int32_t count1table_select;
};
static_assert(sizeof(GranuleChannelInfo) == 80);

// One frame. Granule 1 is used only by MPEG-1 frames, channel 1 only by two-channel
// frames. The frame writer changes placedMainDataBegin, and in each granule the implicit
// side-information fields and (LSF) preflag, in its working copy.
struct FrameRecord {
    uint32_t header;  // bit 31 is the first bit of the frame
    uint16_t reserved0;
    int32_t main_data_begin;
    int32_t placedMainDataBegin;  // working field; the file's value is ignored
    int32_t private_bits;
    int32_t scfsi[2][4];  // [channel][band group], MPEG-1 only
    int32_t reserved1;
    int32_t rawMainData;                   // nonzero: no main data is coded from this record
    GranuleChannelInfo granuleInfo[2][2];  // [granule][channel]
    // MPEG-1 long band b at entry b, short band s window w at 39 + 3s + w; LSF: one
    // flat list in stream order from entry 0.
    uint16_t scalefactors[2][2][kScalefactorEntries];
    int16_t spectrum[2][2][kSpectrumLines];  // quantised values with sign
};

struct RecordFileHead {
    int32_t frameCount;
    uint32_t unused;
    int32_t outputLimit;
};

void decodeFrameRecord(const uint8_t* bytes, FrameRecord& record);
// Decodes the side information, and the scalefactors and spectra only of the granules and
// channels the frame uses (granule 1 in MPEG-1 frames, channel 1 in two-channel frames);
// the others keep what they held.
void decodeUsedParts(const uint8_t* bytes, FrameRecord& record);
void encodeFrameRecord(const FrameRecord& record, uint8_t* bytes);
RecordFileHead decodeRecordFileHead(const uint8_t* bytes);
void encodeRecordFileHead(const RecordFileHead& head, uint8_t* bytes);

}  // namespace l3
