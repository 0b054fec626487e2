#include "format/scalefactor_layout.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/saved_region.h"
#include "maindata/scalefactor_run.h"
#include "maindata/spectrum_coder.h"

namespace l3 {

void writeMainDataLsf(MainDataState& state) {
    FrameRecord& rec = state.record;
    const int channels = channelCount(rec.header);
    int32_t bits = 0;
    for (int ch = 0; ch < channels; ++ch) bits += rec.granuleInfo[0][ch].part2_3_length;
    saveRegion(state, state.store.writePos, state.store.writePos - bits);
    for (int ch = 0; ch < channels; ++ch) {
        GranuleChannelInfo& info = rec.granuleInfo[0][ch];
        const int32_t endPos = state.store.writePos - info.part2_3_length;
        const uint32_t entry = lsfScalefacEntry(rec.header, ch, info.scalefac_compress);
        info.preflag = impliedPreflag(entry);
        const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
        const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
        const uint16_t* sf = rec.scalefactors[0][ch];
        BitWriter w = beginWriting(state.store);
        int index = 0;
        for (int p = 0; p < 4; ++p) {
            // A partition of width 0 writes nothing, but its entries are skipped all the same.
            putScalefactorRun(w, state, sf, 0, ch, index, index + counts[p], slen(entry, p));
            index += counts[p];
        }
        codeSpectrum(w, state, 0, ch, endPos);
        closeGranule(w, state, endPos);
    }
    restoreRegion(state);
}

}  // namespace l3
