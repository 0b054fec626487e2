#include "disassemble/run_command.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "disassemble/disassembler.h"
#include "disassemble/rebuild_check.h"
#include "io/output_check.h"
#include "io/platform.h"
#include "io/replace_file.h"
#include "l3/record.h"

namespace l3 {

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
// The record entries come from the check in blocks of this size, each written whole.
constexpr size_t kWriteBlockBytes = kCheckedBlockBytes;

bool isStandardStream(const char* path) {
    return std::strcmp(path, "-") == 0;
}

// One output: a file written under a temporary name beside it and renamed into place at
// the end; standard output, a device or a named pipe (spooled to an unnamed temporary file
// until the end, then copied to the sink); or the null device "nul" (nothing is written).
struct Output {
    const char* path = nullptr;
    NewFile made;  // a file: its temporary name and the target it is renamed onto
    FILE* file = nullptr;
    FILE* sink = nullptr;  // where a spooled output goes: standard output or the path itself
    uint64_t written = 0;
    uint64_t reserved = 0;   // the file's blocks are reserved up to here (its size)
    bool reservable = true;  // false once reserving failed (a file system without it)
    std::string error;       // why writing failed; empty while all is well
};

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

// Removes what a failed run wrote.
void discardOutput(Output& out) {
    if (out.file) std::fclose(out.file);  // a temporary file vanishes on close
    out.file = nullptr;
    if (out.sink && out.sink != stdout) std::fclose(out.sink);
    out.sink = nullptr;
    discardNewFile(out.made);
}

// Puts head (when not null) at the start of the output and closes it: a file is complete
// under its temporary name, a sink receives everything.
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

// A replaced file's mode, owner, group and extended attributes stay.
bool renameIntoPlace(Output& out) {
    return commitNewFile(out.made, {}, out.error);
}

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

// Writes output blocks on a thread of its own, so that the kernel's copying of a block into
// the page cache overlaps the decoding of the next one. At most kPendingBlocks blocks wait;
// submit() blocks beyond that, so memory stays bounded. An output's error is set by the
// writer and read only after finish().
class BlockWriter {
public:
    BlockWriter() : thread_([this] { run(); }) {}
    ~BlockWriter() { finish(); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Takes block's bytes (leaving block empty, its capacity reused from a written block).
    void submit(Output& out, std::vector<uint8_t>& block) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return jobs_.size() < kPendingBlocks; });
        jobs_.push_back({&out, std::move(block)});
        block.clear();
        if (!spare_.empty()) {
            block.swap(spare_.back());
            spare_.pop_back();
        }
        changed_.notify_all();
    }

    // Waits until every block is written and stops the thread.
    void finish() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // True once a write failed (the outputs' errors are then readable after finish()).
    bool failed() const { return failed_; }

private:
    static constexpr size_t kPendingBlocks = 2;
    struct Job {
        Output* out;
        std::vector<uint8_t> bytes;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            Job job = std::move(jobs_.front());
            lock.unlock();
            if (!writeOut(*job.out, job.bytes.data(), job.bytes.size())) failed_ = true;
            job.bytes.clear();
            lock.lock();
            jobs_.pop_front();
            if (spare_.size() < kPendingBlocks) spare_.push_back(std::move(job.bytes));
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    std::vector<std::vector<uint8_t>> spare_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

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
        return d->exitCode;
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

}  // namespace l3
