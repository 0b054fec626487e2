#include "deinterleave/input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace deinterleave {

int openInput(const char* path, InputFile& input) {
    if (path[0] == '-' && path[1] == '\0') {
        // Standard input: measurable only when it is a regular file read from its start.
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return errno;
        input.fd = fd;
        input.fromStart = ::lseek(fd, 0, SEEK_CUR) <= 0;
        return 0;
    }
    // O_NONBLOCK keeps a FIFO without a writer from blocking the open; it is refused right after
    // as unmeasurable. On a regular file the flag changes nothing.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    input.fd = fd;
    return 0;
}

bool measureInput(InputFile& input) {
    struct stat st {};
    if (!input.fromStart || ::fstat(input.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return false;
    input.size = static_cast<uint64_t>(st.st_size);
    input.device = st.st_dev;
    input.inode = st.st_ino;
    return true;
}

LoadStatus loadInput(const InputFile& input, InputBytes& bytes, int& error) {
    bytes = InputBytes{};
    error = 0;
    if (input.size == 0) return LoadStatus::ok;
    if (input.size > static_cast<uint64_t>(SIZE_MAX)) {
        error = ENOMEM;
        return LoadStatus::noMemory;
    }
    const size_t size = static_cast<size_t>(input.size);

    void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, input.fd, 0);
    if (mapping != MAP_FAILED) {
        // Pages are mapped as the work reaches them (each part of the work asks for its own
        // ahead), in large pages where the page cache holds them so: long rows are far apart.
        ::madvise(mapping, size, MADV_HUGEPAGE);
        bytes.data = static_cast<const uint8_t*>(mapping);
        bytes.size = input.size;
        bytes.mapping = mapping;
        return LoadStatus::ok;
    }

    // Some file systems (proc, sys) cannot map their files: read them instead.
    auto* heap = static_cast<uint8_t*>(std::malloc(size));
    if (heap == nullptr) {
        error = ENOMEM;
        return LoadStatus::noMemory;
    }
    size_t done = 0;
    while (done < size) {
        const size_t chunk = std::min<size_t>(size - done, size_t{1} << 30);
        const ssize_t got = ::read(input.fd, heap + done, chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {  // an error, or the end of a file that shrank or overstated its size
            error = got < 0 ? errno : 0;
            break;
        }
        done += static_cast<size_t>(got);
    }
    if (done < size) {
        std::free(heap);
        return LoadStatus::shortRead;
    }
    bytes.data = heap;
    bytes.size = input.size;
    bytes.heap = heap;
    return LoadStatus::ok;
}

void releaseInput(InputBytes& bytes) {
    if (bytes.mapping != nullptr) ::munmap(bytes.mapping, static_cast<size_t>(bytes.size));
    std::free(bytes.heap);
    bytes = InputBytes{};
}

}  // namespace deinterleave
