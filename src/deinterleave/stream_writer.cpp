#include "deinterleave/stream_writer.h"

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define DEINTERLEAVE_SSSE3 1
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace deinterleave {

namespace {

// The gathers below build 8 output bytes in a register and store them at once: byte b of the
// word is output byte k + b, at the lowest address on a little-endian machine.
constexpr uint64_t placeByte(uint8_t byte, unsigned position) {
    const unsigned shift =
        std::endian::native == std::endian::little ? 8 * position : 8 * (7 - position);
    return uint64_t{byte} << shift;
}

// One stream: the 8 rows ending at `last` are 8 adjacent bytes, so a byte swap reverses them.
void gatherSingleStream(const uint8_t* last, uint64_t length, uint8_t* dst) {
    uint64_t k = 0;
    for (; k + 8 <= length; k += 8) {
        uint64_t word;
        std::memcpy(&word, last - k - 7, sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        std::memcpy(dst + k, &word, sizeof word);
    }
    for (; k < length; ++k) dst[k] = *(last - k);
}

#if defined(__SSE2__)
// Reverses the 16 bytes of v with SSE2 alone: swap within 16-bit lanes, then reverse the lanes.
__m128i reverseBytes(__m128i v) {
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    v = _mm_shufflelo_epi16(v, 0x1B);
    v = _mm_shufflehi_epi16(v, 0x1B);
    return _mm_shuffle_epi32(v, 0x4E);
}

// Two streams: 16 rows are 32 adjacent bytes; the column's bytes are the low (column 0) or high
// (column 1) byte of each 16-bit lane, packed to 16 bytes in row order, then reversed.
void gatherTwoStreams(const uint8_t* last, uint64_t column, uint64_t length, uint8_t* dst) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    uint64_t k = 0;
    for (; k + 16 <= length; k += 16) {
        const uint8_t* firstRow = last - column - 2 * (k + 15);
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(firstRow));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(firstRow + 16));
        if (column == 0) {
            a = _mm_and_si128(a, lowBytes);
            b = _mm_and_si128(b, lowBytes);
        } else {
            a = _mm_srli_epi16(a, 8);
            b = _mm_srli_epi16(b, 8);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), reverseBytes(_mm_packus_epi16(a, b)));
    }
    for (; k < length; ++k) dst[k] = *(last - 2 * k);
}
#endif

// Strides known at compile time unroll into 8 loads with constant offsets per stored word.
template <uint64_t kStride>
void gatherFixed(const uint8_t* last, uint64_t length, uint8_t* dst) {
    uint64_t k = 0;
    for (; k + 8 <= length; k += 8) {
        const uint8_t* row = last - k * kStride;
        uint64_t word = 0;
        for (unsigned b = 0; b < 8; ++b) word |= placeByte(*(row - b * kStride), b);
        std::memcpy(dst + k, &word, sizeof word);
    }
    for (; k < length; ++k) dst[k] = *(last - k * kStride);
}

#if defined(DEINTERLEAVE_SSSE3)
// Strides 3..8 with byte shuffles, on processors that have them (checked at run time):
// 16 rows are kStride adjacent 16-byte vectors; for each vector a shuffle picks the column's
// bytes that lie in it and puts them at their reversed output places, and ORing the kStride
// results gives 16 output bytes.
template <uint64_t kStride>
__attribute__((target("ssse3"))) void gatherFixedShuffled(const uint8_t* input, uint64_t column,
                                                          uint64_t rowEnd, uint64_t length,
                                                          uint8_t* dst) {
    __m128i masks[kStride];
    for (uint64_t v = 0; v < kStride; ++v) {
        alignas(16) uint8_t lanes[16];
        for (uint64_t k = 0; k < 16; ++k) {
            const uint64_t offset = kStride * (15 - k) + column;  // in the 16 rows' bytes
            lanes[k] = offset / 16 == v ? static_cast<uint8_t>(offset % 16) : 0x80;
        }
        masks[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    }
    uint64_t k = 0;
    for (; k + 16 <= length; k += 16) {
        const uint8_t* rows = input + kStride * (rowEnd - k - 16);
        __m128i out = _mm_setzero_si128();
        for (uint64_t v = 0; v < kStride; ++v) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + 16 * v));
            out = _mm_or_si128(out, _mm_shuffle_epi8(bytes, masks[v]));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), out);
    }
    for (; k < length; ++k) dst[k] = input[column + kStride * (rowEnd - 1 - k)];
}

bool hasByteShuffles() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

// A stride known at compile time: byte shuffles where the processor has them, else
// unrolled scalar gathers.
template <uint64_t kStride>
void gatherStride(const uint8_t* input, uint64_t column, uint64_t rowEnd, uint64_t length,
                  uint8_t* dst) {
#if defined(DEINTERLEAVE_SSSE3)
    if (hasByteShuffles()) return gatherFixedShuffled<kStride>(input, column, rowEnd, length, dst);
#endif
    gatherFixed<kStride>(input + column + kStride * (rowEnd - 1), length, dst);
}

void gatherAnyStride(const uint8_t* last, uint64_t stride, uint64_t length, uint8_t* dst) {
    for (uint64_t k = 0; k < length; ++k) dst[k] = *(last - k * stride);
}

// Writes all of [data, data + length) at `offset`, or at the current position when offset is
// negative. Returns 0 or the errno of the failure.
int writeAll(int fd, const uint8_t* data, uint64_t length, int64_t offset) {
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 30));
        const ssize_t done = offset < 0 ? ::write(fd, data, chunk)
                                        : ::pwrite(fd, data, chunk, static_cast<off_t>(offset));
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (done == 0) return EIO;  // a write that makes no progress would loop forever
        data += done;
        length -= static_cast<uint64_t>(done);
        if (offset >= 0) offset += done;
    }
    return 0;
}

}  // namespace

TileShape chooseTileShape(uint64_t factor, uint64_t count, OutputKind kind, uint64_t tileBytes) {
    uint64_t rows = std::clamp<uint64_t>(tileBytes / std::min(factor, kMaxTileColumns), 1, count);
    uint64_t columns = std::clamp<uint64_t>(tileBytes / rows, 1, factor);
    if (kind == OutputKind::sequential && rows < count) {
        // Pieces of several columns would interleave in the output; take one column at a time,
        // then as many rows as the buffer holds.
        columns = 1;
        rows = std::clamp<uint64_t>(tileBytes, 1, count);
    }
    return {rows, columns};
}

void gatherReversed(const uint8_t* input, uint64_t factor, uint64_t column, uint64_t rowBegin,
                    uint64_t rowEnd, uint8_t* dst) {
    const uint64_t length = rowEnd - rowBegin;
    if (length == 0) return;
    const uint8_t* last = input + column + factor * (rowEnd - 1);
    switch (factor) {
        case 1:
            return gatherSingleStream(last, length, dst);
        case 2:
#if defined(__SSE2__)
            return gatherTwoStreams(last, column, length, dst);
#else
            return gatherFixed<2>(last, length, dst);
#endif
        case 3:
            return gatherStride<3>(input, column, rowEnd, length, dst);
        case 4:
            return gatherStride<4>(input, column, rowEnd, length, dst);
        case 5:
            return gatherStride<5>(input, column, rowEnd, length, dst);
        case 6:
            return gatherStride<6>(input, column, rowEnd, length, dst);
        case 7:
            return gatherStride<7>(input, column, rowEnd, length, dst);
        case 8:
            return gatherStride<8>(input, column, rowEnd, length, dst);
        default:
            return gatherAnyStride(last, factor, length, dst);
    }
}

int writeStreams(const uint8_t* input, uint64_t factor, uint64_t count, int fd, OutputKind kind,
                 uint64_t tileBytes) {
    if (count == 0 || factor == 0) return 0;
    const TileShape tile = chooseTileShape(factor, count, kind, tileBytes);
    std::unique_ptr<uint8_t[]> staging(new (std::nothrow) uint8_t[tile.rows * tile.columns]);
    if (!staging) return ENOMEM;
    const bool wholeColumns = tile.rows == count;

    // Column groups left to right, and within a group row blocks from the bottom up: every
    // column's pieces then land at rising offsets, which sequential output relies on.
    for (uint64_t columnBegin = 0; columnBegin < factor; columnBegin += tile.columns) {
        const uint64_t columnEnd = std::min(factor, columnBegin + tile.columns);
        for (uint64_t rowEnd = count; rowEnd > 0;) {
            const uint64_t rowBegin = rowEnd > tile.rows ? rowEnd - tile.rows : 0;
            const uint64_t length = rowEnd - rowBegin;
            for (uint64_t column = columnBegin; column < columnEnd; ++column) {
                gatherReversed(input, factor, column, rowBegin, rowEnd,
                               staging.get() + (column - columnBegin) * length);
            }
            int error = 0;
            if (wholeColumns) {
                const int64_t offset =
                    kind == OutputKind::seekable ? static_cast<int64_t>(columnBegin * count) : -1;
                error = writeAll(fd, staging.get(), (columnEnd - columnBegin) * length, offset);
            } else {
                for (uint64_t column = columnBegin; column < columnEnd && error == 0; ++column) {
                    const int64_t offset =
                        kind == OutputKind::seekable
                            ? static_cast<int64_t>(column * count + count - rowEnd)
                            : -1;
                    error = writeAll(fd, staging.get() + (column - columnBegin) * length, length,
                                     offset);
                }
            }
            if (error != 0) return error;
            rowEnd = rowBegin;
        }
    }
    return 0;
}

}  // namespace deinterleave
