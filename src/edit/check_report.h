#pragma once
// What `l3 check` and the Python module's l3.check say of a file: the inspection's report
// (inspect/stream_report.h) less the one fault our own gain change leaves on purpose, and
// how many of its faults `l3 repack --salvage` repairs. Nothing throws; any thread may call.

#include <cstddef>
#include <cstdint>

#include "edit/gain.h"
#include "inspect/stream_report.h"

namespace l3 {

// inspectStream's report, but: a gain change recorded with its undo information (an APEv2
// MP3GAIN_UNDO item) leaves the LAME music CRC as it was, so that the undo gives back the
// original bytes; the music CRC of such a file is checked with the recorded undo applied
// (and not at all where the undo is recorded as inexact). scratch, when given, holds the
// undone file (a temporary file keeps a long one out of memory); without one, or where it
// cannot be written, the undo is made in memory.
StreamReport checkStream(const uint8_t* data, size_t size, ByteStore* scratch = nullptr,
                         const WalkProgress& progress = {});

// The faults `l3 repack --salvage` repairs: frames whose main data does not decode (they
// become silent frames), junk between frames and a cut last frame (dropped). The first
// frames of a stream cut out of a longer one, whose main data lies before it, are kept as
// they are by every edit: not counted.
size_t salvageableFaults(const StreamReport& report);

}  // namespace l3
