#pragma once
// l3disassemble's core: a Layer III file turned into a record file and an ancillary file
// from which l3assemble rebuilds the file's frames and trailing bytes byte for byte.
//
// The model. The main-data stream S is every frame's area (its bytes after header, CRC
// and side information) one after another; positions are bit offsets into S. The
// assembler ORs everything into zeroed memory: frame k's main data at mainStart_k =
// frameStart_k - 8 * main_data_begin (the first frame's at its own frameStart), and
// before it the record's ancillary bits, ending at the record's anchor (mainStart_k, or
// frameStart_k for a raw frame, which codes no main data). Frames are planned in order;
// coveredEnd is the end of what earlier records already reproduce. A record's ancillary
// bits carry the gap [coveredEnd, anchor) from its first 1 bit on (the zeros before it
// are already zero). Main data may overlap what earlier records placed, since those are
// the stream's own bits and OR leaves them as they are. A frame is raw when its main data
// cannot be coded from values: it reaches before the stream or past its own area, the
// clearing after its last granule would erase placed bits, it does not decode, or it does
// not code back to the same bits. The tail after the last record's main data goes
// into a closing raw record whose frame the output byte limit cuts off.
//
// Planning needs no look-ahead in S: a frame's main data lies between 511 bytes before
// its area and its area's end, so a frame is planned as soon as the scanner confirms it,
// and only the last 64 KiB of S are kept. A 1 bit beyond coveredEnd that leaves with the
// front of S is remembered; it can only make a gap too long to carry, which is refused
// with its exact length.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "l3/disassemble.h"

namespace l3 {

// The closing record's header: MPEG-1 Layer III, 320 kbit/s, 32 kHz, padded, one channel,
// no CRC: a 1441-byte frame with a 1420-byte area, long enough that the second placement
// of its ancillary bits stays inside it.
inline constexpr uint32_t kClosingHeader = 0xFFFBEAC0;
// The record file head counts frames and output bytes in 32 bits: the frame bytes of an
// input may not exceed this.
inline constexpr uint64_t kMaxCarriedFrameBytes = 0xFFFFFFFF;
// Bytes the reader holds while it cannot yet tell whether they are junk or trailing bytes
// (after the last frame of the stream), or while a leading tag claims more than arrived.
inline constexpr size_t kMaxPendingBytes = size_t{40} << 20;


}  // namespace l3
