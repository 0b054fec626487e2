#include "loudness/loudness.h"

#include <ebur128.h>
#include <mpg123.h>

#include <cmath>
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

}  // namespace

Loudness measureLoudness(const uint8_t* bytes, size_t size) {
    Loudness result;
    int error = MPG123_OK;
    std::unique_ptr<mpg123_handle, DecoderDeleter> decoder(mpg123_new(nullptr, &error));
    if (!decoder) {
        result.message = std::string("cannot start the decoder: ") + mpg123_plain_strerror(error);
        return result;
    }
    mpg123_handle* mh = decoder.get();
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Native rate and channel count, 16-bit samples.
    mpg123_format_none(mh);
    for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
        mpg123_format(mh, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open_feed(mh) != MPG123_OK || mpg123_feed(mh, bytes, size) != MPG123_OK) {
        result.message = std::string("cannot decode: ") + mpg123_strerror(mh);
        return result;
    }
    std::unique_ptr<ebur128_state, MeterDeleter> meter;
    std::vector<int16_t> pcm(1 << 16);
    for (;;) {
        size_t done = 0;
        const int status = mpg123_read(mh, pcm.data(), pcm.size() * sizeof(int16_t), &done);
        if (status == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0, encoding = 0;
            mpg123_getformat(mh, &rate, &channels, &encoding);
            if (meter) {
                result.message = "the stream changes its sampling rate or channel count";
                return result;
            }
            meter.reset(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                     EBUR128_MODE_I));
            if (!meter) {
                result.message = "cannot start the loudness meter";
                return result;
            }
            result.sampleRate = rate;
            result.channels = channels;
        }
        if (done > 0 && meter) {
            const size_t frames = done / sizeof(int16_t) / static_cast<size_t>(result.channels);
            ebur128_add_frames_short(meter.get(), pcm.data(), frames);
            result.samples += frames;
        }
        if (status == MPG123_NEED_MORE || status == MPG123_DONE) break;
        if (status != MPG123_OK && status != MPG123_NEW_FORMAT) {
            result.message = std::string("cannot decode: ") + mpg123_strerror(mh);
            return result;
        }
    }
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

int stepsToward(double measured, double target) {
    const double steps = std::round((target - measured) / 1.5);
    return static_cast<int>(std::fmax(-255.0, std::fmin(255.0, steps)));
}

}  // namespace l3
