#pragma once
// The disassembler as a library: a Layer III stream in, records out, without files.
//
// What it is for: taking an MP3 stream apart into the records (include/l3/record.h) and
// ancillary bits from which the assembler rebuilds its frames and trailing bytes byte for
// byte, in any program, from bytes held in memory or arriving piecemeal (a socket, a pipe).
//
// Two ways in:
// - disassemble(): a whole buffer at once; the result holds the record file and the
//   ancillary file as l3disassemble would write them.
// - Disassembler: a streaming reader. feed() takes the input in pieces of any size;
//   finish() says it has ended. After each call, nextFrame() hands out the frames decided
//   so far, in order: each as its FrameRecord, its ancillary bit count and the ancillary
//   share the assembler reads for it. After finish(), the last of them may be the closing
//   record (closing set), and trailing() and skipped() give the bytes after the last frame
//   and the ranges that could not be carried. Memory stays bounded (a few megabytes) as
//   long as the caller takes the frames as they come.
//
// Ownership: a Disassembler owns all its state and copies what feed() gives it; the
// caller keeps its buffers. A DisassembledFrame is a value the caller owns. Not
// copyable; one Disassembler serves one stream, from one thread at a time.
//
// Failures: feed() and finish() return false when the stream cannot be carried, and every
// later call does too; status() and message() then say why (Status::notLayer3: no Layer III
// frame, free format, Layer I or II; Status::cannotCarry: a frame records cannot carry;
// Status::io: more held than the reader may keep), the message being the text l3disassemble
// prints after the input's name. Frames handed out before a failure came from a stream that
// was not carried whole: discard them. Every record is assembled as it is made and the bytes
// compared with the input's (Status::verify on a difference), so a run that finishes has
// proved that the records rebuild the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "l3/record.h"
#include "l3/status.h"

namespace l3 {

struct ByteRange {
    size_t offset;
    size_t length;
};

struct RawFrameNote {
    size_t frame;
    const char* reason;  // static text
};

struct DisassembleResult {
    Status status = Status::ok;
    std::string message;             // why the run failed; empty on success
    std::vector<uint8_t> records;    // the record file: head and entries
    std::vector<uint8_t> ancillary;  // the ancillary file: shares, then trailing bytes
    size_t frames = 0;               // frames of the input (the closing record not counted)
    size_t rawFrames = 0;
    bool closingRecord = false;
    std::vector<RawFrameNote> rawNotes;  // every raw frame with its reason
    std::vector<ByteRange> skipped;
    size_t trailingBytes = 0;
};

// Disassembles a whole buffer and checks the result with the assembler itself: on success
// the records and ancillary bytes rebuild the input less its skipped ranges. progress,
// when not null, receives a progress line on long inputs.
DisassembleResult disassemble(const uint8_t* input, size_t size, FILE* progress);

struct DisassembledFrame {
    FrameRecord record;  // as the record file holds it
    int32_t ancillaryBits = 0;
    std::vector<uint8_t> ancillary;   // the share: min(ancillaryBits, 1024) bytes, may be 0
    const char* rawReason = nullptr;  // why the frame is raw (static text), else null
    bool closing = false;             // the closing record, whose frame is never sent
};

struct Disassembly;

class Disassembler {
public:
    Disassembler();
    ~Disassembler();
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    bool feed(const uint8_t* bytes, size_t count);
    bool finish();
    // Moves the next frame decided so far into frame; false when none is waiting.
    bool nextFrame(DisassembledFrame& frame);

    Status status() const;
    const std::string& message() const;
    // After finish(): the bytes after the last frame, which the ancillary file ends with.
    const std::vector<uint8_t>& trailing() const { return trailing_; }
    const std::vector<ByteRange>& skipped() const;
    // The record file's head (frame count and output limit), after finish().
    RecordFileHead head() const;

private:
    std::unique_ptr<Disassembly> d_;
    size_t recordPos_ = 0;     // next entry in the reader's record bytes
    size_t ancillaryPos_ = 0;  // next share in its ancillary bytes
    size_t frameIndex_ = 0;
    size_t rawIndex_ = 0;
    bool finished_ = false;
    std::vector<uint8_t> trailing_;
};

// Record entries the check gathers before handing them over as one block (a block its
// taker writes whole: l3disassemble writes its outputs in blocks of this size).
inline constexpr size_t kCheckedBlockBytes = size_t{2} << 20;

// A disassembly that takes the input as it comes. The reader keeps a window of the input
// (from the frame being decided on, a few kilobytes ahead), the main-data bytes the bit
// reservoir can still reach (64 KiB), and the frames the checking assembler has not sent
// yet; memory stays bounded whatever the input's size. Each frame is decoded as soon as
// its end is confirmed; its record entry and ancillary share are appended to recordBytes
// and ancillaryBytes, which the caller takes (and clears) as it likes. The record file's
// head is known only at the end (head, after finishDisassembly).
//
// Every record is assembled in memory as it is made and the bytes compared with the
// input's, so that a run that succeeds has proved that the records rebuild the input.
struct Disassembly {
    Disassembly();
    ~Disassembly();
    Disassembly(const Disassembly&) = delete;
    Disassembly& operator=(const Disassembly&) = delete;

    // The outcome; status and message are set by the first failure, which ends the run.
    Status status = Status::ok;
    std::string message;
    size_t frames = 0;  // frames of the input so far (the closing record not counted)
    size_t rawFrames = 0;
    bool closingRecord = false;
    std::vector<RawFrameNote> rawNotes;
    std::vector<ByteRange> skipped;
    size_t trailingBytes = 0;
    uint8_t head[12] = {};  // the record file head, filled by finishDisassembly

    // Output made and not yet taken: record entries (without the head) and ancillary bytes.
    std::vector<uint8_t> recordBytes;
    std::vector<uint8_t> ancillaryBytes;

    // The input size when known in advance (a regular file), else -1.
    int64_t knownSize = -1;
    FILE* progress = nullptr;
    // Run the check on a thread of its own, beside the decoding (set before the first feed).
    bool checkOnThread = false;

    // The reader's own state.
    struct Reader;
    std::unique_ptr<Reader> reader;
};

// Takes the next count bytes of the input. Returns false after a failure.
bool feedDisassembly(Disassembly& d, const uint8_t* bytes, size_t count);
// The input ended: decides the last frames and the trailing bytes, makes the closing
// record, finishes the check, and fills head. Returns false after a failure.
bool finishDisassembly(Disassembly& d);

}  // namespace l3
