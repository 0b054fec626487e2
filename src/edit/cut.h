#pragma once
// Lossless cuts of a stream at any sample: a piece holds the frames that the samples of
// its range depend on and a LAME extension whose encoder delay and padding hide the rest,
// so that a gapless decoder plays exactly the input's samples of that range (see
// splice.h for how the frames are laid out).
//
// The timeline is what a gapless player plays of the input: raw decoder output less the
// encoder delay and the padding of its LAME extension. A stream without one has delay 0
// and padding 0, and its timeline still starts after the decoder's own 529 samples, as it
// does for every piece written here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edit/splice.h"
#include "edit/time_point.h"

namespace l3 {

// Exit codes of `l3 cut` and `l3 split` beyond those of every edit: the range is empty or
// outside the stream, or no piece can start at a point (see cutStream).
inline constexpr int kCutRange = 5;

struct Timeline {
    int samplesPerFrame = 0;
    int rate = 0;       // Hz
    bool lame = false;  // the delay and padding come from a LAME extension
    int delay = 0;
    int padding = 0;
    int64_t frames = 0;
    int64_t length = 0;  // samples a gapless decoder plays
};

Timeline timelineOf(const SourceStream& src);

struct CutPiece {
    int64_t from = 0, to = 0;  // samples of the input's timeline, to exclusive
    std::vector<uint8_t> output;
    size_t frames = 0;  // audio frames of the piece
};

struct CutResult {
    int status = kEditOk;
    std::string message;
    std::vector<std::string> notes;  // what was dropped from the input (junk, a cut frame)
    std::vector<CutPiece> pieces;
    int rate = 0;  // of the input, Hz
};

// The piece from..to of the input (to past the end: up to the end). Silent filler frames
// before its first frame give main data that reached far back reservoir room; a piece that
// still does not fit is refused with kCutRange.
CutResult cutStream(const uint8_t* input, size_t size, const TimePoint& from, const TimePoint* to);

// Consecutive pieces: from the start to the first point, between points, and from the last
// point to the end. Points must rise strictly and lie inside the timeline. With every set,
// points are every, 2 every, ... before the end.
CutResult splitStream(const uint8_t* input, size_t size, const std::vector<TimePoint>& points,
                      const TimePoint* every);

}  // namespace l3
