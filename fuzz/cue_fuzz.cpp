// libFuzzer target: cue sheets (l3 split --cue) from any bytes. A sheet read is sound: its
// tracks start in increasing order at numbers 1..99, its texts are valid UTF-8 whatever the
// input's encoding, and a problem names a line of the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "l3/edit.h"

namespace {

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    l3::CueSheet sheet;
    l3::CueProblem problem;
    if (!l3::readCueSheet(text, sheet, problem)) {
        size_t lines = 1;
        for (const char c : text) lines += c == '\n';
        if (problem.message.empty() || problem.line < 0 || static_cast<size_t>(problem.line) > lines)
            std::abort();
        return 0;
    }
    if (sheet.tracks.empty() || !validUtf8(sheet.title) || !validUtf8(sheet.performer)) std::abort();
    for (size_t k = 0; k < sheet.tracks.size(); ++k) {
        const l3::CueTrack& t = sheet.tracks[k];
        if (t.number < 1 || t.number > 99 || t.start < 0 || !validUtf8(t.title) ||
            !validUtf8(t.performer) || (k > 0 && t.start <= sheet.tracks[k - 1].start))
            std::abort();
    }
    return 0;
}
