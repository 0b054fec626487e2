#include "disassemble/run_command.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "disassemble/disassembler.h"
#include "format/platform.h"

namespace l3 {

namespace {

const char kUsage[] =
    "usage: l3disassemble [--strict] [--quiet] INPUT OUTRECORD OUTANCILLARY\n"
    "Splits the Layer III file INPUT into a record file and an ancillary file from which\n"
    "'l3assemble OUTRECORD OUTANCILLARY OUT' rebuilds INPUT's frames and trailing bytes byte\n"
    "for byte. Bytes before the first frame and junk between frames cannot be carried; they\n"
    "are skipped and listed in the summary. The result is checked by assembling it before\n"
    "the two files are written.\n"
    "options:\n"
    "  --strict   fail (exit 5) instead of skipping bytes\n"
    "  --quiet    no summary and no progress line\n"
    "  -h, --help this text;  --version  the program version\n"
    "exit codes: 0 done; 1 usage; 2 input cannot be read or an output cannot be written\n"
    "            (or the input is larger than 64 MiB); 3 not a Layer III stream (no frame,\n"
    "            free format, Layer I/II); 4 a frame that cannot be carried (a gap of more\n"
    "            than 8192 ancillary bits, a CRC that differs from the recomputed one);\n"
    "            5 --strict and bytes were skipped; 6 verification failed (an internal\n"
    "            fault: please report it)\n";

bool readWholeFile(const char* path, std::vector<uint8_t>& bytes, std::string& error) {
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    uint8_t block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.insert(bytes.end(), block, block + got);
        if (bytes.size() > kMaxInputBytes) break;  // disassemble() refuses it
    }
    const bool failed = std::ferror(file) != 0;
    if (failed) error = std::strerror(errno);
    std::fclose(file);
    return !failed;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string& error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (!written) error = std::strerror(errno);
    if (std::fclose(file) != 0 && written) {
        error = std::strerror(errno);
        return false;
    }
    return written;
}

// Writes both outputs under temporary names and renames them into place, so that a
// failure leaves neither a partial nor a stale pair behind.
bool writeOutputs(const char* recordPath, const char* ancillaryPath, const DisassembleResult& r,
                  FILE* err) {
    const std::string recordTemp = std::string(recordPath) + ".part";
    const std::string ancillaryTemp = std::string(ancillaryPath) + ".part";
    std::string error;
    const char* failedPath = nullptr;
    if (!writeWholeFile(recordTemp, r.records, error))
        failedPath = recordPath;
    else if (!writeWholeFile(ancillaryTemp, r.ancillary, error))
        failedPath = ancillaryPath;
    else if (std::rename(recordTemp.c_str(), recordPath) != 0) {
        error = std::strerror(errno);
        failedPath = recordPath;
    } else if (std::rename(ancillaryTemp.c_str(), ancillaryPath) != 0) {
        error = std::strerror(errno);
        failedPath = ancillaryPath;
        std::remove(recordPath);
    }
    if (!failedPath) return true;
    std::remove(recordTemp.c_str());
    std::remove(ancillaryTemp.c_str());
    std::fprintf(err, "l3disassemble: cannot write '%s': %s\n", failedPath, error.c_str());
    return false;
}

void printSummary(FILE* out, const DisassembleResult& r) {
    std::fprintf(out, "frames: %zu (raw: %zu)\n", r.frames, r.rawFrames);
    for (const RawFrameNote& note : r.rawNotes)
        std::fprintf(out, "raw frame %zu: %s\n", note.frame, note.reason);
    std::fprintf(out, "closing record: %s\n", r.closingRecord ? "yes" : "no");
    size_t skippedBytes = 0;
    for (const ByteRange& range : r.skipped) {
        std::fprintf(out, "skipped: offset %zu, length %zu\n", range.offset, range.length);
        skippedBytes += range.length;
    }
    std::fprintf(out, "skipped bytes: %zu\n", skippedBytes);
    std::fprintf(out, "trailing bytes: %zu\n", r.trailingBytes);
}

}  // namespace

int runDisassembleCommand(int argc, const char* const* argv, FILE* out, FILE* err) {
    bool strict = false, quiet = false;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            std::fputs(kUsage, out);
            return kDisOk;
        }
        if (std::strcmp(a, "--version") == 0) {
            std::fprintf(out, "l3disassemble %s\n", L3_VERSION);
            return kDisOk;
        }
        if (std::strcmp(a, "--strict") == 0) {
            strict = true;
        } else if (std::strcmp(a, "--quiet") == 0) {
            quiet = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            std::fprintf(err, "l3disassemble: unknown option '%s'\n", a);
            std::fputs(kUsage, err);
            return kDisUsage;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.size() != 3) {
        std::fputs(kUsage, err);
        return kDisUsage;
    }

    // The outputs replace whatever their names held: neither may be the input, and they
    // may not be one file.
    const bool outputsCollide =
        std::strcmp(paths[1], paths[2]) == 0 || sameRegularFile(paths[1], paths[2]);
    for (int k = 1; k <= 2; ++k)
        if (sameRegularFile(paths[k], paths[0]) || outputsCollide) {
            std::fprintf(
                err, "l3disassemble: cannot write '%s': %s\n", paths[k],
                outputsCollide ? "both outputs name the same file" : "it is the input file");
            return kDisIo;
        }

    std::vector<uint8_t> input;
    std::string error;
    if (!readWholeFile(paths[0], input, error)) {
        std::fprintf(err, "l3disassemble: cannot read '%s': %s\n", paths[0], error.c_str());
        return kDisIo;
    }
    DisassembleResult r = disassemble(input.data(), input.size(), quiet ? nullptr : err);
    if (r.exitCode != kDisOk) {
        std::fprintf(err, "l3disassemble: %s: %s\n", paths[0], r.message.c_str());
        return r.exitCode;
    }
    if (strict && !r.skipped.empty()) {
        if (!quiet) printSummary(out, r);
        std::fprintf(err,
                     "l3disassemble: %s: %zu byte ranges cannot be carried (first at offset %zu, "
                     "%zu bytes) and --strict is set\n",
                     paths[0], r.skipped.size(), r.skipped[0].offset, r.skipped[0].length);
        return kDisStrict;
    }
    if (!writeOutputs(paths[1], paths[2], r, err)) return kDisIo;
    if (!quiet) printSummary(out, r);
    return kDisOk;
}

}  // namespace l3
