// libFuzzer target: an ID3v2 tag's user texts rewritten, on any bytes taken as a leading
// tag. A tag that is rewritten reads back with our texts last, holds every frame it kept,
// and rewritten again is the same bytes; nothing outside the input is read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "l3/id3v2_user_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> tag(data, size);
    l3::readUserTexts(tag);
    const std::vector<l3::UserText> ours = {{"REPLAYGAIN_TRACK_GAIN", "-6.52 dB"},
                                            {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}};
    const std::vector<std::string> drop = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                           "REPLAYGAIN_REFERENCE_LOUDNESS"};
    const l3::Id3v2Rewrite r = l3::replaceUserTexts(tag, drop, ours);
    if (!r.ok) return 0;
    const std::vector<l3::UserText> texts = l3::readUserTexts(r.tag);
    if (texts.size() < ours.size()) std::abort();
    for (size_t k = 0; k < ours.size(); ++k) {
        const l3::UserText& t = texts[texts.size() - ours.size() + k];
        if (t.description != ours[k].description || t.value != ours[k].value) std::abort();
    }
    if (l3::replaceUserTexts(r.tag, drop, ours).tag != r.tag) std::abort();
    return 0;
}
