#pragma once
// The Xing/Info frame an edit's result starts with: made at the smallest size that holds
// its tag, and completed once the audio frames are in place (frame count, byte count, TOC,
// and the LAME extension's music length and CRCs).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "edit/frame_head.h"
#include "format/xing_tag.h"

namespace l3 {

// The tag the result's first frame carries: source (a Xing/Info tag, its LAME extension
// above all) with every field present, or a new one without a LAME extension. Counts and
// TOC are filled in by finishTagFrame.
XingTag resultTag(const XingTag& source, uint32_t streamHeader, bool vbr);

// A LAME extension for a stream that had none, written by this program: the encoder delay
// and padding set and every other field empty.
LameExtension newLameExtension();

// Sets the encoder delay and padding (12 bits each) of a LAME extension.
void setGapless(LameExtension& lame, int delay, int padding);

// The tag frame, all zero after the header: the stream's header at the smallest rate whose
// frame holds the tag. Empty when none does.
std::vector<uint8_t> makeTagFrame(uint32_t streamHeader, const XingTag& tag, CrcChoice crc);

// Completes the tag frame at out[tagFrameAt] (tagFrameBytes long) for the audio frames that
// start at frameAt and end at musicEnd.
void finishTagFrame(std::vector<uint8_t>& out, size_t tagFrameAt, size_t tagFrameBytes,
                    XingTag& tag, const std::vector<size_t>& frameAt, size_t musicEnd);

}  // namespace l3
