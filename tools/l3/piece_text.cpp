#include "piece_text.h"

#include <cinttypes>
#include <cstdio>

namespace l3tool {

namespace {

// m:ss.fff of a sample index, to the nearest millisecond.
std::string clock(int64_t sample, int rate) {
    const int64_t ms = (sample * 1000 + rate / 2) / rate;
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ".%03" PRId64, ms / 60000,
                  ms / 1000 % 60, ms % 1000);
    return text;
}

}  // namespace

std::string pieceLine(const std::string& name, const l3::CutPiece& piece, int rate) {
    char text[128];
    std::snprintf(text, sizeof text,
                  ": samples %" PRId64 "-%" PRId64 " (%s-%s), %zu frames, %zu bytes", piece.from,
                  piece.to, clock(piece.from, rate).c_str(), clock(piece.to, rate).c_str(),
                  piece.frames, piece.output.size());
    return name + text;
}

}  // namespace l3tool
