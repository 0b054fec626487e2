#pragma once
// The object `l3 info --json` prints for a stream, as text: one JSON object of the summary's
// figures, the tags, the Xing/Info or VBRI frame and its LAME extension, and with frames one
// entry per frame. The l3 program prints it and the Python module parses it, so the two
// give one object.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "inspect/stream_report.h"
#include "inspect/stream_summary.h"

namespace l3 {

// The channel modes whose bits are set in modes, in order, joined by ", " (each in quotes
// when quoted).
std::string channelModeList(unsigned modes, bool quoted);

// A frame's bit rate in kbit/s, from its header.
int frameKbps(uint32_t header);

// The object for the stream data[0, size) that report and summary describe, named file;
// ends in a newline.
std::string infoJson(std::string_view file, const uint8_t* data, size_t size,
                     const StreamReport& report, const StreamSummary& summary, bool frames);

}  // namespace l3
