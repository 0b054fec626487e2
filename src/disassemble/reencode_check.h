#pragma once
// The per-frame proof that decoded values stand for their bits: the assembler's own main
// data writer codes the record into a scratch bit store, and the result must equal the
// frame's main data bit for bit. Any asymmetry between reader and writer shows up here,
// frame by frame, and the frame is then carried raw instead.

#include <cstdint>

#include "l3/frame_record.h"

namespace l3 {

struct MainDataState;

// Codes record's main data with the assembler's writers into state's bit store and
// compares the mainBits bits with stream from bit mainStart on. state's record and store
// are overwritten.
bool reencodesExactly(MainDataState& state, const FrameRecord& record, const uint8_t* stream,
                      int64_t mainStart, int64_t mainBits);

}  // namespace l3
