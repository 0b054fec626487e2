#pragma once

#include <cstdint>

namespace deinterleave {

// The input is `factor` byte streams interleaved byte by byte, so it reads as rows of `factor`
// bytes, byte c of every row belonging to stream (column) c. Only the first `count` whole rows are
// used. The output holds column 0, then column 1, ..., each from its last row up to row 0.

// The ways of gathering a tile. Each gives the same bytes; they differ in speed, and some only
// run for certain factors or on processors with certain instructions (see kernelRuns).
enum class GatherKernel {
    automatic,       // automaticKernel(factor); plain where that would block-transpose 1 column
    plain,           // one byte at a time, any factor
    reverseBytes,    // factor 1: 8 adjacent bytes byte-swapped per step
    twoStreams,      // factor 2: SSE2 masks and packs, 16 rows per step
    unrolled,        // factors 1 to 8: 8 loads at constant offsets per 8-byte store
    byteShuffle,     // factors 3 to 8: SSSE3 byte shuffles, 16 rows per step
    blockTranspose,  // any factor: 16 rows by 16 columns transposed in SSE2 registers
};

// Every kernel but automatic, for tests that run each in turn.
inline constexpr GatherKernel kForcedKernels[] = {
    GatherKernel::plain,    GatherKernel::reverseBytes, GatherKernel::twoStreams,
    GatherKernel::unrolled, GatherKernel::byteShuffle,  GatherKernel::blockTranspose,
};

const char* kernelName(GatherKernel kernel);

// Whether `kernel` can gather for `factor` on this build and processor. automatic always can.
bool kernelRuns(GatherKernel kernel, uint64_t factor);

// The kernel automatic stands for: byte swaps for one stream, SIMD packs for two, byte shuffles
// (or unrolled loads without SSSE3) for 3 to 8, block transposes (or plain loads) beyond.
GatherKernel automaticKernel(uint64_t factor);

// Rows [rowBegin, rowEnd) by columns [columnBegin, columnEnd) of the input.
struct Tile {
    uint64_t rowBegin;
    uint64_t rowEnd;
    uint64_t columnBegin;
    uint64_t columnEnd;
};

// Fills dst with the tile's columns `stride` bytes apart, each last row first:
// dst[(c - columnBegin) * stride + k] = input[c + factor * (rowEnd - 1 - k)] for k below the
// tile's height rowEnd - rowBegin, which stride must reach. Bytes between columns are left alone.
// The input holds at least factor * count bytes and the tile lies within count rows and factor
// columns. kernelRuns(kernel, factor) must hold.
void gatherTile(GatherKernel kernel, const uint8_t* input, uint64_t factor, uint64_t count,
                const Tile& tile, uint8_t* dst, uint64_t stride);

}  // namespace deinterleave
