#include "l3disassemble/output_file.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "l3/output_check.h"
#include "l3/system.h"
#include "l3/replace_file.h"

namespace l3disassemble {

using namespace l3;

namespace {

// A new file's blocks are reserved ahead of the writes, in large steps: the file system
// otherwise reserves them page by page as the page cache fills, which costs more than
// copying the bytes. The file is cut back to what was written when it is completed.
constexpr uint64_t kReserveStep = uint64_t{64} << 20;

void reserveAhead(Output& out, uint64_t end) {
    if (end <= out.reserved || !out.reservable) return;
    const uint64_t upTo = end + kReserveStep;
    if (!reserveFileBlocks(out.file, out.reserved, upTo - out.reserved)) {
        out.reservable = false;  // the writes themselves report a full disk
        return;
    }
    out.reserved = upTo;
}

// Gives back the blocks reserved past the end of what was written.
bool cutToWritten(Output& out) {
    if (out.reserved <= out.written) return true;
    if (!resizeFile(out.file, out.written)) {
        out.error = std::strerror(errno);
        return false;
    }
    out.reserved = out.written;
    return true;
}

}  // namespace

bool isStandardStream(const char* path) {
    return std::strcmp(path, "-") == 0;
}

bool openOutputFile(Output& out, const char* path) {
    out.path = path;
    if (isNullDeviceName(path)) return true;
    const bool standard = isStandardStream(path);
    const OutputPlace place = standard ? OutputPlace{path, true} : outputPlace(path);
    if (place.inPlace) {
        out.sink = standard ? stdout : std::fopen(path, "wb");
        if (out.sink) out.file = std::tmpfile();
        if (!out.file) out.error = std::strerror(errno);
    } else if (createNewFile(out.made, path, out.error)) {
        out.file = ::fdopen(out.made.fd, "wb");
        if (!out.file)
            out.error = std::strerror(errno);
        else
            out.made.fd = -1;  // the stream closes it
    }
    return out.file != nullptr;
}

bool writeOut(Output& out, const uint8_t* bytes, size_t count) {
    if (!out.file || count == 0 || !out.error.empty()) return out.error.empty();
    reserveAhead(out, out.written + count);
    if (std::fwrite(bytes, 1, count, out.file) != count) {
        out.error = std::strerror(errno);
        return false;
    }
    out.written += count;
    return true;
}

void discardOutput(Output& out) {
    if (out.file) std::fclose(out.file);  // a temporary file vanishes on close
    out.file = nullptr;
    if (out.sink && out.sink != stdout) std::fclose(out.sink);
    out.sink = nullptr;
    discardNewFile(out.made);
}

bool completeOutput(Output& out, const uint8_t* head, size_t headCount) {
    if (!out.file) return true;
    if (!cutToWritten(out)) return false;
    if (out.sink) {
        if (std::fflush(out.file) != 0 || std::fseek(out.file, 0, SEEK_SET) != 0) {
            out.error = std::strerror(errno);
            return false;
        }
        std::vector<uint8_t> block(kWriteBlockBytes);
        if (head) {
            std::fread(block.data(), 1, headCount, out.file);  // the placeholder
            std::memcpy(block.data(), head, headCount);
            if (std::fwrite(block.data(), 1, headCount, out.sink) != headCount) {
                out.error = std::strerror(errno);
                return false;
            }
        }
        size_t got;
        while ((got = std::fread(block.data(), 1, block.size(), out.file)) > 0)
            if (std::fwrite(block.data(), 1, got, out.sink) != got) {
                out.error = std::strerror(errno);
                return false;
            }
        if (std::ferror(out.file) || std::fflush(out.sink) != 0) {
            out.error = std::strerror(errno);
            return false;
        }
        std::fclose(out.file);
        out.file = nullptr;
        FILE* sink = out.sink;
        out.sink = nullptr;
        if (sink != stdout && std::fclose(sink) != 0) {
            out.error = std::strerror(errno);
            return false;
        }
        return true;
    }
    if (head && (std::fflush(out.file) != 0 || std::fseek(out.file, 0, SEEK_SET) != 0 ||
                 std::fwrite(head, 1, headCount, out.file) != headCount)) {
        out.error = std::strerror(errno);
        return false;
    }
    const int closed = std::fclose(out.file);
    out.file = nullptr;
    if (closed != 0) {
        out.error = std::strerror(errno);
        return false;
    }
    return true;
}

bool renameIntoPlace(Output& out) {
    return commitNewFile(out.made, {}, out.error);
}

}  // namespace l3disassemble
