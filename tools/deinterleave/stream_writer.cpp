#include "deinterleave/stream_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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

// Size of the pages whose mapping is asked for (see populate).
constexpr uint64_t kPageBytes = 4096;

// Asks the system to map the pages of [bytes, bytes + length) of the input now, in one call,
// rather than a few at a time as they are first read: read ahead of their pages, the gathers
// find the bytes in the cache. Only a hint: an input read into memory has its pages already.
void populate(const uint8_t* bytes, uint64_t length) {
#if defined(MADV_POPULATE_READ)
    const auto address = reinterpret_cast<uintptr_t>(bytes);
    const uintptr_t first = address - address % kPageBytes;
    ::madvise(reinterpret_cast<void*>(first), static_cast<size_t>(address + length - first),
              MADV_POPULATE_READ);
#else
    (void)bytes, (void)length;
#endif
}

// Visits the tiles of a seekable output: row blocks from the bottom up, and within each the
// column groups one after another, so that a group reads the cache lines the group before it
// brought in.
template <typename Visit>
int forEachTile(uint64_t factor, uint64_t count, TileShape shape, Visit visit) {
    for (uint64_t rowEnd = count; rowEnd > 0;) {
        const uint64_t rowBegin = rowEnd > shape.rows ? rowEnd - shape.rows : 0;
        for (uint64_t columnBegin = 0; columnBegin < factor; columnBegin += shape.columns) {
            const Tile tile{rowBegin, rowEnd, columnBegin,
                            std::min(factor, columnBegin + shape.columns)};
            if (const int error = visit(tile); error != 0) return error;
        }
        rowEnd = rowBegin;
    }
    return 0;
}

// Runs work(part, parts) here and, where a thread can be started, on a second thread too:
// parts is then 2 (the parts 0 and 1), else 1.
template <typename Work>
void inTwoParts(Work work) {
    std::thread helper;
    try {
        helper = std::thread(work, 1, 2);
    } catch (const std::system_error&) {
    }
    work(0, helper.joinable() ? 2 : 1);
    if (helper.joinable()) helper.join();
}

// Tiles shared between workers go in runs of this many to each in turn, so that the rows a
// gather asks for ahead (those below its tile) are mostly its own next tile's.
constexpr uint64_t kRunTiles = 16;

bool isMine(uint64_t tileIndex, uint64_t part, uint64_t parts) {
    return tileIndex / kRunTiles % parts == part;
}

// The input a band of whole rows may span: a quarter of a tile, at most kBandBytes.
uint64_t bandBytesFor(uint64_t tileBytes) {
    return std::min(kBandBytes, std::max<uint64_t>(tileBytes / 4, 1));
}

// Gathers a tile into staging (columns `stride` apart): a tile of whole rows in bands of at
// most bandBytes of input, each small enough that the input lines it reads stay in the cache
// until all of the tile's columns have taken their bytes (while one band is gathered the next
// is asked for); a tile of parts of rows at once (its kernel visits each row once).
void gatherInBands(GatherKernel kernel, const uint8_t* input, uint64_t factor, uint64_t count,
                   const Tile& tile, uint8_t* staging, uint64_t stride, uint64_t bandBytes) {
    const uint64_t width = tile.columnEnd - tile.columnBegin;
    uint64_t band =
        width == factor ? std::max<uint64_t>(bandBytes / width, 1) : tile.rowEnd - tile.rowBegin;
    if (band >= 16) band -= band % 16;  // whole 16-row blocks
    for (uint64_t rowEnd = tile.rowEnd; rowEnd > tile.rowBegin;) {
        const uint64_t rowBegin = rowEnd - std::min(band, rowEnd - tile.rowBegin);
        gatherTile(kernel, input, factor, count,
                   {rowBegin, rowEnd, tile.columnBegin, tile.columnEnd},
                   staging + (tile.rowEnd - rowEnd), stride);
        rowEnd = rowBegin;
    }
}

// The mapped output (see OutputKind::mapped), for outputs of more than one tile with long
// columns. The file is given its blocks and mapped with large pages, and two threads share
// the work: each first has the system make (and zero) the pages of half the output and map
// half the input, then, once both are done, gathers every other run of tiles into a staging
// buffer of its own and copies each column's piece to its place in the mapping. A new file's
// pages are made as they are first written, which is most of the system's work; with large
// pages they are made in large blocks however scattered the writes, and with no write call
// per piece, pieces of any length cost the same. Tiles are bands of whole rows of at most
// bandBytes of input where 16 rows fit in that, else the tiles of a seekable output. Returns 0,
// the errno of a failure that writing would meet as well (no space, a file too large), or -1
// when the output is to be written the other way.
int writeMapped(const uint8_t* input, uint64_t factor, uint64_t count, int fd, uint64_t tileBytes,
                GatherKernel kernel) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    TileShape shape = chooseTileShape(factor, count, OutputKind::seekable, tileBytes);
    if (shape.rows == count) return -1;
    const uint64_t total = factor * count;
    if (total > static_cast<uint64_t>(SIZE_MAX) || total > static_cast<uint64_t>(INT64_MAX))
        return -1;
    const uint64_t bandBytes = bandBytesFor(tileBytes);
    if (factor <= bandBytes / 16) shape = {std::min(bandBytes / factor / 16 * 16, count), factor};
    const uint64_t stride = stagingStride(shape.rows);
    std::unique_ptr<uint8_t[]> staging[2];
    for (auto& buffer : staging) {
        buffer.reset(new (std::nothrow) uint8_t[stride * shape.columns]);
        if (!buffer) return -1;
    }
    // Reserving the blocks makes a full disk an error here rather than a fault while storing.
    if (::fallocate(fd, 0, 0, static_cast<off_t>(total)) != 0)
        return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINTR ? -1 : errno;
    void* map =
        ::mmap(nullptr, static_cast<size_t>(total), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return -1;
    uint8_t* out = static_cast<uint8_t*>(map);
#if defined(MADV_HUGEPAGE)
    ::madvise(map, static_cast<size_t>(total), MADV_HUGEPAGE);
#endif

    // Worker `part` of `parts`: its share of the pages, then (after the other's share is made
    // too) its tiles.
    std::barrier pagesMade(2);
    auto work = [&](uint64_t part, uint64_t parts) {
        for (uint64_t share = part; share < 2; share += parts) {
            const uint64_t from = total / 2 * share, to = share == 0 ? total / 2 : total;
            const uint64_t first = from - from % kPageBytes;
            ::madvise(out + first, static_cast<size_t>(to - first), MADV_POPULATE_WRITE);
            populate(input + from, to - from);
        }
        if (parts == 2) pagesMade.arrive_and_wait();
        uint64_t index = 0;
        uint8_t* buffer = staging[part].get();
        forEachTile(factor, count, shape, [&](const Tile& tile) {
            if (!isMine(index++, part, parts)) return 0;
            gatherInBands(kernel, input, factor, count, tile, buffer, stride, bandBytes);
            const uint64_t height = tile.rowEnd - tile.rowBegin;
            uint8_t* at = out + tile.columnBegin * count + (count - tile.rowEnd);
            for (uint64_t c = 0; c < tile.columnEnd - tile.columnBegin; ++c)
                std::memcpy(at + c * count, buffer + c * stride, static_cast<size_t>(height));
            return 0;
        });
    };
    inTwoParts(work);
    return ::munmap(map, static_cast<size_t>(total)) == 0 ? 0 : errno;
#else
    (void)input, (void)factor, (void)count, (void)fd, (void)tileBytes, (void)kernel;
    return -1;
#endif
}

// Short columns taken whole (tiles of every row): the tiles are independent pieces of the
// output, so two workers each gather every other run of tiles into a staging buffer of their
// own and write them, one gathering while the other writes. Returns 0, the first error, or -1
// where no buffers can be had (the output is then to be written the other way).
int writeWholeColumns(const uint8_t* input, uint64_t factor, uint64_t count, int fd,
                      TileShape shape, uint64_t bandBytes, GatherKernel kernel) {
    const uint64_t stride = stagingStride(shape.rows);
    std::unique_ptr<uint8_t[]> staging[2];
    for (auto& buffer : staging) {
        buffer.reset(new (std::nothrow) uint8_t[stride * shape.columns]);
        if (!buffer) return -1;
    }
    std::atomic<int> failure{0};
    inTwoParts([&](uint64_t part, uint64_t parts) {
        // Every tile reads from every row: each worker first maps its half of the input.
        const uint64_t total = factor * count;
        populate(input + total / parts * part,
                 part + 1 == parts ? total - total / parts * part : total / parts);
        uint64_t index = 0;
        uint8_t* buffer = staging[part].get();
        forEachTile(factor, count, shape, [&](const Tile& tile) {
            if (failure.load(std::memory_order_relaxed) != 0) return 1;
            if (!isMine(index++, part, parts)) return 0;
            gatherInBands(kernel, input, factor, count, tile, buffer, stride, bandBytes);
            const int error =
                writePieces(fd, buffer, count, stride, tile.columnEnd - tile.columnBegin,
                            static_cast<int64_t>(tile.columnBegin * count));
            if (error == 0) return 0;
            int none = 0;
            failure.compare_exchange_strong(none, error);
            return error;
        });
    });
    return failure.load();
}

// Gathers each tile `forEach` visits with gather(tile, buffer) and writes it with
// put(tile, buffer), which returns 0 or an errno. Where the run has more than one tile the
// writes go to a second thread while the next tile is gathered into the other of two staging
// buffers, so that gathering overlaps the system's copying into the page cache; tiles are still
// written in the order visited. Where no thread can be started both happen in turn here.
// Returns 0, the first error, or ENOMEM.
template <typename ForEach, typename Gather, typename Put>
int writeBehind(uint64_t stagingBytes, bool overlap, ForEach forEach, Gather gather, Put put) {
    // Tile i goes into buffer i % ring, free again once tile i is written.
    const uint64_t ring = overlap ? 2 : 1;
    std::unique_ptr<uint8_t[]> buffers[2];
    for (uint64_t b = 0; b < ring; ++b) {
        buffers[b].reset(new (std::nothrow) uint8_t[stagingBytes]);
        if (!buffers[b]) return ENOMEM;
    }
    auto buffer = [&](uint64_t tile) { return buffers[tile % ring].get(); };
    auto inTurn = [&] {
        return forEach([&](const Tile& tile) {
            gather(tile, buffer(0));
            return put(tile, buffer(0));
        });
    };
    if (!overlap) return inTurn();

    struct Handover {
        std::mutex lock;
        std::condition_variable gathered, written;
        Tile tiles[2] = {};
        uint64_t gatheredCount = 0;
        uint64_t writtenCount = 0;
        bool finished = false;  // no more tiles will come
        int error = 0;
    } h;
    auto writeAll = [&] {
        for (uint64_t i = 0;; ++i) {
            std::unique_lock<std::mutex> held(h.lock);
            h.gathered.wait(held, [&] { return h.gatheredCount > i || h.finished; });
            if (h.gatheredCount <= i) return;
            const Tile tile = h.tiles[i % ring];
            held.unlock();
            const int error = put(tile, buffer(i));
            held.lock();
            h.writtenCount = i + 1;
            if (error != 0) h.error = error;
            h.written.notify_one();
            if (error != 0) return;
        }
    };
    std::thread writer;
    try {
        writer = std::thread(writeAll);
    } catch (const std::system_error&) {
        return inTurn();
    }
    uint64_t i = 0;
    const int stopped = forEach([&](const Tile& tile) {
        {
            // Tile i - 2 used this buffer last.
            const uint64_t needed = i >= ring ? i + 1 - ring : 0;
            std::unique_lock<std::mutex> held(h.lock);
            h.written.wait(held, [&] { return h.writtenCount >= needed || h.error != 0; });
            if (h.error != 0) return h.error;
        }
        gather(tile, buffer(i));
        {
            const std::lock_guard<std::mutex> held(h.lock);
            h.tiles[i % ring] = tile;
            h.gatheredCount = i + 1;
        }
        h.gathered.notify_one();
        ++i;
        return 0;
    });
    {
        const std::lock_guard<std::mutex> held(h.lock);
        h.finished = true;
    }
    h.gathered.notify_one();
    writer.join();
    return stopped != 0 ? stopped : h.error;
}

}  // namespace

TileShape chooseTileShape(uint64_t factor, uint64_t count, OutputKind kind, uint64_t tileBytes) {
    tileBytes = std::max<uint64_t>(tileBytes, 1);
    if (kind == OutputKind::sequential) {
        // Pieces of several columns would interleave in the output: a tile narrower than the
        // whole column is one column wide, as many rows as the buffer holds.
        const uint64_t rows = std::min(tileBytes, count);
        return {rows, rows == count ? std::clamp<uint64_t>(tileBytes / count, 1, factor) : 1};
    }
    const uint64_t leastPiece = std::max<uint64_t>(tileBytes / kLeastPieceDivisor, 1);
    const uint64_t goodPiece = std::max<uint64_t>(tileBytes / kGoodPieceDivisor, 1);
    const uint64_t mostTile = kMostTileGrowth * tileBytes;
    if (mostTile / factor >= leastPiece) {  // whole rows
        const uint64_t rows =
            std::max(std::clamp(mostTile / factor, leastPiece, goodPiece), tileBytes / factor);
        if (rows < count) return {rows, factor};
    }
    // Pieces of at least leastPiece of as many columns as the tile holds, or whole columns.
    const uint64_t rows = std::clamp<uint64_t>(std::max(tileBytes / factor, leastPiece), 1, count);
    return {rows, std::clamp<uint64_t>(tileBytes / rows, 1, factor)};
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
    const uint64_t bandBytes = bandBytesFor(tileBytes);
    if (kind == OutputKind::seekable && shape.rows == count && shape.columns < factor) {
        const int whole = writeWholeColumns(input, factor, count, fd, shape, bandBytes, kernel);
        if (whole >= 0) return whole;
    }
    const uint64_t stride = stagingStride(shape.rows);
    const bool seekable = kind == OutputKind::seekable;

    // Writes a gathered tile: in one call when it spans whole columns (they are adjacent in the
    // output), else a piece per column at that column's place.
    auto putTile = [&](const Tile& tile, const uint8_t* staging) {
        const uint64_t height = tile.rowEnd - tile.rowBegin;
        const uint64_t columns = tile.columnEnd - tile.columnBegin;
        if (height == count) {
            const uint64_t at = tile.columnBegin * count;
            return writePieces(fd, staging, count, stride, columns,
                               seekable ? static_cast<int64_t>(at) : -1);
        }
        for (uint64_t c = 0; c < columns; ++c) {
            const uint64_t at = (tile.columnBegin + c) * count + count - tile.rowEnd;
            const int error = writePieces(fd, staging + c * stride, height, stride, 1,
                                          seekable ? static_cast<int64_t>(at) : -1);
            if (error != 0) return error;
        }
        return 0;
    };

    auto gather = [&](const Tile& tile, uint8_t* staging) {
        if (tile.columnEnd - tile.columnBegin == factor) {
            populate(input + tile.rowBegin * factor, (tile.rowEnd - tile.rowBegin) * factor);
        }
        gatherInBands(kernel, input, factor, count, tile, staging, stride, bandBytes);
    };

    // Row blocks are taken from the bottom up, so every column's pieces land at rising offsets.
    // Sequential output needs each column whole before the next: column groups outside. A file
    // takes the column groups of a row block one after another instead, so that a group reads
    // the cache lines the group before it brought in.
    auto forEach = [&](auto visit) {
        if (kind == OutputKind::sequential || shape.rows == count) {
            for (uint64_t columnBegin = 0; columnBegin < factor; columnBegin += shape.columns) {
                for (uint64_t rowEnd = count; rowEnd > 0;) {
                    const uint64_t rowBegin = rowEnd > shape.rows ? rowEnd - shape.rows : 0;
                    const Tile tile{rowBegin, rowEnd, columnBegin,
                                    std::min(factor, columnBegin + shape.columns)};
                    if (const int error = visit(tile); error != 0) return error;
                    rowEnd = rowBegin;
                }
            }
            return 0;
        }
        return forEachTile(factor, count, shape, visit);
    };
    const uint64_t stagingBytes = stride * shape.columns;
    return writeBehind(stagingBytes, factor * count > shape.rows * shape.columns, forEach, gather,
                       putTile);
}

}  // namespace deinterleave
