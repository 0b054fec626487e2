// Files the module reads: whole, into memory, without the GIL.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bindings.h"
#include "l3/status.h"

namespace l3py {

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    bool ok = file != nullptr;
    uint8_t block[1 << 16];
    size_t n;
    while (ok && (n = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + n);
    if (file) {
        const int error = errno;
        ok = ok && !std::ferror(file);
        std::fclose(file);
        errno = error;
    }
    if (!ok) {
        const int error = errno;
        throw Failure{"FileError", l3::Status::io, path + ": cannot read: " + std::strerror(error),
                      error, path};
    }
    return bytes;
}

}  // namespace l3py
