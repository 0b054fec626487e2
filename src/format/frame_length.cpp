#include "l3/frame_length.h"

#include "l3/frame_record.h"

namespace l3 {

namespace {
// Indexed by ID + 2 * (channels - 1).
constexpr int32_t sideInfoSizes[4] = {9, 17, 17, 32};
}  // namespace

bool hasFrameLength(uint32_t header) {
    return bitrateTable[isMpeg1(header)][bitrateIndex(header)] != 0 &&
           samplingRateTable[versionCode(header)][samplingIndex(header)] != 0;
}

int32_t frameLength(uint32_t header) {
    int32_t bitrate = bitrateTable[isMpeg1(header)][bitrateIndex(header)];
    int32_t rate = samplingRateTable[versionCode(header)][samplingIndex(header)];
    int32_t factor = isMpeg1(header) ? 144 : 72;
    return factor * bitrate / rate + paddingBit(header);
}

int32_t sideInfoBytes(uint32_t header) {
    return sideInfoSizes[isMpeg1(header) + 2 * (channelCount(header) - 1)];
}

int32_t headByteCount(uint32_t header) {
    return 4 + (hasCrc(header) ? 2 : 0) + sideInfoBytes(header);
}

}  // namespace l3
