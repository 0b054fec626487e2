#pragma once
// A run's log of finished files (--jsonl FILE): one JSON object a line, each written whole
// by one system call as its file finishes, so that a run over a large library may be
// stopped at any moment (kill -9 included) and resumed. Given the same log again, a file
// that a line records with the size and modification time it has now is skipped, and the
// new lines are appended; a partial last line, left by a run stopped while writing it, is
// cut off first. Every line has "file", "size" and "mtime_ns" (the file as it was read;
// null where it could not be looked at, and such a line never matches) and "status" (the
// exit code of that file alone); a line with "output", "output_size" and "output_mtime_ns"
// records a result that may have replaced its input (repack --in-place), and a file that is
// now that result is skipped too. Lines that do not read so are kept and passed over.
//
// The log holds a 128-bit hash of each line's name, size and time, not the names, so that a
// log of a million files is looked up in some 24 MB. A lock (flock) keeps two runs from
// writing one log.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace l3tool {

struct FileStamp {
    uint64_t size = 0;
    int64_t mtimeNs = 0;  // since the epoch
};

// The stamp of the file path leads to (through links); false when it cannot be looked at.
bool stampOf(const std::string& path, FileStamp& stamp);

// "\"size\": N, \"mtime_ns\": T" (or nulls), to go into a line; prefix names the keys
// ("output_" for output_size and output_mtime_ns).
std::string stampFields(const std::optional<FileStamp>& stamp, std::string_view prefix = "");

// What a line records; false for a line that is not one JSON object or lacks "file".
struct LoggedFile {
    std::string file, output;
    std::optional<FileStamp> stamp, outputStamp;
    int status = 0;
};
bool parseLogLine(std::string_view line, LoggedFile& entry);

class RunLog {
public:
    RunLog() = default;
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Opens (or makes) the log, reads the lines there and cuts a partial last line. False
    // with error (the log cannot be read or written, or another run holds it).
    bool open(const std::string& path, std::string& error);
    // The status a line records for the file at path as stamp says it is now, if any.
    std::optional<int> find(const std::string& path, const FileStamp& stamp) const;
    // Appends line (one JSON object, without its newline). False with error.
    bool append(const std::string& line, std::string& error);
    size_t linesRead() const { return linesRead_; }

private:
    struct Key {
        uint64_t high, low;
        int status;
    };
    static Key keyOf(std::string_view path, const FileStamp& stamp, int status);
    void take(std::string_view line);
    int fd_ = -1;
    std::vector<Key> keys_;  // sorted by hash once read
    size_t linesRead_ = 0;
};

}  // namespace l3tool
