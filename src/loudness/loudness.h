#pragma once
// The loudness of a Layer III stream as a listener meets it: the stream decoded to PCM (by
// libmpg123, the way a player decodes it, gapless) and measured as EBU R128 integrated
// loudness (by libebur128), in LUFS.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace l3 {

struct Loudness {
    bool ok = false;
    std::string message;      // why it could not be measured
    double lufs = 0;          // integrated loudness
    uint64_t samples = 0;     // per channel, decoded
    long sampleRate = 0;
    int channels = 0;
};

Loudness measureLoudness(const uint8_t* bytes, size_t size);

// The silences of a stream as a player plays it (samples of its timeline, decoded by
// libmpg123 as measureLoudness decodes): the middle of every run of samples whose every
// channel stays at or below thresholdDb (dB below full scale) for minSeconds or more, the
// runs at the start and at the end left out.
struct Silences {
    bool ok = false;
    std::string message;           // why it could not be decoded
    std::vector<int64_t> middles;  // in order
    int64_t samples = 0;           // per channel, decoded
    long sampleRate = 0;
};

Silences findSilences(const uint8_t* bytes, size_t size, double thresholdDb, double minSeconds);

// The whole number of global_gain steps (1.5 dB each) that brings `measured` nearest to
// `target`, within -255..255.
int stepsToward(double measured, double target);

}  // namespace l3
