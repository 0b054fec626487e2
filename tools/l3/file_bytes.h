#pragma once
// Files for the l3 commands: a whole input in memory ('-' is standard input), and outputs
// written to a temporary file beside the target and renamed into place ('-' is standard
// output), so that a failure never leaves a half-written file or touches the input.

#include <cstdint>
#include <string>
#include <vector>

namespace l3tool {

// Reads path into bytes; on failure returns false and sets error (strerror text).
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
bool writeOutput(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
// True when both names lead to one existing file.
bool sameFile(const std::string& a, const std::string& b);
// A decimal count of at most a million.
bool parseCount(const char* text, int& value);

}  // namespace l3tool
