#pragma once
// Where each field of a record lies in the record file (the record types themselves are
// public, in l3/record.h). The 32-bit fields at offsets 6, 10 and 14 are unaligned.

#include <cstddef>
#include <cstdint>

#include "l3/frame_header.h"
#include "l3/record.h"

namespace l3 {

// Byte offsets inside a FrameRecord.
inline constexpr size_t kOffHeader = 0;
inline constexpr size_t kOffReserved0 = 4;
inline constexpr size_t kOffMainDataBegin = 6;
inline constexpr size_t kOffPlacedMainDataBegin = 10;
inline constexpr size_t kOffPrivateBits = 14;
inline constexpr size_t kOffScfsi = 18;
inline constexpr size_t kOffReserved1 = 50;
inline constexpr size_t kOffRawMainData = 54;
inline constexpr size_t kOffGranuleInfo = 58;
inline constexpr size_t kOffScalefactors = 378;
inline constexpr size_t kOffSpectrum = 1002;

}  // namespace l3
