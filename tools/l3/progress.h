#pragma once
// How far a run over many files (or one long file) has come, on standard error when it is
// a terminal, and nothing otherwise: one line redrawn in place at most four times a second,
// from half a second after the start on (a short run shows nothing):
//   "120/4000 files, 35.2 files/s, 1:50 left, this file 43 %"
// The time left is the files to go at the pace so far. Any thread may call every member.
// In the WebAssembly build the numbers go to the page instead (progress.cpp), as often.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>

namespace l3tool {

class Progress {
public:
    // shown: whether to draw at all (standard error a terminal, as isatty says).
    Progress(size_t totalFiles, bool shown);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    static bool onTerminal();

    // A file is done (whatever its outcome).
    void fileDone();
    // Bytes walked of the file at work (of size in all).
    void within(size_t done, size_t size);
    // Writes a line to out (a file's result) with the progress line out of its way; the
    // progress line comes back at the next redraw.
    void print(FILE* out, const char* text);
    // Takes the line off the terminal for good.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    void redraw();  // with lock_ held
    void erase();   // with lock_ held

    std::mutex lock_;
    const size_t total_;
    const bool shown_;
    const Clock::time_point start_;
    Clock::time_point lastDraw_;
    size_t done_ = 0;
    double withinShare_ = -1;  // of the file at work, -1 when unknown
    bool drawn_ = false;
};

}  // namespace l3tool
