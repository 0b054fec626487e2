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

// A record field that cannot be written as it stands: the run stops at that frame.
struct RecordProblem {
    const char* field = nullptr;  // null: no problem
    int64_t value = 0;
    const char* reason = "";
    int granule = -1;  // -1 when the field is not per granule and channel
    int channel = -1;
    int index = -1;  // entry of a scalefactor or line of a spectral value, else -1
};

// Bytes above a frame's start that placing its ancillary bits and main data can touch:
// main_data_begin reaches back at most 511 bytes, ancillary bits 1024 more.
inline constexpr int kFrameUndoBytes = 511 + kAncillaryReadLimit + 8;

// Bytes under one frame's main data: four granules and channels of at most 4095 bits,
// plus room for a last item or scalefactors running past the end and for the writer's
// eight-byte stores.
inline constexpr int kMainDataSlackBytes = 48;
inline constexpr int kMainDataSaveBytes = 4 * 4095 / 8 + 1 + 2 * kMainDataSlackBytes;

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

    // Set by the main data writers when a scalefactor or spectral value does not fit;
    // writeFrame then takes the frame back out and the run stops.
    RecordProblem problem;
    // The main data writers save the store bytes they write over and OR them back after,
    // so that what earlier frames placed there stays (see BitWriter).
    std::array<uint8_t, kMainDataSaveBytes> mainDataSaved;
    int32_t mainDataSavedLow = 0;  // store bytes mainDataSavedLow .. mainDataSavedHigh - 1
    int32_t mainDataSavedHigh = 0;
    std::array<uint8_t, kFrameUndoBytes> undoBytes;  // store bytes above the frame's start
};

}  // namespace l3
