#pragma once
// Main data read back into record values: the scalefactors and the Huffman-coded spectrum
// of every granule and channel, the exact mirror of the assembler's main data writers, so
// that coding the values again gives the same bits.

#include <cstdint>

#include "l3/frame_record.h"

namespace l3 {

// The kind of fault that stops main data from decoding: its side information asks for
// what no coding has (big_values above 288, a region coded with table 4 or 14), or its
// bits do not code values as the side information lays them out.
enum class MainDataFault : uint8_t { none, sideInfo, coding };

// Why main data does not decode: the kind, and the message (static text) that says it;
// kind none and no message when it decodes.
struct MainDataProblem {
    MainDataFault kind = MainDataFault::none;
    const char* why = nullptr;
    explicit operator bool() const { return kind != MainDataFault::none; }
};

// Reads the main data of record (side information already filled in) from the main-data
// stream, starting at bit mainStart; each granule and channel takes its part2_3_length
// bits and reads zeros past its end. Returns no problem on success, else why the values
// cannot stand for these bits.
//
// When overrun is given, it is set when some granule's last item (a scalefactor or a code
// word) reached past the granule's end, reading zeros there. Otherwise every item was read
// whole within its granule, and the values code back to exactly these bits: every code is
// a prefix code the writer uses the same way, item for item, until the same budget is spent.
//
// When ends is given, it says for each granule and channel how its bits ended (see
// GranuleEnd), and bits after line 576 that are not all 1 are noted there instead of
// failing: decoders skip them, though the writer cannot make them.
struct MainDataEnds {
    uint8_t end[2][2];        // GranuleEnd bits, [granule][channel]
    int16_t lastQuad[2][2];   // with kQuadPastEnd: the first line of the quadruple
};

enum GranuleEnd : uint8_t {
    kEndedWithin = 0,
    kScalefactorsPastEnd = 1,  // the scalefactors alone take more than part2_3_length
    kPairsPastEnd = 2,         // a big-value pair runs past part2_3_length
    kQuadPastEnd = 4,          // the last count1 quadruple (code or signs) runs past it
    kBitsAfterLastLine = 8,    // bits after line 576 that are not all 1
    kQuadSignsPastEnd = 16,    // with kQuadPastEnd: its code word ends within, a sign past
    kPairsLeft = 32,           // part2_3_length ends at a pair's end before the last pair
                               // of a region with a code table
};

MainDataProblem readMainData(const uint8_t* stream, int64_t mainStart, FrameRecord& record,
                             bool* overrun = nullptr, MainDataEnds* ends = nullptr);

}  // namespace l3
