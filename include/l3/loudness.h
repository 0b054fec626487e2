#pragma once
// The loudness of a Layer III stream as a listener meets it: the stream decoded to PCM (by
// libmpg123, the way a player decodes it, gapless) and measured as EBU R128 integrated
// loudness (by libebur128), in LUFS.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace l3 {

// Magnitudes of decoded samples, by 1/32768 of full scale up to twice full scale (the last
// bin holds everything above): enough to count the samples a gain would clip.
inline constexpr size_t kMagnitudeBins = 65537;

struct Loudness {
    bool ok = false;
    std::string message;      // why it could not be measured
    double lufs = 0;          // integrated loudness
    double peak = 0;          // the largest sample magnitude (1: full scale; above: clipped)
    double truePeak = 0;      // the largest magnitude between samples too (4x oversampled)
    uint64_t samples = 0;     // per channel, decoded
    long sampleRate = 0;
    int channels = 0;
    std::vector<uint64_t> magnitudes;  // kMagnitudeBins counts over all channels
    std::shared_ptr<void> meter;       // the measurement, kept for albumLoudness
};

// Decoded as a player does (libmpg123, gapless, as floating point, so that samples beyond
// full scale show) and measured by libebur128.
Loudness measureLoudness(const uint8_t* bytes, size_t size);

// The loudness of the measured tracks as one programme (an album): LUFS, or NaN when it
// has none (all silent).
double albumLoudness(const std::vector<Loudness>& tracks);

// Samples (over all channels) of a track whose magnitude times gain (a factor) passes full
// scale.
uint64_t clippedSamples(const Loudness& track, double gain);

// The factor of a change of steps global_gain steps (1.5 dB each).
double gainFactor(int steps);

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
