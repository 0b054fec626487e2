#pragma once
// Main data read back into record values: the scalefactors and the Huffman-coded spectrum
// of every granule and channel, the exact mirror of the assembler's main data writers, so
// that coding the values again gives the same bits.

#include <cstdint>

#include "format/frame_record.h"

namespace l3 {

// Reads the main data of record (side information already filled in) from the main-data
// stream, starting at bit mainStart; each granule and channel takes its part2_3_length
// bits and reads zeros past its end. Returns null on success, else why the values cannot
// stand for these bits.
//
// When overrun is given, it is set when some granule's last item (a scalefactor or a code
// word) reached past the granule's end, reading zeros there. Otherwise every item was read
// whole within its granule, and the values code back to exactly these bits: every code is
// a prefix code the writer uses the same way, item for item, until the same budget is spent.
const char* readMainData(const uint8_t* stream, int64_t mainStart, FrameRecord& record,
                         bool* overrun = nullptr);

}  // namespace l3
