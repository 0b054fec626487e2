#include "assemble/assembler_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/spectrum_coder.h"

namespace l3 {

namespace {

// Scalefactor widths slen1 and slen2 by scalefac_compress (ISO/IEC 11172-3).
constexpr uint8_t mpeg1Slen[2][16] = {
    {0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
    {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3},
};

// First long band of each scfsi group, and one past the last.
constexpr int scfsiGroupStart[5] = {0, 6, 11, 16, 21};

constexpr int kShortBase = 39;  // entry of short band 0, window 0

// Scalefactor entry `index` of one granule and channel, written with its width; a width
// of 0 writes nothing.
inline void putScalefactor(BitWriter& w, AssemblerState& state, int gr, int ch, int index,
                           int width) {
    if (width == 0) return;
    const uint16_t value = state.record.scalefactors[gr][ch][index];
    if (value >> width) [[unlikely]]
        noteValueProblem(state, "scalefactor", gr, ch, index, value, "does not fit its width");
    put(w, value, width);
}

// Short bands first..11, three windows each; slen1 below band 6, slen2 from band 6 on.
void putShortScalefactors(BitWriter& w, AssemblerState& state, int gr, int ch, int first, int slen1,
                          int slen2) {
    for (int s = first; s < 12; ++s)
        for (int win = 0; win < 3; ++win)
            putScalefactor(w, state, gr, ch, kShortBase + 3 * s + win, s < 6 ? slen1 : slen2);
}

}  // namespace

void writeMainDataMpeg1(AssemblerState& state) {
    FrameRecord& rec = state.record;
    const int channels = channelCount(rec.header);
    for (int gr = 0; gr < 2; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            if (info.part2_3_length == 0) continue;
            const int32_t endPos = state.store.writePos - info.part2_3_length;
            const int slen1 = mpeg1Slen[0][info.scalefac_compress];
            const int slen2 = mpeg1Slen[1][info.scalefac_compress];
            BitWriter w = beginWriting(state.store);
            if (info.block_type == 2 && info.mixed_block_flag == 0) {
                putShortScalefactors(w, state, gr, ch, 0, slen1, slen2);
            } else if (info.block_type == 2) {
                for (int b = 0; b < 8; ++b) putScalefactor(w, state, gr, ch, b, slen1);
                putShortScalefactors(w, state, gr, ch, 3, slen1, slen2);
            } else {
                for (int group = 0; group < 4; ++group) {
                    // Granule 1 leaves out a group that reuses granule 0's scalefactors.
                    if (gr == 1 && rec.scfsi[ch][group] != 0) continue;
                    for (int b = scfsiGroupStart[group]; b < scfsiGroupStart[group + 1]; ++b)
                        putScalefactor(w, state, gr, ch, b, b < 11 ? slen1 : slen2);
                }
            }
            codeSpectrum(w, state, gr, ch, endPos);
            closeGranule(w, state, endPos);
        }
    }
}

}  // namespace l3
