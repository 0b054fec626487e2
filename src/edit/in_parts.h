#pragma once
// Work over a stream's frames split into contiguous parts, run on several threads at once.

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace l3 {

// Frames a thread takes at the least: fewer are not worth starting one for.
inline constexpr size_t kFramesPerThread = 1000;

// Runs work(from, to, part) over [0, n) in contiguous parts on up to `threads` threads at
// once (this one included) and returns the parts in order.
template <typename Part, typename Work>
std::vector<Part> inParts(size_t n, int threads, const Work& work) {
    const size_t parts = std::max<size_t>(
        1, std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), n / kFramesPerThread));
    std::vector<Part> out(parts);
    std::vector<std::thread> helpers;
    for (size_t p = 1; p < parts; ++p)
        helpers.emplace_back([&, p] { work(n * p / parts, n * (p + 1) / parts, out[p]); });
    work(0, n / parts, out[0]);
    for (std::thread& t : helpers) t.join();
    return out;
}

}  // namespace l3
