#include "loudness/loudness.h"

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
struct MeterDeleter {
    void operator()(ebur128_state* s) const { ebur128_destroy(&s); }
};

// Decodes bytes as a player does (libmpg123, gapless, native rate and channel count, 16-bit)
// and hands each block of samples to take(samples, frames, rate, channels). An empty
// message when the whole stream decoded; else why not.
template <typename Take>
std::string decodeStream(const uint8_t* bytes, size_t size, Take&& take) {
    int error = MPG123_OK;
    std::unique_ptr<mpg123_handle, DecoderDeleter> decoder(mpg123_new(nullptr, &error));
    if (!decoder) return std::string("cannot start the decoder: ") + mpg123_plain_strerror(error);
    mpg123_handle* mh = decoder.get();
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
        mpg123_format(mh, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open_feed(mh) != MPG123_OK || mpg123_feed(mh, bytes, size) != MPG123_OK)
        return std::string("cannot decode: ") + mpg123_strerror(mh);
    std::vector<int16_t> pcm(1 << 16);
    long rate = 0;
    int channels = 0;
    for (;;) {
        size_t done = 0;
        const int status = mpg123_read(mh, pcm.data(), pcm.size() * sizeof(int16_t), &done);
        if (status == MPG123_NEW_FORMAT) {
            if (channels != 0) return "the stream changes its sampling rate or channel count";
            int encoding = 0;
            mpg123_getformat(mh, &rate, &channels, &encoding);
        }
        if (done > 0 && channels > 0 &&
            !take(pcm.data(), done / sizeof(int16_t) / static_cast<size_t>(channels), rate,
                  channels))
            return "cannot measure the audio";
        if (status == MPG123_NEED_MORE || status == MPG123_DONE) break;
        if (status != MPG123_OK && status != MPG123_NEW_FORMAT)
            return std::string("cannot decode: ") + mpg123_strerror(mh);
    }
    if (channels == 0) return "no audio to measure";
    return "";
}

}  // namespace

Loudness measureLoudness(const uint8_t* bytes, size_t size) {
    Loudness result;
    std::unique_ptr<ebur128_state, MeterDeleter> meter;
    result.message = decodeStream(bytes, size, [&](const int16_t* pcm, size_t frames, long rate,
                                                   int channels) {
        if (!meter) {
            meter.reset(ebur128_init(static_cast<unsigned>(channels),
                                     static_cast<unsigned long>(rate), EBUR128_MODE_I));
            if (!meter) return false;
            result.sampleRate = rate;
            result.channels = channels;
        }
        ebur128_add_frames_short(meter.get(), pcm, frames);
        result.samples += frames;
        return true;
    });
    if (!result.message.empty()) return result;
    if (!meter || result.samples == 0) {
        result.message = "no audio to measure";
        return result;
    }
    double lufs = 0;
    if (ebur128_loudness_global(meter.get(), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs)) {
        result.message = "no loudness to measure: the audio is silent or too short";
        return result;
    }
    result.ok = true;
    result.lufs = lufs;
    return result;
}

Silences findSilences(const uint8_t* bytes, size_t size, double thresholdDb, double minSeconds) {
    Silences result;
    // A sample is silent where every channel's magnitude stays at or below this.
    const double limit = 32768.0 * std::pow(10.0, thresholdDb / 20.0);
    int64_t at = 0, runStart = 0, minRun = 0;
    bool inRun = false;
    result.message = decodeStream(bytes, size, [&](const int16_t* pcm, size_t frames, long rate,
                                                   int channels) {
        if (result.sampleRate == 0) {
            result.sampleRate = rate;
            minRun = std::max<int64_t>(1, std::llround(minSeconds * static_cast<double>(rate)));
        }
        for (size_t i = 0; i < frames; ++i, ++at) {
            bool silent = true;
            for (int c = 0; c < channels; ++c)
                silent = silent && std::abs(pcm[i * static_cast<size_t>(channels) +
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
