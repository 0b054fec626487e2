#pragma once
// ID3v2's sizes that a frame sync can never appear in: four bytes of 7 bits each, most
// significant first (28 bits in all).

#include <cstddef>
#include <cstdint>

namespace l3 {

inline constexpr size_t kSyncsafeLimit = size_t{1} << 28;

inline size_t loadSyncsafe(const uint8_t* p) {
    return size_t{p[0]} << 21 | size_t{p[1]} << 14 | size_t{p[2]} << 7 | p[3];
}

// True when all four bytes have their top bit clear, as a syncsafe size must.
inline bool isSyncsafe(const uint8_t* p) {
    return ((p[0] | p[1] | p[2] | p[3]) & 0x80) == 0;
}

// value below kSyncsafeLimit.
inline void storeSyncsafe(uint8_t* p, size_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((value >> (21 - 7 * i)) & 0x7F);
}

}  // namespace l3
