#include "disassemble/stream_scanner.h"

#include <cstring>

#include "format/byte_order.h"
#include "format/frame_length.h"
#include "format/frame_record.h"

namespace l3 {

namespace {

constexpr size_t kId3v2HeadBytes = 10;

uint32_t headerAt(const uint8_t* data, size_t offset) {
    return loadBe32(data + offset);
}

bool startsWith(const uint8_t* data, size_t size, size_t offset, const char* text) {
    const size_t n = std::strlen(text);
    return offset + n <= size && std::memcmp(data + offset, text, n) == 0;
}

// A tag that may follow the last frame: ID3v1, APE, or an appended ID3v2.
bool tagAt(const uint8_t* data, size_t size, size_t offset) {
    return startsWith(data, size, offset, "TAG") || startsWith(data, size, offset, "APETAGEX") ||
           startsWith(data, size, offset, "ID3");
}

}  // namespace

int32_t completeFrameAt(const uint8_t* data, size_t size, size_t offset, uint32_t& header) {
    if (offset + 4 > size) return 0;
    header = headerAt(data, offset);
    if (!isLayer3Header(header)) return 0;
    const int32_t length = frameLength(header);
    return offset + static_cast<size_t>(length) <= size ? length : 0;
}

int32_t confirmedFrameAt(const uint8_t* data, size_t size, size_t offset, uint32_t reference,
                         uint32_t& header) {
    const int32_t length = completeFrameAt(data, size, offset, header);
    if (length == 0 || (reference != 0 && !sameStream(reference, header))) return 0;
    const size_t next = offset + static_cast<size_t>(length);
    if (next == size || tagAt(data, size, next)) return length;
    if (next + 4 <= size) {
        const uint32_t following = headerAt(data, next);
        // The first frame's successor must also keep its sampling frequency.
        if (isLayer3Header(following) && sameStream(header, following) &&
            (reference != 0 || samplingIndex(following) == samplingIndex(header)))
            return length;
    }
    return 0;
}

size_t leadingTagBytes(const uint8_t* data, size_t size) {
    if (!startsWith(data, size, 0, "ID3") || size < kId3v2HeadBytes) return 0;
    size_t tagSize = 0;
    for (int i = 6; i < 10; ++i) {
        if (data[i] & 0x80) return 0;
        tagSize = tagSize << 7 | data[i];
    }
    tagSize += kId3v2HeadBytes;
    if (data[5] & 0x10) tagSize += kId3v2HeadBytes;
    return tagSize;
}

ScanVerdict refusalVerdict(uint32_t h) {
    const int layerBits = (h >> 17) & 3;
    if ((h >> 21) != 0x7FF || versionCode(h) == 1 || layerBits == 0 || samplingIndex(h) == 3 ||
        bitrateIndex(h) == 15)
        return ScanVerdict::noFrames;
    if (layerBits == 1 && bitrateIndex(h) == 0) return ScanVerdict::freeFormat;
    if (layerBits != 1) return ScanVerdict::otherLayer;
    return ScanVerdict::noFrames;  // a Layer III header that no frame chain confirmed
}

namespace {

// Where the search for the first frame begins: after a leading ID3v2 tag that ends
// inside the input.
size_t firstSearchOffset(const uint8_t* data, size_t size) {
    const size_t tagSize = leadingTagBytes(data, size);
    return tagSize < size ? tagSize : 0;
}

// Why an input without Layer III frames is refused: the first header that looks like an
// MPEG audio frame decides between free format, Layer I/II and nothing at all.
ScanOutcome diagnose(const uint8_t* data, size_t size) {
    ScanOutcome outcome;
    for (size_t p = 0; p + 4 <= size; ++p) {
        outcome.verdict = refusalVerdict(headerAt(data, p));
        if (outcome.verdict != ScanVerdict::noFrames) {
            outcome.offset = p;
            return outcome;
        }
    }
    return outcome;
}

}  // namespace

bool isLayer3Header(uint32_t header) {
    const int index = bitrateIndex(header);
    return (header >> 21) == 0x7FF && versionCode(header) != 1 && ((header >> 17) & 3) == 1 &&
           index >= 1 && index <= 14 && samplingIndex(header) != 3;
}

bool sameStream(uint32_t a, uint32_t b) {
    constexpr uint32_t kMask = 0xFFFE0000;  // sync, version, layer
    return (a & kMask) == (b & kMask);
}

ScanOutcome scanStream(const uint8_t* data, size_t size, StreamLayout& layout) {
    layout = {};
    uint32_t header = 0;
    size_t p = firstSearchOffset(data, size);
    for (; p + 4 <= size; ++p)
        if (confirmedFrameAt(data, size, p, 0, header) > 0) break;
    if (p + 4 > size) return diagnose(data, size);
    if (p > 0) layout.skipped.push_back({0, p});
    const uint32_t reference = header;

    while (p < size) {
        int32_t length = confirmedFrameAt(data, size, p, reference, header);
        if (length > 0) {
            layout.frames.push_back({p, length, header});
            p += static_cast<size_t>(length);
            continue;
        }
        // Not a confirmed frame: junk up to the next confirmed frame of the stream, or, when
        // none follows, the last frame (if one fits here) and trailing bytes.
        size_t q = p + 1;
        while (q + 4 <= size && confirmedFrameAt(data, size, q, reference, header) == 0) ++q;
        if (q + 4 <= size) {
            layout.skipped.push_back({p, q - p});
            p = q;
            continue;
        }
        length = completeFrameAt(data, size, p, header);
        if (length > 0 && sameStream(reference, header)) {
            layout.frames.push_back({p, length, header});
            p += static_cast<size_t>(length);
        }
        break;
    }
    layout.trailingOffset = p;
    ScanOutcome outcome;
    outcome.verdict = ScanVerdict::ok;
    return outcome;
}

}  // namespace l3
