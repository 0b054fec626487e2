#pragma once
// Writing a frame's head anew: a header at another size (bit rate and padding bit) and
// CRC choice, and the side information copied with a new main_data_begin.

#include <cstdint>
#include <vector>

#include "edit/layout_plan.h"

namespace l3 {

enum class CrcChoice { keep, add, drop };

constexpr uint32_t kBitrateMask = 0xF000;
constexpr uint32_t kPaddingMask = 0x0200;
constexpr uint32_t kProtectionMask = 0x10000;  // set: no CRC
// The header bits a new layout may change.
constexpr uint32_t kLayoutHeaderBits = kBitrateMask | kPaddingMask | kProtectionMask;

uint32_t withSize(uint32_t header, const FrameSize& size, CrcChoice crc);

// The frame sizes of frames with this header: every bit rate of at least minBitrate kbit/s
// (or only bitrate kbit/s when it is above 0), each with and without the padding bit.
std::vector<FrameSize> allowedSizes(uint32_t header, int minBitrate, int bitrate);

// Appends the head of sourceFrame (header bytes, CRC, side information) with header in
// place of its own and main_data_begin set; the CRC is recomputed.
void putHead(std::vector<uint8_t>& out, const uint8_t* sourceFrame, uint32_t header,
             int32_t mainDataBegin);

}  // namespace l3
