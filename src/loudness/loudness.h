#pragma once
// The loudness of a Layer III stream as a listener meets it: the stream decoded to PCM (by
// libmpg123, the way a player decodes it, gapless) and measured as EBU R128 integrated
// loudness (by libebur128), in LUFS.

#include <cstddef>
#include <cstdint>
#include <string>

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

// The whole number of global_gain steps (1.5 dB each) that brings `measured` nearest to
// `target`, within -255..255.
int stepsToward(double measured, double target);

}  // namespace l3
