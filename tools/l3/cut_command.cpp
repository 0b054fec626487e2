// l3 cut [--from T] [--to T | --length T] IN OUT

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "l3/edit.h"
#include "file_bytes.h"
#include "piece_text.h"

namespace l3tool {

extern const std::string_view kCutUsage =
    "usage: l3 cut [--from T] [--to T | --length T] [--salvage] IN OUT\n"
    "       l3 cut [--from-sample N] [--to-sample N | --length-samples N] [--salvage] IN OUT\n"
    "Writes the part of IN from T (default the start) to T (default the end; past the end\n"
    "means the end) without decoding, sample-exact: mpg123 and ffmpeg each play exactly\n"
    "the samples of that range they play of IN. The piece starts with the frames its first\n"
    "samples depend on, laid out anew so that none reaches back before the piece, and its\n"
    "Xing/Info frame's LAME extension (one is made where IN has none) holds the encoder\n"
    "delay and padding that hide the rest; whole frames from the start of a stream without\n"
    "a LAME extension are written as it is. T is seconds (83.5), m:ss.fff or h:mm:ss.fff;\n"
    "N a sample index of the timeline every decoder plays (as l3 info counts it: after the\n"
    "encoder delay and the decoder's 529 samples with a LAME extension, from the first\n"
    "decoded sample without one, from sample 529 after a Xing/Info frame without one).\n"
    "A leading '-' counts T or N back from the end (--from -30: the last 30 seconds);\n"
    "--length gives the piece's length from its start instead of its end.\n"
    "Tags around the frames are copied. '-' names standard input or output (then the line\n"
    "about the piece goes to standard error). Damage in the frames the piece needs (a frame\n"
    "that does not decode, junk between them, a cut last frame, a wrong Xing/Info frame) is\n"
    "refused unless --salvage; damage elsewhere is noted and does not matter.\n"
    "options:\n"
    "  --salvage         repair the damage the piece needs: a frame that does not decode\n"
    "                    becomes a silent frame of its duration, junk and a cut last frame\n"
    "                    are dropped\n" L3_OUTPUT_OPTIONS_HELP
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, OUT names IN, an\n"
    "            existing file (without -f) or a file with several names; 3 not a Layer III\n"
    "            stream; 4 a frame whose main data cannot be decoded; 5 the range is empty,\n"
    "            starts past the end or lies inside one frame, or no piece can start\n"
    "            there; 6 the result does not match the input (an internal fault)\n";

namespace {

const Command& cutCommand() {
    return *findCommand("cut");
}

}  // namespace

int runCut(std::span<char* const> args) {
    l3::TimePoint from, to;
    bool haveTo = false, salvage = false, toIsLength = false;
    OutputOptions output;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        const bool samples =
            a == "--from-sample" || a == "--to-sample" || a == "--length-samples";
        const bool length = a == "--length" || a == "--length-samples";
        if ((a == "--from" || a == "--to" || length || samples) && i + 1 < args.size()) {
            const bool isFrom = a == "--from" || a == "--from-sample";
            if (!isFrom && haveTo)
                return usageError(cutCommand(), "give one of --to and --length: ", a);
            l3::TimePoint& point = isFrom ? from : to;
            if (!l3::parseTimePoint(args[++i], samples, point) || (length && point.fromEnd))
                return usageError(cutCommand(),
                                  samples ? "not a sample index: " : "not a time: ", args[i]);
            haveTo = haveTo || !isFrom;
            toIsLength = toIsLength || length;
        } else if (a == "--salvage") {
            salvage = true;
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(cutCommand(), "bad or incomplete option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    if (files.size() != 2) return usageError(cutCommand(), "wanted IN and OUT");
    if (!outputsAllowed("cut", std::span(files).first(1), std::span(files).subspan(1), output))
        return kExitUnreadable;
    const l3::FileTimes times = keptTimes(output, files[0]);
    InputBytes input;
    std::string error;
    if (!input.open(files[0], error)) {
        std::fprintf(stderr, "l3 cut: %s: cannot read: %s\n", files[0].c_str(), error.c_str());
        return kExitUnreadable;
    }
    const l3::CutResult r =
        l3::cutStream(input.data(), input.size(), from, haveTo ? &to : nullptr, salvage,
                      toIsLength);
    for (const std::string& note : r.notes)
        std::fprintf(stderr, "l3 cut: %s: %s\n", files[0].c_str(), note.c_str());
    if (r.status != l3::Status::ok) {
        std::fprintf(stderr, "l3 cut: %s: %s\n", files[0].c_str(), r.message.c_str());
        return exitCode(r.status);
    }
    if (!writeOutput(files[1], r.pieces[0].output, error, times)) {
        std::fprintf(stderr, "l3 cut: %s: cannot write: %s\n", files[1].c_str(), error.c_str());
        return kExitUnreadable;
    }
    std::fprintf(files[1] == "-" ? stderr : stdout, "%s\n",
                 pieceLine(files[1], r.pieces[0], r.rate).c_str());
    return kExitOk;
}

}  // namespace l3tool
