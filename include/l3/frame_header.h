#pragma once
// The Layer III frame header held as one 32-bit word whose most significant byte is the
// first byte of the frame (bit 31 is the first bit of the frame), so the fields keep their
// standard positions: ID at bit 19, protection_bit at 16, bitrate_index at 15-12,
// sampling_frequency at 11-10, padding at 9, mode at 7-6, mode_extension at 5-4.

#include <cstdint>

namespace l3 {

inline bool isMpeg1(uint32_t header) {
    return (header >> 19) & 1;
}
inline int versionCode(uint32_t header) {
    return (header >> 19) & 3;
}
inline bool hasCrc(uint32_t header) {
    return ((header >> 16) & 1) == 0;
}
inline int bitrateIndex(uint32_t header) {
    return (header >> 12) & 15;
}
inline int samplingIndex(uint32_t header) {
    return (header >> 10) & 3;
}
inline int paddingBit(uint32_t header) {
    return (header >> 9) & 1;
}
inline int channelMode(uint32_t header) {
    return (header >> 6) & 3;
}
inline int modeExtension(uint32_t header) {
    return (header >> 4) & 3;
}
inline int channelCount(uint32_t header) {
    return channelMode(header) == 3 ? 1 : 2;
}
// Window-switching granules carry no region0_count, region1_count or table_select[2]:
// region 0 ends at band 8, or band 6 in MPEG-2 and MPEG-2.5 short blocks, and region 1
// takes the rest of the big values (region 2 is empty).
inline int implicitRegion0Count(bool mpeg1, int block_type) {
    return (!mpeg1 && block_type == 2) ? 5 : 7;
}
inline constexpr int kImplicitRegion1Count = 22;

inline int granuleCount(uint32_t header) {
    return isMpeg1(header) ? 2 : 1;
}

// Samples a frame decodes to, per channel: 1152 (MPEG-1) or 576.
inline int samplesPerFrame(uint32_t header) {
    return isMpeg1(header) ? 1152 : 576;
}

// Where the side information starts in a frame: after the header and its CRC, if any.
inline int sideInfoOffset(uint32_t header) {
    return hasCrc(header) ? 6 : 4;
}

// The furthest back main_data_begin reaches, in bytes before the frame's header: 511
// (MPEG-1, 9 bits) or 255 (MPEG-2 and 2.5, 8 bits).
inline int maxMainDataBack(uint32_t header) {
    return isMpeg1(header) ? 511 : 255;
}

}  // namespace l3
