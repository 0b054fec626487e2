// l3 split --at T1,T2,... | --every T [--samples] | --cue SHEET IN OUTPATTERN

#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "l3/edit.h"
#include "l3/id3v2_text.h"
#include "l3/tag_finder.h"
#include "file_bytes.h"
#include "piece_text.h"
#ifdef L3_HAVE_LOUDNESS
#include "l3/loudness.h"
#endif

namespace l3tool {

extern const std::string_view kSplitUsage =
    "usage: l3 split --at T1,T2,... [--samples] [--salvage] IN OUTPATTERN\n"
    "       l3 split --every T [--samples] [--salvage] IN OUTPATTERN\n"
    "       l3 split --cue SHEET [--salvage] IN OUTPATTERN\n"
    "       l3 split --silence [--threshold DB] [--min-silence S] [--salvage] IN OUTPATTERN\n"
    "Writes IN as consecutive pieces, cut at each point T (or every T) the way l3 cut\n"
    "cuts: sample-exact, each piece played gapless gives exactly IN's samples of its\n"
    "range, and l3 join of all the pieces gives back IN's frames. T is seconds (83.5),\n"
    "m:ss.fff or h:mm:ss.fff; with --samples a sample index of the timeline every\n"
    "decoder plays (see l3 cut --help); a point with a leading '-' counts back from the\n"
    "end. OUTPATTERN names piece k (from 1) with one %d,\n"
    "%3d or %03d ('%%' is a percent sign): part-%02d.mp3 gives part-01.mp3, part-02.mp3,\n"
    "... Every piece's name is checked before anything is written, and nothing is written\n"
    "unless every piece could be made and written: the pieces go to temporary files\n"
    "first, then into place. Damage is treated as l3 cut treats it, piece by piece.\n"
    "--cue SHEET cuts at each track's INDEX 01 of a cue sheet (UTF-8 or Latin-1; the first\n"
    "piece from the start of IN); OUTPATTERN may then name a piece by %n (its track\n"
    "number, two digits), %t (its title) and %p (its performer), and each piece gets an\n"
    "ID3v2.4 tag of its title, performer, album and track number in place of IN's ID3v2.\n"
    "A malformed sheet is refused naming its line (exit 1).\n"
    "--silence cuts in the middle of every silence inside IN: a run of at least S seconds\n"
    "(--min-silence, default 1.5) where every channel stays at or below DB (--threshold,\n"
    "default -48dB, below full scale), as libmpg123 decodes it; silence at the start and\n"
    "the end splits nothing. It needs libmpg123 and libebur128 at build time (exit 5\n"
    "without them, or when IN has no such silence).\n"
    "options:\n"
    "  --salvage         repair the damage the pieces need (see l3 cut --help)\n"
    L3_OUTPUT_OPTIONS_HELP
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, a piece names IN, an\n"
    "            existing file (without -f), a directory or a file with several names;\n"
    "            3 not a Layer III stream; 4 a frame whose main data cannot be decoded;\n"
    "            5 a point that does not rise or lies outside the stream, a piece inside\n"
    "            one frame, or a point where no piece can start; 6 a result does not match\n"
    "            the input (an internal fault)\n";

namespace {

const Command& splitCommand() {
    return *findCommand("split");
}

// What names piece k: its number from 1, and with a cue sheet its track.
struct PieceOf {
    int number = 0;
    const l3::CueTrack* track = nullptr;
};

// A title or performer as part of a file name: '/', control characters and NUL become
// '_', and a name of dots only gets a '_' before it; fallback where it is empty.
std::string nameSafe(const std::string& text, const std::string& fallback) {
    if (text.empty()) return fallback;
    // (A name of dots only gets a '_' first.)
    std::string out = text.find_first_not_of('.') == std::string::npos ? "_" : "";
    for (const char c : text)
        out += c == '/' || c == '\\' || (static_cast<unsigned char>(c) < 0x20) ? '_' : c;
    return out;
}

// pattern with the piece's number in place of its %d conversion (flag 0 and a width
// allowed) and, with a track, %n (its number, two digits), %t (its title) and %p (its
// performer) in place of theirs; false when the pattern does not name each piece apart:
// without a track exactly one %d, with one a %d, %n or %t and no more than one %d.
bool pieceName(std::string_view pattern, const PieceOf& piece, std::string& name) {
    name.clear();
    int numbers = 0, apart = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            name += '%';
            ++i;
            continue;
        }
        if (piece.track && i + 1 < pattern.size() &&
            (pattern[i + 1] == 'n' || pattern[i + 1] == 't' || pattern[i + 1] == 'p')) {
            const l3::CueTrack& t = *piece.track;
            const char c = pattern[++i];
            char digits[8];
            std::snprintf(digits, sizeof digits, "%02d", t.number);
            name += c == 'n' ? std::string(digits)
                    : c == 't' ? nameSafe(t.title, std::string("Track ") + digits)
                               : nameSafe(t.performer, "Unknown");
            apart += c != 'p';
            continue;
        }
        size_t j = i + 1;
        const bool zeros = j < pattern.size() && pattern[j] == '0';
        if (zeros) ++j;
        int width = 0;
        for (; j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && width < 100; ++j)
            width = width * 10 + (pattern[j] - '0');
        if (j >= pattern.size() || pattern[j] != 'd' || width >= 100) return false;
        std::string digits = std::to_string(piece.number);
        if (digits.size() < static_cast<size_t>(width))
            digits.insert(0, static_cast<size_t>(width) - digits.size(), zeros ? '0' : ' ');
        name += digits;
        ++numbers;
        ++apart;
        i = j;
    }
    return piece.track ? apart > 0 && numbers <= 1 : numbers == 1;
}

// The piece with its leading ID3v2 tags replaced by one for the track of sheet: title,
// performer, album and track number.
void tagPiece(l3::SpillBytes& bytes, const l3::CueSheet& sheet, const l3::CueTrack& track) {
    const l3::TagLayout layout = l3::findTags(bytes.data(), bytes.size());
    size_t leading = 0;
    for (const l3::TagSpan& t : layout.tags)
        if (t.kind == l3::TagKind::id3v2 && t.offset == leading) leading += t.length;
    const std::string number =
        std::to_string(track.number) + "/" + std::to_string(sheet.tracks.back().number);
    const std::vector<uint8_t> tag = l3::id3v24TextTag({{"TIT2", track.title},
                                                       {"TPE1", track.performer},
                                                       {"TALB", sheet.title},
                                                       {"TRCK", number}});
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(leading));
    bytes.insert(bytes.begin(), tag.begin(), tag.end());
}

constexpr int kExitNoPoints = 5;

// "-48dB", "-48 dB" or "-48": a level below full scale (-200 to 0).
bool parseDecibels(const char* text, double& db) {
    char* end = nullptr;
    db = std::strtod(text, &end);
    if (end == text) return false;
    const std::string_view unit(end);
    return (unit.empty() || unit == "dB" || unit == "db") && std::isfinite(db) && db <= 0 &&
           db >= -200;
}

// Seconds, above 0 and below a day.
bool parseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(seconds) && seconds > 0 &&
           seconds < 86400;
}

// The middles of input's silences as split points; false with the message printed where
// the audio cannot be decoded, has no such silence, or the build has no decoder.
bool silencePoints(const std::string& name, const InputBytes& input, double thresholdDb,
                   double minSeconds, std::vector<l3::TimePoint>& points) {
#ifdef L3_HAVE_LOUDNESS
    const l3::Silences found = l3::findSilences(input.data(), input.size(), thresholdDb, minSeconds);
    if (!found.ok) {
        std::fprintf(stderr, "l3 split: %s: %s\n", name.c_str(), found.message.c_str());
        return false;
    }
    if (found.middles.empty()) {
        std::fprintf(stderr,
                     "l3 split: %s: no silence of %.3g s or more at or below %.3g dB inside "
                     "the audio: nothing to split\n",
                     name.c_str(), minSeconds, thresholdDb);
        return false;
    }
    for (const int64_t middle : found.middles) points.push_back(l3::TimePoint{true, middle, 1});
    return true;
#else
    (void)input, (void)thresholdDb, (void)minSeconds, (void)points;
    std::fprintf(stderr,
                 "l3 split: %s: --silence needs libmpg123 and libebur128, which this build "
                 "lacks (Debian packages libmpg123-dev, libebur128-dev)\n",
                 name.c_str());
    return false;
#endif
}

// Reads the cue sheet at path into sheet; false with the message printed (exit code in
// status: 2 when it cannot be read, 1 when it is malformed).
bool readCue(const std::string& path, l3::CueSheet& sheet, int& status) {
    l3::SpillBytes bytes;
    std::string error;
    if (!readWholeFile(path, bytes, error)) {
        std::fprintf(stderr, "l3 split: %s: cannot read: %s\n", path.c_str(), error.c_str());
        status = kExitUnreadable;
        return false;
    }
    l3::CueProblem problem;
    if (!l3::readCueSheet(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                           bytes.size()),
                          sheet, problem)) {
        if (problem.line > 0)
            std::fprintf(stderr, "l3 split: %s: line %d: %s\n", path.c_str(), problem.line,
                         problem.message.c_str());
        else
            std::fprintf(stderr, "l3 split: %s: %s\n", path.c_str(), problem.message.c_str());
        status = 1;
        return false;
    }
    return true;
}

}  // namespace

int runSplit(std::span<char* const> args) {
    std::string_view at, every;
    std::string cue;
    bool samples = false, salvage = false, silence = false;
    double thresholdDb = -48, minSilence = 1.5;
    std::vector<std::string> files;
    OutputOptions output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--at" && i + 1 < args.size()) {
            at = args[++i];
        } else if (a == "--every" && i + 1 < args.size()) {
            every = args[++i];
        } else if (a == "--cue" && i + 1 < args.size()) {
            cue = args[++i];
        } else if (a == "--silence") {
            silence = true;
        } else if (a == "--threshold" && i + 1 < args.size()) {
            if (!parseDecibels(args[++i], thresholdDb))
                return usageError(splitCommand(), "not a level in dB below full scale: ",
                                  args[i]);
        } else if (a == "--min-silence" && i + 1 < args.size()) {
            if (!parseSeconds(args[++i], minSilence))
                return usageError(splitCommand(), "not a duration: ", args[i]);
        } else if (a == "--samples") {
            samples = true;
        } else if (a == "--salvage") {
            salvage = true;
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(splitCommand(), "bad or incomplete option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    if (files.size() != 2) return usageError(splitCommand(), "wanted IN and OUTPATTERN");
    if (at.empty() + every.empty() + cue.empty() + !silence != 3)
        return usageError(splitCommand(), "give one of --at, --every, --cue and --silence");
    l3::CueSheet sheet;
    int status = 0;
    if (!cue.empty() && !readCue(cue, sheet, status)) return status;
    const auto pieceOf = [&](size_t k) {
        return PieceOf{static_cast<int>(k + 1), cue.empty() ? nullptr : &sheet.tracks[k]};
    };
    std::vector<l3::TimePoint> points;
    l3::TimePoint step;
    for (std::string_view rest = at; !rest.empty();) {
        const size_t comma = rest.find(',');
        const std::string_view text = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (!l3::parseTimePoint(text, samples, points.emplace_back()))
            return usageError(splitCommand(), "not a time: ", text);
    }
    if (!every.empty() && (!l3::parseTimePoint(every, samples, step) || step.fromEnd))
        return usageError(splitCommand(), "not a time: ", every);
    // A track starts at its INDEX 01 (the first piece at the start of IN: what lies before
    // track 1 stays with it).
    for (size_t k = 1; k < sheet.tracks.size(); ++k)
        points.push_back(l3::TimePoint{false, sheet.tracks[k].start, 75});
    std::string name;
    if (!pieceName(files[1], pieceOf(0), name))
        return usageError(splitCommand(),
                          cue.empty() ? "OUTPATTERN needs one %d (or %02d, ...): "
                                      : "OUTPATTERN needs %n, %t or one %d: ",
                          files[1]);

    const l3::FileTimes times = keptTimes(output, files[0]);
    InputBytes input;
    std::string error;
    if (!input.open(files[0], error)) {
        std::fprintf(stderr, "l3 split: %s: cannot read: %s\n", files[0].c_str(), error.c_str());
        return kExitUnreadable;
    }
    if (silence && !silencePoints(files[0], input, thresholdDb, minSilence, points))
        return kExitNoPoints;
    l3::CutResult r =
        l3::splitStream(input.data(), input.size(), points, every.empty() ? nullptr : &step,
                        salvage, !every.empty() || silence);
    for (const std::string& note : r.notes)
        std::fprintf(stderr, "l3 split: %s: %s\n", files[0].c_str(), note.c_str());
    if (r.status != l3::Status::ok) {
        std::fprintf(stderr, "l3 split: %s: %s\n", files[0].c_str(), r.message.c_str());
        return exitCode(r.status);
    }
    std::vector<std::string> names(r.pieces.size());
    std::vector<std::span<const uint8_t>> pieces(r.pieces.size());
    for (size_t k = 0; k < names.size(); ++k) {
        pieceName(files[1], pieceOf(k), names[k]);
        if (!cue.empty()) tagPiece(r.pieces[k].output, sheet, sheet.tracks[k]);
        pieces[k] = r.pieces[k].output;
    }
    if (!outputsAllowed("split", std::span(files).first(1), names, output)) return kExitUnreadable;
    size_t failed = 0;
    if (!writeOutputs(names, pieces, error, failed, times)) {
        std::fprintf(stderr, "l3 split: %s: cannot write: %s; no piece written\n",
                     names[failed].c_str(), error.c_str());
        return kExitUnreadable;
    }
    for (size_t k = 0; k < names.size(); ++k)
        std::printf("%s\n", pieceLine(names[k], r.pieces[k], r.rate).c_str());
    return kExitOk;
}

}  // namespace l3tool
