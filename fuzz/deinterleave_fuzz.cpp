// libFuzzer target: deinterleave's factor parsing and reordering on a memory buffer. The
// input is the N text up to the first newline (at most 32 bytes), one byte choosing the
// tile size and the output kind, then the interleaved data. The output of every gather kernel
// that runs for N goes to an in-memory file and must equal the byte-by-byte definition computed
// here.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "deinterleave/interleave_factor.h"
#include "deinterleave/stream_writer.h"

namespace {

// Stream i of n, each from its last byte to its first, streams in order.
std::vector<uint8_t> reference(const uint8_t* input, uint64_t size, uint64_t n) {
    std::vector<uint8_t> out;
    const uint64_t count = size / n;
    for (uint64_t i = 0; i < n && count > 0; ++i)
        for (uint64_t j = 0; j < count; ++j) out.push_back(input[i + n * (count - 1 - j)]);
    return out;
}

int memoryFile() {
    static int fd = -1;
    if (fd < 0) fd = static_cast<int>(::memfd_create("deinterleave_fuzz", 0));
    if (fd < 0) std::abort();
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t textEnd = std::find(data, data + std::min<size_t>(size, 32), '\n') - data;
    if (textEnd >= size) return 0;
    const std::string text(reinterpret_cast<const char*>(data), textEnd);
    const int64_t factor = deinterleave::parseInterleaveFactor(text.c_str());
    const size_t optionsAt = textEnd + 1;
    if (optionsAt >= size || factor <= 0) return 0;
    const uint8_t options = data[optionsAt];
    const uint8_t* input = data + optionsAt + 1;
    const uint64_t inputSize = size - optionsAt - 1;

    const uint64_t n = static_cast<uint64_t>(factor);
    const uint64_t count = inputSize / n;
    const auto kind = options & 1   ? deinterleave::OutputKind::sequential
                      : options & 2 ? deinterleave::OutputKind::mapped
                                    : deinterleave::OutputKind::seekable;
    // Small tiles exercise the tiling on small inputs; 0 keeps the default.
    const uint64_t tileBytes = (options >> 2) == 0 ? deinterleave::kTileBytes : (options >> 2);

    if (count > 0) {
        const deinterleave::TileShape tile =
            deinterleave::chooseTileShape(n, count, kind, tileBytes);
        if (tile.rows < 1 || tile.rows > count || tile.columns < 1 || tile.columns > n ||
            tile.rows * tile.columns >
                std::max(deinterleave::kMostTileGrowth * tileBytes, tile.rows))
            std::abort();
    }

    // The automatic choice and every kernel that runs for n here must give the same bytes.
    const std::vector<uint8_t> want = reference(input, inputSize, n);
    auto check = [&](deinterleave::GatherKernel kernel) {
        if (!deinterleave::kernelRuns(kernel, n)) return;
        const int fd = memoryFile();
        if (deinterleave::writeStreams(input, n, count, fd, kind, tileBytes, kernel) != 0) {
            std::abort();
        }
        const off_t written = ::lseek(fd, 0, SEEK_END);
        std::vector<uint8_t> output(static_cast<size_t>(written));
        if (written > 0 && ::pread(fd, output.data(), output.size(), 0) != written) std::abort();
        if (output != want) std::abort();
    };
    check(deinterleave::GatherKernel::automatic);
    for (deinterleave::GatherKernel kernel : deinterleave::kForcedKernels) check(kernel);
    return 0;
}
