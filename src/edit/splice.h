#pragma once
// A new stream made of frames of one or more read streams (see source_stream.h): the core
// of cut, split and join. Every frame keeps its header fields but the bit rate and padding
// bit, its side information but main_data_begin, and its main data bit for bit; the frames
// are laid out anew (layout_plan.h), so that the first frame's main data starts in the
// first frame, whatever it reached back into before. The result starts with a Xing/Info
// frame whose LAME extension carries the encoder delay and padding asked for: a gapless
// decoder plays frames x samples per frame - delay - padding samples, from raw sample
// delay + 529 (the decoder's own delay) on. Or, where nothing needs hiding, it is written
// as its source stream is, without a LAME extension (SpliceRequest::ownKind).
//
// A stream all of whose frames share one bit rate stays at that rate where its frames fit
// there (an Info frame), else every frame gets the smallest size its main data and the
// reservoir allow (a Xing frame).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edit/source_stream.h"
#include "l3/xing_tag.h"

namespace l3 {

// The Xing/LAME fields hold the encoder delay and padding in 12 bits each.
inline constexpr int kMaxGapless = 4095;
// Samples per granule; a decoded sample depends on its granule and the two before it.
inline constexpr int kGranuleSamples = 576;

struct SpliceFrame {
    const SourceStream* source;
    size_t frame;  // index into source->frames
};

struct SpliceRequest {
    // Silent frames before the first (zero side information, no main data) that give its
    // main data reservoir room and keep the decoder's cycle (see cut.cpp); their output
    // lies within the delay.
    int fillerFrames = 0;
    SpillVector<SpliceFrame> frames;  // at least one
    const SourceStream* tagsFrom;     // its tags before and after the frames are copied
    XingTag sourceTag;                // whose LAME extension is kept, if it has one
    int delay = 0;                    // encoder delay and padding, samples
    int padding = 0;
    // Written as a stream of sourceTag's kind without a LAME extension is: no tag frame, a
    // VBRI frame (tagsFrom's, brought up to date), or a Xing/Info frame; no filler frames.
    // Every decoder then plays it as it plays such a stream (delay and padding unused).
    bool ownKind = false;
};

struct EditResult {
    Status status = Status::ok;
    std::string message;             // why it failed
    std::vector<std::string> notes;  // what was dropped from the input
    SpillBytes output;
    bool endReadsAsTag = false;  // Status::cannotLay for kEndReadsAsTagMessage (frame_head.h)
};

// Status of a splice whose frames fit no layout: the first frame's main data needs more
// than the largest frame holds, and no filler frame gives it room; or the result's last
// frame ends in bytes that read as a tag and cannot be made larger (endReadsAsTag).

// The result; or Status::cannotLay; or Status::verify when reading the result back does not give
// the frames, delay and padding asked for (an internal fault).
EditResult spliceFrames(const SpliceRequest& request);

// True when src.frames[k] is a silent filler frame as spliceFrames writes them.
bool isFillerFrame(const SourceStream& src, size_t k);

}  // namespace l3
