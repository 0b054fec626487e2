#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <thread>

namespace l3tool {

void FileReport::say(FILE* to, const char* format, ...) {
    std::va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.back() = '\n';
    lines.emplace_back(to, std::move(text));
}

BatchTotals runBatch(size_t count, int jobs, const std::function<FileReport(size_t)>& one,
                     const AfterFile& after) {
    BatchTotals totals;
    std::mutex lock;
    Progress progress(count, count > 1 && Progress::onTerminal());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t k; (k = next++) < count;) {
            const FileReport report = one(k);
            std::lock_guard<std::mutex> guard(lock);
            for (const auto& [to, text] : report.lines) progress.print(to, text.c_str());
            std::fflush(stdout);
            const int afterStatus = after ? after(k, report, progress) : 0;
            totals.status = std::max({totals.status, report.status, afterStatus});
            ++totals.done;
            totals.failed += report.status != 0;
            progress.fileDone();
        }
    };
    std::vector<std::thread> threads;
#ifdef __EMSCRIPTEN__
    jobs = 1;  // the WebAssembly build has no threads: the files go one after another
#endif
    const size_t workers = std::min(static_cast<size_t>(std::max(jobs, 1)), count);
    for (size_t t = 1; t < workers; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
    progress.finish();
    return totals;
}

}  // namespace l3tool
