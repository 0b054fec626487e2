#pragma once
// Damaged copies of real streams, made by the tests: each alters one thing a checker must
// name, at a frame the test chooses.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "format/byte_order.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "inspect/frame_walk.h"
#include "l3/xing_tag.h"

namespace l3test {

inline std::vector<uint8_t> lameFixture(const std::string& name) {
    std::ifstream in(std::filesystem::path(TEST_DATA_DIR) / "lame" / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline size_t frameOffset(const std::vector<uint8_t>& bytes, size_t k) {
    return l3::walkFrames(bytes.data(), bytes.size()).frames.at(k).offset;
}

// Writes value into width bits starting at bit `bit` of bytes (most significant first).
inline void setBits(std::vector<uint8_t>& bytes, size_t bit, int width, uint32_t value) {
    for (int i = 0; i < width; ++i, ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit & 7));
        if ((value >> (width - 1 - i)) & 1)
            bytes[bit >> 3] |= mask;
        else
            bytes[bit >> 3] &= static_cast<uint8_t>(~mask);
    }
}

// Bit offset of granule 0, channel 0 in a frame's side information: after main_data_begin,
// private_bits and (MPEG-1) scfsi.
inline size_t firstGranuleBit(const std::vector<uint8_t>& bytes, size_t frame) {
    const uint32_t header = l3::loadBe32(bytes.data() + frame);
    const size_t side = 8 * (frame + (l3::hasCrc(header) ? 6 : 4));
    const int channels = l3::channelCount(header);
    if (l3::isMpeg1(header)) return side + 9 + (channels == 1 ? 5 : 3) + 4 * channels;
    return side + 8 + (channels == 1 ? 1 : 2);
}

// The LAME extension of a stream's Info frame at tag + 120 (all four flags set); its tag
// CRC is made right again for the bytes as they now are.
inline size_t lameExtensionOffset(const std::vector<uint8_t>& bytes) {
    const l3::XingTag tag = l3::readXingTag(
        bytes.data(), static_cast<size_t>(l3::frameLength(l3::loadBe32(bytes.data()))));
    return tag.tagOffset + 120;
}
inline void fixLameTagCrc(std::vector<uint8_t>& bytes) {
    const size_t field = lameExtensionOffset(bytes) + 34;
    const uint16_t crc = l3::lameCrc(bytes.data(), field);
    bytes[field] = static_cast<uint8_t>(crc >> 8);
    bytes[field + 1] = static_cast<uint8_t>(crc);
}

}  // namespace l3test
