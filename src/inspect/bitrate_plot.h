#pragma once
// A picture of a stream over time, written as SVG text with no library: the bit rate of
// each audio frame (upper panel, kbit/s) and the bit reservoir's fill, main_data_begin
// in bytes (lower panel). Time runs along x in seconds of raw samples.

#include <string>

#include "inspect/stream_report.h"

namespace l3 {

// The SVG document of the file data (whose report is given, its frames read again one at
// a time); title is printed above the panels (escaped here).
std::string bitratePlotSvg(const uint8_t* data, size_t size, const StreamReport& report,
                           const std::string& title);

}  // namespace l3
