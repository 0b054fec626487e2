#pragma once
// Scalefactors go out in runs of consecutive record entries with one width each (every
// layout of both versions is such runs), packed into as few puts as the writer allows.

#include <cstdint>

#include "bits/bit_store.h"
#include "maindata/main_data_writer.h"

namespace l3 {

// Writes entries [from, to) of granule gr, channel ch with `width` bits each; a width of 0
// writes nothing. A value that does not fit is noted as the frame's problem.
inline void putScalefactorRun(BitWriter& w, MainDataState& state, const uint16_t* sf, int gr,
                              int ch, int from, int to, int width) {
    if (width == 0) return;
    unsigned all = 0;
    BitPacker packer{w};
    for (int i = from; i < to; ++i) {
        all |= sf[i];
        pack(packer, sf[i], width);
    }
    flushPacker(packer);
    if (all >> width) [[unlikely]] {
        int i = from;
        while ((sf[i] >> width) == 0) ++i;
        noteValueProblem(state, "scalefactor", gr, ch, i, sf[i], "does not fit its width");
    }
}

}  // namespace l3
