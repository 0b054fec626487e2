#include "l3/edit.h"

#include <cstddef>

namespace l3 {

namespace {

constexpr int kFramesPerSecond = 75;
constexpr int kMaxTracks = 99;

// The length of the UTF-8 sequence at text[i], or 0 where it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t utf8Length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) return 1;
    size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || b > 0xF4 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char c = byte(i + 1);
    if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c >= 0xA0) || (b == 0xF0 && c < 0x90) ||
        (b == 0xF4 && c >= 0x90))
        return 0;
    return n;
}

bool isUtf8(std::string_view text) {
    for (size_t i = 0, n; i < text.size(); i += n)
        if ((n = utf8Length(text, i)) == 0) return false;
    return true;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != b[i]) return false;
    return true;
}

// The words of a line: runs of characters other than blanks, or "quoted strings" (their
// quotes removed). False on a string that is not closed.
bool wordsOf(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == line.size()) return true;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            words.emplace_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
            words.emplace_back(line.substr(start, i - start));
        }
    }
}

// Digits only, 1..maxDigits of them.
bool number(std::string_view text, size_t maxDigits, int64_t& value) {
    if (text.empty() || text.size() > maxDigits) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// mm:ss:ff in frames of 1/75 s.
bool cueTime(std::string_view text, int64_t& frames) {
    const size_t a = text.find(':');
    const size_t b = a == std::string_view::npos ? a : text.find(':', a + 1);
    int64_t m = 0, s = 0, f = 0;
    if (b == std::string_view::npos || !number(text.substr(0, a), 4, m) ||
        !number(text.substr(a + 1, b - a - 1), 2, s) || !number(text.substr(b + 1), 2, f) ||
        s >= 60 || f >= kFramesPerSecond)
        return false;
    frames = (m * 60 + s) * kFramesPerSecond + f;
    return true;
}

// The words after the command, as one text (a title written without quotes may hold blanks).
std::string rest(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 1; i < words.size(); ++i) {
        if (i > 1) out += ' ';
        out += words[i];
    }
    return out;
}

}  // namespace

bool readCueSheet(std::string_view raw, CueSheet& sheet, CueProblem& problem) {
    sheet = CueSheet{};
    problem = CueProblem{};
    if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    const std::string text = isUtf8(raw) ? std::string(raw) : latin1ToUtf8(raw);
    const auto fail = [&](int line, std::string message) {
        problem = {line, std::move(message)};
        return false;
    };
    std::vector<std::string> words;
    int files = 0;
    bool haveIndex = true;  // the last track's INDEX 01 was read (none before the first)
    int line = 0;
    for (size_t at = 0; at < text.size();) {
        ++line;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view l(text.data() + at, end - at);
        at = end + 1;
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (!wordsOf(l, words)) return fail(line, "a string is not closed");
        if (words.empty()) continue;
        const std::string& command = words[0];
        CueTrack* track = sheet.tracks.empty() ? nullptr : &sheet.tracks.back();
        if (sameWord(command, "TRACK")) {
            if (!haveIndex) return fail(line, "track " + std::to_string(track->number) +
                                                      " has no INDEX 01");
            int64_t n = 0;
            if (words.size() < 3 || !number(words[1], 2, n) || n == 0)
                return fail(line, "TRACK wants a number (1 to 99) and a type");
            if (!sameWord(words[2], "AUDIO"))
                return fail(line, "track " + words[1] + " is not audio (" + words[2] + ")");
            if (files == 0) return fail(line, "a TRACK before any FILE");
            if (sheet.tracks.size() == kMaxTracks) return fail(line, "more than 99 tracks");
            CueTrack t;
            t.number = static_cast<int>(n);
            sheet.tracks.push_back(t);
            haveIndex = false;
        } else if (sameWord(command, "INDEX")) {
            int64_t n = 0, frames = 0;
            if (!track || words.size() != 3 || !number(words[1], 2, n) ||
                !cueTime(words[2], frames))
                return fail(line, "INDEX wants a track, a number and mm:ss:ff (75 frames a "
                                  "second)");
            if (n != 1) continue;
            if (haveIndex) return fail(line, "a second INDEX 01 in one track");
            if (sheet.tracks.size() > 1 && frames <= sheet.tracks[sheet.tracks.size() - 2].start)
                return fail(line, "track " + std::to_string(track->number) +
                                      " does not start after the track before it");
            track->start = frames;
            haveIndex = true;
        } else if (sameWord(command, "FILE")) {
            if (++files > 1)
                return fail(line, "a second FILE: the sheet spans several files, and l3 splits "
                                  "one");
        } else if (sameWord(command, "TITLE")) {
            (track ? track->title : sheet.title) = rest(words);
        } else if (sameWord(command, "PERFORMER")) {
            (track ? track->performer : sheet.performer) = rest(words);
        }
    }
    if (sheet.tracks.empty()) return fail(0, "the sheet has no track");
    if (!haveIndex)
        return fail(line, "track " + std::to_string(sheet.tracks.back().number) +
                              " has no INDEX 01");
    for (CueTrack& t : sheet.tracks)
        if (t.performer.empty()) t.performer = sheet.performer;
    return true;
}

}  // namespace l3
