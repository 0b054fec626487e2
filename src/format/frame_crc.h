#pragma once
// CRC-16 of a Layer III frame: polynomial x^16 + x^15 + x^2 + 1 (0x8005), initial value
// 0xFFFF, bits most significant first, no reflection, no final inversion. It covers the
// last two header bytes and the side information.

#include <cstddef>
#include <cstdint>

namespace l3 {

uint16_t frameCrc(const uint8_t* bytes, size_t count);

// The CRC of a frame laid out as it is sent (header, two CRC bytes, side information),
// from header bytes 2 and 3 and the side information; frame holds headByteCount(header)
// bytes.
uint16_t frameHeadCrc(const uint8_t* frame, uint32_t header);

// Writes frameHeadCrc into the frame's CRC bytes (4 and 5), most significant byte first.
void storeFrameHeadCrc(uint8_t* frame, uint32_t header);

}  // namespace l3
