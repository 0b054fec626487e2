#pragma once
// Builders of Layer III streams with the codings real decoders read differently (or that
// only look odd): window-switching granules with other tables on either side of region 1's
// start, long-block region boundaries, count1 quadruples and big-value pairs cut by
// part2_3_length, bits after line 576, channel modes that switch. Each builder returns the
// odd stream together with its plain twin: the same values coded so that the rule in
// question does not matter, so that a decoder that plays the two alike reads the odd coding
// the way our writer means it.
//
// What mpg123, ffmpeg and madplay were found to do with each case is written down beside
// the experiments that showed it; tests/e2e/crafted_streams_test.cpp holds the decoders to
// it.
//
// Every stream is complete (CBR, no CRC, no tags, main_data_begin 0 in every frame, so each
// frame's main data lies in its own bytes followed by zero fill), made from FrameRecords
// through l3::assembleRecords, and deterministic from the seed. Values are random but
// moderate (big values |v| <= 7, count1 values -1..1), global_gain 165, single channel
// unless said otherwise. Builders throw std::invalid_argument for a rate or parameter they
// do not support and std::runtime_error when the assembler refuses their records.

#include <cstdint>
#include <vector>

#include "l3/frame_record.h"

namespace l3test::crafted {

inline constexpr int kFrames = 30;

// A place in the odd stream where the odd coding lies: a granule and channel, the first
// line of the item concerned, and where that item's bits start in the granule (counted
// from the granule's first main-data bit) with its code-word length and its whole length
// (code word, escape and sign bits).
struct Spot {
    int frame = 0;
    int granule = 0;
    int channel = 0;
    int line = 0;
    int32_t bit = 0;
    int codeBits = 0;
    int totalBits = 0;
};

struct CraftedStreams {
    std::vector<uint8_t> odd;              // the stream with the odd coding
    std::vector<uint8_t> plain;            // the same values, coded plainly
    std::vector<l3::FrameRecord> records;  // the odd stream's records (its side information
                                           // and the values its granules code)
    std::vector<Spot> spots;
    int samplesPerFrame = 0;  // 1152 (MPEG-1) or 576
};

// The header word of a frame at sampleRate (one of the nine Layer III rates), mode as in
// the header's mode field (3 single channel), at the largest bit rate with main data to
// spare (MPEG-1 320, MPEG-2/2.5 160 kbit/s), or at bitrateIndex when given.
uint32_t headerFor(int sampleRate, uint32_t mode = 3, uint32_t bitrateIndex = 14);

// 1. Every granule window-switching of `kind`, table 15 in region 0 and table 13 in region
// 1, values on lines 0..399 (big values) and 400..479 (count1). Plain: table 15 in both
// regions. Spots: every granule, at the line where our writer starts region 1.
enum class SwitchingKind { kStart, kShort, kMixed, kStop };
CraftedStreams switchingBoundary(int sampleRate, SwitchingKind kind, uint32_t seed);

// 2. Long blocks whose region 2 starts at long band edge `edge` (2..21: the first line of
// band `edge`), table 15 before and 13 after; big values reach two bands past the edge.
// Plain: table 15 throughout. Spots: every granule, at the edge's line.
CraftedStreams longBoundary(int sampleRate, int edge, uint32_t seed);

// 3. In every granule part2_3_length cuts the first count1 quadruple at or after line 300
// that has at least two nonzero values: inside its code word, after its code word with at
// least one sign bit on either side of the end, or exactly at its end. Count1 values on
// lines 200..(the quadruple); nothing after it. Plain: the quadruple's lines zero (as
// kExact: kept). Spots: the quadruple of every granule.
enum class Cut { kCodeWord, kSignBit, kExact };
CraftedStreams count1Overrun(int sampleRate, Cut cut, uint32_t seed);

// 4. part2_3_length ends inside a big-value pair, the first at or after line 150 (for
// kSignBit the first with two nonzero values: the end falls between its two sign bits), or
// exactly after it with pairs left, in the last granule of frames 10 and 20 only. What
// follows in the stream is the frame's zero fill. Plain: the cut pair as read on through
// zero bits (for kExact: as coded), every later line zero. Spots: the cut pairs.
CraftedStreams bigValueOverrun(int sampleRate, Cut cut, uint32_t seed);

// 5. Count1 values up to line 575, then 8..30 more bits inside part2_3_length in every
// granule: random bits (never all ones), or the code of one more nonzero quadruple (lines
// 576..579) followed by random bits. Plain: the same values without the extra bits. Spots:
// every granule, at line 576 and the first extra bit (totalBits: how many).
enum class Stuffing { kRandomBits, kExtraQuadruple };
CraftedStreams stuffingAfterLine576(int sampleRate, Stuffing kind, uint32_t seed);

// 6. Runs of `run` frames alternately single channel and stereo (two channels with their
// own values), starting with either. Plain: every frame stereo, the single-channel frames
// coded with the same values in both channels. Spots: the first frame of every run but
// the first.
CraftedStreams modeSwitching(int sampleRate, int run, bool startMono, uint32_t seed);

// 7. Side information the format forbids, in the last granule of frames 10 and 20 only
// (the assembler refuses to write it, so the field is changed in the written stream):
// scalefac_compress naming more scalefactor bits than part2_3_length (40) holds, big values
// 0 (plain: the granule silent); big_values 300 with 576 lines coded (plain: big_values
// 288); region 0 naming table 4 or 14 and coding no bits (plain: table 0). Spots: those
// granules (line 0).
enum class Invalid { kScalefactorsPastEnd, kBigValuesAbove288, kTable4, kTable14 };
CraftedStreams invalidSideInfo(int sampleRate, Invalid what, uint32_t seed);

}  // namespace l3test::crafted
