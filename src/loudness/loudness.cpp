#include "l3/loudness.h"

#include <ebur128.h>
#include <mpg123.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <memory>
#include <vector>

namespace l3 {

namespace {

struct DecoderDeleter {
    void operator()(mpg123_handle* h) const { mpg123_delete(h); }
};

// Decodes bytes as a player does (libmpg123, gapless, native rate and channel count, 32-bit
// floating point) and hands each block of samples to take(samples, frames, rate, channels).
// An empty message when the whole stream decoded; else why not.
template <typename Take>
std::string decodeStream(const uint8_t* bytes, size_t size, Take&& take) {
    int error = MPG123_OK;
    std::unique_ptr<mpg123_handle, DecoderDeleter> decoder(mpg123_new(nullptr, &error));
    if (!decoder) return std::string("cannot start the decoder: ") + mpg123_plain_strerror(error);
    mpg123_handle* mh = decoder.get();
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
        mpg123_format(mh, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open_feed(mh) != MPG123_OK || mpg123_feed(mh, bytes, size) != MPG123_OK)
        return std::string("cannot decode: ") + mpg123_strerror(mh);
    std::vector<float> pcm(1 << 16);
    long rate = 0;
    int channels = 0;
    for (;;) {
        size_t done = 0;
        const int status = mpg123_read(mh, pcm.data(), pcm.size() * sizeof(float), &done);
        if (status == MPG123_NEW_FORMAT) {
            if (channels != 0) return "the stream changes its sampling rate or channel count";
            int encoding = 0;
            mpg123_getformat(mh, &rate, &channels, &encoding);
        }
        if (done > 0 && channels > 0 &&
            !take(pcm.data(), done / sizeof(float) / static_cast<size_t>(channels), rate,
                  channels))
            return "cannot measure the audio";
        if (status == MPG123_NEED_MORE || status == MPG123_DONE) break;
        if (status != MPG123_OK && status != MPG123_NEW_FORMAT)
            return std::string("cannot decode: ") + mpg123_strerror(mh);
    }
    if (channels == 0) return "no audio to measure";
    return "";
}

ebur128_state* meterOf(const Loudness& track) {
    return static_cast<ebur128_state*>(track.meter.get());
}

}  // namespace

Loudness measureLoudness(const uint8_t* bytes, size_t size) {
    Loudness result;
    result.magnitudes.assign(kMagnitudeBins, 0);
    result.message = decodeStream(bytes, size, [&](const float* pcm, size_t frames, long rate,
                                                   int channels) {
        if (!result.meter) {
            ebur128_state* state = ebur128_init(static_cast<unsigned>(channels),
                                                static_cast<unsigned long>(rate),
                                                EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
            if (!state) return false;
            result.meter = std::shared_ptr<void>(state, [](void* p) {
                auto* s = static_cast<ebur128_state*>(p);
                ebur128_destroy(&s);
            });
            result.sampleRate = rate;
            result.channels = channels;
        }
        ebur128_add_frames_float(meterOf(result), pcm, frames);
        for (size_t i = 0; i < frames * static_cast<size_t>(channels); ++i) {
            const double m = std::fabs(static_cast<double>(pcm[i]));
            result.peak = std::max(result.peak, m);
            ++result.magnitudes[static_cast<size_t>(
                std::min(m * 32768.0, static_cast<double>(kMagnitudeBins - 1)))];
        }
        result.samples += frames;
        return true;
    });
    if (!result.message.empty()) return result;
    if (!result.meter || result.samples == 0) {
        result.message = "no audio to measure";
        return result;
    }
    for (int c = 0; c < result.channels; ++c) {
        double p = 0;
        if (ebur128_true_peak(meterOf(result), static_cast<unsigned>(c), &p) == EBUR128_SUCCESS)
            result.truePeak = std::max(result.truePeak, p);
    }
    double lufs = 0;
    if (ebur128_loudness_global(meterOf(result), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs)) {
        result.message = "no loudness to measure: the audio is silent or too short";
        return result;
    }
    result.ok = true;
    result.lufs = lufs;
    return result;
}

double albumLoudness(const std::vector<Loudness>& tracks) {
    std::vector<ebur128_state*> meters;
    for (const Loudness& t : tracks)
        if (t.meter) meters.push_back(meterOf(t));
    double lufs = 0;
    if (meters.empty() ||
        ebur128_loudness_global_multiple(meters.data(), meters.size(), &lufs) !=
            EBUR128_SUCCESS ||
        !std::isfinite(lufs))
        return std::nan("");
    return lufs;
}

uint64_t clippedSamples(const Loudness& track, double gain) {
    uint64_t n = 0;
    for (size_t m = 0; m < track.magnitudes.size(); ++m)
        // The bin's least magnitude, rounded as a 16-bit output rounds: past 32767 clips.
        if (static_cast<double>(m) * gain > 32767.5) n += track.magnitudes[m];
    return n;
}

double gainFactor(int steps) {
    return std::pow(10.0, 1.5 * steps / 20.0);
}

Silences findSilences(const uint8_t* bytes, size_t size, double thresholdDb, double minSeconds) {
    Silences result;
    // A sample is silent where every channel's magnitude stays at or below this.
    const double limit = std::pow(10.0, thresholdDb / 20.0);
    int64_t at = 0, runStart = 0, minRun = 0;
    bool inRun = false;
    result.message = decodeStream(bytes, size, [&](const float* pcm, size_t frames, long rate,
                                                   int channels) {
        if (result.sampleRate == 0) {
            result.sampleRate = rate;
            minRun = std::max<int64_t>(1, std::llround(minSeconds * static_cast<double>(rate)));
        }
        for (size_t i = 0; i < frames; ++i, ++at) {
            bool silent = true;
            for (int c = 0; c < channels; ++c)
                silent = silent && std::fabs(pcm[i * static_cast<size_t>(channels) +
                                                 static_cast<size_t>(c)]) <= limit;
            if (silent && !inRun) {
                inRun = true;
                runStart = at;
            } else if (!silent && inRun) {
                inRun = false;
                // Silences at the start and the end split nothing.
                if (runStart > 0 && at - runStart >= minRun)
                    result.middles.push_back(runStart + (at - runStart) / 2);
            }
        }
        return true;
    });
    result.samples = at;
    result.ok = result.message.empty();
    return result;
}

int stepsToward(double measured, double target) {
    const double steps = std::round((target - measured) / 1.5);
    return static_cast<int>(std::fmax(-255.0, std::fmin(255.0, steps)));
}

}  // namespace l3
