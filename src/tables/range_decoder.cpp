#include "tables/range_decoder.h"

namespace l3 {

namespace {

constexpr int kStartBytes = 5;
// Below this width the split keeps four more bits of range (see decodeBit).
constexpr uint32_t kNarrowRange = 0x10000000;
// The interval is widened by a byte whenever it falls below this width.
constexpr uint32_t kMinRange = 0x1000000;

}  // namespace

void start(RangeCoder& coder, const uint8_t* input) {
    coder.range = 0xFFFFFFFF;
    coder.code = 0;
    coder.cursor = input;
    for (int i = 0; i < kStartBytes; ++i) coder.code = coder.code << 8 | *coder.cursor++;
}

int decodeBit(RangeCoder& coder, uint32_t p) {
    // The rounding of both split forms is part of the format: the description decodes
    // correctly only with exactly this arithmetic. Neither product exceeds 32 bits.
    const uint32_t bound =
        coder.range < kNarrowRange ? ((coder.range >> 11) * p) >> 4 : (coder.range >> 15) * p;
    int bit;
    if (coder.code < bound) {
        coder.range = bound;
        bit = 0;
    } else {
        coder.code -= bound;
        coder.range -= bound;
        bit = 1;
    }
    while (coder.range < kMinRange) {
        coder.range <<= 8;
        coder.code = coder.code << 8 | *coder.cursor++;
    }
    return bit;
}

}  // namespace l3
