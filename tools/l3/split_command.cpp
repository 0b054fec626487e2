// l3 split --at T1,T2,... | --every T [--samples] IN OUTPATTERN

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "edit/cut.h"
#include "file_bytes.h"
#include "piece_text.h"

namespace l3tool {

extern const std::string_view kSplitUsage =
    "usage: l3 split --at T1,T2,... [--samples] [--salvage] IN OUTPATTERN\n"
    "       l3 split --every T [--samples] [--salvage] IN OUTPATTERN\n"
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

// pattern with number in place of its one %d conversion (flag 0 and a width allowed);
// false when there is not exactly one.
bool pieceName(std::string_view pattern, int number, std::string& name) {
    name.clear();
    int conversions = 0;
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
        size_t j = i + 1;
        const bool zeros = j < pattern.size() && pattern[j] == '0';
        if (zeros) ++j;
        int width = 0;
        for (; j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && width < 100; ++j)
            width = width * 10 + (pattern[j] - '0');
        if (j >= pattern.size() || pattern[j] != 'd' || width >= 100) return false;
        std::string digits = std::to_string(number);
        if (digits.size() < static_cast<size_t>(width))
            digits.insert(0, static_cast<size_t>(width) - digits.size(), zeros ? '0' : ' ');
        name += digits;
        ++conversions;
        i = j;
    }
    return conversions == 1;
}

}  // namespace

int runSplit(std::span<char* const> args) {
    std::string_view at, every;
    bool samples = false, salvage = false;
    std::vector<std::string> files;
    OutputOptions output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--at" && i + 1 < args.size()) {
            at = args[++i];
        } else if (a == "--every" && i + 1 < args.size()) {
            every = args[++i];
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
    if (at.empty() == every.empty()) return usageError(splitCommand(), "give --at or --every");
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
    std::string name;
    if (!pieceName(files[1], 1, name))
        return usageError(splitCommand(), "OUTPATTERN needs one %d (or %02d, ...): ", files[1]);

    const l3::FileTimes times = keptTimes(output, files[0]);
    InputBytes input;
    std::string error;
    if (!input.open(files[0], error)) {
        std::fprintf(stderr, "l3 split: %s: cannot read: %s\n", files[0].c_str(), error.c_str());
        return l3::kEditIo;
    }
    const l3::CutResult r =
        l3::splitStream(input.data(), input.size(), points, every.empty() ? nullptr : &step,
                        salvage);
    for (const std::string& note : r.notes)
        std::fprintf(stderr, "l3 split: %s: %s\n", files[0].c_str(), note.c_str());
    if (r.status != l3::kEditOk) {
        std::fprintf(stderr, "l3 split: %s: %s\n", files[0].c_str(), r.message.c_str());
        return r.status;
    }
    std::vector<std::string> names(r.pieces.size());
    std::vector<std::span<const uint8_t>> pieces(r.pieces.size());
    for (size_t k = 0; k < names.size(); ++k) {
        pieceName(files[1], static_cast<int>(k + 1), names[k]);
        pieces[k] = r.pieces[k].output;
    }
    if (!outputsAllowed("split", std::span(files).first(1), names, output)) return l3::kEditIo;
    size_t failed = 0;
    if (!writeOutputs(names, pieces, error, failed, times)) {
        std::fprintf(stderr, "l3 split: %s: cannot write: %s; no piece written\n",
                     names[failed].c_str(), error.c_str());
        return l3::kEditIo;
    }
    for (size_t k = 0; k < names.size(); ++k)
        std::printf("%s\n", pieceLine(names[k], r.pieces[k], r.rate).c_str());
    return l3::kEditOk;
}

}  // namespace l3tool
