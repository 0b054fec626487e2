#pragma once
// Reading a byte array as a bit stream, most significant bit of each byte first, as every
// Layer III element is sent. Positions are bit offsets from the start of the array and
// count up. A reader has an end: bits at or after it read as 0. Decoding main data relies
// on this zero extension: an element that runs past its granule's part2_3_length is read
// with zeros there, so that coding it again writes zeros past the granule's end, which is
// what the stream holds once the next granule's bits are combined by OR.

#include <bit>
#include <cstdint>
#include <cstring>

#include "format/byte_order.h"

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

// The next 32 bits, the first in the most significant place, without moving; zeros from
// end on. Reads no byte at or past the one that holds bit end - 1.
inline uint32_t peekBits32(const BitReader& r) {
    if (r.pos >= r.end) return 0;
    const int64_t byte = r.pos >> 3;
    const int64_t endByte = (r.end + 7) >> 3;
    uint64_t word = 0;
    if (byte + 8 <= endByte) {
        word = loadBe64(r.bytes + byte);
    } else {
        for (int64_t i = 0; i < 8; ++i)
            word = word << 8 | (byte + i < endByte ? r.bytes[byte + i] : 0u);
    }
    uint32_t value = static_cast<uint32_t>((word << (r.pos & 7)) >> 32);
    const int64_t left = r.end - r.pos;
    if (left < 32) value &= ~uint32_t{0} << (32 - left);
    return value;
}

// width 0..25
inline uint32_t readBits(BitReader& r, int width) {
    if (width == 0) return 0;
    const uint32_t value = peekBits32(r) >> (32 - width);
    r.pos += width;
    return value;
}

}  // namespace l3
