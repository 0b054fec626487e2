#include "l3/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "l3/output_check.h"
#include "io/platform.h"

namespace l3 {

namespace {

// The process's umask, read without changing it where the system says it (Linux 4.7 on);
// else set and put back once, before any thread of ours creates files.
mode_t processUmask() {
    static const mode_t mask = [] {
        if (FILE* status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            unsigned value = 0;
            bool found = false;
            while (!found && std::fgets(line, sizeof line, status))
                found = std::sscanf(line, "Umask: %o", &value) == 1;
            std::fclose(status);
            if (found) return static_cast<mode_t>(value);
        }
        const mode_t old = ::umask(022);
        ::umask(old);
        return old;
    }();
    return mask;
}

bool fail(std::string& error, int code) {
    error = std::strerror(code);
    return false;
}

bool writeAll(int fd, const uint8_t* bytes, size_t size, std::string& error) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, errno);
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Extended attributes of from put on to; those the file system or the process cannot carry
// (ENOTSUP; EPERM or EACCES for the trusted and security namespaces) are left out. Any other
// failure (a full disk) fails the write, so that nothing is replaced by a weaker file.
bool copyAttributes(const std::string& from, const std::string& to, std::string& error) {
#ifdef __linux__
    ssize_t listed = ::listxattr(from.c_str(), nullptr, 0);
    if (listed <= 0) return listed == 0 || errno == ENOTSUP || fail(error, errno);
    std::vector<char> names(static_cast<size_t>(listed));
    listed = ::listxattr(from.c_str(), names.data(), names.size());
    if (listed < 0) return fail(error, errno);
    std::vector<char> value;
    for (size_t at = 0; at < static_cast<size_t>(listed); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        const ssize_t size = ::getxattr(from.c_str(), name, nullptr, 0);
        if (size < 0) return fail(error, errno);
        value.resize(static_cast<size_t>(size) + 1);
        const ssize_t got = ::getxattr(from.c_str(), name, value.data(), value.size());
        if (got < 0) return fail(error, errno);
        if (::setxattr(to.c_str(), name, value.data(), static_cast<size_t>(got), 0) != 0 &&
            errno != ENOTSUP && errno != EPERM && errno != EACCES)
            return fail(error, errno);
    }
#else
    (void)from, (void)to, (void)error;
#endif
    return true;
}

// What the temporary file keeps of the file it replaces, or gets as a new file.
bool keepWhatWasThere(const NewFile& file, std::string& error) {
    struct stat old;
    if (::stat(file.target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
        if (::chmod(file.temp.c_str(), 0666 & ~processUmask()) != 0) return fail(error, errno);
        return true;
    }
    mode_t mode = old.st_mode & 07777;
    if (::chown(file.temp.c_str(), old.st_uid, old.st_gid) != 0 &&
        ::chown(file.temp.c_str(), static_cast<uid_t>(-1), old.st_gid) != 0) {
        // The file would be in another group: what the old group could do is not handed on.
        mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
    }
    if (::chmod(file.temp.c_str(), mode) != 0) return fail(error, errno);
    return copyAttributes(file.target, file.temp, error);
}

bool setFileTimes(const std::string& path, const FileTimes& times, std::string& error) {
    struct timespec both[2];
    both[0].tv_sec = static_cast<time_t>(times.accessSeconds);
    both[0].tv_nsec = static_cast<long>(times.accessNanoseconds);
    both[1].tv_sec = static_cast<time_t>(times.modifySeconds);
    both[1].tv_nsec = static_cast<long>(times.modifyNanoseconds);
    return ::utimensat(AT_FDCWD, path.c_str(), both, 0) == 0 || fail(error, errno);
}

}  // namespace

bool createNewFile(NewFile& file, const std::string& path, std::string& error) {
    file = NewFile{};
    file.path = path;
    processUmask();
    if (path == "-") {
        std::fflush(stdout);
        file.target = path;
        file.fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        return file.fd >= 0 || fail(error, errno);
    }
    const OutputPlace place = outputPlace(path);
    file.target = place.target;
    if (place.inPlace) {
        file.fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return file.fd >= 0 || fail(error, errno);
    }
    file.temp = place.target + ".part-XXXXXX";
    file.fd = ::mkostemp(file.temp.data(), O_CLOEXEC);
    if (file.fd < 0) {
        file.temp.clear();
        return fail(error, errno);
    }
    return true;
}

bool appendToNewFile(NewFile& file, const uint8_t* bytes, size_t size, std::string& error) {
    return writeAll(file.fd, bytes, size, error);
}

bool closeNewFile(NewFile& file, std::string& error) {
    if (file.fd < 0) return true;
    const int fd = file.fd;
    file.fd = -1;
    return ::close(fd) == 0 || fail(error, errno);
}

bool commitNewFile(NewFile& file, const ReplaceOptions& options, std::string& error) {
    if (!closeNewFile(file, error)) return false;
    if (file.temp.empty()) return true;
    if (!keepWhatWasThere(file, error)) return false;
    if (options.times.known && !setFileTimes(file.temp, options.times, error)) return false;
    if (std::rename(file.temp.c_str(), file.target.c_str()) != 0) return fail(error, errno);
    file.temp.clear();
    return true;
}

void discardNewFile(NewFile& file) {
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    if (!file.temp.empty()) ::unlink(file.temp.c_str());
    file.temp.clear();
}

bool writeNewFile(const std::string& path, const uint8_t* bytes, size_t size,
                  const ReplaceOptions& options, std::string& error) {
    NewFile file;
    if (!createNewFile(file, path, error)) return false;
    if (writeAll(file.fd, bytes, size, error) && commitNewFile(file, options, error)) return true;
    discardNewFile(file);
    return false;
}

bool writeNewFiles(std::span<const std::string> paths,
                   std::span<const std::span<const uint8_t>> bytes, const ReplaceOptions& options,
                   std::string& error, size_t& failed) {
    std::vector<NewFile> files(paths.size());
    auto discardAll = [&] {
        for (NewFile& file : files) discardNewFile(file);
    };
    for (failed = 0; failed < paths.size(); ++failed) {
        NewFile& file = files[failed];
        const std::span<const uint8_t> piece = bytes[failed];
        if (!createNewFile(file, paths[failed], error) ||
            !appendToNewFile(file, piece.data(), piece.size(), error) ||
            !closeNewFile(file, error)) {
            discardAll();
            return false;
        }
    }
    // The files a rename makes new (not devices, not standard output, not replacements).
    std::vector<bool> madeNew(paths.size());
    for (size_t k = 0; k < paths.size(); ++k)
        madeNew[k] = !files[k].temp.empty() && !fileKey(files[k].target).exists;
    for (failed = 0; failed < paths.size(); ++failed) {
        if (commitNewFile(files[failed], options, error)) continue;
        for (size_t k = 0; k < failed; ++k)
            if (madeNew[k]) ::unlink(files[k].target.c_str());
        discardAll();
        return false;
    }
    return true;
}

FileTimes fileTimes(const std::string& path) {
    FileTimes times;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return times;
    times.known = true;
    times.accessSeconds = info.st_atim.tv_sec;
    times.accessNanoseconds = info.st_atim.tv_nsec;
    times.modifySeconds = info.st_mtim.tv_sec;
    times.modifyNanoseconds = info.st_mtim.tv_nsec;
    return times;
}

}  // namespace l3
