#pragma once
// The Xing/Info or VBRI frame an edit's result starts with: a Xing/Info frame made at the
// smallest size that holds its tag, a VBRI frame copied from the input's; completed once the
// audio frames are in place (frame count, byte count, TOC, and the LAME extension's music
// length and CRCs).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "edit/frame_head.h"
#include "edit/source_stream.h"
#include "l3/xing_tag.h"

namespace l3 {

// The tag the result's first frame carries, of the source's kind: a VBRI tag as it is, or
// source as a Xing/Info tag (its LAME extension above all) with every field present, Xing
// for a VBR result and Info for a CBR one; a new Xing/Info tag without a LAME extension
// where source is none. Counts and TOC are filled in by finishTagFrame.
XingTag resultTag(const XingTag& source, uint32_t streamHeader, bool vbr);

// The tag frame of src (which has one) as it is: a VBRI frame is written again so, with its
// size, its CRC choice and every field finishTagFrame does not bring up to date.
std::vector<uint8_t> copyTagFrame(const SourceStream& src);

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
void finishTagFrame(SpillBytes& out, size_t tagFrameAt, size_t tagFrameBytes,
                    XingTag& tag, std::span<const size_t> frameAt, size_t musicEnd);

}  // namespace l3
