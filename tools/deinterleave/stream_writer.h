#pragma once

#include <cstddef>
#include <cstdint>

#include "deinterleave/tile_gather.h"

namespace deinterleave {

// The work is a transpose: see tile_gather.h for the rows and columns. Row r of column c lands at
// output offset c * count + (count - 1 - r).

// Bytes of staging buffer one tile fills: the tile is gathered into it and written from it
// while the next tile is gathered into a second one. Small enough that the bytes gathered are
// still in the cache when they are written.
inline constexpr uint64_t kTileBytes = uint64_t{1} << 20;
// Pieces of a column a tile makes, as fractions of kTileBytes: at least 16 KiB, since shorter
// writes cost the system much more per byte, and 64 KiB where that is cheap. Tiles take whole
// rows, so that the input is read once and in order, where pieces of at least the least length
// fit in kMostTileGrowth times kTileBytes; else pieces of the least length of as many columns
// as kTileBytes holds, or (where columns are short) whole columns.
inline constexpr uint64_t kLeastPieceDivisor = 64;
inline constexpr uint64_t kGoodPieceDivisor = 16;
inline constexpr uint64_t kMostTileGrowth = 16;
// A tile of whole rows is gathered in bands of rows of at most this many bytes of input (at
// most a quarter of the tile), which stay in the cache while each column takes its bytes.
inline constexpr uint64_t kBandBytes = uint64_t{256} << 10;

enum class OutputKind {
    // A regular file opened for reading and writing: where the columns are long it is given
    // its size and its blocks and mapped with large pages; two threads have the system make its
    // pages, then gather bands of whole rows and copy each column's piece into the mapping.
    // Otherwise (and where the file system cannot reserve blocks or map the file) written as
    // seekable.
    mapped,
    seekable,    // a regular file: tiles are written at their offsets with pwrite, on two threads
    sequential,  // a pipe or a device: bytes must be written in output order with write
};

// A tile is a block of `rows` consecutive rows by `columns` consecutive columns. It is gathered
// into a staging buffer, each column reversed, then written as one piece per column, or as one
// piece when the tile spans every row (its columns then sit end to end in the output too).
struct TileShape {
    uint64_t rows;
    uint64_t columns;
};

// Chooses the tile for a run; count and factor must both be at least 1. Guarantees 1 <= rows <=
// count, 1 <= columns <= factor and rows * columns <= max(kMostTileGrowth * tileBytes, rows). For
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
