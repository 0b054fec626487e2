#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace l3tool {

bool readInput(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    uint8_t block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + got);
    const bool failed = std::ferror(file) != 0;
    if (failed) error = std::strerror(errno);
    if (file != stdin) std::fclose(file);
    return !failed;
}

bool writeOutput(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    if (path == "-") {
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
                        std::fflush(stdout) == 0;
        if (!ok) error = std::strerror(errno);
        return ok;
    }
    std::string temp = path + ".l3tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (!ok) error = std::strerror(errno);
    if (file && std::fclose(file) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    if (ok) ::chmod(temp.c_str(), 0644);
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temp.c_str());
    return ok;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code e;
    return a != "-" && b != "-" && std::filesystem::exists(a, e) &&
           std::filesystem::exists(b, e) && std::filesystem::equivalent(a, b, e);
}

bool parseCount(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 1000000) return false;
    value = static_cast<int>(v);
    return true;
}

int usageError(const char* usage, const std::string& argument) {
    if (!argument.empty()) std::fprintf(stderr, "l3: bad or incomplete argument '%s'\n", argument.c_str());
    std::fputs(usage, stderr);
    return 1;
}

}  // namespace l3tool
