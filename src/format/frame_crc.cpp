#include "format/frame_crc.h"

#include <array>
#include <cstring>

#include "l3/frame_length.h"

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

uint16_t frameHeadCrc(const uint8_t* frame, uint32_t header) {
    uint8_t covered[2 + 32];
    const size_t side = static_cast<size_t>(sideInfoBytes(header));
    covered[0] = frame[2];
    covered[1] = frame[3];
    std::memcpy(covered + 2, frame + 6, side);
    return frameCrc(covered, 2 + side);
}

void storeFrameHeadCrc(uint8_t* frame, uint32_t header) {
    const uint16_t crc = frameHeadCrc(frame, header);
    frame[4] = static_cast<uint8_t>(crc >> 8);
    frame[5] = static_cast<uint8_t>(crc);
}

}  // namespace l3
