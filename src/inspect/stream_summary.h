#pragma once
// The figures a person reads at a glance, computed from a report's audio frames (the
// Xing/Info frame not counted).

#include <cstdint>

#include "inspect/stream_report.h"

namespace l3 {

enum class RateKind { cbr, vbr, abr };

const char* rateKindName(RateKind kind);
const char* channelModeName(int mode);

struct StreamSummary {
    uint32_t header = 0;   // of the first audio frame
    int samplingRate = 0;  // Hz
    unsigned modes = 0;    // bit m set when channel mode m occurs
    size_t crcFrames = 0;  // audio frames with a CRC field
    size_t frames = 0;     // audio frames
    int samplesPerFrame = 0;
    int64_t rawSamples = 0;      // frames x samples per frame
    int64_t gaplessSamples = 0;  // raw less the LAME extension's delay and padding
    double seconds = 0;          // of the gapless samples
    int minKbps = 0, maxKbps = 0;
    double averageKbps = 0;  // audio bits over the raw duration
    RateKind rate = RateKind::cbr;
    int maxMainDataBegin = 0;  // bytes
    double averageMainDataBegin = 0;
    int64_t blockTypes[4] = {};  // granule/channel pairs per block_type
    int64_t mixedBlocks = 0;
};

StreamSummary summarize(const StreamReport& report);

}  // namespace l3
