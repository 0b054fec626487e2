#include "l3/tag_finder.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"
#include "format/syncsafe.h"

namespace l3 {

namespace {

constexpr size_t kId3v2HeadBytes = 10;
constexpr size_t kId3v1Bytes = 128;
constexpr size_t kApeFooterBytes = 32;
constexpr size_t kLyricsEndBytes = 9;     // "LYRICSEND" or "LYRICS200"
constexpr size_t kLyrics2SizeBytes = 6;   // decimal digits before "LYRICS200"
constexpr size_t kLyricsBeginBytes = 11;  // "LYRICSBEGIN"
constexpr size_t kLyrics1MaxBytes = 5100;

bool startsWith(const uint8_t* p, const char* magic) {
    return std::memcmp(p, magic, std::strlen(magic)) == 0;
}

// An ID3v2 tag at p that lies whole within room bytes.
size_t id3v2Length(const uint8_t* p, size_t room) {
    const size_t total = id3v2Claim(p, room, true);
    return total <= room ? total : 0;
}

// An ID3v2.4 tag appended at the end of a file, found by its footer: "3DI", the version
// and flags of its header, and the same four 7-bit size bytes; header and footer both count.
size_t trailingId3v2Length(const uint8_t* data, size_t start, size_t end) {
    if (end - start < 2 * kId3v2HeadBytes) return 0;
    const uint8_t* p = data + end - kId3v2HeadBytes;
    if (!startsWith(p, "3DI") || p[3] == 0xFF || p[4] == 0xFF) return 0;
    if (!isSyncsafe(p + 6)) return 0;
    const size_t total = loadSyncsafe(p + 6) + 2 * kId3v2HeadBytes;
    if (total > end - start) return 0;
    // The tag's own header must be where the footer says it starts.
    return id3v2Length(data + end - total, total) == total ? total : 0;
}

// APEv2 tag ending at end: a 32-byte footer "APETAGEX" whose size counts the items and
// the footer; a header of 32 more bytes precedes the items when flag bit 31 says so.
size_t apeLength(const uint8_t* data, size_t start, size_t end) {
    if (end - start < kApeFooterBytes) return 0;
    const uint8_t* footer = data + end - kApeFooterBytes;
    if (!startsWith(footer, "APETAGEX")) return 0;
    const size_t body = loadLe32(footer + 12);
    const bool hasHeader = loadLe32(footer + 20) & 0x80000000u;
    const size_t total = body + (hasHeader ? kApeFooterBytes : 0);
    return total >= kApeFooterBytes && total <= end - start ? total : 0;
}

// Lyrics3 ending at end: version 2 names its size in six digits before "LYRICS200";
// version 1 ends with "LYRICSEND" and starts with "LYRICSBEGIN" at most 5100 bytes back.
// Either may sit just before an ID3v1 tag, which the caller has peeled already.
size_t lyricsLength(const uint8_t* data, size_t start, size_t end) {
    if (end - start < kLyricsEndBytes + kLyricsBeginBytes) return 0;
    const uint8_t* tail = data + end - kLyricsEndBytes;
    if (startsWith(tail, "LYRICS200")) {
        if (end - start < kLyricsEndBytes + kLyrics2SizeBytes) return 0;
        const uint8_t* digits = tail - kLyrics2SizeBytes;
        size_t body = 0;
        for (size_t i = 0; i < kLyrics2SizeBytes; ++i) {
            const uint8_t c = digits[i];
            if (c < '0' || c > '9') return 0;
            body = body * 10 + (c - '0');
        }
        const size_t total = body + kLyrics2SizeBytes + kLyricsEndBytes;
        if (total > end - start || !startsWith(data + end - total, "LYRICSBEGIN")) return 0;
        return total;
    }
    if (startsWith(tail, "LYRICSEND")) {
        const size_t reach = std::min(end - start, kLyrics1MaxBytes + kLyricsEndBytes);
        for (size_t total = kLyricsBeginBytes + kLyricsEndBytes; total <= reach; ++total)
            if (startsWith(data + end - total, "LYRICSBEGIN")) return total;
    }
    return 0;
}

}  // namespace

size_t id3v2Claim(const uint8_t* data, size_t size, bool strictVersion) {
    if (size < kId3v2HeadBytes || !startsWith(data, "ID3")) return 0;
    if (strictVersion && (data[3] == 0xFF || data[4] == 0xFF)) return 0;
    if (!isSyncsafe(data + 6)) return 0;
    const bool footer = data[5] & 0x10;
    return kId3v2HeadBytes + loadSyncsafe(data + 6) + (footer ? kId3v2HeadBytes : 0);
}

bool tagMagicAt(const uint8_t* data, size_t size, size_t offset) {
    for (const char* magic : {"TAG", "APETAGEX", "ID3"}) {
        const size_t n = std::strlen(magic);
        if (offset + n <= size && startsWith(data + offset, magic)) return true;
    }
    return false;
}

const char* tagName(TagKind kind) {
    switch (kind) {
        case TagKind::id3v2:
            return "ID3v2";
        case TagKind::id3v1:
            return "ID3v1";
        case TagKind::apev2:
            return "APEv2";
        case TagKind::lyrics3:
            return "Lyrics3";
    }
    return "?";
}

TagLayout findTags(const uint8_t* data, size_t size) {
    TagLayout layout;
    size_t start = 0, end = size;
    while (size_t n = id3v2Length(data + start, end - start)) {
        layout.tags.push_back({TagKind::id3v2, start, n});
        start += n;
    }
    std::vector<TagSpan> trailing;
    for (;;) {
        size_t n = 0;
        TagKind kind = TagKind::id3v1;
        if (end - start >= kId3v1Bytes && startsWith(data + end - kId3v1Bytes, "TAG")) {
            n = kId3v1Bytes;
        } else if ((n = apeLength(data, start, end))) {
            kind = TagKind::apev2;
        } else if ((n = lyricsLength(data, start, end))) {
            kind = TagKind::lyrics3;
        } else if ((n = trailingId3v2Length(data, start, end))) {
            kind = TagKind::id3v2;
        }
        if (n == 0) break;
        end -= n;
        trailing.push_back({kind, end, n});
    }
    layout.tags.insert(layout.tags.end(), trailing.rbegin(), trailing.rend());
    layout.audioStart = start;
    layout.audioEnd = end;
    return layout;
}

}  // namespace l3
