#pragma once
// Several files worked on at once (-j N) by the l3 commands that take many: each file's
// messages and its line are collected while it is worked on and printed together when it
// is done, so that the files' lines never interleave; the run counts the files done and
// failed and keeps the highest exit code. On a terminal a progress line shows how far the
// run has come (see progress.h).

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "progress.h"

namespace l3tool {

// What one file's work says, in order, and its exit code.
struct FileReport {
    int status = 0;
    std::vector<std::pair<FILE*, std::string>> lines;  // standard output or error, text
    // Adds a line (the newline is added) to print on to.
    void say(FILE* to, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

struct BatchTotals {
    size_t done = 0, failed = 0;  // failed: a status other than 0
    int status = 0;               // the highest
};

// Runs one(k) for every k below count on min(jobs, count) threads (one: this thread), each
// file taken by whichever thread is free; each report is printed as its file is done, and
// then after(k, report, progress) runs when given (one file at a time; it prints through
// progress), whose exit code counts in the run's.
using AfterFile = std::function<int(size_t, const FileReport&, Progress&)>;
BatchTotals runBatch(size_t count, int jobs, const std::function<FileReport(size_t)>& one,
                     const AfterFile& after = {});

}  // namespace l3tool
