#include "l3disassemble/command.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "l3/disassemble.h"
#include "l3/output_check.h"
#include "l3/system.h"
#include "l3/record.h"
#include "l3disassemble/block_writer.h"
#include "l3disassemble/output_file.h"

namespace l3disassemble {

using namespace l3;

namespace {

const char kUsage[] =
    "usage: l3disassemble [--strict] [--quiet] INPUT OUTRECORD OUTANCILLARY\n"
    "Splits the Layer III file INPUT into a record file and an ancillary file from which\n"
    "'l3assemble OUTRECORD OUTANCILLARY OUT' rebuilds INPUT's frames and trailing bytes byte\n"
    "for byte. Bytes before the first frame and junk between frames cannot be carried; they\n"
    "are skipped and listed in the summary. The input is read as it comes, of any size; the\n"
    "records are assembled as they are made and compared with the input, and the two files\n"
    "appear only once the whole input has been checked. '-' names standard input or\n"
    "standard output (the summary then goes to standard error; a file named '-' is './-').\n"
    "'l3disassemble INPUT nul nul' only checks that INPUT can be carried.\n"
    "options:\n"
    "  --strict   fail (exit 5) instead of skipping bytes\n"
    "  --quiet    no summary and no progress line\n"
    "  -h, --help this text;  --version  the program version\n"
    "exit codes: 0 done; 1 usage; 2 input cannot be read (or changed size while read, or\n"
    "            holds more than 40 MiB of bytes the reader must keep at once) or an output\n"
    "            cannot be written; 3 not a Layer III stream (no frame,\n"
    "            free format, Layer I/II); 4 a frame that cannot be carried (a gap of more\n"
    "            than 8192 ancillary bits, a CRC that differs from the recomputed one);\n"
    "            5 --strict and bytes were skipped; 6 verification failed (an internal\n"
    "            fault: please report it)\n";

constexpr size_t kReadBlockBytes = size_t{64} << 10;  // some 300 records of small frames

// The input: a file or standard input, read in large blocks.
struct Input {
    FILE* file = nullptr;
    bool standard = false;
    int64_t sizeAtStart = -1;  // of a regular file
    int64_t startOffset = 0;   // where reading began (standard input may be under way)
};

void printSummary(FILE* out, const Disassembly& r) {
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

// Hands what the run made so far to the writer once a block has gathered (always when
// last is set).
void drainOutputs(Disassembly& d, Output* outputs, BlockWriter& writer, bool last) {
    std::vector<uint8_t>* made[2] = {&d.recordBytes, &d.ancillaryBytes};
    for (int k = 0; k < 2; ++k) {
        if (made[k]->empty() || (!last && made[k]->size() < kWriteBlockBytes)) continue;
        if (!outputs[k].file) {
            made[k]->clear();
            continue;
        }
        writer.submit(outputs[k], *made[k]);
    }
}

int reportWriteFailure(const Output* outputs, FILE* err) {
    for (int k = 0; k < 2; ++k)
        if (!outputs[k].error.empty()) {
            std::fprintf(err, "l3disassemble: cannot write '%s': %s\n", outputs[k].path,
                         outputs[k].error.c_str());
            break;
        }
    return kDisIo;
}

int disassembleInto(Input& input, const std::vector<const char*>& paths, Output* outputs,
                    bool strict, bool quiet, FILE* out, FILE* err) {
    const char* inputName = input.standard ? "(standard input)" : paths[0];
    for (int k = 0; k < 2; ++k)
        if (!openOutputFile(outputs[k], paths[k + 1])) return reportWriteFailure(outputs, err);
    const uint8_t placeholder[kHeadBytes] = {};
    writeOut(outputs[0], placeholder, kHeadBytes);

    auto d = std::make_unique<Disassembly>();
    d->knownSize = input.sizeAtStart >= 0 ? input.sizeAtStart - input.startOffset : -1;
    d->progress = quiet ? nullptr : err;
    d->checkOnThread = true;
    std::vector<uint8_t> block(kReadBlockBytes);
    uint64_t offset = 0;
    bool ok = true;
    BlockWriter writer;
    for (;;) {
        const size_t got = std::fread(block.data(), 1, block.size(), input.file);
        if (got == 0) break;
        offset += got;
        ok = feedDisassembly(*d, block.data(), got);
        if (!ok) break;
        drainOutputs(*d, outputs, writer, false);
        if (writer.failed()) {
            writer.finish();
            return reportWriteFailure(outputs, err);
        }
    }
    if (ok && std::ferror(input.file)) {
        std::fprintf(err, "l3disassemble: cannot read '%s' at offset %" PRIu64 ": %s\n", inputName,
                     offset, std::strerror(errno));
        return kDisIo;
    }
    const int64_t sizeAtEnd = regularFileSize(input.file);
    if (ok && (sizeAtEnd != input.sizeAtStart ||
               (d->knownSize >= 0 && offset != static_cast<uint64_t>(d->knownSize)))) {
        std::fprintf(err,
                     "l3disassemble: cannot read '%s' at offset %" PRIu64
                     ": the file changed size while it was read (%" PRId64
                     " bytes at the start, %" PRId64 " at the end)\n",
                     inputName, offset, input.sizeAtStart, sizeAtEnd);
        return kDisIo;
    }
    if (ok) ok = finishDisassembly(*d);
    if (!ok) {
        std::fprintf(err, "l3disassemble: %s: %s\n", inputName, d->message.c_str());
        return exitCode(d->status);
    }
    if (strict && !d->skipped.empty()) {
        if (!quiet) printSummary(out, *d);
        std::fprintf(err,
                     "l3disassemble: %s: %zu byte ranges cannot be carried (first at offset %zu, "
                     "%zu bytes) and --strict is set\n",
                     inputName, d->skipped.size(), d->skipped[0].offset, d->skipped[0].length);
        return kDisStrict;
    }
    drainOutputs(*d, outputs, writer, true);
    writer.finish();
    if (!outputs[0].error.empty() || !outputs[1].error.empty() ||
        !completeOutput(outputs[0], d->head, kHeadBytes) ||
        !completeOutput(outputs[1], nullptr, 0) || !renameIntoPlace(outputs[0]))
        return reportWriteFailure(outputs, err);
    if (!renameIntoPlace(outputs[1])) {
        std::remove(paths[1]);
        return reportWriteFailure(outputs, err);
    }
    if (!quiet) printSummary(out, *d);
    return kDisOk;
}

}  // namespace

int exitCode(Status status) {
    switch (status) {
    case Status::ok: return kDisOk;
    case Status::usage: return kDisUsage;
    case Status::notLayer3: return kDisNotLayer3;
    case Status::cannotCarry: return kDisCannotCarry;
    case Status::verify: return kDisVerify;
    default: return kDisIo;
    }
}

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
    // may not be one file (but both may be the null device, or one device).
    const std::string inputName = paths[0];
    std::string outputNames[2];
    for (int k = 0; k < 2; ++k) outputNames[k] = isNullDeviceName(paths[k + 1]) ? "" : paths[k + 1];
    const OutputCheck check = checkOutputs(std::span(&inputName, 1), outputNames, {});
    if (check) {
        std::fprintf(err, "l3disassemble: cannot write '%s': %s\n", paths[check.output + 1],
                     check.conflict == OutputConflict::namesInput
                         ? "it is the input file"
                         : "both outputs name the same file");
        return kDisIo;
    }

    Input input;
    input.standard = isStandardStream(paths[0]);
    input.file = input.standard ? stdin : std::fopen(paths[0], "rb");
    if (!input.file) {
        std::fprintf(err, "l3disassemble: cannot read '%s': %s\n", paths[0], std::strerror(errno));
        return kDisIo;
    }
    if (input.standard) setBinaryMode(stdin);
    input.sizeAtStart = regularFileSize(input.file);
    if (input.sizeAtStart >= 0) input.startOffset = std::max<int64_t>(0, std::ftell(input.file));

    Output outputs[2];
    // Standard output may carry an output file; the summary then goes with the messages.
    FILE* summary = isStandardStream(paths[1]) || isStandardStream(paths[2]) ? err : out;
    const int code = disassembleInto(input, paths, outputs, strict, quiet, summary, err);
    if (!input.standard) std::fclose(input.file);
    for (Output& o : outputs) discardOutput(o);
    return code;
}

}  // namespace l3disassemble
