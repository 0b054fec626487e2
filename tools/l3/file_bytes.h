#pragma once
// A whole input file in memory, with the reason when it cannot be read.

#include <cstdint>
#include <string>
#include <vector>

namespace l3tool {

// Reads path into bytes; on failure returns false and sets error (strerror text).
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

}  // namespace l3tool
