#include "deinterleave/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace deinterleave {

OpenOutputStatus openOutput(const char* path, const InputFile& input, OutputFile& output,
                            int& error) {
    error = 0;
    const bool standard = path[0] == '-' && path[1] == '\0';
    // A regular file (or a new one) is opened for reading too, where allowed, so that it can
    // be mapped; anything else only for writing: a named pipe opened both ways would never
    // see its reader go away.
    struct stat before {};
    const bool fileOrNew = ::stat(path, &before) != 0 || S_ISREG(before.st_mode);
    int fd = standard ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                      : ::open(path, (fileOrNew ? O_RDWR : O_WRONLY) | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && !standard && fileOrNew && errno == EACCES)
        fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return OpenOutputStatus::failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        return OpenOutputStatus::failed;
    }
    if (st.st_dev == input.device && st.st_ino == input.inode) {
        ::close(fd);
        return OpenOutputStatus::sameAsInput;
    }
    // Standard output is written in order and never truncated or removed: it may be a file
    // opened for appending, where positioned writes would not land where asked.
    const bool regular = !standard && S_ISREG(st.st_mode);
    // Truncate only what has bytes: some file systems treat a truncation to zero as a rewrite in
    // place and force the new data out to disk at close.
    if (regular && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
        error = errno;
        ::close(fd);
        return OpenOutputStatus::failed;
    }
    output.fd = fd;
    output.path = path;
    output.regular = regular;
    output.device = st.st_dev;
    output.inode = st.st_ino;
    return OpenOutputStatus::ok;
}

int closeOutput(OutputFile& output) {
    const int fd = output.fd;
    output.fd = -1;
    // After close, even a failing one, the descriptor is gone; do not retry on EINTR.
    return ::close(fd) == 0 ? 0 : errno;
}

void discardOutput(const OutputFile& output) {
    if (output.fd >= 0) ::close(output.fd);
    if (!output.regular) return;
    // Remove only the file this run wrote, not one that replaced it at the same path meanwhile.
    struct stat st {};
    if (::stat(output.path.c_str(), &st) == 0 && st.st_dev == output.device &&
        st.st_ino == output.inode) {
        ::unlink(output.path.c_str());
    }
}

}  // namespace deinterleave
