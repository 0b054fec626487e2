#pragma once
// The Xing/Info tag that a stream's first frame may carry instead of audio, and its LAME
// extension. The frame is an ordinary frame of the stream whose side information is zero;
// the tag starts at 4 + side-information length (whether or not the frame has a CRC) with
// "Xing" (a VBR stream) or "Info" (CBR), a flags word (1 frames, 2 bytes, 4 TOC,
// 8 quality) and the fields the flags name, in that order; numbers are big-endian. The
// LAME extension (36 bytes) follows: encoder string, delays, ReplayGain, the music
// length and two CRC-16s (polynomial 0x8005 reflected, initial 0, no final XOR): the music
// CRC over the audio frames, the tag CRC over the frame's bytes up to the CRC field.

#include <array>
#include <cstddef>
#include <cstdint>

namespace l3 {

inline constexpr int kXingFlagFrames = 1;
inline constexpr int kXingFlagBytes = 2;
inline constexpr int kXingFlagToc = 4;
inline constexpr int kXingFlagQuality = 8;
inline constexpr size_t kLameExtensionBytes = 36;
// Offsets inside the LAME extension.
inline constexpr size_t kLameDelayPadding = 21;
inline constexpr size_t kLameMusicLength = 28;
inline constexpr size_t kLameMusicCrc = 32;
inline constexpr size_t kLameTagCrc = 34;

struct XingTag {
    bool present = false;
    bool isInfo = false;    // "Info": a CBR stream; "Xing": VBR
    size_t tagOffset = 0;   // of "Xing"/"Info" from the frame's first byte
    uint32_t flags = 0;
    uint32_t frames = 0;    // audio frames, the tag's frame not counted
    uint32_t bytes = 0;     // from the tag frame's first byte to the end of the last frame
    std::array<uint8_t, 100> toc{};
    uint32_t quality = 0;
    bool hasLame = false;   // an extension whose encoder string starts with a letter
    size_t lameOffset = 0;  // of the extension from the frame's first byte
    std::array<uint8_t, kLameExtensionBytes> lame{};
    int encoderDelay = 0;   // samples, from the extension
    int encoderPadding = 0;
};

// The tag in the frame at frame (frameBytes long, header already known to be Layer III);
// present is false when the frame is an audio frame.
XingTag parseXingTag(const uint8_t* frame, size_t frameBytes);

// CRC-16 of the LAME extension's two CRC fields.
uint16_t lameCrc(const uint8_t* bytes, size_t count, uint16_t crc = 0);

// Writes tag into the frame's bytes at tag.tagOffset (the flags say which fields), with the
// LAME extension after them when tag.hasLame, its music length and music CRC set from
// musicBytes and musicCrc, and its tag CRC computed last. Returns false when the frame is
// too short for what the tag holds.
bool writeXingTag(uint8_t* frame, size_t frameBytes, const XingTag& tag, uint32_t musicBytes,
                  uint16_t musicCrc);

// Bytes from the frame's first byte that the tag and its extension need.
size_t xingTagEnd(const XingTag& tag);

}  // namespace l3
