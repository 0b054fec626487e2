#include "deinterleave/tile_gather.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define DEINTERLEAVE_SSSE3 1
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace deinterleave {

namespace {

// The column kernels below fill one column of a tile: dst[k] = input[column + factor * (rowEnd -
// 1 - k)] for k in [0, length). They share this signature so that a tile can loop over them.
using ColumnGather = void (*)(const uint8_t* input, uint64_t factor, uint64_t column,
                              uint64_t rowEnd, uint64_t length, uint8_t* dst);

void gatherPlain(const uint8_t* input, uint64_t factor, uint64_t column, uint64_t rowEnd,
                 uint64_t length, uint8_t* dst) {
    const uint8_t* last = input + column + factor * (rowEnd - 1);
    for (uint64_t k = 0; k < length; ++k) dst[k] = *(last - k * factor);
}

// The gathers below build 8 output bytes in a register and store them at once: byte b of the
// word is output byte k + b, at the lowest address on a little-endian machine.
constexpr uint64_t placeByte(uint8_t byte, unsigned position) {
    const unsigned shift =
        std::endian::native == std::endian::little ? 8 * position : 8 * (7 - position);
    return uint64_t{byte} << shift;
}

// One stream: the 8 rows ending at `last` are 8 adjacent bytes, so a byte swap reverses them.
void gatherSingleStream(const uint8_t* input, uint64_t, uint64_t, uint64_t rowEnd, uint64_t length,
                        uint8_t* dst) {
    const uint8_t* last = input + rowEnd - 1;
    uint64_t k = 0;
    for (; k + 8 <= length; k += 8) {
        uint64_t word;
        std::memcpy(&word, last - k - 7, sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        std::memcpy(dst + k, &word, sizeof word);
    }
    for (; k < length; ++k) dst[k] = *(last - k);
}

// Strides known at compile time unroll into 8 loads with constant offsets per stored word.
template <uint64_t kStride>
void gatherUnrolled(const uint8_t* input, uint64_t, uint64_t column, uint64_t rowEnd,
                    uint64_t length, uint8_t* dst) {
    const uint8_t* last = input + column + kStride * (rowEnd - 1);
    uint64_t k = 0;
    for (; k + 8 <= length; k += 8) {
        const uint8_t* row = last - k * kStride;
        uint64_t word = 0;
        for (unsigned b = 0; b < 8; ++b) word |= placeByte(*(row - b * kStride), b);
        std::memcpy(dst + k, &word, sizeof word);
    }
    for (; k < length; ++k) dst[k] = *(last - k * kStride);
}

constexpr ColumnGather kUnrolled[] = {
    nullptr,           gatherUnrolled<1>, gatherUnrolled<2>, gatherUnrolled<3>, gatherUnrolled<4>,
    gatherUnrolled<5>, gatherUnrolled<6>, gatherUnrolled<7>, gatherUnrolled<8>,
};
constexpr uint64_t kMaxUnrolled = std::size(kUnrolled) - 1;

#if defined(__SSE2__)
// Reverses the 16 bytes of v with SSE2 alone: swap within 16-bit lanes, then reverse the lanes.
__m128i reverseBytes(__m128i v) {
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    v = _mm_shufflelo_epi16(v, 0x1B);
    v = _mm_shufflehi_epi16(v, 0x1B);
    return _mm_shuffle_epi32(v, 0x4E);
}

// Two streams: 16 rows are 32 adjacent bytes; column 0's bytes are the low and column 1's the
// high byte of each 16-bit lane, packed to 16 bytes in row order, then reversed. Both columns
// come from one load, so the tile is read once.
void gatherTwoStreams(const uint8_t* input, const Tile& tile, uint8_t* dst, uint64_t stride) {
    const uint64_t height = tile.rowEnd - tile.rowBegin;
    const bool low = tile.columnBegin == 0;
    const bool high = tile.columnEnd == 2;
    uint8_t* lowDst = dst;
    uint8_t* highDst = low ? dst + stride : dst;
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    uint64_t k = 0;
    for (; k + 16 <= height; k += 16) {
        const uint8_t* firstRow = input + 2 * (tile.rowEnd - k - 16);
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(firstRow));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(firstRow + 16));
        if (low) {
            const __m128i packed =
                _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lowDst + k), reverseBytes(packed));
        }
        if (high) {
            const __m128i packed = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(highDst + k), reverseBytes(packed));
        }
    }
    for (; k < height; ++k) {
        const uint8_t* row = input + 2 * (tile.rowEnd - 1 - k);
        if (low) lowDst[k] = row[0];
        if (high) highDst[k] = row[1];
    }
}

// Transposes 16 rows of 16 bytes: out[j] byte i = rows[i] byte j. Four rounds of interleaving
// pair bytes, then 16-bit, 32-bit and 64-bit lanes of ever farther rows.
void transpose16(const __m128i (&rows)[16], __m128i (&out)[16]) {
    __m128i b[16], c[16], d[16];
    for (int p = 0; p < 8; ++p) {  // b[2p], b[2p+1]: columns 0-7, 8-15 of rows 2p, 2p+1
        b[2 * p] = _mm_unpacklo_epi8(rows[2 * p], rows[2 * p + 1]);
        b[2 * p + 1] = _mm_unpackhi_epi8(rows[2 * p], rows[2 * p + 1]);
    }
    for (int q = 0; q < 4; ++q) {  // c[4q + m]: columns 4m..4m+3 of rows 4q..4q+3
        c[4 * q] = _mm_unpacklo_epi16(b[4 * q], b[4 * q + 2]);
        c[4 * q + 1] = _mm_unpackhi_epi16(b[4 * q], b[4 * q + 2]);
        c[4 * q + 2] = _mm_unpacklo_epi16(b[4 * q + 1], b[4 * q + 3]);
        c[4 * q + 3] = _mm_unpackhi_epi16(b[4 * q + 1], b[4 * q + 3]);
    }
    for (int h = 0; h < 2; ++h) {  // d[8h + t]: columns 2t, 2t+1 of rows 8h..8h+7
        for (int m = 0; m < 4; ++m) {
            d[8 * h + 2 * m] = _mm_unpacklo_epi32(c[8 * h + m], c[8 * h + 4 + m]);
            d[8 * h + 2 * m + 1] = _mm_unpackhi_epi32(c[8 * h + m], c[8 * h + 4 + m]);
        }
    }
    for (int t = 0; t < 8; ++t) {
        out[2 * t] = _mm_unpacklo_epi64(d[t], d[8 + t]);
        out[2 * t + 1] = _mm_unpackhi_epi64(d[t], d[8 + t]);
    }
}

// Blocks of rows ahead of the one being transposed whose cache lines are asked for.
constexpr uint64_t kPrefetchBlocks = 2;

// The tile in blocks of 16 rows by 16 columns. Loading the block's rows last first makes each
// transposed vector 16 output bytes in order. A block reads 16 bytes from each row even when
// the tile or the row is narrower; blocks whose last row would read past the input's
// factor * count bytes, and the rows left over below the last whole block, go byte by byte.
// A tile of whole rows (which the caller keeps few enough to stay in the cache) is taken
// column group by column group: each group's bytes are stored one run after another, the
// first group reads the rows from memory and the next ones from the cache. A tile of parts of
// rows (long rows, each on a page of its own) is taken a block of rows at a time across all
// its columns, so that each row is visited once.
void gatherBlocks(const uint8_t* input, uint64_t factor, uint64_t count, const Tile& tile,
                  uint8_t* dst, uint64_t stride) {
    const uint64_t height = tile.rowEnd - tile.rowBegin;
    const uint64_t end = factor * count;
    const uint64_t blockRows = height - height % 16;
    const bool wholeRows = tile.columnEnd - tile.columnBegin == factor;
    // A tile of whole rows is usually followed by the rows below it, which lie just before it:
    // their lines are asked for into the second-level cache while this tile is transposed, a
    // block's worth per block, so that reading them starts from there rather than from memory.
    const uint8_t* nextLine = nullptr;
    const uint8_t* nextEnd = nullptr;
    if (wholeRows && tile.rowBegin > 0) {
        nextLine = input + (tile.rowBegin - std::min(height, tile.rowBegin)) * factor;
        nextEnd = input + tile.rowBegin * factor;
    }
    // Rows far apart are on pages of their own, where the processor does not see the pattern:
    // the lines of a block of rows further on are asked for while this one is transposed.
    auto fetchAhead = [&](uint64_t k, uint64_t from, uint64_t to) {
        if (k + 16 * (kPrefetchBlocks + 1) > height) return;
        const uint8_t* ahead = input + (tile.rowEnd - 1 - k - 16 * kPrefetchBlocks) * factor;
        for (uint64_t i = 0; i < 16; ++i) {
            for (uint64_t c = from; c < to; c += 64)
                _mm_prefetch(reinterpret_cast<const char*>(ahead - i * factor + c), _MM_HINT_T0);
        }
    };
    // The block of rows k .. k + 15 (counted from the tile's last row) by the columns from
    // `first`. In rows of 16 or more bytes the last block moves left to stay within the row,
    // and rewrites a few columns with the same bytes.
    auto transposeBlock = [&](uint64_t k, uint64_t first) {
        const uint64_t start = factor >= 16 ? std::min(first, factor - 16) : first;
        const uint64_t stop = std::min(tile.columnEnd, start + 16);
        const uint64_t top = tile.rowEnd - 1 - k;  // the block's last row, loaded first
        if (top * factor + start + 16 > end) {
            for (uint64_t c = first; c < stop; ++c)
                gatherPlain(input, factor, c, top + 1, 16,
                            dst + (c - tile.columnBegin) * stride + k);
            return;
        }
        __m128i rows[16], columns[16];
        for (uint64_t i = 0; i < 16; ++i) {
            rows[i] = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(input + (top - i) * factor + start));
        }
        transpose16(rows, columns);
        for (uint64_t c = first; c < stop; ++c) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (c - tile.columnBegin) * stride + k),
                             columns[c - start]);
        }
    };
    if (wholeRows) {
        for (uint64_t first = tile.columnBegin; first < tile.columnEnd; first += 16) {
            for (uint64_t k = 0; k < blockRows; k += 16) {
                if (nextLine < nextEnd) {
                    for (int line = 0; line < 4; ++line) {
                        _mm_prefetch(reinterpret_cast<const char*>(nextLine + 64 * line),
                                     _MM_HINT_T1);
                    }
                    nextLine += 256;
                }
                fetchAhead(k, first, first + 1);
                transposeBlock(k, first);
            }
        }
    } else {
        for (uint64_t k = 0; k < blockRows; k += 16) {
            fetchAhead(k, tile.columnBegin, tile.columnEnd);
            for (uint64_t first = tile.columnBegin; first < tile.columnEnd; first += 16)
                transposeBlock(k, first);
        }
    }
    uint64_t k = blockRows;
    // The rows below the last whole block a row at a time, reading each row in order: a tile
    // of fewer than 16 rows (very long rows) is all tail.
    for (; k < height; ++k) {
        const uint8_t* row = input + (tile.rowEnd - 1 - k) * factor + tile.columnBegin;
        const uint64_t width = tile.columnEnd - tile.columnBegin;
        for (uint64_t c = 0; c < width; ++c) dst[c * stride + k] = row[c];
    }
}
#endif

#if defined(DEINTERLEAVE_SSSE3)
// Strides 3..8 with byte shuffles: 16 rows are kStride adjacent 16-byte vectors; for each vector
// a shuffle picks a column's bytes that lie in it and puts them at their reversed output places,
// and ORing the kStride results gives the column's 16 output bytes. All the tile's columns are
// made from one load of the 16 rows, so the tile is read once however many columns it has.
template <uint64_t kStride>
__attribute__((target("ssse3"))) void gatherShuffled(const uint8_t* input, const Tile& tile,
                                                     uint8_t* dst, uint64_t stride) {
    __m128i masks[kStride][kStride];  // [column][vector]
    for (uint64_t c = 0; c < kStride; ++c) {
        for (uint64_t v = 0; v < kStride; ++v) {
            alignas(16) uint8_t lanes[16];
            for (uint64_t k = 0; k < 16; ++k) {
                const uint64_t offset = kStride * (15 - k) + c;  // in the 16 rows' bytes
                lanes[k] = offset / 16 == v ? static_cast<uint8_t>(offset % 16) : 0x80;
            }
            masks[c][v] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
        }
    }
    const uint64_t height = tile.rowEnd - tile.rowBegin;
    uint64_t k = 0;
    for (; k + 16 <= height; k += 16) {
        const uint8_t* rows = input + kStride * (tile.rowEnd - k - 16);
        __m128i bytes[kStride];  // kept in registers: the loops over v are unrolled
#pragma GCC unroll 8
        for (uint64_t v = 0; v < kStride; ++v) {
            bytes[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + 16 * v));
        }
        for (uint64_t c = tile.columnBegin; c < tile.columnEnd; ++c) {
            __m128i out = _mm_setzero_si128();
#pragma GCC unroll 8
            for (uint64_t v = 0; v < kStride; ++v) {
                out = _mm_or_si128(out, _mm_shuffle_epi8(bytes[v], masks[c][v]));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (c - tile.columnBegin) * stride + k),
                             out);
        }
    }
    for (uint64_t c = tile.columnBegin; c < tile.columnEnd; ++c) {
        for (uint64_t r = k; r < height; ++r) {
            dst[(c - tile.columnBegin) * stride + r] = input[c + kStride * (tile.rowEnd - 1 - r)];
        }
    }
}

using TileGather = void (*)(const uint8_t* input, const Tile& tile, uint8_t* dst, uint64_t stride);
constexpr TileGather kShuffled[] = {
    nullptr,           nullptr,           nullptr,           gatherShuffled<3>, gatherShuffled<4>,
    gatherShuffled<5>, gatherShuffled<6>, gatherShuffled<7>, gatherShuffled<8>,
};

bool hasByteShuffles() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

// The per-column gather of a column kernel (not twoStreams, byteShuffle or blockTranspose, which
// gather a tile's columns together).
ColumnGather columnGather(GatherKernel kernel, uint64_t factor) {
    switch (kernel) {
        case GatherKernel::reverseBytes:
            return gatherSingleStream;
        case GatherKernel::unrolled:
            return kUnrolled[factor];
        default:
            return gatherPlain;
    }
}

}  // namespace

const char* kernelName(GatherKernel kernel) {
    switch (kernel) {
        case GatherKernel::automatic:
            return "automatic";
        case GatherKernel::plain:
            return "plain";
        case GatherKernel::reverseBytes:
            return "reverseBytes";
        case GatherKernel::twoStreams:
            return "twoStreams";
        case GatherKernel::unrolled:
            return "unrolled";
        case GatherKernel::byteShuffle:
            return "byteShuffle";
        case GatherKernel::blockTranspose:
            return "blockTranspose";
    }
    return "?";
}

bool kernelRuns(GatherKernel kernel, uint64_t factor) {
    constexpr bool kSse2 =
#if defined(__SSE2__)
        true;
#else
        false;
#endif
    switch (kernel) {
        case GatherKernel::automatic:
        case GatherKernel::plain:
            return factor >= 1;
        case GatherKernel::reverseBytes:
            return factor == 1;
        case GatherKernel::twoStreams:
            return kSse2 && factor == 2;
        case GatherKernel::unrolled:
            return factor >= 1 && factor <= kMaxUnrolled;
        case GatherKernel::byteShuffle:
#if defined(DEINTERLEAVE_SSSE3)
            return factor >= 3 && factor <= 8 && hasByteShuffles();
#else
            return false;
#endif
        case GatherKernel::blockTranspose:
            return kSse2 && factor >= 1;
    }
    return false;
}

GatherKernel automaticKernel(uint64_t factor) {
    if (factor == 1) return GatherKernel::reverseBytes;
    if (factor == 2 && kernelRuns(GatherKernel::twoStreams, 2)) return GatherKernel::twoStreams;
    if (kernelRuns(GatherKernel::byteShuffle, factor)) return GatherKernel::byteShuffle;
    if (factor <= kMaxUnrolled) return GatherKernel::unrolled;
    if (kernelRuns(GatherKernel::blockTranspose, factor)) return GatherKernel::blockTranspose;
    return GatherKernel::plain;
}

void gatherTile(GatherKernel kernel, const uint8_t* input, uint64_t factor, uint64_t count,
                const Tile& tile, uint8_t* dst, uint64_t stride) {
    if (kernel == GatherKernel::automatic) {
        kernel = automaticKernel(factor);
        // A block keeps 16 columns; for one (a pipe's output goes a column at a time) plain
        // loads do less.
        if (kernel == GatherKernel::blockTranspose && tile.columnEnd - tile.columnBegin == 1) {
            kernel = GatherKernel::plain;
        }
    }
    const uint64_t height = tile.rowEnd - tile.rowBegin;
    if (height == 0) return;
#if defined(__SSE2__)
    if (kernel == GatherKernel::twoStreams) return gatherTwoStreams(input, tile, dst, stride);
    if (kernel == GatherKernel::blockTranspose)
        return gatherBlocks(input, factor, count, tile, dst, stride);
#else
    (void)count;
#endif
#if defined(DEINTERLEAVE_SSSE3)
    if (kernel == GatherKernel::byteShuffle) return kShuffled[factor](input, tile, dst, stride);
#endif
    const ColumnGather gather = columnGather(kernel, factor);
    for (uint64_t c = tile.columnBegin; c < tile.columnEnd; ++c) {
        gather(input, factor, c, tile.rowEnd, height, dst + (c - tile.columnBegin) * stride);
    }
}

}  // namespace deinterleave
