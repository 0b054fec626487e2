#include "l3/frame_record.h"

#include "format/byte_order.h"

namespace l3 {

namespace {

constexpr size_t kGranuleInfoBytes = 80;
constexpr size_t kFieldsPerGranuleInfo = 20;

template <typename Int, size_t N>
void loadLe16Array(const uint8_t* p, Int (&out)[N]) {
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<Int>(loadLe16(p + 2 * i));
}

template <typename Int, size_t N>
void storeLe16Array(uint8_t* p, const Int (&in)[N]) {
    for (size_t i = 0; i < N; ++i) storeLe16(p + 2 * i, static_cast<uint16_t>(in[i]));
}

int32_t loadI32(const uint8_t* p) {
    return static_cast<int32_t>(loadLe32(p));
}
void storeI32(uint8_t* p, int32_t v) {
    storeLe32(p, static_cast<uint32_t>(v));
}

void decodeGranuleInfo(const uint8_t* p, GranuleChannelInfo& info) {
    int32_t fields[kFieldsPerGranuleInfo];
    for (size_t i = 0; i < kFieldsPerGranuleInfo; ++i) fields[i] = loadI32(p + 4 * i);
    static_assert(sizeof(fields) == sizeof(GranuleChannelInfo));
    std::memcpy(&info, fields, sizeof(info));
}

void encodeGranuleInfo(const GranuleChannelInfo& info, uint8_t* p) {
    int32_t fields[kFieldsPerGranuleInfo];
    std::memcpy(fields, &info, sizeof(info));
    for (size_t i = 0; i < kFieldsPerGranuleInfo; ++i) storeI32(p + 4 * i, fields[i]);
}

}  // namespace

namespace {

// Everything but the scalefactors and spectra.
void decodeSideInfo(const uint8_t* bytes, FrameRecord& record) {
    record.header = loadLe32(bytes + kOffHeader);
    record.reserved0 = loadLe16(bytes + kOffReserved0);
    record.main_data_begin = loadI32(bytes + kOffMainDataBegin);
    record.placedMainDataBegin = loadI32(bytes + kOffPlacedMainDataBegin);
    record.private_bits = loadI32(bytes + kOffPrivateBits);
    for (int ch = 0; ch < 2; ++ch)
        for (int g = 0; g < 4; ++g)
            record.scfsi[ch][g] = loadI32(bytes + kOffScfsi + 16 * ch + 4 * g);
    record.reserved1 = loadI32(bytes + kOffReserved1);
    record.rawMainData = loadI32(bytes + kOffRawMainData);
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch)
            decodeGranuleInfo(bytes + kOffGranuleInfo + kGranuleInfoBytes * (2 * gr + ch),
                              record.granuleInfo[gr][ch]);
}

void decodeValues(const uint8_t* bytes, FrameRecord& record, int gr, int ch) {
    loadLe16Array(bytes + kOffScalefactors + 2 * kScalefactorEntries * (2 * gr + ch),
                  record.scalefactors[gr][ch]);
    loadLe16Array(bytes + kOffSpectrum + 2 * kSpectrumLines * (2 * gr + ch),
                  record.spectrum[gr][ch]);
}

}  // namespace

void decodeFrameRecord(const uint8_t* bytes, FrameRecord& record) {
    decodeSideInfo(bytes, record);
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) decodeValues(bytes, record, gr, ch);
}

void decodeUsedParts(const uint8_t* bytes, FrameRecord& record) {
    decodeSideInfo(bytes, record);
    for (int gr = 0; gr < granuleCount(record.header); ++gr)
        for (int ch = 0; ch < channelCount(record.header); ++ch)
            decodeValues(bytes, record, gr, ch);
}

void encodeFrameRecord(const FrameRecord& record, uint8_t* bytes) {
    storeLe32(bytes + kOffHeader, record.header);
    storeLe16(bytes + kOffReserved0, record.reserved0);
    storeI32(bytes + kOffMainDataBegin, record.main_data_begin);
    storeI32(bytes + kOffPlacedMainDataBegin, record.placedMainDataBegin);
    storeI32(bytes + kOffPrivateBits, record.private_bits);
    for (int ch = 0; ch < 2; ++ch)
        for (int g = 0; g < 4; ++g)
            storeI32(bytes + kOffScfsi + 16 * ch + 4 * g, record.scfsi[ch][g]);
    storeI32(bytes + kOffReserved1, record.reserved1);
    storeI32(bytes + kOffRawMainData, record.rawMainData);
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch)
            encodeGranuleInfo(record.granuleInfo[gr][ch],
                              bytes + kOffGranuleInfo + kGranuleInfoBytes * (2 * gr + ch));
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) {
            storeLe16Array(bytes + kOffScalefactors + 2 * kScalefactorEntries * (2 * gr + ch),
                           record.scalefactors[gr][ch]);
            storeLe16Array(bytes + kOffSpectrum + 2 * kSpectrumLines * (2 * gr + ch),
                           record.spectrum[gr][ch]);
        }
}

RecordFileHead decodeRecordFileHead(const uint8_t* bytes) {
    return {loadI32(bytes), loadLe32(bytes + 4), loadI32(bytes + 8)};
}

void encodeRecordFileHead(const RecordFileHead& head, uint8_t* bytes) {
    storeI32(bytes, head.frameCount);
    storeLe32(bytes + 4, head.unused);
    storeI32(bytes + 8, head.outputLimit);
}

}  // namespace l3
