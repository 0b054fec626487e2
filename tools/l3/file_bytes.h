#pragma once
// Files for the l3 commands: a whole input in memory ('-' is standard input), and outputs
// written the way src/io/replace_file.h writes them ('-' is standard output): through a
// temporary file renamed into place, keeping what a replaced file had, so that a failure
// never leaves a half-written file or touches the input. Before the first write a command
// checks every name it will write (src/io/output_check.h): an output never names an
// input or another output, and an existing file is replaced only with --force.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "l3/edit.h"
#include "l3/replace_file.h"
#include "l3/spill_memory.h"

namespace l3tool {

// Reads path into bytes; on failure returns false and sets error (strerror text).
bool readWholeFile(const std::string& path, l3::SpillBytes& bytes, std::string& error);

// A whole input to look at: a regular file is mapped (no copy); anything else is read.
class InputBytes {
public:
    InputBytes() = default;
    ~InputBytes();
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    // Replaces what was open; on failure returns false and sets error.
    bool open(const std::string& path, std::string& error);
    const uint8_t* data() const {
        return mapping_ ? static_cast<const uint8_t*>(mapping_) : read_.data();
    }
    size_t size() const { return mapping_ ? mapped_ : read_.size(); }

private:
    void release();
    void* mapping_ = nullptr;
    size_t mapped_ = 0;
    l3::SpillBytes read_;
};

// The options every writing command takes: -f/--force (an existing file may be replaced)
// and --keep-times (the result gets its input's access and modification times).
struct OutputOptions {
    bool force = false;
    bool keepTimes = false;
};
// True when arg is one of them (which is then set).
bool outputOption(std::string_view arg, OutputOptions& options);
// Their lines in each command's help (a macro, to be joined with the help's other literals).
#define L3_OUTPUT_OPTIONS_HELP                                               \
    "  -f, --force       replace an existing output file (never an input)\n" \
    "  --keep-times      give each result its input's access and modification times\n"

// Checks every output name of a run before anything is written: none names an input (but
// its own with inPlace, output k replacing input k) or another output, none is an existing
// file unless options.force (or inPlace), a directory, or a file with several names (hard
// links) that would be replaced. False after printing "l3 COMMAND: NAME: why".
bool outputsAllowed(std::string_view command, std::span<const std::string> inputs,
                    std::span<const std::string> outputs, const OutputOptions& options,
                    bool inPlace = false);

// The times a result of input is to get: input's (taken now, before it is read) with
// --keep-times, else none.
l3::FileTimes keptTimes(const OutputOptions& options, const std::string& input);

// Writes bytes to path ('-': standard output) through a temporary file; the result gets
// times when they are known. False with error.
bool writeOutput(const std::string& path, std::span<const uint8_t> bytes, std::string& error,
                 const l3::FileTimes& times = {});
// Writes every one of several outputs or none: each is made under its temporary name first,
// then all are renamed into place (a piece made new is removed again if a later rename
// fails). False with error and failed, the index of the output that could not be written.
bool writeOutputs(std::span<const std::string> paths,
                  std::span<const std::span<const uint8_t>> bytes, std::string& error,
                  size_t& failed, const l3::FileTimes& times = {});

// A result made piece by piece in a file and read back whole before it is kept: a temporary
// file beside path (as writeOutput makes), written through a buffer of 1 MiB and mapped
// once complete, so that a long result takes no memory of its own. The file is made at the
// first append; unless committed it is removed when the store goes.
class FileStore : public l3::ByteStore {
public:
    explicit FileStore(std::string path) : path_(std::move(path)) {}
    ~FileStore() override;
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;
    // True when path can be made so: not standard output, and a name that is renamed into
    // place (a device is written in place and cannot be read back).
    static bool readsBack(const std::string& path);
    bool append(const uint8_t* bytes, size_t size) override;
    bool finish(std::span<const uint8_t>& bytes) override;  // again: the same bytes
    // Renames the file into place with times. False with error().
    bool commit(const l3::FileTimes& times);
    const std::string& error() const { return error_; }

private:
    bool flush();
    std::string path_, error_;
    l3::NewFile file_;
    bool opened_ = false, finished_ = false;
    std::vector<uint8_t> buffer_;
    void* mapping_ = nullptr;
    size_t mapped_ = 0;
};

// A decimal count of at most a million.
bool parseCount(const char* text, int& value);

}  // namespace l3tool
