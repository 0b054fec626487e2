#pragma once
// Binary range decoder for the stored table description. It keeps no model of its own:
// each decision is decoded against a probability the caller supplies, an integer p in
// 0..32768 where p / 32768 is the chance that the decision is 0.

#include <cstdint>

namespace l3 {

inline constexpr uint32_t kProbabilityOne = 32768;
inline constexpr uint32_t kProbabilityHalf = kProbabilityOne / 2;

struct RangeCoder {
    uint32_t range;         // width of the interval; at least 2^24 between decisions
    uint32_t code;          // offset of the coded value within the interval
    const uint8_t* cursor;  // next input byte; the input is read strictly forwards
};

// Sets the full interval and loads code from the first five bytes. The first byte is
// shifted out of the 32-bit register entirely, so only bytes 1..4 count.
void start(RangeCoder& coder, const uint8_t* input);

// Decodes one decision: 0 with probability p / 32768. p = 0 yields 1, reads nothing and
// leaves the coder unchanged. Reads one byte per 8-bit renormalisation step.
int decodeBit(RangeCoder& coder, uint32_t p);

// Probability of a 0 decision when `total` items remain (total > 0), `ones` of them of the
// kind a 1 decision stands for: the share of the others, truncated.
constexpr uint32_t splitProbability(int total, int ones) {
    return static_cast<uint32_t>(total - ones) * kProbabilityOne / static_cast<uint32_t>(total);
}

}  // namespace l3
