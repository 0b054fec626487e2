#include "format/frame_crc.h"

#include <array>

namespace l3 {

namespace {

// Register update for one whole byte, indexed by (top byte of register) ^ input byte.
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x8000) ? (reg << 1) ^ 0x8005 : reg << 1;
        table[i] = static_cast<uint16_t>(reg);
    }
    return table;
}

constexpr std::array<uint16_t, 256> crcTable = makeCrcTable();

}  // namespace

uint16_t frameCrc(const uint8_t* bytes, size_t count) {
    uint16_t reg = 0xFFFF;
    for (size_t i = 0; i < count; ++i)
        reg = static_cast<uint16_t>(reg << 8) ^ crcTable[(reg >> 8) ^ bytes[i]];
    return reg;
}

}  // namespace l3
