#pragma once

#include <cstdint>

namespace deinterleave {

// Reads the interleave factor the way the command line has always read it: leading white space,
// at most one sign, then decimal digits up to the first character that is not one. Text without
// leading digits reads as 0. Magnitudes beyond the int64 range saturate instead of wrapping, so a
// huge positive number stays positive (it then simply exceeds every file size).
int64_t parseInterleaveFactor(const char* text);

}  // namespace deinterleave
