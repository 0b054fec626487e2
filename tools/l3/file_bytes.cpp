#include "file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "format/platform.h"

namespace l3tool {

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) {
        error = std::strerror(errno);
        return false;
    }
    // A regular file is read in one piece into a buffer of its size; a pipe in blocks.
    struct stat info;
    size_t block = size_t{1} << 20;
    if (::fstat(::fileno(f), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        block = static_cast<size_t>(info.st_size) + 1;
    size_t used = 0;
    for (;;) {
        if (bytes.size() < used + block) bytes.resize(used + block);
        const size_t n = std::fread(bytes.data() + used, 1, bytes.size() - used, f);
        used += n;
        if (n == 0 || std::feof(f)) break;
        block = std::max(block, used);  // a growing input doubles the buffer
    }
    const bool failed = std::ferror(f);
    if (failed) error = std::strerror(errno ? errno : EIO);
    if (f != stdin) std::fclose(f);
    bytes.resize(used);
    return !failed;
}

InputBytes::~InputBytes() {
    release();
}

void InputBytes::release() {
    if (mapping_) ::munmap(mapping_, mapped_);
    mapping_ = nullptr;
    mapped_ = 0;
    read_.clear();
}

bool InputBytes::open(const std::string& path, std::string& error) {
    release();
    if (path != "-") {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        struct stat info;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
            void* m =
                ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (m != MAP_FAILED) {
                ::madvise(m, static_cast<size_t>(info.st_size), MADV_SEQUENTIAL);
                mapping_ = m;
                mapped_ = static_cast<size_t>(info.st_size);
            }
        }
        ::close(fd);
        if (mapping_) return true;
    }
    return readWholeFile(path, read_, error);
}

bool writeOutput(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    const l3::OutputPlace place = path == "-" ? l3::OutputPlace{path, true} : l3::outputPlace(path);
    if (place.inPlace) {
        FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
        bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                  std::fflush(file) == 0;
        if (!ok) error = std::strerror(errno);
        if (file && file != stdout && std::fclose(file) != 0 && ok) {
            error = std::strerror(errno);
            ok = false;
        }
        return ok;
    }
    std::string temp = place.target + ".l3tmp-XXXXXX";
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
    if (ok && std::rename(temp.c_str(), place.target.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temp.c_str());
    return ok;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code e;
    return a != "-" && b != "-" && std::filesystem::exists(a, e) && std::filesystem::exists(b, e) &&
           std::filesystem::equivalent(a, b, e);
}

bool parseCount(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 1000000) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace l3tool
