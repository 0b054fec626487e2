#pragma once
// The Xing/Info frame (or Fraunhofer's VBRI frame) that may lead a stream: an ordinary
// frame with zero side information whose main-data area describes the stream, and the
// LAME extension after a Xing/Info tag. All numbers in these tags are big-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace l3 {

enum class XingKind { none, xing, info, vbri };

const char* xingKindName(XingKind kind);

// Samples a decoder's output lags its input: the synthesis filter's delay. A gapless
// decoder starts at raw sample encoder delay + this.
inline constexpr int kDecoderDelay = 529;

struct LameExtension {
    bool present = false;
    char encoder[10] = {};  // nine bytes, printable, NUL-terminated
    int revision = 0;
    int vbrMethod = 0;  // 1 CBR, 2 ABR, 3-5 VBR, 8 CBR two-pass, 9 ABR two-pass
    int lowpassHz = 0;
    float peak = 0;          // peak amplitude, 1.0 is full scale
    uint16_t radioGain = 0;  // ReplayGain fields as stored: name, originator, sign, value
    uint16_t audiophileGain = 0;
    int encodingFlags = 0;
    int athType = 0;
    int bitrate = 0;  // kbit/s: the ABR target or the VBR minimum
    int delay = 0;    // samples
    int padding = 0;  // samples
    int misc = 0;
    int mp3Gain = 0;  // signed, in 1.5 dB steps
    int presetSurround = 0;
    uint32_t musicLength = 0;
    uint16_t musicCrc = 0;               // as stored
    uint16_t tagCrc = 0;                 // as stored
    uint16_t computedTagCrc = 0;         // over the frame's first bytes up to the field
    size_t tagCrcCovered = 0;            // bytes the tag CRC covers
    std::array<uint8_t, 36> bytes = {};  // the extension as stored, for writing it again
};

// The encoder field of a LAME extension this toolkit writes for a stream that had none. It
// starts with "LAME" because ffmpeg honours a LAME extension's delay and padding only after
// "LAME", "Lavf" or "Lavc" (mpg123 after anything), and its version digits are those of the
// LAME release whose layout the extension has, for players that trust the gapless fields only
// from some version on. Such an extension has every other field zero (no VBR method, no
// lowpass), which no encoder writes: isOwnLameExtension tells it apart.
inline constexpr char kOwnLameEncoder[10] = "LAME3.100";
// The encoder field this toolkit wrote before (ffmpeg ignores it); still read as a LAME
// extension of our own.
inline constexpr char kOldOwnLameEncoder[10] = "L3edit   ";

// The frame a VBRI tag describes a stream from: its own frame counts among the frames and
// bytes (as mp3val checks them), and its table of contents gives the bytes of each run of
// framesPerEntry audio frames, divided by scale.
struct VbriTable {
    int entries = 0;
    int scale = 1;
    int entryBytes = 0;  // 1 to 4
    int framesPerEntry = 0;
};

struct XingTag {
    XingKind kind = XingKind::none;
    size_t tagOffset = 0;  // of the magic, from the frame's first byte
    bool hasFrames = false, hasBytes = false, hasToc = false, hasQuality = false;
    uint32_t frames = 0;  // audio frames, the tag's own frame not counted
    uint32_t bytes = 0;   // from the tag's frame to the end of the last frame
    std::array<uint8_t, 100> toc = {};
    uint32_t quality = 0;
    int vbriVersion = 0;  // VBRI only
    int vbriDelay = 0;
    VbriTable vbriToc;  // hasToc: it is in the frame and readable
    LameExtension lame;
};

// A LAME extension written by this toolkit for a stream that had none (see kOwnLameEncoder).
bool isOwnLameExtension(const LameExtension& lame);

// The tag in a frame of frameLength bytes starting at frame, or kind none. Reads only
// inside the frame.
XingTag readXingTag(const uint8_t* frame, size_t frameLength);

// CRC-16 with polynomial 0x8005, bits reflected, initial value crc (0 to start), no final
// inversion: the CRC both LAME extension fields use. Not the frame CRC.
uint16_t lameCrc(const uint8_t* bytes, size_t count, uint16_t crc = 0);

// Writes tag (Xing or Info, with the fields its has* flags name, in the order of the format)
// into the frame at tag.tagOffset and, when tag.lame.present, the LAME extension after the
// fields: its stored bytes with the music length and music CRC replaced by musicBytes and
// musicCrc and the tag CRC computed over the frame's bytes before it, which must be final.
// Returns false when the frame is too short for it.
bool writeXingTag(uint8_t* frame, size_t frameLength, const XingTag& tag, uint32_t musicBytes,
                  uint16_t musicCrc);

// The bytes of a frame, from its first, that writeXingTag needs for tag.
size_t xingTagEnd(const XingTag& tag);

// Brings the VBRI tag of frame (frameLength bytes, a copy of the frame readXingTag read tag from)
// up to date: its frame count (its own frame included), byte count and table of contents, for audio
// frames of frameBytes[k] bytes each after it. The entry count and width, the version, the
// delay and every other field stay; the frames per entry stay where they still cover every
// frame (else the fewest that do), and the scale grows where an entry would not fit its
// width. Returns false when the tag has no readable table (the counts are then written
// alone).
bool writeVbriTag(uint8_t* frame, size_t frameLength, const XingTag& tag,
                  const std::vector<uint32_t>& frameBytes);

// A ReplayGain field in dB (tenths from the low 9 bits, bit 9 the sign); present when the
// name code (top 3 bits) is not zero.
inline bool replayGainPresent(uint16_t field) {
    return (field >> 13) != 0;
}
inline double replayGainDb(uint16_t field) {
    const double tenths = field & 0x1FF;
    return (field & 0x200 ? -tenths : tenths) / 10.0;
}

}  // namespace l3
