#include "progress.h"

#include <unistd.h>

#include <algorithm>

#ifdef __EMSCRIPTEN__
#include <emscripten.h>

// In the browser the page draws the progress: the module's onProgress (set by web/worker.js)
// gets the files done (with the share of the one at work) and the files in all.
EM_JS(void, l3ShowProgress, (double done, double total), {
    if (Module['onProgress']) Module['onProgress'](done, total);
});
#endif

namespace l3tool {

namespace {

constexpr auto kFirstDraw = std::chrono::milliseconds(500);
constexpr auto kRedraw = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(size_t totalFiles, bool shown)
    : total_(totalFiles), shown_(shown), start_(Clock::now()), lastDraw_(start_) {}

bool Progress::onTerminal() {
#ifdef __EMSCRIPTEN__
    return true;  // the page shows it (see redraw)
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

void Progress::fileDone() {
    if (!shown_) return;
    std::lock_guard<std::mutex> guard(lock_);
    ++done_;
    withinShare_ = -1;
    redraw();
}

void Progress::within(size_t done, size_t size) {
    if (!shown_ || size == 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    withinShare_ = static_cast<double>(done) / static_cast<double>(size);
    redraw();
}

void Progress::print(FILE* out, const char* text) {
    std::lock_guard<std::mutex> guard(lock_);
    erase();
    std::fputs(text, out);
    std::fflush(out);
}

void Progress::finish() {
    std::lock_guard<std::mutex> guard(lock_);
    erase();
}

void Progress::erase() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

void Progress::redraw() {
    const Clock::time_point now = Clock::now();
    if (now - start_ < kFirstDraw || (drawn_ && now - lastDraw_ < kRedraw)) return;
    lastDraw_ = now;
#ifdef __EMSCRIPTEN__
    l3ShowProgress(static_cast<double>(done_) + std::max(withinShare_, 0.0),
                   static_cast<double>(total_));
    return;
#endif
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[160];
    int n = std::snprintf(line, sizeof line, "\r\033[K%zu/%zu files", done_, total_);
    if (done_ > 0 && seconds > 0) {
        const double rate = static_cast<double>(done_) / seconds;
        const auto left = static_cast<long long>(
            static_cast<double>(total_ > done_ ? total_ - done_ : 0) / rate + 0.5);
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n),
                           ", %.1f files/s, %lld:%02lld left", rate, left / 60, left % 60);
    }
    if (withinShare_ >= 0)
        std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ", this file %d %%",
                      static_cast<int>(withinShare_ * 100));
    std::fputs(line, stderr);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace l3tool
