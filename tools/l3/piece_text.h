#pragma once
// What l3 cut and l3 split print about the pieces they write.

#include <string>

#include "l3/edit.h"

namespace l3tool {

// "NAME: samples 44100-88200 (0:01.000-0:02.000), 40 frames, 17 135 bytes"
std::string pieceLine(const std::string& name, const l3::CutPiece& piece, int rate);

}  // namespace l3tool
