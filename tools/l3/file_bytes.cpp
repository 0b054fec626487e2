#include "file_bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace l3tool {

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = std::strerror(errno);
        return false;
    }
    constexpr size_t kBlock = 1 << 20;
    size_t used = 0;
    for (;;) {
        bytes.resize(used + kBlock);
        const size_t n = std::fread(bytes.data() + used, 1, kBlock, f);
        used += n;
        if (n < kBlock) break;
    }
    const bool failed = std::ferror(f);
    if (failed) error = std::strerror(errno ? errno : EIO);
    std::fclose(f);
    bytes.resize(used);
    return !failed;
}

}  // namespace l3tool
