#include "disassemble/main_data_reader.h"

#include "bits/bit_reader.h"
#include "disassemble/huffman_decoder.h"
#include "format/band_edges.h"
#include "format/scalefactor_layout.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

inline uint16_t readScalefactor(BitReader& r, int width) {
    return static_cast<uint16_t>(width > 0 ? readBits(r, width) : 0);
}

void readShortScalefactors(BitReader& r, uint16_t* sf, int first, int slen1, int slen2) {
    for (int s = first; s < 12; ++s)
        for (int w = 0; w < 3; ++w)
            sf[kShortBase + 3 * s + w] = readScalefactor(r, s < 6 ? slen1 : slen2);
}

void readMpeg1Scalefactors(BitReader& r, FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    const int slen1 = mpeg1Slen[0][info.scalefac_compress];
    const int slen2 = mpeg1Slen[1][info.scalefac_compress];
    uint16_t* sf = rec.scalefactors[gr][ch];
    if (info.block_type == 2 && info.mixed_block_flag == 0) {
        readShortScalefactors(r, sf, 0, slen1, slen2);
    } else if (info.block_type == 2) {
        for (int b = 0; b < 8; ++b) sf[b] = readScalefactor(r, slen1);
        readShortScalefactors(r, sf, 3, slen1, slen2);
    } else {
        for (int group = 0; group < 4; ++group) {
            const bool reused = gr == 1 && rec.scfsi[ch][group] != 0;
            for (int b = scfsiGroupStart[group]; b < scfsiGroupStart[group + 1]; ++b)
                sf[b] = reused ? rec.scalefactors[0][ch][b]  // not in the stream; for meaning
                               : readScalefactor(r, b < 11 ? slen1 : slen2);
        }
    }
}

void readLsfScalefactors(BitReader& r, FrameRecord& rec, int ch) {
    GranuleChannelInfo& info = rec.granuleInfo[0][ch];
    const uint32_t entry = lsfScalefacEntry(rec.header, ch, info.scalefac_compress);
    info.preflag = impliedPreflag(entry);
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
    uint16_t* sf = rec.scalefactors[0][ch];
    int index = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        for (int j = 0; j < counts[p]; ++j) sf[index + j] = readScalefactor(r, width);
        index += counts[p];
    }
}

// One big value: the code word gave min(|v|, 15); escape bits and a sign follow.
inline int16_t finishValue(BitReader& r, int magnitude, int linbits) {
    if (magnitude == 15 && linbits > 0) magnitude += static_cast<int>(readBits(r, linbits));
    if (magnitude != 0 && readBit(r)) return static_cast<int16_t>(-magnitude);
    return static_cast<int16_t>(magnitude);
}

const char* readSpectrum(BitReader& r, const FrameRecord& rec, int gr, int ch, int16_t* lines) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (info.big_values > kMaxBigValues) return "big_values above 288";
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);

    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;
        const int start = bounds.start[region], end = bounds.start[region + 1];
        if (start >= end || r.pos >= r.end) continue;
        if (!hasDecodeTree(t)) return "a region coded with table 4 or 14";
        const HuffmanTable& table = codeTables().huffman[t];
        const DecodeTable& lookup = decodeTable(t);
        for (int i = start; i < end && r.pos < r.end; i += 2) {
            const int symbol = decodeWith(r, lookup);
            if (symbol < 0) return "a code word that does not decode";
            const int x = lookup.pair[symbol] >> 8, y = lookup.pair[symbol] & 0xFF;
            lines[i] = finishValue(r, x, table.linbits);
            lines[i + 1] = finishValue(r, y, table.linbits);
        }
    }

    const DecodeTable& quadTable =
        decodeTable(info.count1table_select ? kCount1TableB : kCount1TableA);
    for (int i = bounds.start[3]; r.pos < r.end; i += 4) {
        if (i > kLastQuadLine) {
            // Past the last whole quadruple the coder fills the budget with 1 bits.
            while (r.pos < r.end)
                if (!readBit(r)) return "bits after line 575 that are not all 1";
            break;
        }
        const int q = decodeWith(r, quadTable);
        if (q < 0) return "a count1 code word that does not decode";
        for (int k = 0; k < 4; ++k) {
            const int magnitude = (q >> (3 - k)) & 1;
            lines[i + k] = static_cast<int16_t>(magnitude && readBit(r) ? -1 : magnitude);
        }
    }
    return nullptr;
}

}  // namespace

const char* readMainData(const uint8_t* stream, int64_t mainStart, FrameRecord& rec) {
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = granuleCount(rec.header);
    int64_t pos = mainStart;
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
            // An MPEG-1 granule of length 0 codes nothing at all.
            if (mpeg1 && length == 0) continue;
            BitReader r{stream, pos, pos + length};
            if (mpeg1)
                readMpeg1Scalefactors(r, rec, gr, ch);
            else
                readLsfScalefactors(r, rec, ch);
            if (const char* why = readSpectrum(r, rec, gr, ch, rec.spectrum[gr][ch])) return why;
            pos += length;
        }
    }
    return nullptr;
}

}  // namespace l3
