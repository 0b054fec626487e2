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

#include "l3/output_check.h"

namespace l3tool {

bool readWholeFile(const std::string& path, l3::SpillBytes& bytes, std::string& error) {
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

bool outputOption(std::string_view arg, OutputOptions& options) {
    if (arg == "-f" || arg == "--force")
        options.force = true;
    else if (arg == "--keep-times")
        options.keepTimes = true;
    else
        return false;
    return true;
}

bool outputsAllowed(std::string_view command, std::span<const std::string> inputs,
                    std::span<const std::string> outputs, const OutputOptions& options,
                    bool inPlace) {
    l3::OutputRules rules;
    rules.inPlace = inPlace;
    rules.replaceExisting = options.force;
    rules.replaceLinked = false;
    const l3::OutputCheck check = l3::checkOutputs(inputs, outputs, rules);
    if (!check) return true;
    const std::string& name = outputs[check.output];
    std::string why;
    switch (check.conflict) {
        case l3::OutputConflict::namesInput:
            why = inPlace ? "is named twice (as " + inputs[check.other] + ")"
                          : "the output names the input " + inputs[check.other];
            break;
        case l3::OutputConflict::namesOutput:
            // A batch writes output k from input k.
            why = inputs.size() == outputs.size()
                      ? "would be written from both " + inputs[check.other] + " and " +
                            inputs[check.output]
                      : "two outputs name this file (the other as " + outputs[check.other] + ")";
            break;
        case l3::OutputConflict::exists:
            why = "exists; use --force (-f) to replace it";
            break;
        case l3::OutputConflict::directory:
            why = "is a directory";
            break;
        case l3::OutputConflict::linked:
            why =
                "has other names (hard links), which would keep the old bytes if it were "
                "replaced and change with it if it were rewritten; not replaced (copy it "
                "first to break the link)";
            break;
        case l3::OutputConflict::none:
            break;
    }
    std::fprintf(stderr, "l3 %.*s: %s: %s; nothing written\n", static_cast<int>(command.size()),
                 command.data(), name.c_str(), why.c_str());
    return false;
}

FileStore::~FileStore() {
    if (mapping_) ::munmap(mapping_, mapped_);
    if (opened_) l3::discardNewFile(file_);
}

bool FileStore::readsBack(const std::string& path) {
    if (path == "-") return false;
    struct stat info;
    return ::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

bool FileStore::flush() {
    const bool ok = l3::appendToNewFile(file_, buffer_.data(), buffer_.size(), error_);
    buffer_.clear();
    return ok;
}

bool FileStore::append(const uint8_t* bytes, size_t size) {
    constexpr size_t kBuffer = size_t{1} << 20;
    if (!opened_) {
        if (!l3::createNewFile(file_, path_, error_)) return false;
        opened_ = true;
        buffer_.reserve(kBuffer);
    }
    if (buffer_.size() + size > kBuffer && !flush()) return false;
    if (size >= kBuffer) return l3::appendToNewFile(file_, bytes, size, error_);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    return true;
}

bool FileStore::finish(std::span<const uint8_t>& bytes) {
    bytes = {static_cast<const uint8_t*>(mapping_), mapped_};
    if (finished_) return true;
    if (!opened_ && !append(nullptr, 0)) return false;
    if (!flush() || !l3::closeNewFile(file_, error_)) return false;
    std::vector<uint8_t>().swap(buffer_);
    if (file_.temp.empty()) {
        error_ = "not a file that can be read back";
        return false;
    }
    const int fd = ::open(file_.temp.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        error_ = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (info.st_size > 0) {
        void* m = ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m == MAP_FAILED) {
            error_ = std::strerror(errno);
            ::close(fd);
            return false;
        }
        mapping_ = m;
        mapped_ = static_cast<size_t>(info.st_size);
        bytes = {static_cast<const uint8_t*>(m), mapped_};
    }
    ::close(fd);
    finished_ = true;
    return true;
}

bool FileStore::commit(const l3::FileTimes& times) {
    l3::ReplaceOptions keep;
    keep.times = times;
    if (!l3::commitNewFile(file_, keep, error_)) return false;
    opened_ = false;
    return true;
}

l3::FileTimes keptTimes(const OutputOptions& options, const std::string& input) {
    return options.keepTimes && input != "-" ? l3::fileTimes(input) : l3::FileTimes{};
}

bool writeOutput(const std::string& path, std::span<const uint8_t> bytes, std::string& error,
                 const l3::FileTimes& times) {
    l3::ReplaceOptions keep;
    keep.times = times;
    return l3::writeNewFile(path, bytes.data(), bytes.size(), keep, error);
}

bool writeOutputs(std::span<const std::string> paths,
                  std::span<const std::span<const uint8_t>> bytes, std::string& error,
                  size_t& failed, const l3::FileTimes& times) {
    l3::ReplaceOptions keep;
    keep.times = times;
    return l3::writeNewFiles(paths, bytes, keep, error, failed);
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
