// l3 join -o OUT IN...

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "l3/edit.h"
#include "file_bytes.h"

namespace l3tool {

extern const std::string_view kJoinUsage =
    "usage: l3 join [--salvage] -o OUT IN...\n"
    "Writes the audio frames of every IN, in order, as one stream without decoding: the\n"
    "bit reservoir is laid out anew across every seam, and one Xing/Info frame counts the\n"
    "frames and bytes and carries the first input's encoder delay and the last input's\n"
    "padding. At each seam between different streams, whole frames of the earlier one's\n"
    "padding and the later one's delay are left out, so that the result plays as long as\n"
    "the inputs together, within half a frame. The inputs must share version, sampling\n"
    "rate and channel count. Consecutive pieces of one stream (as l3 split writes them)\n"
    "give back that stream's frames: the frames a piece repeats from the one before are\n"
    "written once. The tags around the frames are the first input's. '-' names standard\n"
    "output. Damage in an input (a frame that does not decode, junk between frames, a cut\n"
    "last frame, a wrong Xing/Info frame) is refused, naming it, unless --salvage.\n"
    "options:\n"
    "  --salvage         repair damage: a frame that does not decode becomes a silent\n"
    "                    frame of its duration, junk and a cut last frame are dropped\n"
    L3_OUTPUT_OPTIONS_HELP
    "                    (with --keep-times, the first IN's)\n"
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, OUT names an IN, an\n"
    "            existing file (without -f) or a file with several names; 3 not a Layer III\n"
    "            stream; 4 a frame whose main data cannot be decoded; 5 an input differs\n"
    "            from the first in version, sampling rate or channel count (it is named),\n"
    "            or the frames fit no layout; 6 the result does not match the inputs (an\n"
    "            internal fault)\n";

namespace {

const Command& joinCommand() {
    return *findCommand("join");
}

}  // namespace

int runJoin(std::span<char* const> args) {
    std::string out;
    std::vector<std::string> files;
    OutputOptions output;
    bool salvage = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "-o" && i + 1 < args.size()) {
            out = args[++i];
        } else if (a == "--salvage") {
            salvage = true;
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(joinCommand(), "bad or incomplete option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    if (out.empty()) return usageError(joinCommand(), "wanted -o OUT");
    if (files.empty()) return usageError(joinCommand(), "wanted at least one IN");
    const l3::FileTimes times = keptTimes(output, files[0]);
    std::vector<std::unique_ptr<InputBytes>> bytes;
    std::vector<l3::JoinInput> inputs;
    std::string error;
    if (!outputsAllowed("join", files, std::span(&out, 1), output)) return kExitUnreadable;
    for (const std::string& f : files) {
        bytes.push_back(std::make_unique<InputBytes>());
        if (!bytes.back()->open(f, error)) {
            std::fprintf(stderr, "l3 join: %s: cannot read: %s\n", f.c_str(), error.c_str());
            return kExitUnreadable;
        }
        inputs.push_back({f, bytes.back()->data(), bytes.back()->size()});
    }
    const l3::JoinResult r = l3::joinStreams(inputs, salvage);
    for (const std::string& note : r.notes) std::fprintf(stderr, "l3 join: %s\n", note.c_str());
    if (r.status != l3::Status::ok) {
        std::fprintf(stderr, "l3 join: %s\n", r.message.c_str());
        return exitCode(r.status);
    }
    if (!writeOutput(out, r.output, error, times)) {
        std::fprintf(stderr, "l3 join: %s: cannot write: %s\n", out.c_str(), error.c_str());
        return kExitUnreadable;
    }
    std::fprintf(out == "-" ? stderr : stdout,
                 "%s: %zu inputs, %zu frames (%zu repeated frames written once, %zu left out "
                 "at seams), %zu bytes\n",
                 out.c_str(), inputs.size(), r.frames, r.repeatedFrames, r.seamFrames,
                 r.output.size());
    return kExitOk;
}

}  // namespace l3tool
