#pragma once
// The first half of writing a frame: header, CRC-16 and side information are laid into
// the bit store and moved out into the frame ring's current slot.

namespace l3 {

struct FrameWriterState;

// Precondition: writePos byte aligned at the frame's start. Clears ahead, writes the head
// bytes, computes the CRC, moves them into the slot at writeSlot (not yet committed) and
// leaves writePos at the frame's start minus 8 * headCount. Sets placedMainDataBegin and
// the implicit side-information fields in the record copy.
void writeHead(FrameWriterState& state);

}  // namespace l3
