#include "edit/stream_tags.h"

#include <cstring>

#include "format/byte_order.h"

namespace l3 {

namespace {

constexpr size_t kId3v2HeadBytes = 10;
constexpr size_t kId3v1Bytes = 128;
constexpr size_t kApeFooterBytes = 32;
constexpr uint32_t kApeHasHeader = 1u << 31;
constexpr uint32_t kApeIsHeader = 1u << 29;

bool startsWith(const uint8_t* data, size_t size, size_t offset, const char* text) {
    const size_t n = std::strlen(text);
    return offset + n <= size && std::memcmp(data + offset, text, n) == 0;
}

// The length of an ID3v2 tag at offset (head, body and footer), or 0.
size_t id3v2Length(const uint8_t* data, size_t size, size_t offset) {
    if (!startsWith(data, size, offset, "ID3") || offset + kId3v2HeadBytes > size) return 0;
    size_t body = 0;
    for (size_t i = 6; i < 10; ++i) {
        if (data[offset + i] & 0x80) return 0;
        body = body << 7 | data[offset + i];
    }
    const size_t footer = (data[offset + 5] & 0x10) ? kId3v2HeadBytes : 0;
    return kId3v2HeadBytes + body + footer;
}

// Where the APEv2 tag whose header or footer is at offset begins.
size_t apeTagStart(const uint8_t* data, size_t size, size_t offset) {
    if (offset + kApeFooterBytes > size) return offset;
    const uint32_t length = loadLe32(data + offset + 12);  // items and footer
    const uint32_t flags = loadLe32(data + offset + 20);
    if (flags & kApeIsHeader) return offset;
    const size_t withHeader = length + ((flags & kApeHasHeader) ? kApeFooterBytes : 0);
    const size_t end = offset + kApeFooterBytes;
    return withHeader <= end ? end - withHeader : offset;
}

// The first tag that starts at or after from.
size_t firstTag(const uint8_t* data, size_t size, size_t from) {
    for (size_t p = from; p < size; ++p) {
        if (startsWith(data, size, p, "APETAGEX")) {
            const size_t start = apeTagStart(data, size, p);
            return start >= from ? start : p;
        }
        if (startsWith(data, size, p, "LYRICSBEGIN") || id3v2Length(data, size, p) > 0 ||
            (p + kId3v1Bytes == size && startsWith(data, size, p, "TAG")))
            return p;
    }
    return size;
}

}  // namespace

StreamTags findStreamTags(const uint8_t* data, size_t size, const StreamLayout& layout) {
    StreamTags tags;
    const size_t firstFrame = layout.frames.empty() ? size : layout.frames[0].offset;
    const size_t leading = id3v2Length(data, size, 0);
    if (leading > 0 && leading <= firstFrame) tags.leadingBytes = leading;
    for (const ByteRange& range : layout.skipped) {
        ByteRange junk = range;
        if (junk.offset < tags.leadingBytes) {
            const size_t cut = std::min(tags.leadingBytes - junk.offset, junk.length);
            junk.offset += cut;
            junk.length -= cut;
        }
        if (junk.length > 0) tags.junk.push_back(junk);
    }
    const size_t trailing = layout.trailingOffset;
    tags.trailingTagOffset = firstTag(data, size, trailing);
    if (tags.trailingTagOffset > trailing) {
        const bool frameStart =
            trailing + 1 < size && data[trailing] == 0xFF && (data[trailing + 1] & 0xE0) == 0xE0;
        if (frameStart) {
            tags.cutFrameOffset = trailing;
            tags.cutFrameBytes = tags.trailingTagOffset - trailing;
        } else {
            tags.junk.push_back({trailing, tags.trailingTagOffset - trailing});
        }
    }
    return tags;
}

}  // namespace l3
