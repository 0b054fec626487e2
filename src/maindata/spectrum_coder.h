#pragma once
// The spectral coder's interface to the scalefactor writers: one granule and channel is
// written through one BitWriter, scalefactors first, then the spectrum.

#include <cstdint>

#include "bits/bit_store.h"

namespace l3 {

struct MainDataState;

// Codes the spectrum of granule gr, channel ch until the writer reaches endPos.
void codeSpectrum(BitWriter& w, MainDataState& state, int gr, int ch, int32_t endPos);

// Ends a granule and channel: the writer's bits go into the store, writePos becomes
// endPos, and the 24 bits below endPos are cleared, removing the overrun of the last item
// so that the next granule meets zero bits.
void closeGranule(BitWriter& w, MainDataState& state, int32_t endPos);

}  // namespace l3
