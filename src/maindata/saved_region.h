#pragma once
// The main data writers write through BitWriter, which overwrites the bytes below it. To
// keep what is already in the store (bits that earlier frames placed where this frame's
// main data goes), the bytes under the main data are saved first and ORed back at the
// end; what the store's own rules would clear meanwhile is cleared in the saved copy too.

#include <cstdint>

namespace l3 {

struct MainDataState;

// Saves the store bytes from bit position low (less a margin for overruns) up to high.
void saveRegion(MainDataState& state, int32_t high, int32_t low);

// Clears the count bits below position in the saved copy, as clearBelow does in the store.
void clearSavedBits(MainDataState& state, int32_t position, int count);

// ORs the store's bits at positions low .. high - 1 into the saved copy, so that bits a
// granule left past its end survive the next granule's writer.
void keepStoreBits(MainDataState& state, int32_t low, int32_t high);

// ORs the saved copy back into the store.
void restoreRegion(MainDataState& state);

}  // namespace l3
