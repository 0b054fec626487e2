#pragma once
// The head of a frame (header, CRC field, side information) read back into the record
// fields that the assembler writes it from.

#include <cstdint>

#include "l3/frame_record.h"

namespace l3 {

// Sets the header word and every side-information field of record from the frame's
// bytes (at least headByteCount(header) of them); all other fields are zeroed. The fields
// a window-switching granule leaves implicit get the values the assembler gives them, and
// rawPart2_3Length equals part2_3_length.
void readSideInfo(const uint8_t* frame, FrameRecord& record);

// main_data_begin and the length in bits of the frame's main data (its part2_3_length
// values added up), read without filling a record.
struct MainDataExtent {
    int32_t mainDataBegin;
    int32_t bits;
};
MainDataExtent readMainDataExtent(const uint8_t* frame);

// True when the frame has no CRC, or when its stored CRC equals the one the assembler
// computes over the last two header bytes and the side information.
bool crcMatches(const uint8_t* frame, uint32_t header);

}  // namespace l3
