#include "format/xing_tag.h"

#include <cstring>

#include "format/byte_order.h"
#include "format/frame_header.h"
#include "format/frame_length.h"

namespace l3 {

namespace {

constexpr size_t kTocBytes = 100;

constexpr std::array<uint16_t, 256> makeReflectedTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
        table[i] = static_cast<uint16_t>(reg);
    }
    return table;
}

constexpr std::array<uint16_t, 256> reflectedTable = makeReflectedTable();

void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

size_t fieldsBytes(uint32_t flags) {
    return 8 + ((flags & kXingFlagFrames) ? 4 : 0) + ((flags & kXingFlagBytes) ? 4 : 0) +
           ((flags & kXingFlagToc) ? kTocBytes : 0) + ((flags & kXingFlagQuality) ? 4 : 0);
}

}  // namespace

uint16_t lameCrc(const uint8_t* bytes, size_t count, uint16_t crc) {
    for (size_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ reflectedTable[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

XingTag parseXingTag(const uint8_t* frame, size_t frameBytes) {
    XingTag tag;
    const uint32_t header = loadBe32(frame);
    const size_t at = 4 + static_cast<size_t>(sideInfoBytes(header));
    if (at + 8 > frameBytes) return tag;
    const bool xing = std::memcmp(frame + at, "Xing", 4) == 0;
    const bool info = std::memcmp(frame + at, "Info", 4) == 0;
    if (!xing && !info) return tag;
    tag.flags = loadBe32(frame + at + 4);
    if (at + fieldsBytes(tag.flags) > frameBytes) return tag;
    tag.present = true;
    tag.isInfo = info;
    tag.tagOffset = at;
    size_t p = at + 8;
    if (tag.flags & kXingFlagFrames) tag.frames = loadBe32(frame + p), p += 4;
    if (tag.flags & kXingFlagBytes) tag.bytes = loadBe32(frame + p), p += 4;
    if (tag.flags & kXingFlagToc) std::memcpy(tag.toc.data(), frame + p, kTocBytes), p += kTocBytes;
    if (tag.flags & kXingFlagQuality) tag.quality = loadBe32(frame + p), p += 4;
    const uint8_t first = p < frameBytes ? frame[p] : 0;
    if (p + kLameExtensionBytes <= frameBytes &&
        ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))) {
        tag.hasLame = true;
        tag.lameOffset = p;
        std::memcpy(tag.lame.data(), frame + p, kLameExtensionBytes);
        const uint8_t* d = tag.lame.data() + kLameDelayPadding;
        tag.encoderDelay = d[0] << 4 | d[1] >> 4;
        tag.encoderPadding = (d[1] & 0x0F) << 8 | d[2];
    }
    return tag;
}

size_t xingTagEnd(const XingTag& tag) {
    return tag.tagOffset + fieldsBytes(tag.flags) + (tag.hasLame ? kLameExtensionBytes : 0);
}

bool writeXingTag(uint8_t* frame, size_t frameBytes, const XingTag& tag, uint32_t musicBytes,
                  uint16_t musicCrc) {
    if (xingTagEnd(tag) > frameBytes) return false;
    uint8_t* p = frame + tag.tagOffset;
    std::memcpy(p, tag.isInfo ? "Info" : "Xing", 4);
    storeBe32(p + 4, tag.flags);
    p += 8;
    if (tag.flags & kXingFlagFrames) storeBe32(p, tag.frames), p += 4;
    if (tag.flags & kXingFlagBytes) storeBe32(p, tag.bytes), p += 4;
    if (tag.flags & kXingFlagToc) std::memcpy(p, tag.toc.data(), kTocBytes), p += kTocBytes;
    if (tag.flags & kXingFlagQuality) storeBe32(p, tag.quality), p += 4;
    if (!tag.hasLame) return true;
    std::memcpy(p, tag.lame.data(), kLameExtensionBytes);
    storeBe32(p + kLameMusicLength, musicBytes);
    p[kLameMusicCrc] = static_cast<uint8_t>(musicCrc >> 8);
    p[kLameMusicCrc + 1] = static_cast<uint8_t>(musicCrc);
    const size_t covered = static_cast<size_t>(p - frame) + kLameTagCrc;
    const uint16_t tagCrc = lameCrc(frame, covered);
    p[kLameTagCrc] = static_cast<uint8_t>(tagCrc >> 8);
    p[kLameTagCrc + 1] = static_cast<uint8_t>(tagCrc);
    return true;
}

}  // namespace l3
