#include "assemble/assembler_state.h"
#include "maindata/lsf_scalefac.h"
#include "maindata/main_data_writer.h"
#include "maindata/saved_region.h"
#include "maindata/scalefactor_run.h"
#include "maindata/spectrum_coder.h"

namespace l3 {

namespace {

constexpr uint32_t packEntry(int s1, int s2, int s3, int s4, int row, int preflag) {
    return static_cast<uint32_t>(s1 | s2 << 3 | s3 << 6 | s4 << 9 | row << 12 | preflag << 15);
}

}  // namespace

void buildLsfScalefacTables(AssemblerState& state) {
    auto& normal = state.lsf.lsfScalefac;
    for (int k = 0; k < 512; ++k) {
        if (k < 400) {
            normal[k] = packEntry((k >> 4) / 5, (k >> 4) % 5, (k % 16) >> 2, k % 4, 0, 0);
        } else if (k < 500) {
            int t = k - 400;
            normal[k] = packEntry((t >> 2) / 5, (t >> 2) % 5, t % 4, 0, 1, 0);
        } else {
            int t = k - 500;
            normal[k] = packEntry(t / 3, t % 3, 0, 0, 2, 1);
        }
    }
    auto& intensity = state.lsf.lsfScalefacIntensity;
    for (int i = 0; i < 256; ++i) {
        if (i < 180) {
            intensity[i] = packEntry(i / 36, (i % 36) / 6, i % 6, 0, 3, 0);
        } else if (i < 244) {
            int t = i - 180;
            intensity[i] = packEntry(t >> 4, (t % 16) >> 2, t % 4, 0, 4, 0);
        } else {
            int t = i - 244;
            intensity[i] = packEntry(t / 3, t % 3, 0, 0, 5, 0);
        }
    }
}

uint32_t lsfScalefacEntry(const AssemblerState& state, int ch, int scalefac_compress) {
    // Only the intensity bit of mode_extension and the channel decide, not the mode.
    if (ch == 1 && (modeExtension(state.record.header) & 1))
        return state.lsf.lsfScalefacIntensity[scalefac_compress >> 1];
    return state.lsf.lsfScalefac[scalefac_compress];
}

void writeMainDataLsf(AssemblerState& state) {
    FrameRecord& rec = state.record;
    const int channels = channelCount(rec.header);
    int32_t bits = 0;
    for (int ch = 0; ch < channels; ++ch) bits += rec.granuleInfo[0][ch].part2_3_length;
    saveRegion(state, state.store.writePos, state.store.writePos - bits);
    for (int ch = 0; ch < channels; ++ch) {
        GranuleChannelInfo& info = rec.granuleInfo[0][ch];
        const int32_t endPos = state.store.writePos - info.part2_3_length;
        const uint32_t entry = lsfScalefacEntry(state, ch, info.scalefac_compress);
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
