#include "l3/inspect.h"

#include <algorithm>
#include <iterator>

#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

constexpr int kVbrMethodAbr = 2;
constexpr int kVbrMethodAbrTwoPass = 9;

}  // namespace

const char* rateKindName(RateKind kind) {
    switch (kind) {
        case RateKind::cbr:
            return "CBR";
        case RateKind::vbr:
            return "VBR";
        case RateKind::abr:
            return "ABR";
    }
    return "?";
}

const char* channelModeName(int mode) {
    static const char* const names[4] = {"stereo", "joint stereo", "dual channel", "mono"};
    return names[mode & 3];
}

StreamSummary summarize(const StreamReport& report) {
    StreamSummary s;
    s.frames = audioFrameCount(report);
    if (s.frames == 0) return s;
    const AudioTotals& t = report.totals;
    s.header = t.firstHeader;
    s.samplingRate = samplingRateTable[versionCode(s.header)][samplingIndex(s.header)];
    s.samplesPerFrame = samplesPerFrame(s.header);
    s.minKbps = t.minKbps;
    s.maxKbps = t.maxKbps;
    s.modes = t.modes;
    s.crcFrames = t.crcFrames;
    s.maxMainDataBegin = t.maxMainDataBegin;
    std::copy(std::begin(t.blockTypes), std::end(t.blockTypes), s.blockTypes);
    s.mixedBlocks = t.mixedBlocks;
    const int64_t bits = t.bits, mdbSum = t.mainDataBeginSum;
    s.rawSamples = static_cast<int64_t>(s.frames) * s.samplesPerFrame;
    s.gaplessSamples = s.rawSamples;
    const LameExtension& lame = report.xing.lame;
    if (lame.present)
        s.gaplessSamples = std::max<int64_t>(0, s.rawSamples - lame.delay - lame.padding);
    else if (report.xing.kind == XingKind::xing || report.xing.kind == XingKind::info)
        // mpg123 takes such a frame for one with no delay and trims its own 529 samples
        // (ffmpeg and madplay trim nothing): what every decoder plays starts after them.
        s.gaplessSamples = std::max<int64_t>(0, s.rawSamples - kDecoderDelay);
    s.seconds = static_cast<double>(s.gaplessSamples) / s.samplingRate;
    s.averageKbps =
        static_cast<double>(bits) * s.samplingRate / (static_cast<double>(s.rawSamples) * 1000.0);
    s.averageMainDataBegin = static_cast<double>(mdbSum) / static_cast<double>(s.frames);
    if (lame.present && (lame.vbrMethod == kVbrMethodAbr || lame.vbrMethod == kVbrMethodAbrTwoPass))
        s.rate = RateKind::abr;
    else if (s.minKbps != s.maxKbps)
        s.rate = RateKind::vbr;
    return s;
}

}  // namespace l3
