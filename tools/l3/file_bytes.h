#pragma once
// Files for the l3 commands: a whole input in memory ('-' is standard input), and outputs
// written to a temporary file beside the target and renamed into place ('-' is standard
// output), so that a failure never leaves a half-written file or touches the input. A
// device or named pipe is written in place, never replaced by a file.

#include <cstdint>
#include <string>
#include <vector>

namespace l3tool {

// Reads path into bytes; on failure returns false and sets error (strerror text).
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

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
    std::vector<uint8_t> read_;
};
bool writeOutput(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
// True when both names lead to one existing file.
bool sameFile(const std::string& a, const std::string& b);
// A decimal count of at most a million.
bool parseCount(const char* text, int& value);

}  // namespace l3tool
