#pragma once
// Lossless cuts of a stream at any sample: a piece holds the frames that the samples of
// its range depend on and a LAME extension whose encoder delay and padding hide the rest,
// so that a gapless decoder plays exactly the input's samples of that range (see
// splice.h for how the frames are laid out).
//
// The timeline counts the samples every decoder plays of the input (mpg123, ffmpeg and
// madplay, checked), from the first:
// - with a LAME extension: the raw output after the encoder delay and the decoder's own 529
//   samples, less the padding at the end (madplay, which trims nothing, plays more);
// - without a Xing/Info or VBRI frame: the raw output from its first sample;
// - with a VBRI frame: the raw output of the audio frames (mpg123 and madplay decode the
//   VBRI frame first, as a frame of silence, which no piece holds; ffmpeg skips it);
// - with a Xing/Info frame without a LAME extension: the raw output from sample 529, where
//   mpg123 starts (ffmpeg and madplay play the 529 samples before as well; no piece holds
//   them).
// A piece plays in each decoder the samples of its range that the decoder plays of the
// input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edit/splice.h"
#include "l3/edit.h"

namespace l3 {

struct Timeline {
    int samplesPerFrame = 0;
    int rate = 0;  // Hz
    XingKind kind = XingKind::none;
    bool lame = false;  // the delay and padding come from a LAME extension
    int delay = 0;
    int padding = 0;
    int64_t frames = 0;
    int64_t rawStart = 0;  // the raw decoder output's sample where the timeline starts
    int64_t rawEnd = 0;    // and where it ends
    int64_t length = 0;    // samples of the timeline
    // Frames mpg123 decodes before the first audio frame (a VBRI frame), which its
    // synthesis counts (see cut.cpp).
    int framesBefore = 0;
    // Frames mpg123 plays as zeros without its synthesis (SourceDamage::mainDataCut), in
    // order: they do not count in the cycle either.
    std::vector<int64_t> unsynthesized;
};

// mpg123's synthesis rounds by a granule's index in the stream modulo this (see cut.cpp).
inline constexpr int64_t kCycleGranules = 4;

// Raw samples the decoder's output has after the timeline's end, and before its start.
inline int64_t tailJunk(const Timeline& t) {
    return t.frames * t.samplesPerFrame - t.rawEnd;
}
inline int64_t headJunk(const Timeline& t) {
    return t.rawStart;
}

Timeline timelineOf(const SourceStream& src);


}  // namespace l3
