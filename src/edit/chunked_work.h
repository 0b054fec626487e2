#pragma once
// Work over a stream's frames in contiguous chunks, run on several threads at once.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace l3 {

// Whether this build can start threads: the WebAssembly build has none, and its work runs
// on the calling thread whatever number of threads is asked for.
#ifdef __EMSCRIPTEN__
inline constexpr bool kThreadsAvailable = false;
#else
inline constexpr bool kThreadsAvailable = true;
#endif

// Work over [0, n) in contiguous chunks of about `chunkFrames` frames, taken in order by
// whichever thread is free, so that threads also busy with other work take fewer. A chunk
// whose work() returns false stops the taking: the chunks taken before it still finish, so
// the first failing chunk is the same however the threads ran.
template <typename Part>
class ChunkedWork {
public:
    template <typename Work>
    ChunkedWork(size_t n, size_t chunkFrames, const Work& work)
        : n_(n), parts_(std::max<size_t>(1, n / std::max<size_t>(chunkFrames, 1))), work_(work) {}

    // Takes chunks on this thread until none is left.
    void take() {
        for (size_t c; !stopped_.load(std::memory_order_relaxed) &&
                       (c = next_.fetch_add(1, std::memory_order_relaxed)) < parts_.size();) {
            if (!work_(n_ * c / parts_.size(), n_ * (c + 1) / parts_.size(), parts_[c]))
                stopped_.store(true, std::memory_order_relaxed);
        }
    }
    // Takes chunks on up to `threads` threads (this one included) until none is left and
    // the chunks these threads took are done.
    void run(int threads) {
        if (!kThreadsAvailable) threads = 1;
        std::vector<std::thread> helpers;
        const size_t most = std::min(parts_.size(), static_cast<size_t>(std::max(threads, 1)));
        for (size_t t = 1; t < most; ++t) helpers.emplace_back([this] { take(); });
        take();
        for (std::thread& t : helpers) t.join();
    }
    // The chunks' parts in order, and where chunk c's frames start.
    const std::vector<Part>& parts() const { return parts_; }
    size_t chunkStart(size_t c) const { return n_ * c / parts_.size(); }

private:
    size_t n_;
    std::vector<Part> parts_;
    std::function<bool(size_t, size_t, Part&)> work_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stopped_{false};
};

}  // namespace l3
