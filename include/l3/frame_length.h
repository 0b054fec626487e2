#pragma once
// Frame length from the header: 144 * bitrate / sampling rate (72 * for MPEG-2 and
// MPEG-2.5) bytes, truncated, plus the padding bit.

#include <cstdint>

namespace l3 {

// Bit rates in bit/s by ID (0 LSF, 1 MPEG-1) and bitrate_index; 0 for free format and 15.
inline constexpr int32_t bitrateTable[2][16] = {
    {0, 8000, 16000, 24000, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 144000,
     160000, 0},
    {0, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000, 224000,
     256000, 320000, 0},
};

// Sampling rates in Hz by version code (header bits 20-19: 0 MPEG-2.5, 1 reserved,
// 2 MPEG-2, 3 MPEG-1) and sampling_frequency.
inline constexpr int32_t samplingRateTable[4][4] = {
    {11025, 12000, 8000, 0},
    {0, 0, 0, 0},
    {22050, 24000, 16000, 0},
    {44100, 48000, 32000, 0},
};

inline constexpr int32_t kMaxFrameBytes = 1441;  // MPEG-1, 320 kbit/s, 32 kHz, padded

// True when the header names a bit rate and a sampling rate, so that the frame has a length.
bool hasFrameLength(uint32_t header);

// Length in bytes of a frame with this header; hasFrameLength(header) must hold.
int32_t frameLength(uint32_t header);

// Size in bytes of the side information: 9/17 (LSF one/two channels), 17/32 (MPEG-1).
int32_t sideInfoBytes(uint32_t header);

// Header, CRC if any, and side information: 13..38 bytes.
int32_t headByteCount(uint32_t header);

}  // namespace l3
