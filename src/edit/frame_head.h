#pragma once
// A frame's head (header, CRC and side information) written from side information held
// apart from the values, by the frame writer's own head writer: the one writer of heads,
// shared by repack and by the value writer (value_stream.h).

#include <cstdint>

#include "framewriter/frame_ring.h"
#include "l3/record.h"

namespace l3 {

struct FrameWriterState;

// What a frame's head is written from, without the values (a record is 5.6 KB).
struct SideInformation {
    uint32_t header;
    int32_t private_bits;
    int32_t scfsi[2][4];
    GranuleChannelInfo granuleInfo[2][2];
};

SideInformation sideInformationOf(const FrameRecord& record);

// Writes the head of a frame with this header and main_data_begin into out and returns its
// byte count (headByteCount(header)). writer is scratch, its
// store and ring initialised (initBitStore, initFrameRing); the call changes it.
int32_t writeFrameHead(FrameWriterState& writer, const SideInformation& side, uint32_t header,
                       int32_t mainDataBegin, uint8_t (&out)[kMaxHeadBytes]);

}  // namespace l3
