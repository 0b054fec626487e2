#pragma once
// Files for the l3 commands: whole inputs read into memory ('-' is standard input), outputs
// written to a temporary file beside the target and renamed into place ('-' is standard
// output), so that a failure never leaves a half-written file or touches the input.

#include <cstdint>
#include <string>
#include <vector>

namespace l3tool {

bool readInput(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
bool writeOutput(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
// True when both names lead to one existing file.
bool sameFile(const std::string& a, const std::string& b);
// A decimal count that fits an int.
bool parseCount(const char* text, int& value);
// Prints what was wrong and the usage on standard error; returns 1.
int usageError(const char* usage, const std::string& argument);

}  // namespace l3tool
