#pragma once
// CRC-16 of a Layer III frame: polynomial x^16 + x^15 + x^2 + 1 (0x8005), initial value
// 0xFFFF, bits most significant first, no reflection, no final inversion. It covers the
// last two header bytes and the side information.

#include <cstddef>
#include <cstdint>

namespace l3 {

uint16_t frameCrc(const uint8_t* bytes, size_t count);

}  // namespace l3
