#pragma once
// Writing one frame, and sending finished frames through the bit reservoir.

namespace l3 {

struct FrameWriterState;

// Writes the current record as one frame, queues it, and sends the oldest queued frames
// while more than 8192 bytes of main data stand behind them or the ring is full.
// Returns 0, or 1 when a scalefactor or spectral value did not fit (state.problem says
// which): the frame is then taken back out and the store is as it was before the call.
int writeFrame(FrameWriterState& state);

// After the last record: places the last record's ancillary bits once more, at the end
// of the last frame's main-data area, and sends every queued frame.
void drainRing(FrameWriterState& state);

}  // namespace l3
