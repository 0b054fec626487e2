#pragma once
// The one run-wide state of l3assemble, passed by reference to the frame writer and the
// main data writers. Each subsystem owns and defines its members:
//   run driver (assemble/):   record, ancillaryBits, ancillaryBuffer, firstFrame,
//                             outputLimit, recordSize, output
//   frame writer (framewriter/): store, ring
//   main data writer (maindata/): lsf

#include <array>
#include <cstdint>

#include "assemble/frame_record.h"
#include "assemble/platform.h"
#include "framewriter/bit_store.h"
#include "framewriter/frame_ring.h"
#include "maindata/lsf_scalefac.h"

namespace l3 {

inline constexpr int kAncillaryBufferBytes = 4096;
// The run driver loads at most this many bytes of ancillary data per record, so a
// record can carry at most 8192 ancillary bits.
inline constexpr int kAncillaryReadLimit = 1024;
inline constexpr int kMaxAncillaryBits = 8 * kAncillaryReadLimit;

struct AssemblerState {
    FrameRecord record;  // the current record; the writers change some fields in place
    int32_t ancillaryBits = -1;
    std::array<uint8_t, kAncillaryBufferBytes> ancillaryBuffer{};
    int32_t firstFrame = 0;
    // Countdown of frame bytes that may still be sent; only exactly 0 stops output, so
    // it is kept as the unsigned 32-bit count it behaves as (-1 lets 4294967295 through).
    uint32_t outputLimit = 0;
    int64_t recordSize = 0;  // record file size, less a trailing 128-byte tag
    OutputStream* output = nullptr;
    BitStore store;
    FrameRing ring;
    LsfScalefacTables lsf;
};

}  // namespace l3
