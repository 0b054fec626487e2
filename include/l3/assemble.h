#pragma once
// Assembling: records in, a bit-exact Layer III stream out, as l3assemble does it.
//
// Three ways in:
// - assembleFiles: a record file and an ancillary file to an output file ("nul" in any
//   case names the null device), exactly the l3assemble run without its console lines;
// - assembleRecords: a record file and an ancillary file held in memory, the stream
//   appended to a vector;
// - Assembler: records fed one at a time, the stream handed to a sink in blocks as frames
//   leave the bit reservoir; memory stays bounded (about 1.5 MiB) however long the stream.
// None of them throws. A failure is reported in an AssembleResult: its status says what
// failed, the message is the text l3assemble prints after "l3assemble: ". Every frame
// before a bad record is still sent, as l3assemble does.
// The code tables are built once per process and shared: any number of assemblies may run
// at once on different threads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "l3/record.h"
#include "l3/status.h"

namespace l3 {

struct AssembleResult {
    // ok; io: a file cannot be opened (or is the output and an input at once); cutShort: the
    // record file is shorter than its head or its frame count; badRecord: a record that
    // cannot be written; writeFailed: the output cannot be written
    Status status = Status::ok;
    std::string message;  // empty when status is ok
    std::string warning;  // set on success when a named ancillary file ran short
};

AssembleResult assembleFiles(const std::string& recordPath, const std::string& ancillaryPath,
                             const std::string& outputPath);

// Called after a frame, at most every half second: the frames written so far and the
// estimated total (the frames done scaled by the record file's size over the bytes read).
using AssembleProgress = void (*)(void* context, int32_t done, int32_t estimate);

// The figures of a run whose frames were all sent (set before the output is closed).
struct AssembleStatistics {
    bool finished = false;
    int32_t framesFound = 0;    // records read
    int32_t framesWritten = 0;  // frames that reached the output
    uint32_t elapsedMs = 0;     // from the end of the record file's head to the last frame
};

// What a run on files tells its caller besides its result, for a console: progress as it
// goes (null: none), then the statistics and every message and warning in the order they
// arose (a failed run may have several: a record file cut short, then an output that
// cannot be written).
struct AssembleReport {
    AssembleProgress progress = nullptr;
    void* progressContext = nullptr;
    AssembleStatistics statistics;
    std::vector<std::string> messages;
};

// assembleFiles with its report: "-" names standard input or output, "nul" the null device.
AssembleResult assembleFiles(const std::string& recordPath, const std::string& ancillaryPath,
                             const std::string& outputPath, AssembleReport& report);

AssembleResult assembleRecords(const uint8_t* records, size_t recordBytes, const uint8_t* ancillary,
                               size_t ancillaryBytes, std::vector<uint8_t>& output);

// Receives stream bytes in order; returns false when they cannot be taken (the assembly
// then fails with Status::writeFailed).
using ByteSink = bool (*)(void* context, const uint8_t* bytes, size_t count);

struct AssemblerState;

// A streaming assembly. Not copyable; one thread at a time.
class Assembler {
public:
    // outputLimit: frame bytes that may be sent in all, as a record file's head gives it
    // (only a count that reaches exactly 0 stops output; -1 lets 2^32 - 1 bytes through).
    Assembler(ByteSink sink, void* context, int32_t outputLimit = -1);
    ~Assembler();
    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

    // Writes one frame from record with its ancillary bits, taken from the first
    // ancillaryBits bits of ancillary (min(ancillaryBits, 1024) bytes are read; fewer bytes
    // given count as zeros). On a record that cannot be written it returns false, sends the
    // frames before it, and every later call fails.
    bool addFrame(const FrameRecord& record, int32_t ancillaryBits, const uint8_t* ancillary,
                  size_t ancillaryBytes);
    // Sends every frame still queued, then the trailing bytes. Returns false on failure.
    bool finish(const uint8_t* trailing, size_t trailingBytes);
    const AssembleResult& result() const { return result_; }
    int32_t framesAdded() const { return frames_; }

private:
    bool flush();
    std::unique_ptr<AssemblerState> state_;
    struct Output;
    std::unique_ptr<Output> output_;
    AssembleResult result_;
    int32_t frames_ = 0;
    bool finished_ = false;
};

}  // namespace l3
