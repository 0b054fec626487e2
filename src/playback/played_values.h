#pragma once
// What real decoders play for a frame's coded values, where that differs from the coding
// rules the assembler writes by. Record files and the assembler keep their coding-level
// meaning (a record's region counts place region 1 of every granule); an edit, `l3 check`
// and the Python module read values through this model instead, so that "the same values"
// means "the same samples in every decoder":
//
// - A count1 quadruple whose code word runs past part2_3_length is dropped by decoders: its
//   lines play as zero. One whose code word ends within but a sign bit does not is dropped
//   by ffmpeg and madplay; mpg123 keeps the values whose sign bit lies within.
// - Bits after line 576 within part2_3_length are skipped.
// - Region 1 of a window-switching granule starts where decoders start it (see
//   switchingRegions); a long-block region boundary lies at the decoders' band edge.
//
// - Big values that part2_3_length cuts off (it ends inside a pair, or before the last
//   pair), and scalefactors that need more bits than it gives, do not decode: mpg123
//   silences the frame, madplay drops it (or plays the pairs left as zero), ffmpeg reads a
//   cut pair on into the bits that follow.
//
// Where decoders disagree about a granule's coding (a boundary they place differently, with
// another code table on either side; the sign bits of a last quadruple cut off), the values
// are read one way and the granule is marked: its bits must be kept as they are, and no
// edit may produce such a coding.
//
// Pure functions over caller-owned records; safe on any number of threads.

#include <cstdint>

#include "disassemble/main_data_reader.h"
#include "l3/frame_record.h"
#include "format/region_lines.h"  // switchingRegions, regionEdgeLines

namespace l3 {

// Why a granule's coding is not what a writer makes of its values (bits of a PlayedNote).
enum PlayedNote : uint8_t {
    kQuadDropped = 1,        // its last count1 quadruple runs past part2_3_length
    kQuadSignsCut = 2,       // with kQuadDropped: only its sign bits run past the end,
                             // and mpg123 keeps the values whose sign lies within
    kBoundaryDisputed = 4,   // decoders place a region boundary differently, tables differ
    kStuffing = 8,           // bits after line 576 within part2_3_length, skipped
};

// Notes that oblige an edit to keep the granule's bits as they are: decoders read them
// differently, or only the bits themselves say what they play.
inline constexpr uint8_t kKeepBits = kQuadDropped | kQuadSignsCut | kBoundaryDisputed;

// Notes that say decoders play the granule differently from each other.
inline constexpr uint8_t kDecodersDiffer = kBoundaryDisputed | kQuadSignsCut;

struct PlayedFrame {
    uint8_t notes[2][2] = {};          // PlayedNote bits, [granule][channel]
    int16_t droppedLine[2][2] = {};    // with kQuadDropped: the quadruple's first line
    int16_t dropped[2][2][4] = {};     // with kQuadDropped: its values as coded
    uint8_t any = 0;                   // every note of the frame
};

// Sets the region counts of rec's window-switching granules to switchingRegions'
// region0_count (the side information does not send them).
void setPlayedRegions(FrameRecord& rec);

// True when decoders could read granule (gr, ch) of rec's side information with a region
// boundary at other lines, with other code tables on either side, inside its big values.
bool boundaryDisputed(const FrameRecord& rec, int gr, int ch);

// Reads rec's main data (its side information read, setPlayedRegions applied) from the
// main-data stream at bit mainStart, as decoders play it, noting in played where that
// differs from the coding. Returns no problem on success, else why it does not decode (a
// granule cut short by its part2_3_length is a coding fault).
MainDataProblem readPlayedValues(const uint8_t* stream, int64_t mainStart, FrameRecord& rec,
                                 PlayedFrame& played);

// Puts back into rec the values decoders drop (rec as readPlayedValues left it): the values
// from which a writer, with rec's side information, codes the granules' bits again.
void restoreCodedValues(FrameRecord& rec, const PlayedFrame& played);

// A short description of a granule's notes, for messages ("its last count1 quadruple runs
// past part2_3_length").
const char* playedNoteText(uint8_t notes);

}  // namespace l3
