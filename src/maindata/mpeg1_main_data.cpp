#include "format/scalefactor_layout.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/saved_region.h"
#include "maindata/scalefactor_run.h"
#include "maindata/spectrum_coder.h"

namespace l3 {

void writeMainDataMpeg1(MainDataState& state) {
    FrameRecord& rec = state.record;
    const int channels = channelCount(rec.header);
    int32_t bits = 0;
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < channels; ++ch) bits += rec.granuleInfo[gr][ch].part2_3_length;
    saveRegion(state, state.store.writePos, state.store.writePos - bits);
    for (int gr = 0; gr < 2; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            if (info.part2_3_length == 0) continue;
            const int32_t endPos = state.store.writePos - info.part2_3_length;
            const int slen1 = mpeg1Slen[0][info.scalefac_compress];
            const int slen2 = mpeg1Slen[1][info.scalefac_compress];
            BitWriter w = beginWriting(state.store);
            const uint16_t* sf = rec.scalefactors[gr][ch];
            if (info.block_type == 2) {
                // Short bands 0..5 (entries 39..56) take slen1, bands 6..11 (57..74) slen2;
                // a mixed block starts with long bands 0..7 and short band 3.
                const bool mixed = info.mixed_block_flag != 0;
                if (mixed) putScalefactorRun(w, state, sf, gr, ch, 0, 8, slen1);
                putScalefactorRun(w, state, sf, gr, ch, kShortBase + (mixed ? 9 : 0),
                                  kShortBase + 18, slen1);
                putScalefactorRun(w, state, sf, gr, ch, kShortBase + 18, kShortBase + 36, slen2);
            } else {
                for (int group = 0; group < 4; ++group) {
                    // Granule 1 leaves out a group that reuses granule 0's scalefactors.
                    if (gr == 1 && rec.scfsi[ch][group] != 0) continue;
                    putScalefactorRun(w, state, sf, gr, ch, scfsiGroupStart[group],
                                      scfsiGroupStart[group + 1], group < 2 ? slen1 : slen2);
                }
            }
            codeSpectrum(w, state, gr, ch, endPos);
            closeGranule(w, state, endPos);
        }
    }
    restoreRegion(state);
}

}  // namespace l3
