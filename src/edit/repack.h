#pragma once
// Lossless repacking: every frame keeps its header fields other than the bit rate, the
// padding bit and (when asked) the CRC bit, its side information other than
// main_data_begin, and its main data bit for bit; the frames get the smallest sizes and
// main_data_begin values the format allows (see layout_plan.h). A decoder plays exactly
// what it played before. A Xing/Info frame with its LAME extension is kept up to date (frame
// count, byte count, TOC, music length and both CRCs; encoder delay and padding as they
// were): Xing for a VBR result, Info for a CBR one. A stream without one gets none, since a
// decoder that finds one trims the start of the stream as for a gapless stream. ID3v2, ID3v1, APEv2
// and Lyrics3 tags stay; junk before the first frame or after the last is dropped and reported;
// junk between frames and a last frame cut short are refused unless salvaging.
// The first frames of a stream cut out of a longer one, whose main data lies before it, are
// kept byte for byte with the frames that depend on them, and reported (see KeptStart).
//
// Works in memory. The result is read back and compared with the input frame by frame
// before it is handed out; nothing is half done.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "l3/status.h"
#include "edit/frame_head.h"
#include "edit/source_stream.h"

namespace l3 {

struct RepackOptions {
    int minBitrate = 0;  // kbit/s; 0: no floor
    int cbrBitrate = 0;  // kbit/s; 0: any rate per frame; -1: the smallest single rate
    CrcChoice crc = CrcChoice::keep;
    // Also re-choose each granule's coding for the fewest bits with the same decoded values
    // (see granule_coder.h); the result is then checked by decoding it.
    bool huffman = false;
    // Threads that may decode (and recode) frames at once; the layout itself is one.
    int threads = 1;
    // Damage (see Damage in source_stream.h): refused, or repaired where salvaging: a frame
    // that does not decode becomes a silent frame of its duration, junk between frames and a
    // cut last frame are dropped, each repair a note.
    bool salvage = false;
    // A stream without a Xing/Info or VBRI frame, all of whose frames share one bit rate,
    // stays at one (the smallest that fits) unless this is set: it cannot be given a VBR
    // header without changing what some decoder plays, and a VBR stream without one seeks
    // badly (mp3val warns).
    bool vbrWithoutHeader = false;
};

struct RepackResult {
    Status status = Status::ok;
    std::string message;             // why it failed
    std::vector<std::string> notes;  // what was dropped (junk, a cut last frame)
    SpillBytes output;
    size_t frames = 0;  // audio frames
    bool vbr = false;   // the result's frames have more than one bit rate
};

RepackResult repackStream(const uint8_t* input, size_t size, const RepackOptions& options,
                          const FrameEdits* edits = nullptr);

}  // namespace l3
