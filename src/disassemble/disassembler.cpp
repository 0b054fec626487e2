#include "disassemble/disassembler.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "assemble/run_driver.h"
#include "bits/bit_reader.h"
#include "disassemble/huffman_decoder.h"
#include "disassemble/main_data_reader.h"
#include "disassemble/reencode_check.h"
#include "disassemble/side_info_reader.h"
#include "format/byte_order.h"
#include "format/frame_length.h"
#include "format/frame_record.h"
#include "maindata/main_data_state.h"

namespace l3 {

namespace {

constexpr size_t kProgressMinFrames = 4000;
constexpr auto kProgressInterval = std::chrono::milliseconds(500);

// The main-data stream: every frame's area, one after another.
struct MainDataStream {
    std::vector<uint8_t> bytes;
    std::vector<int64_t> frameStart;  // bit offset of each frame's area; one more at the end
};

MainDataStream buildMainDataStream(const uint8_t* input, const StreamLayout& layout) {
    MainDataStream s;
    s.frameStart.reserve(layout.frames.size() + 1);
    for (const FrameSpan& f : layout.frames) {
        s.frameStart.push_back(8 * static_cast<int64_t>(s.bytes.size()));
        const int32_t head = headByteCount(f.header);
        s.bytes.insert(s.bytes.end(), input + f.offset + head, input + f.offset + f.length);
    }
    s.frameStart.push_back(8 * static_cast<int64_t>(s.bytes.size()));
    // Padding so that byte-wise reads just past the end stay inside the vector.
    s.bytes.resize(s.bytes.size() + 8, 0);
    return s;
}

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
    for (int64_t j = 0; j < count; ++j)
        if (bitAt(bytes, from + j)) out[start + static_cast<size_t>(j >> 3)] |= 0x80 >> (j & 7);
}

void appendRecord(std::vector<uint8_t>& out, const FrameRecord& record, int32_t ancillaryBits) {
    const size_t at = out.size();
    out.resize(at + kRecordEntryBytes);
    encodeFrameRecord(record, out.data() + at);
    storeLe32(out.data() + at + kRecordBytes, static_cast<uint32_t>(ancillaryBits));
}

DisassembleResult refuse(int code, std::string message) {
    DisassembleResult r;
    r.exitCode = code;
    r.message = std::move(message);
    return r;
}

std::string frameName(size_t k, const FrameSpan& f) {
    char text[80];
    std::snprintf(text, sizeof text, "frame %zu (offset %zu)", k, f.offset);
    return text;
}

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

struct Progress {
    FILE* out;
    size_t total;
    std::chrono::steady_clock::time_point next;
};

void reportProgress(Progress& p, size_t done) {
    if (!p.out || p.total <= kProgressMinFrames) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < p.next && done != p.total) return;
    p.next = now + kProgressInterval;
    std::fprintf(p.out, "Frames: %zu/%zu\r", done, p.total);
    if (done == p.total) std::fputc('\n', p.out);
    std::fflush(p.out);
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

}  // namespace

std::vector<uint8_t> carriedBytes(const uint8_t* input, size_t size, const StreamLayout& layout) {
    std::vector<uint8_t> out;
    for (const FrameSpan& f : layout.frames)
        out.insert(out.end(), input + f.offset, input + f.offset + f.length);
    out.insert(out.end(), input + layout.trailingOffset, input + size);
    return out;
}

DisassembleResult disassemble(const uint8_t* input, size_t size, FILE* progressOut) {
    if (size > kMaxInputBytes)
        return refuse(kDisIo, "the input is larger than 64 MiB, which is not supported");
    StreamLayout layout;
    const ScanOutcome outcome = scanStream(input, size, layout);
    if (outcome.verdict != ScanVerdict::ok) return refuse(kDisNotLayer3, scanRefusal(outcome));

    const size_t n = layout.frames.size();
    if ((n + 1) * kRecordEntryBytes + kHeadBytes > kMaxRecordFileBytes)
        return refuse(kDisIo, "the input has too many frames for a record file of at most 1 GiB");
    int64_t frameBytes = 0;
    for (size_t k = 0; k < n; ++k) {
        const FrameSpan& f = layout.frames[k];
        frameBytes += f.length;
        if (!crcMatches(input + f.offset, f.header))
            return refuse(kDisCannotCarry,
                          frameName(k, f) +
                              ": its stored CRC differs from the CRC of its header and side "
                              "information, which the assembler always recomputes");
    }

    auto scratch = std::make_unique<MainDataState>();
    initBitStore(scratch->store);

    const MainDataStream s = buildMainDataStream(input, layout);
    const uint8_t* bits = s.bytes.data();
    const int64_t streamEnd = s.frameStart[n];

    DisassembleResult result;
    result.frames = n;
    result.skipped = layout.skipped;
    result.trailingBytes = size - layout.trailingOffset;
    result.records.resize(kHeadBytes);
    result.records.reserve(kHeadBytes + (n + 1) * kRecordEntryBytes);

    Progress progress{progressOut, n, std::chrono::steady_clock::now()};
    auto rec = std::make_unique<FrameRecord>();
    int64_t coveredEnd = 0;
    int32_t lastAncillaryBits = 0;
    for (size_t k = 0; k < n; ++k) {
        const FrameSpan& f = layout.frames[k];
        readSideInfo(input + f.offset, *rec);
        const int64_t frameStart = s.frameStart[k];
        const int64_t mainStart =
            k == 0 ? frameStart : frameStart - 8 * int64_t{rec->main_data_begin};
        int64_t mainBits = 0;
        for (int gr = 0; gr < granuleCount(f.header); ++gr)
            for (int ch = 0; ch < channelCount(f.header); ++ch)
                mainBits += rec->granuleInfo[gr][ch].part2_3_length;
        const int64_t mainEnd = mainStart + mainBits;

        const char* why =
            placementProblem(k, *rec, bits, mainStart, mainEnd, coveredEnd, s.frameStart[k + 1]);
        if (!why) why = readMainData(bits, mainStart, *rec);
        if (!why && !reencodesExactly(*scratch, *rec, bits, mainStart, mainBits))
            why = "its values do not code back to the same bits";
        if (why) {
            // Side information as read; the main data travels as ancillary bits.
            readSideInfo(input + f.offset, *rec);
            rec->rawMainData = 1;
            ++result.rawFrames;
            result.rawNotes.push_back({k, why});
        }
        const int64_t anchor = why ? frameStart : mainStart;
        const int64_t first = anchor > coveredEnd ? firstOneBit(bits, coveredEnd, anchor) : anchor;
        const int64_t gapBits = anchor - first;
        if (gapBits > kMaxAncillaryBits) {
            char text[160];
            std::snprintf(text, sizeof text,
                          ": %" PRId64 " bits before its main data cannot be carried (at most %d)",
                          gapBits, kMaxAncillaryBits);
            return refuse(kDisCannotCarry, frameName(k, f) + text);
        }
        appendShare(result.ancillary, bits, first, anchor);
        appendRecord(result.records, *rec, static_cast<int32_t>(gapBits));
        lastAncillaryBits = static_cast<int32_t>(gapBits);
        coveredEnd = std::max(coveredEnd, why ? anchor : mainEnd);
        reportProgress(progress, k + 1);
    }

    // The tail after the last main data, and the second placement of the last record's
    // bits at the end of the stream, need a closing record whose own frame never reaches
    // the output.
    const int64_t tailFirst = firstOneBit(bits, coveredEnd, streamEnd);
    if (tailFirst < streamEnd || lastAncillaryBits > 0) {
        const int64_t tailBits = streamEnd - tailFirst;
        if (tailBits > kMaxAncillaryBits) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "%" PRId64
                          " bits after the main data of the last frame cannot be "
                          "carried (at most %d)",
                          tailBits, kMaxAncillaryBits);
            return refuse(kDisCannotCarry, text);
        }
        std::memset(rec.get(), 0, sizeof *rec);
        rec->header = kClosingHeader;
        rec->rawMainData = 1;
        appendShare(result.ancillary, bits, tailFirst, streamEnd);
        appendRecord(result.records, *rec, static_cast<int32_t>(tailBits));
        result.closingRecord = true;
    }
    result.ancillary.insert(result.ancillary.end(), input + layout.trailingOffset, input + size);

    RecordFileHead head{};
    head.frameCount = static_cast<int32_t>(n + (result.closingRecord ? 1 : 0));
    head.unused = 0;
    head.outputLimit = static_cast<int32_t>(frameBytes);
    encodeRecordFileHead(head, result.records.data());

    // Never a silently wrong file: the assembler itself must rebuild the input.
    std::vector<uint8_t> rebuilt;
    const int code = assembleInMemory(result.records.data(), result.records.size(),
                                      result.ancillary.data(), result.ancillary.size(), rebuilt);
    const std::vector<uint8_t> expected = carriedBytes(input, size, layout);
    if (code != 0 || rebuilt != expected) {
        size_t at = 0;
        while (at < rebuilt.size() && at < expected.size() && rebuilt[at] == expected[at]) ++at;
        char text[200];
        std::snprintf(text, sizeof text,
                      "verification failed: the records rebuild %zu bytes where %zu are expected, "
                      "first difference at byte %zu of the carried bytes (assembler exit %d)",
                      rebuilt.size(), expected.size(), at, code);
        return refuse(kDisVerify, text);
    }
    return result;
}

}  // namespace l3
