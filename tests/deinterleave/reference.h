#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace deinterleave_test {

// The plain definition, one byte at a time: stream i of n, each last byte first, streams in order,
// the size mod n tail dropped.
inline std::vector<uint8_t> referenceOutput(const std::vector<uint8_t>& input, uint64_t n) {
    std::vector<uint8_t> out;
    const uint64_t count = input.size() / n;
    for (uint64_t i = 0; i < n && count > 0; ++i) {
        for (uint64_t j = 0; j < count; ++j) out.push_back(input[i + n * (count - 1 - j)]);
    }
    return out;
}

inline std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator());
    return bytes;
}

}  // namespace deinterleave_test
