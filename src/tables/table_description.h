#pragma once
// The stored description of every distinct Huffman code tree, as one range-coded byte
// stream (see range_decoder.h and code_tree.h). The trees follow one another with no
// separation, in the table order 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24, 32, 33;
// decoding them all consumes every byte and none beyond.

#include <array>
#include <cstdint>

namespace l3 {

inline constexpr int kTableDescriptionBytes = 1282;

extern const std::array<uint8_t, kTableDescriptionBytes> tableDescription;

}  // namespace l3
