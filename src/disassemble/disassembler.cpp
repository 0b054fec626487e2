#include "disassemble/disassembler.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "assemble/assembler_state.h"
#include "assemble/run_driver.h"
#include "bits/bit_reader.h"
#include "disassemble/huffman_decoder.h"
#include "disassemble/main_data_reader.h"
#include "disassemble/rebuild_check.h"
#include "disassemble/reencode_check.h"
#include "disassemble/side_info_reader.h"
#include "format/byte_order.h"
#include "l3/frame_length.h"
#include "l3/frame_record.h"
#include "format/frame_scanner.h"
#include "l3/tag_finder.h"
#include "maindata/main_data_state.h"

namespace l3 {

namespace {

constexpr size_t kProgressMinFrames = 4000;
constexpr auto kProgressInterval = std::chrono::milliseconds(500);

// The first 1 bit in [from, to), or to when there is none.
int64_t firstOneBit(const uint8_t* bytes, int64_t from, int64_t to) {
    int64_t p = from;
    while (p < to && (p & 7)) {
        if (bitAt(bytes, p)) return p;
        ++p;
    }
    while (p + 8 <= to && bytes[p >> 3] == 0) p += 8;
    for (; p < to; ++p)
        if (bitAt(bytes, p)) return p;
    return to;
}

// Appends the bits [from, to) packed most significant bit first, padded with zero bytes
// to the min(count, 1024) bytes that the assembler reads for a count of that many bits.
void appendShare(std::vector<uint8_t>& out, const uint8_t* bytes, int64_t from, int64_t to) {
    const int64_t count = to - from;
    if (count <= 0) return;
    const size_t start = out.size();
    const size_t shareBytes = static_cast<size_t>(std::min<int64_t>(count, kAncillaryReadLimit));
    out.resize(start + shareBytes, 0);
    // Byte by byte from two neighbours; bytes holds padding past the last bit.
    const int shift = static_cast<int>(from & 7);
    const uint8_t* in = bytes + (from >> 3);
    uint8_t* share = out.data() + start;
    const size_t whole = static_cast<size_t>(count >> 3);
    for (size_t i = 0; i < whole; ++i)
        share[i] = static_cast<uint8_t>(in[i] << shift | in[i + 1] >> (8 - shift));
    if (const int rest = static_cast<int>(count & 7))
        share[whole] = static_cast<uint8_t>((in[whole] << shift | in[whole + 1] >> (8 - shift)) &
                                            (0xFF00 >> rest));
}

std::string frameName(size_t k, size_t offset) {
    char text[80];
    std::snprintf(text, sizeof text, "frame %zu (offset %zu)", k, offset);
    return text;
}

// The first frame-like header of an input without Layer III frames, and what it says.
struct ScanOutcome {
    ScanVerdict verdict = ScanVerdict::noFrames;
    size_t offset = 0;
};

std::string scanRefusal(const ScanOutcome& outcome) {
    char text[160];
    switch (outcome.verdict) {
        case ScanVerdict::freeFormat:
            std::snprintf(text, sizeof text,
                          "the frame at offset %zu is free format (bitrate index 0), which the "
                          "record format cannot carry",
                          outcome.offset);
            break;
        case ScanVerdict::otherLayer:
            std::snprintf(text, sizeof text,
                          "the frame at offset %zu is Layer I or Layer II, not Layer III",
                          outcome.offset);
            break;
        default:
            std::snprintf(text, sizeof text, "no Layer III frame found");
            break;
    }
    return text;
}

// Why frame k cannot be coded from values at mainStart, before decoding; null if none.
// Main data may overlap bits that earlier records already placed: those are the stream's
// own bits, and the frame ORs the very same bits over them. Only the bits cleared after
// its last granule must not hold a 1 that an earlier record placed.
const char* placementProblem(size_t k, const FrameRecord& rec, const uint8_t* bits,
                             int64_t mainStart, int64_t mainEnd, int64_t coveredEnd,
                             int64_t areaEnd) {
    if (k == 0 && rec.main_data_begin > 0) return "its main_data_begin points before the stream";
    if (mainStart < 0) return "its main_data_begin points before the stream";
    if (mainEnd > areaEnd) return "its main data runs past its own area";
    if (mainEnd < coveredEnd) {
        const int64_t clearEnd = std::min(mainEnd + kClearBelowBits, coveredEnd);
        if (firstOneBit(bits, mainEnd, clearEnd) < clearEnd)
            return "its main data ends inside bits of earlier frames";
    }
    return nullptr;
}

enum class ScanPhase { start, frames, done };

// The front of a buffer is dropped once this much of it lies behind what is still needed.
constexpr size_t kCompactBytes = size_t{1} << 20;
// Main-data bytes kept behind the current frame's area: main_data_begin reaches back at
// most 511 bytes and a gap at most 1024 more.
constexpr int64_t kKeptMainBytes = int64_t{64} << 10;
constexpr size_t kMainPadBytes = 8;

}  // namespace

struct Disassembly::Reader {
    // The input window: bytes [windowBase, windowBase + window.size()) of the input.
    std::vector<uint8_t> window;
    size_t windowBase = 0;
    bool ended = false;

    ScanPhase phase = ScanPhase::start;
    FrameScanner scanner{kCarriedRules, 0, 0};  // set when the search starts
    size_t pos = 0;  // when done: the first trailing byte
    size_t diagnosePos = 0;  // before the first frame: headers judged for a refusal so far
    ScanOutcome diagnosis;

    // The main-data stream: bytes [mainBase, mainBase + mainLength) of it, then zero padding.
    std::vector<uint8_t> mainData;
    int64_t mainBase = 0;
    int64_t mainLength = 0;
    int64_t coveredEnd = 0;   // bits
    int64_t droppedOne = -1;  // first 1 bit at or after coveredEnd in dropped bytes, or -1
    int32_t lastAncillaryBits = 0;
    uint64_t frameBytes = 0;

    std::unique_ptr<MainDataState> scratch = std::make_unique<MainDataState>();

    // The check: an assembler fed every record, whose output is compared with the frames;
    // the records since the last hand-over (decoded in place: see nextRecord); the thread
    // when the check runs on one.
    RebuildCheck check;
    CheckBatch batch;
    std::unique_ptr<CheckThread> checkThread;

    std::chrono::steady_clock::time_point nextProgress{};
    bool progressShown = false;
};

Disassembly::Disassembly() : reader(std::make_unique<Reader>()) {
    Reader& r = *reader;
    initBitStore(r.scratch->store);
    r.mainData.assign(kMainPadBytes, 0);
}

Disassembly::~Disassembly() = default;

namespace {

bool fail(Disassembly& d, Status status, std::string message) {
    if (d.status == Status::ok) {
        d.status = status;
        d.message = std::move(message);
    }
    d.reader->phase = ScanPhase::done;
    return false;
}

size_t windowEnd(const Disassembly::Reader& r) {
    return r.windowBase + r.window.size();
}

const uint8_t* windowAt(const Disassembly::Reader& r, size_t offset) {
    return r.window.data() + (offset - r.windowBase);
}

// The first 1 bit of the main-data stream in [from, to), or to; from may lie in bytes
// already dropped only when it is coveredEnd.
int64_t firstOneInStream(const Disassembly::Reader& r, int64_t from, int64_t to) {
    const int64_t base = 8 * r.mainBase;
    if (from < base) {
        if (r.droppedOne >= from && r.droppedOne < to) return r.droppedOne;
        from = base;
    }
    if (from >= to) return to;
    return base + firstOneBit(r.mainData.data(), from - base, to - base);
}

// Drops main-data bytes the reservoir can no longer reach, remembering the first 1 bit
// among them that no record covers yet.
void compactMainData(Disassembly::Reader& r, int64_t areaStart) {
    const int64_t keepFrom = areaStart - kKeptMainBytes;
    if (keepFrom - r.mainBase < static_cast<int64_t>(kCompactBytes)) return;
    const int64_t base = 8 * r.mainBase, newBase = 8 * keepFrom;
    if (r.coveredEnd < newBase && r.droppedOne < r.coveredEnd) {
        const int64_t from = std::max(r.coveredEnd, base);
        const int64_t one = base + firstOneBit(r.mainData.data(), from - base, newBase - base);
        r.droppedOne = one < newBase ? one : -1;
    }
    const size_t drop = static_cast<size_t>(keepFrom - r.mainBase);
    r.mainData.erase(r.mainData.begin(), r.mainData.begin() + static_cast<std::ptrdiff_t>(drop));
    r.mainBase = keepFrom;
    r.mainLength -= static_cast<int64_t>(drop);
}

// Appends a frame's area to the main-data stream; returns its start in bits.
int64_t appendArea(Disassembly::Reader& r, const uint8_t* area, size_t count) {
    compactMainData(r, r.mainBase + r.mainLength);
    const int64_t start = 8 * (r.mainBase + r.mainLength);
    const size_t at = static_cast<size_t>(r.mainLength);
    r.mainData.resize(at + count + kMainPadBytes);
    std::memcpy(r.mainData.data() + at, area, count);
    std::memset(r.mainData.data() + at + count, 0, kMainPadBytes);
    r.mainLength += static_cast<int64_t>(count);
    return start;
}


// Hands the gathered entries to the check: on its thread, or here. full: only once a
// batch has gathered.
bool dispatchCheck(Disassembly& d, bool full) {
    Disassembly::Reader& r = *d.reader;
    if (full && r.batch.entryCount < kCheckBatchEntries) return true;
    if (d.checkOnThread) {
        if (!r.checkThread) r.checkThread = std::make_unique<CheckThread>(r.check);
        const bool last = r.batch.last;  // the batch handed over is replaced by an empty one
        r.checkThread->submit(r.batch);
        if (last && !r.checkThread->finish()) return fail(d, r.check.status, r.check.message);
        if (r.checkThread->failed()) {
            r.checkThread->finish();
            return fail(d, r.check.status, r.check.message);
        }
        r.checkThread->takeEntries(d.recordBytes);
        if (last) r.checkThread->takeEntries(d.recordBytes);  // every block that is left
        return true;
    }
    const bool ok = runCheckBatch(r.check, r.batch, d.recordBytes);
    r.batch.clear();
    return ok || fail(d, r.check.status, r.check.message);
}

// Takes the record decoded into nextRecord(batch) with its share of the bits [first,
// anchor), to be checked (and encoded into its entry).
bool emitRecord(Disassembly& d, int64_t first, int64_t anchor) {
    Disassembly::Reader& r = *d.reader;
    const int64_t base = 8 * r.mainBase;
    const size_t shareAt = d.ancillaryBytes.size();
    appendShare(d.ancillaryBytes, r.mainData.data(), first - base, anchor - base);
    const int32_t gapBits = static_cast<int32_t>(anchor - first);
    r.lastAncillaryBits = gapBits;
    CheckBatch& batch = r.batch;
    batch.ancillaryBits.push_back(gapBits);
    batch.shares.insert(batch.shares.end(), d.ancillaryBytes.begin() + static_cast<ptrdiff_t>(shareAt),
                        d.ancillaryBytes.end());
    ++batch.entryCount;
    return dispatchCheck(d, true);
}

void reportProgress(Disassembly& d) {
    Disassembly::Reader& r = *d.reader;
    if (!d.progress || d.frames < kProgressMinFrames || (d.frames & 255) != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < r.nextProgress) return;
    r.nextProgress = now + kProgressInterval;
    std::fprintf(d.progress, "Frames: %zu\r", d.frames);
    std::fflush(d.progress);
    r.progressShown = true;
}

// Decodes one frame of the stream into its record (raw when its values cannot stand for
// its bits), and emits the record with the gap before its main data.
bool takeFrame(Disassembly& d, size_t offset, int32_t length, uint32_t header) {
    Disassembly::Reader& r = *d.reader;
    const size_t k = d.frames;
    const uint8_t* frame = windowAt(r, offset);
    if (!crcMatches(frame, header))
        return fail(d, Status::cannotCarry,
                    frameName(k, offset) +
                        ": its stored CRC differs from the CRC of its header and side "
                        "information, which the assembler always recomputes");
    r.frameBytes += static_cast<uint64_t>(length);
    if (r.frameBytes > kMaxCarriedFrameBytes || k + 2 > static_cast<size_t>(INT32_MAX))
        return fail(d, Status::io,
                    frameName(k, offset) +
                        ": the input has more frames than a record file can count (its frames "
                        "may hold at most 4294967295 bytes)");
    r.batch.expected.insert(r.batch.expected.end(), frame, frame + length);
    const int32_t head = headByteCount(header);
    const int64_t frameStart = appendArea(r, frame + head, static_cast<size_t>(length - head));
    const int64_t areaEnd = frameStart + 8 * int64_t{length - head};
    const int64_t base = 8 * r.mainBase;
    const uint8_t* bits = r.mainData.data();

    FrameRecord& rec = nextRecord(r.batch);
    // The next frame's slot was last read by the check's thread: its lines are fetched for
    // writing while this frame decodes, not when the next one clears them.
    if (r.batch.entryCount + 1 < r.batch.records.size()) {
        const char* next = reinterpret_cast<const char*>(&r.batch.records[r.batch.entryCount + 1]);
        for (size_t at = 0; at < sizeof(FrameRecord); at += 64) __builtin_prefetch(next + at, 1);
    }
    readSideInfo(frame, rec);
    const int64_t mainStart = k == 0 ? frameStart : frameStart - 8 * int64_t{rec.main_data_begin};
    int64_t mainBits = 0;
    for (int gr = 0; gr < granuleCount(header); ++gr)
        for (int ch = 0; ch < channelCount(header); ++ch)
            mainBits += rec.granuleInfo[gr][ch].part2_3_length;
    const int64_t mainEnd = mainStart + mainBits;

    // The kept main data reaches 64 KiB behind this frame: far enough for any main data
    // and gap.
    const char* why = placementProblem(k, rec, bits, mainStart - base, mainEnd - base,
                                       r.coveredEnd - base, areaEnd - base);
    // Values read whole within their granules code back to the same bits (the check
    // below proves it when it assembles them); a granule whose last item ran past its end
    // is coded again here first, so that a frame the writer cannot mirror goes raw.
    bool overrun = false;
    if (!why) why = readMainData(bits, mainStart - base, rec, &overrun).why;
    if (!why && overrun && !reencodesExactly(*r.scratch, rec, bits, mainStart - base, mainBits))
        why = "its values do not code back to the same bits";
    if (why) {
        // Side information as read; the main data travels as ancillary bits.
        readSideInfo(frame, rec);
        rec.rawMainData = 1;
        ++d.rawFrames;
        d.rawNotes.push_back({k, why});
    }
    const int64_t anchor = why ? frameStart : mainStart;
    const int64_t first =
        anchor > r.coveredEnd ? firstOneInStream(r, r.coveredEnd, anchor) : anchor;
    const int64_t gapBits = anchor - first;
    if (gapBits > kMaxAncillaryBits) {
        char text[160];
        std::snprintf(text, sizeof text,
                      ": %" PRId64 " bits before its main data cannot be carried (at most %d)",
                      gapBits, kMaxAncillaryBits);
        return fail(d, Status::cannotCarry, frameName(k, offset) + text);
    }
    if (!emitRecord(d, first, anchor)) return false;
    r.coveredEnd = std::max(r.coveredEnd, why ? anchor : mainEnd);
    ++d.frames;
    reportProgress(d);
    return true;
}

// Before the first frame: the first header that explains a refusal, judged as bytes come.
void diagnoseAhead(Disassembly::Reader& r) {
    const size_t end = windowEnd(r);
    while (r.diagnosis.verdict == ScanVerdict::noFrames && r.diagnosePos + 4 <= end) {
        r.diagnosis.verdict = refusalVerdict(loadBe32(windowAt(r, r.diagnosePos)));
        r.diagnosis.offset = r.diagnosePos;
        ++r.diagnosePos;
    }
}

// The search for the first frame begins after a leading ID3v2 tag that ends inside the
// input; the bytes before the first frame, tag and all, are skipped.
bool scanStart(Disassembly& d) {
    Disassembly::Reader& r = *d.reader;
    const size_t end = windowEnd(r);
    const size_t claimed = id3v2Claim(r.window.data(), r.window.size(), false);
    if (!r.ended && end < 10) return true;  // too short to tell a tag
    size_t start = 0;
    if (claimed > 0) {
        const bool longer =
            end > claimed || (d.knownSize >= 0 && static_cast<uint64_t>(d.knownSize) > claimed);
        if (!longer && !r.ended) {
            if (d.knownSize < 0 && end > kMaxPendingBytes)
                return fail(d, Status::io,
                            "a leading tag claims more than " +
                                std::to_string(kMaxPendingBytes >> 20) +
                                " MiB, which is not held while a pipe is read");
            return true;
        }
        start = longer ? claimed : 0;
    }
    r.scanner = FrameScanner(kCarriedRules, 0, start);
    r.phase = ScanPhase::frames;
    return true;
}

// Frames as the scanner confirms them, junk between them skipped; at the end the bytes
// after the last frame are trailing bytes.
bool scanFrames(Disassembly& d) {
    Disassembly::Reader& r = *d.reader;
    WalkFrame frame{};
    JunkRange junk;
    for (;;) {
        if (r.scanner.firstHeader() == 0) diagnoseAhead(r);
        const ScanWindow window{r.window.data(), r.windowBase, windowEnd(r), r.ended};
        switch (r.scanner.next(window, frame, junk)) {
            case ScanStep::more:
                // Junk after a frame is held until the input shows whether it is trailing.
                if (r.scanner.firstHeader() != 0 && !r.scanner.inSync() &&
                    r.scanner.position() + 4 > windowEnd(r) &&
                    windowEnd(r) - r.scanner.junkStart() > kMaxPendingBytes)
                    return fail(d, Status::io,
                                "more than " + std::to_string(kMaxPendingBytes >> 20) +
                                    " MiB of bytes without a frame from offset " +
                                    std::to_string(r.scanner.junkStart()) +
                                    ", which are held until the input shows whether they are "
                                    "trailing bytes");
                return true;
            case ScanStep::frame:
                if (junk.length > 0) d.skipped.push_back({junk.offset, junk.length});
                if (!takeFrame(d, frame.offset, frame.length, frame.header)) return false;
                break;
            case ScanStep::end:
                if (r.scanner.firstHeader() == 0) {
                    if (r.diagnosis.verdict == ScanVerdict::noFrames) r.diagnosis.offset = 0;
                    return fail(d, Status::notLayer3, scanRefusal(r.diagnosis));
                }
                r.pos = junk.offset;
                r.phase = ScanPhase::done;
                return true;
        }
    }
}

bool scan(Disassembly& d) {
    Disassembly::Reader& r = *d.reader;
    if (r.phase == ScanPhase::start && !scanStart(d)) return false;
    if (r.phase == ScanPhase::frames && !scanFrames(d)) return false;
    return d.status == Status::ok;
}

// Drops window bytes no decision needs any more.
void compactWindow(Disassembly::Reader& r) {
    size_t keepFrom = r.phase == ScanPhase::start ? 0 : r.scanner.keepFrom();
    if (r.scanner.firstHeader() == 0 && r.diagnosis.verdict == ScanVerdict::noFrames)
        keepFrom = std::min(keepFrom, r.diagnosePos);
    keepFrom = std::min(keepFrom, windowEnd(r));
    if (keepFrom < r.windowBase || keepFrom - r.windowBase < kCompactBytes) return;
    const size_t drop = keepFrom - r.windowBase;
    r.window.erase(r.window.begin(), r.window.begin() + static_cast<std::ptrdiff_t>(drop));
    r.windowBase = keepFrom;
}

}  // namespace

bool feedDisassembly(Disassembly& d, const uint8_t* bytes, size_t count) {
    Disassembly::Reader& r = *d.reader;
    if (d.status != Status::ok) return false;
    if (r.phase == ScanPhase::done) return true;
    compactWindow(r);
    r.window.insert(r.window.end(), bytes, bytes + count);
    return scan(d);
}

bool finishDisassembly(Disassembly& d) {
    Disassembly::Reader& r = *d.reader;
    if (d.status != Status::ok) return false;
    r.ended = true;
    if (!scan(d)) return false;
    if (r.progressShown) std::fputc('\n', d.progress);
    d.trailingBytes = windowEnd(r) - r.pos;

    // The tail after the last main data, and the second placement of the last record's
    // bits at the end of the stream, need a closing record whose own frame never reaches
    // the output.
    const int64_t streamEnd = 8 * (r.mainBase + r.mainLength);
    const int64_t tailFirst = firstOneInStream(r, r.coveredEnd, streamEnd);
    if (tailFirst < streamEnd || r.lastAncillaryBits > 0) {
        const int64_t tailBits = streamEnd - tailFirst;
        if (tailBits > kMaxAncillaryBits) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "%" PRId64
                          " bits after the main data of the last frame cannot be "
                          "carried (at most %d)",
                          tailBits, kMaxAncillaryBits);
            return fail(d, Status::cannotCarry, text);
        }
        FrameRecord& rec = nextRecord(r.batch);
        std::memset(&rec, 0, sizeof rec);
        rec.header = kClosingHeader;
        rec.rawMainData = 1;
        if (!emitRecord(d, tailFirst, streamEnd)) return false;
        d.closingRecord = true;
    }
    d.ancillaryBytes.insert(d.ancillaryBytes.end(), windowAt(r, r.pos),
                            windowAt(r, r.pos) + d.trailingBytes);

    r.batch.last = true;
    r.batch.frameBytes = r.frameBytes;
    if (!dispatchCheck(d, false)) return false;

    RecordFileHead head{};
    head.frameCount = static_cast<int32_t>(d.frames + (d.closingRecord ? 1 : 0));
    head.unused = 0;
    head.outputLimit = static_cast<int32_t>(static_cast<uint32_t>(r.frameBytes));
    encodeRecordFileHead(head, d.head);
    return true;
}

DisassembleResult disassemble(const uint8_t* input, size_t size, FILE* progressOut) {
    Disassembly d;
    d.knownSize = static_cast<int64_t>(size);
    d.progress = progressOut;
    d.recordBytes.resize(kHeadBytes);
    const bool ok = feedDisassembly(d, input, size) && finishDisassembly(d);
    DisassembleResult result;
    result.status = d.status;
    result.message = d.message;
    if (!ok) return result;
    std::memcpy(d.recordBytes.data(), d.head, kHeadBytes);
    result.records = std::move(d.recordBytes);
    result.ancillary = std::move(d.ancillaryBytes);
    result.frames = d.frames;
    result.rawFrames = d.rawFrames;
    result.closingRecord = d.closingRecord;
    result.rawNotes = std::move(d.rawNotes);
    result.skipped = std::move(d.skipped);
    result.trailingBytes = d.trailingBytes;
    return result;
}

}  // namespace l3
