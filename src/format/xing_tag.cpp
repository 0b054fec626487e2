#include "l3/xing_tag.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

constexpr size_t kVbriOffset = 36;  // 4 header bytes and 32 bytes whatever the mode
constexpr size_t kVbriBytes = 26;
constexpr size_t kXingHeadBytes = 8;  // magic and flags
constexpr size_t kTocBytes = 100;
constexpr size_t kLameBytes = 36;
constexpr size_t kLameTagCrcField = 34;  // within the extension

uint16_t loadBe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// The shift-right form of 0x8005 reflected is 0xA001. Row 0 advances the register by one
// byte; row k by a byte followed by k zero bytes, so that eight bytes are taken at once
// (the music CRC covers a whole file).
using LameCrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr LameCrcTables buildLameCrcTables() {
    LameCrcTables tables{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int b = 0; b < 8; ++b) crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
        tables[0][i] = static_cast<uint16_t>(crc);
    }
    for (size_t k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t previous = tables[k - 1][i];
            tables[k][i] = static_cast<uint16_t>((previous >> 8) ^ tables[0][previous & 0xFF]);
        }
    return tables;
}
constexpr LameCrcTables lameCrcTables = buildLameCrcTables();

// The LAME extension is recognised by an encoder string that starts with a known encoder
// name; ffmpeg's encoders write the same layout, and so do this toolkit's edits.
bool looksLikeLame(const uint8_t* p) {
    return std::memcmp(p, "LAME", 4) == 0 || std::memcmp(p, "Lavf", 4) == 0 ||
           std::memcmp(p, "Lavc", 4) == 0 || std::memcmp(p, kOldOwnLameEncoder, 9) == 0;
}

void readLame(const uint8_t* frame, size_t at, LameExtension& lame) {
    const uint8_t* p = frame + at;
    lame.present = true;
    for (int i = 0; i < 9; ++i)
        lame.encoder[i] = p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '?';
    lame.revision = p[9] >> 4;
    lame.vbrMethod = p[9] & 15;
    lame.lowpassHz = p[10] * 100;
    // The peak's float bits, copied (not std::bit_cast, which some standard libraries lack).
    const uint32_t peakBits = loadBe32(p + 11);
    static_assert(sizeof lame.peak == sizeof peakBits);
    std::memcpy(&lame.peak, &peakBits, sizeof peakBits);
    lame.radioGain = loadBe16(p + 15);
    lame.audiophileGain = loadBe16(p + 17);
    lame.encodingFlags = p[19] >> 4;
    lame.athType = p[19] & 15;
    lame.bitrate = p[20];
    lame.delay = p[21] << 4 | p[22] >> 4;
    lame.padding = (p[22] & 15) << 8 | p[23];
    lame.misc = p[24];
    lame.mp3Gain = static_cast<int8_t>(p[25]);
    lame.presetSurround = loadBe16(p + 26);
    lame.musicLength = loadBe32(p + 28);
    lame.musicCrc = loadBe16(p + 32);
    lame.tagCrc = loadBe16(p + 34);
    lame.tagCrcCovered = at + kLameTagCrcField;
    std::memcpy(lame.bytes.data(), p, kLameBytes);
    lame.computedTagCrc = lameCrc(frame, lame.tagCrcCovered);
}

void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void storeBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr size_t kLameMusicLength = 28;
constexpr size_t kLameMusicCrc = 32;
// The informational fields an encoder fills in: tag revision and VBR method, lowpass, peak,
// ReplayGain, flags and ATH, bit rate.
constexpr size_t kLameInfoFrom = 9, kLameInfoEnd = 21;

// VBRI fields, from the magic.
constexpr size_t kVbriVersion = 4, kVbriDelay = 6, kVbriQuality = 8, kVbriByteCount = 10,
                 kVbriFrameCount = 14, kVbriEntries = 18, kVbriScale = 20, kVbriEntryBytes = 22,
                 kVbriFramesPerEntry = 24;
constexpr int kVbriMaxEntryBytes = 4;

void storeBeN(uint8_t* p, int bytes, uint32_t v) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

}  // namespace

size_t xingTagEnd(const XingTag& tag) {
    return tag.tagOffset + kXingHeadBytes + (tag.hasFrames ? 4 : 0) + (tag.hasBytes ? 4 : 0) +
           (tag.hasToc ? kTocBytes : 0) + (tag.hasQuality ? 4 : 0) +
           (tag.lame.present ? kLameBytes : 0);
}

bool writeXingTag(uint8_t* frame, size_t frameLength, const XingTag& tag, uint32_t musicBytes,
                  uint16_t musicCrc) {
    if (xingTagEnd(tag) > frameLength) return false;
    uint8_t* p = frame + tag.tagOffset;
    std::memcpy(p, tag.kind == XingKind::info ? "Info" : "Xing", 4);
    storeBe32(p + 4, (tag.hasFrames ? 1u : 0u) | (tag.hasBytes ? 2u : 0u) | (tag.hasToc ? 4u : 0u) |
                         (tag.hasQuality ? 8u : 0u));
    p += kXingHeadBytes;
    if (tag.hasFrames) storeBe32(p, tag.frames), p += 4;
    if (tag.hasBytes) storeBe32(p, tag.bytes), p += 4;
    if (tag.hasToc) std::memcpy(p, tag.toc.data(), kTocBytes), p += kTocBytes;
    if (tag.hasQuality) storeBe32(p, tag.quality), p += 4;
    if (!tag.lame.present) return true;
    std::memcpy(p, tag.lame.bytes.data(), kLameBytes);
    storeBe32(p + kLameMusicLength, musicBytes);
    storeBe16(p + kLameMusicCrc, musicCrc);
    storeBe16(p + kLameTagCrcField,
              lameCrc(frame, static_cast<size_t>(p - frame) + kLameTagCrcField));
    return true;
}

bool isOwnLameExtension(const LameExtension& lame) {
    if (!lame.present) return false;
    const bool ours = std::memcmp(lame.bytes.data(), kOwnLameEncoder, 9) == 0 ||
                      std::memcmp(lame.bytes.data(), kOldOwnLameEncoder, 9) == 0;
    return ours && std::all_of(lame.bytes.begin() + kLameInfoFrom,
                               lame.bytes.begin() + kLameInfoEnd, [](uint8_t b) { return b == 0; });
}

bool writeVbriTag(uint8_t* frame, size_t frameLength, const XingTag& tag,
                  const std::vector<uint32_t>& frameBytes) {
    const VbriTable& t = tag.vbriToc;
    if (tag.kind != XingKind::vbri) return false;
    uint8_t* v = frame + tag.tagOffset;
    const size_t n = frameBytes.size();
    uint64_t total = frameLength;
    for (const uint32_t bytes : frameBytes) total += bytes;
    storeBe32(v + kVbriByteCount, static_cast<uint32_t>(total));
    storeBe32(v + kVbriFrameCount, static_cast<uint32_t>(n + 1));
    if (!tag.hasToc) return false;
    const size_t entries = static_cast<size_t>(t.entries);
    size_t perEntry = static_cast<size_t>(t.framesPerEntry);
    if (perEntry == 0 || perEntry * entries < n)
        perEntry = std::min<size_t>(0xFFFF, entries > 0 ? (n + entries - 1) / entries : 1);
    std::vector<uint64_t> segments(entries, 0);
    uint64_t largest = 0;
    for (size_t k = 0; k < n; ++k)
        if (perEntry > 0 && k / perEntry < entries) segments[k / perEntry] += frameBytes[k];
    for (const uint64_t s : segments) largest = std::max(largest, s);
    const uint64_t widest = (uint64_t{1} << (8 * t.entryBytes)) - 1;
    uint64_t scale = static_cast<uint64_t>(t.scale);
    while (scale < 0xFFFF && (largest + scale / 2) / scale > widest) ++scale;
    storeBe16(v + kVbriScale, static_cast<uint16_t>(scale));
    storeBe16(v + kVbriFramesPerEntry, static_cast<uint16_t>(perEntry));
    for (size_t i = 0; i < entries; ++i)
        storeBeN(v + kVbriBytes + i * static_cast<size_t>(t.entryBytes), t.entryBytes,
                 static_cast<uint32_t>(std::min(widest, (segments[i] + scale / 2) / scale)));
    return true;
}

const char* xingKindName(XingKind kind) {
    switch (kind) {
        case XingKind::none:
            return "none";
        case XingKind::xing:
            return "Xing";
        case XingKind::info:
            return "Info";
        case XingKind::vbri:
            return "VBRI";
    }
    return "?";
}

uint16_t lameCrc(const uint8_t* bytes, size_t count, uint16_t crc) {
    const auto& t = lameCrcTables;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        // The register meets the first two bytes; the others enter as they are.
        const unsigned b0 = (bytes[i] ^ crc) & 0xFF, b1 = (bytes[i + 1] ^ (crc >> 8)) & 0xFF;
        crc = static_cast<uint16_t>(t[7][b0] ^ t[6][b1] ^ t[5][bytes[i + 2]] ^ t[4][bytes[i + 3]] ^
                                    t[3][bytes[i + 4]] ^ t[2][bytes[i + 5]] ^ t[1][bytes[i + 6]] ^
                                    t[0][bytes[i + 7]]);
    }
    for (; i < count; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

XingTag readXingTag(const uint8_t* frame, size_t frameLength) {
    XingTag tag;
    if (frameLength < 4) return tag;
    const uint32_t header = loadBe32(frame);
    // The tag follows the side information as if there were no CRC field.
    const size_t at = 4 + static_cast<size_t>(sideInfoBytes(header));
    if (at + kXingHeadBytes <= frameLength &&
        (std::memcmp(frame + at, "Xing", 4) == 0 || std::memcmp(frame + at, "Info", 4) == 0)) {
        tag.kind = frame[at] == 'X' ? XingKind::xing : XingKind::info;
        tag.tagOffset = at;
        const uint32_t flags = loadBe32(frame + at + 4);
        size_t p = at + kXingHeadBytes;
        auto take = [&](bool wanted, size_t bytes) {
            if (!wanted || p + bytes > frameLength) return false;
            p += bytes;
            return true;
        };
        if ((tag.hasFrames = take(flags & 1, 4))) tag.frames = loadBe32(frame + p - 4);
        if ((tag.hasBytes = take(flags & 2, 4))) tag.bytes = loadBe32(frame + p - 4);
        if ((tag.hasToc = take(flags & 4, kTocBytes)))
            std::memcpy(tag.toc.data(), frame + p - kTocBytes, kTocBytes);
        if ((tag.hasQuality = take(flags & 8, 4))) tag.quality = loadBe32(frame + p - 4);
        if (p + kLameBytes <= frameLength && looksLikeLame(frame + p)) readLame(frame, p, tag.lame);
        return tag;
    }
    if (kVbriOffset + kVbriBytes <= frameLength &&
        std::memcmp(frame + kVbriOffset, "VBRI", 4) == 0) {
        const uint8_t* v = frame + kVbriOffset;
        tag.kind = XingKind::vbri;
        tag.tagOffset = kVbriOffset;
        tag.vbriVersion = loadBe16(v + kVbriVersion);
        tag.vbriDelay = loadBe16(v + kVbriDelay);
        tag.quality = loadBe16(v + kVbriQuality);
        tag.hasBytes = tag.hasFrames = tag.hasQuality = true;
        tag.bytes = loadBe32(v + kVbriByteCount);
        tag.frames = loadBe32(v + kVbriFrameCount);
        VbriTable& t = tag.vbriToc;
        t.entries = loadBe16(v + kVbriEntries);
        t.scale = loadBe16(v + kVbriScale);
        t.entryBytes = loadBe16(v + kVbriEntryBytes);
        t.framesPerEntry = loadBe16(v + kVbriFramesPerEntry);
        tag.hasToc =
            t.entryBytes >= 1 && t.entryBytes <= kVbriMaxEntryBytes && t.scale >= 1 &&
            kVbriOffset + kVbriBytes + static_cast<size_t>(t.entries * t.entryBytes) <= frameLength;
    }
    return tag;
}

}  // namespace l3
