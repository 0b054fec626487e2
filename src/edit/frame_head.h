#pragma once
// Writing a frame's head anew: a header at another size (bit rate and padding bit) and CRC
// choice, with the side information copied and a new main_data_begin (putHead), or written
// from side information held apart from the values by the frame writer's own head writer
// (writeFrameHead: the one writer of heads, shared by repack, the value writer of
// value_stream.h, cut and join).

#include <cstdint>
#include <span>
#include <vector>

#include "l3/edit.h"
#include "edit/layout_plan.h"
#include "framewriter/frame_ring.h"
#include "l3/record.h"

namespace l3 {

struct FrameWriterState;

constexpr uint32_t kBitrateMask = 0xF000;
constexpr uint32_t kPaddingMask = 0x0200;
constexpr uint32_t kProtectionMask = 0x10000;  // set: no CRC
// The header bits a new layout may change.
constexpr uint32_t kLayoutHeaderBits = kBitrateMask | kPaddingMask | kProtectionMask;

uint32_t withSize(uint32_t header, const FrameSize& size, CrcChoice crc);

// The frame sizes of frames with this header: every bit rate of at least minBitrate kbit/s
// (or only bitrate kbit/s when it is above 0), each with and without the padding bit.
std::vector<FrameSize> allowedSizes(uint32_t header, int minBitrate, int bitrate);

// A size larger than sizes[s] for the last frame of a result: the same rate with the
// padding bit, else the next rate up (without it); s itself when sizes has none.
size_t largerLastSize(const std::vector<FrameSize>& sizes, size_t s);

// When a reader would take bytes of a result's frames, which end at musicEnd, for a tag at
// its end (main data that holds "TAG" 128 bytes before the end), the result would lose its
// last frames to any player: the plan's last frame (lastSize, an index into sizes) is made
// one size larger, which moves those bytes away from the end. True when it was, and the
// result must be built again.
bool enlargeLastFrameForTags(std::span<const uint8_t> out, size_t musicEnd,
                             const std::vector<FrameSize>& sizes, uint8_t& lastSize);

// True when a reader would take bytes of the result's frames, which end at musicEnd, for a
// tag at its end. A result whose last frame cannot be made larger (it is kept as it is, or
// at the largest size already) is refused with kEndReadsAsTagMessage.
bool endReadsAsTag(std::span<const uint8_t> out, size_t musicEnd);
extern const char* const kEndReadsAsTagMessage;

// True when the frame at first in out (the first audio frame of a result written without a
// tag frame) spells a Xing, Info or VBRI header where decoders look for one: they would take
// it for a VBR header and not play it.
bool startReadsAsTag(std::span<const uint8_t> out, size_t first);

// Appends a head of header, its CRC (recomputed) and the side information sideBytes (as
// many as the header has) with main_data_begin set.
void putHead(SpillBytes& out, uint32_t header, const uint8_t* sideBytes,
             int32_t mainDataBegin);

// Appends the head of sourceFrame (header bytes, CRC, side information) with header in
// place of its own and main_data_begin set; the CRC is recomputed.
void putHead(SpillBytes& out, const uint8_t* sourceFrame, uint32_t header,
             int32_t mainDataBegin);

// What a frame's head is written from, without the values (a record is 5.6 KB).
struct SideInformation {
    uint32_t header;
    int32_t private_bits;
    int32_t scfsi[2][4];
    GranuleChannelInfo granuleInfo[2][2];
};

SideInformation sideInformationOf(const FrameRecord& record);

// Writes the head of a frame with this header and main_data_begin into out and returns its
// byte count (headByteCount(header)). writer is scratch, its store and ring initialised
// (initBitStore, initFrameRing); the call changes it.
int32_t writeFrameHead(FrameWriterState& writer, const SideInformation& side, uint32_t header,
                       int32_t mainDataBegin, uint8_t (&out)[kMaxHeadBytes]);

}  // namespace l3
