#include "deinterleave/stream_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace deinterleave {

namespace {

// Pieces per vectored write: the system's limit, at most 1024.
#if defined(IOV_MAX)
constexpr int kMaxVectors = IOV_MAX < 1024 ? IOV_MAX : 1024;
#else
constexpr int kMaxVectors = 16;  // the least any system allows
#endif

// Writes `pieces` pieces of `length` bytes, `stride` bytes apart in memory, one after another at
// `offset`, or at the current position when offset is negative. Returns 0 or the errno of the
// failure. Vectored writes keep the calls few when the pieces are short.
int writePieces(int fd, const uint8_t* data, uint64_t length, uint64_t stride, uint64_t pieces,
                int64_t offset) {
    constexpr uint64_t kMaxCall = uint64_t{1} << 30;  // bytes per call, well below SSIZE_MAX
    if (stride == length) {                           // end to end: one piece
        length *= pieces;
        pieces = 1;
    }
    uint64_t piece = 0;
    uint64_t done = 0;  // bytes of `piece` already written
    while (piece < pieces) {
        iovec vectors[kMaxVectors];
        int used = 0;
        uint64_t bytes = 0;
        for (uint64_t p = piece, skip = done; p < pieces && used < kMaxVectors && bytes < kMaxCall;
             ++p, skip = 0) {
            const uint64_t take = std::min(length - skip, kMaxCall - bytes);
            vectors[used++] = {const_cast<uint8_t*>(data + p * stride + skip),
                               static_cast<size_t>(take)};
            bytes += take;
        }
        const ssize_t wrote = offset < 0 ? ::writev(fd, vectors, used)
                                         : ::pwritev(fd, vectors, used, static_cast<off_t>(offset));
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (wrote == 0) return EIO;  // a write that makes no progress would loop forever
        if (offset >= 0) offset += wrote;
        done += static_cast<uint64_t>(wrote);
        piece += done / length;
        done %= length;
    }
    return 0;
}

// Bytes between columns in the staging buffer. Columns a power of two apart would share the few
// cache sets of one address within a page, and the block gathers store to 16 columns at once:
// from 1 KiB up the height is rounded up to an odd number of cache lines (at most an eighth
// more). Shorter columns stay end to end, so that a tile of whole columns is one piece.
uint64_t stagingStride(uint64_t height) {
    constexpr uint64_t kLine = 64;
    if (height < 1024) return height;
    const uint64_t lines = (height + kLine - 1) / kLine;
    return (lines | 1) * kLine;
}

// Visits the tiles of a seekable or mapped output: row blocks from the bottom up, and within
// each the column groups one after another, so that a group reads the cache lines the group
// before it brought in.
template <typename Visit>
int forEachTile(uint64_t factor, uint64_t count, TileShape shape, Visit visit) {
    for (uint64_t rowEnd = count; rowEnd > 0;) {
        const uint64_t rowBegin = rowEnd > shape.rows ? rowEnd - shape.rows : 0;
        for (uint64_t columnBegin = 0; columnBegin < factor; columnBegin += shape.columns) {
            const Tile tile{rowBegin, rowEnd, columnBegin, std::min(factor, columnBegin + shape.columns)};
            if (const int error = visit(tile); error != 0) return error;
        }
        rowEnd = rowBegin;
    }
    return 0;
}

// A mapped output is worth it for more streams than this: up to it, whole rows of a tile
// are few enough that positioned writes of the gathered columns cost less than the zeroed
// pages a mapping of a new file starts with.
constexpr uint64_t kMappedAbove = 8;

// The mapped output (see OutputKind::mapped), for many streams with long columns: row
// blocks small enough to stay in the second-level cache while all their column groups are
// gathered (each input line read from memory once), gathered into a staging buffer whose
// columns lie close and copied into the mapping a column at a time; columns too short for
// such blocks to pay are left to positioned writes. Returns 0, the errno of a failure that
// writing would meet as well (no space, a file too large), or -1 when the output is written
// the other way.
int writeMapped(const uint8_t* input, uint64_t factor, uint64_t count, int fd, uint64_t tileBytes,
                GatherKernel kernel) {
#if defined(__linux__)
    const TileShape seekable = chooseTileShape(factor, count, OutputKind::seekable, tileBytes);
    if (factor <= kMappedAbove || seekable.rows == count) return -1;
    const TileShape shape{
        std::clamp<uint64_t>(std::max<uint64_t>(tileBytes / 4, 1) / factor, 16, count), factor};
    const uint64_t total = factor * count;
    if (total > static_cast<uint64_t>(SIZE_MAX) || total > static_cast<uint64_t>(INT64_MAX)) return -1;
    const uint64_t stride = stagingStride(shape.rows);
    std::unique_ptr<uint8_t[]> staging(new (std::nothrow) uint8_t[stride * shape.columns]);
    if (!staging) return -1;
    // Reserving the blocks makes a full disk an error here rather than a fault while storing.
    if (::fallocate(fd, 0, 0, static_cast<off_t>(total)) != 0)
        return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINTR ? -1 : errno;
    void* map = ::mmap(nullptr, static_cast<size_t>(total), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return -1;
#if defined(MADV_POPULATE_WRITE)
    ::madvise(map, static_cast<size_t>(total), MADV_POPULATE_WRITE);  // pages at once, not by faults
#endif
    uint8_t* out = static_cast<uint8_t*>(map);
    forEachTile(factor, count, shape, [&](const Tile& tile) {
        uint8_t* at = out + tile.columnBegin * count + (count - tile.rowEnd);
        gatherTile(kernel, input, factor, count, tile, staging.get(), stride);
        const uint64_t height = tile.rowEnd - tile.rowBegin;
        for (uint64_t c = 0; c < tile.columnEnd - tile.columnBegin; ++c)
            std::memcpy(at + c * count, staging.get() + c * stride, static_cast<size_t>(height));
        return 0;
    });
    return ::munmap(map, static_cast<size_t>(total)) == 0 ? 0 : errno;
#else
    (void)input, (void)factor, (void)count, (void)fd, (void)tileBytes, (void)kernel;
    return -1;
#endif
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

int writeStreams(const uint8_t* input, uint64_t factor, uint64_t count, int fd, OutputKind kind,
                 uint64_t tileBytes, GatherKernel kernel) {
    if (count == 0 || factor == 0) return 0;
    if (!kernelRuns(kernel, factor)) return EINVAL;
    if (kind == OutputKind::mapped) {
        const int mapped = writeMapped(input, factor, count, fd, tileBytes, kernel);
        if (mapped >= 0) return mapped;
        kind = OutputKind::seekable;
    }
    const TileShape shape = chooseTileShape(factor, count, kind, tileBytes);
    const uint64_t stride = stagingStride(shape.rows);
    std::unique_ptr<uint8_t[]> staging(new (std::nothrow) uint8_t[stride * shape.columns]);
    if (!staging) return ENOMEM;

    // Gathers one tile and writes it: in one call when it spans whole columns (they are adjacent
    // in the output), else a piece per column at that column's place.
    auto writeTile = [&](const Tile& tile) {
        gatherTile(kernel, input, factor, count, tile, staging.get(), stride);
        const uint64_t height = tile.rowEnd - tile.rowBegin;
        const uint64_t columns = tile.columnEnd - tile.columnBegin;
        const bool seekable = kind == OutputKind::seekable;
        if (height == count) {
            const uint64_t at = tile.columnBegin * count;
            return writePieces(fd, staging.get(), count, stride, columns,
                               seekable ? static_cast<int64_t>(at) : -1);
        }
        for (uint64_t c = 0; c < columns; ++c) {
            const uint64_t at = (tile.columnBegin + c) * count + count - tile.rowEnd;
            const int error = writePieces(fd, staging.get() + c * stride, height, stride, 1,
                                          seekable ? static_cast<int64_t>(at) : -1);
            if (error != 0) return error;
        }
        return 0;
    };
    auto rowBlock = [&](uint64_t rowEnd) {
        return Tile{rowEnd > shape.rows ? rowEnd - shape.rows : 0, rowEnd, 0, 0};
    };
    auto columnGroup = [&](Tile tile, uint64_t columnBegin) {
        tile.columnBegin = columnBegin;
        tile.columnEnd = std::min(factor, columnBegin + shape.columns);
        return tile;
    };

    // Row blocks are taken from the bottom up, so every column's pieces land at rising offsets.
    // Sequential output needs each column whole before the next: column groups outside. A file
    // takes the column groups of a row block one after another instead, so that a group reads
    // the cache lines the group before it brought in.
    if (kind == OutputKind::sequential || shape.rows == count) {
        for (uint64_t columnBegin = 0; columnBegin < factor; columnBegin += shape.columns) {
            for (uint64_t rowEnd = count; rowEnd > 0;) {
                const Tile tile = columnGroup(rowBlock(rowEnd), columnBegin);
                if (const int error = writeTile(tile); error != 0) return error;
                rowEnd = tile.rowBegin;
            }
        }
        return 0;
    }
    return forEachTile(factor, count, shape, writeTile);
}

}  // namespace deinterleave
