#pragma once
// Reading a byte array as a bit stream, most significant bit of each byte first, as every
// Layer III element is sent. Positions are bit offsets from the start of the array and
// count up. A reader has an end: bits at or after it read as 0. Decoding main data relies
// on this zero extension: an element that runs past its granule's part2_3_length is read
// with zeros there, so that coding it again writes zeros past the granule's end, which is
// what the stream holds once the next granule's bits are combined by OR.

#include <cstdint>

namespace l3 {

struct BitReader {
    const uint8_t* bytes;
    int64_t pos;  // next bit to read
    int64_t end;  // first bit that reads as 0
};

inline int bitAt(const uint8_t* bytes, int64_t pos) {
    return (bytes[pos >> 3] >> (7 - (pos & 7))) & 1;
}

inline int readBit(BitReader& r) {
    const int bit = r.pos < r.end ? bitAt(r.bytes, r.pos) : 0;
    ++r.pos;
    return bit;
}

// width 0..25
inline uint32_t readBits(BitReader& r, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 1 | static_cast<uint32_t>(readBit(r));
    return value;
}

}  // namespace l3
