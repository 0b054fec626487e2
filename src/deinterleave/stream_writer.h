#pragma once

#include <cstddef>
#include <cstdint>

#include "deinterleave/tile_gather.h"

namespace deinterleave {

// The work is a transpose: see tile_gather.h for the rows and columns. Row r of column c lands at
// output offset c * count + (count - 1 - r).

// Bytes of staging buffer one tile may fill: the tile is gathered into it and written from it.
// 1 MiB tiles give pieces of 64 KiB even for long rows, large enough that writing them costs
// little more than writing the output in one piece.
inline constexpr uint64_t kTileBytes = uint64_t{1} << 20;
// Widest tile in columns when the rows are too long to take whole; the tile then grows in rows
// instead, for longer pieces per column. A tile reads 16 bytes or more from each of its rows and
// the next tile to the right reads the rest of those cache lines; the tiles of one row block are
// gathered one after another, so that the lines may still be in the last-level cache.
inline constexpr uint64_t kMaxTileColumns = 16;

enum class OutputKind {
    // A regular file opened for reading and writing: for many streams with long columns it is
    // given its size and its blocks first, then mapped, and gathered in row blocks that stay
    // in the cache, copied into the page cache with no write calls; otherwise (and where the
    // file system cannot reserve blocks or map the file) written as seekable.
    mapped,
    seekable,    // a regular file: tiles are written at their offsets with pwrite
    sequential,  // a pipe or a device: bytes must be written in output order with write
};

// A tile is a block of `rows` consecutive rows by `columns` consecutive columns. It is gathered
// into a staging buffer, each column reversed, then written as one piece per column, or as one
// piece when the tile spans every row (its columns then sit end to end in the output too).
struct TileShape {
    uint64_t rows;
    uint64_t columns;
};

// Chooses the tile for a run; count and factor must both be at least 1. A mapped output takes
// the tiles of a seekable one. Guarantees
// 1 <= rows <= count, 1 <= columns <= factor and rows * columns <= max(tileBytes, rows). For
// sequential output a tile narrower than the whole column is one column wide, so the pieces come
// out in output order.
TileShape chooseTileShape(uint64_t factor, uint64_t count, OutputKind kind,
                          uint64_t tileBytes = kTileBytes);

// Writes the de-interleaved output of `input` (which holds at least factor * count bytes) to fd.
// Returns 0, or the errno of the failed allocation or write, or EINVAL when `kernel` does not run
// for the factor here (kernelRuns). factor must be at least 1. Tests force each kernel in turn;
// the program leaves it automatic.
int writeStreams(const uint8_t* input, uint64_t factor, uint64_t count, int fd, OutputKind kind,
                 uint64_t tileBytes = kTileBytes, GatherKernel kernel = GatherKernel::automatic);

}  // namespace deinterleave
