#pragma once

#include <cstddef>
#include <cstdint>

namespace deinterleave {

// Layout of the work: the input is `factor` byte streams interleaved byte by byte, so it reads as
// rows of `factor` bytes, byte c of every row belonging to stream (column) c. Only the first
// `count` whole rows are used; a trailing partial row belongs to no stream. The output holds
// column 0, then column 1, ..., each from its last row up to row 0, so row r of column c lands at
// output offset c * count + (count - 1 - r).

// Bytes of staging buffer one tile may fill. A tile that stays in the L2 cache while it is
// gathered and while the kernel copies it into the output is faster than a larger one.
inline constexpr uint64_t kTileBytes = uint64_t{256} << 10;
// Widest tile in columns when the rows are too long to take whole. The tile's rows are walked
// once per column, so they must stay within the cache and the TLB: 256 columns give 1024 rows.
inline constexpr uint64_t kMaxTileColumns = 256;

enum class OutputKind {
    seekable,    // a regular file: tiles are written at their offsets with pwrite
    sequential,  // a pipe or a device: bytes must be written in output order with write
};

// A tile is a block of `rows` consecutive rows by `columns` consecutive columns. It is gathered
// column by column into a staging buffer, each column reversed, then written as one piece per
// column, or as one piece when the tile spans every row (its columns then sit end to end in the
// output too).
struct TileShape {
    uint64_t rows;
    uint64_t columns;
};

// Chooses the tile for a run; count and factor must both be at least 1. Guarantees
// 1 <= rows <= count, 1 <= columns <= factor and rows * columns <= max(tileBytes, rows). For
// sequential output a tile narrower than the whole column is one column wide, so the pieces come
// out in output order.
TileShape chooseTileShape(uint64_t factor, uint64_t count, OutputKind kind,
                          uint64_t tileBytes = kTileBytes);

// Copies column `column`, rows [rowBegin, rowEnd), last row first: dst[k] = input[column +
// factor * (rowEnd - 1 - k)] for k in [0, rowEnd - rowBegin).
void gatherReversed(const uint8_t* input, uint64_t factor, uint64_t column, uint64_t rowBegin,
                    uint64_t rowEnd, uint8_t* dst);

// Writes the de-interleaved output of `input` (which holds at least factor * count bytes) to fd.
// Returns 0, or the errno of the failed allocation or write. factor must be at least 1.
int writeStreams(const uint8_t* input, uint64_t factor, uint64_t count, int fd, OutputKind kind,
                 uint64_t tileBytes = kTileBytes);

}  // namespace deinterleave
