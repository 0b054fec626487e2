// l3 gain -g N [--channel 0|1] [--no-tag] IN OUT | l3 gain --undo IN OUT

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "edit/gain.h"
#include "file_bytes.h"

namespace l3tool {

extern const std::string_view kGainUsage =
    "usage: l3 gain -g N [--channel 0|1] [--no-tag] IN OUT\n"
    "       l3 gain --undo IN OUT\n"
    "Adds N (a whole number, positive or negative) to every granule's global_gain in every\n"
    "audio frame: N steps of 1.5 dB, without decoding. Frame CRCs are recomputed; every other\n"
    "byte stays as it was. The undo information goes into an APEv2 tag item, MP3GAIN_UNDO,\n"
    "in the form other gain tools read; --undo applies it and removes it. A gain that would\n"
    "leave 0..255 is held there and counted in a warning. '-' names standard input or output.\n"
    "options:\n"
    "  --channel 0|1   change one channel of a stereo or dual-channel stream\n"
    "  --no-tag        write no undo information\n"
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written; 3 not a Layer III\n"
    "            stream; 4 --undo and no undo information\n";

namespace {

const Command& gainCommand() {
    return *findCommand("gain");
}

bool parseSteps(const char* text, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -255 || v > 255) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

int runGain(std::span<char* const> args) {
    l3::GainOptions options;
    bool undo = false, haveSteps = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "-g" && i + 1 < args.size()) {
            if (!parseSteps(args[++i], options.steps))
                return usageError(gainCommand(), "-g needs a whole number of steps, not ", args[i]);
            haveSteps = true;
        } else if (a == "--channel" && i + 1 < args.size()) {
            const std::string_view c = args[++i];
            if (c != "0" && c != "1")
                return usageError(gainCommand(), "--channel is 0 or 1, not ", c);
            options.channel = c == "0" ? 0 : 1;
        } else if (a == "--no-tag") {
            options.tag = false;
        } else if (a == "--undo") {
            undo = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(gainCommand(), "unknown option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    if (files.size() != 2) return usageError(gainCommand(), "wanted IN and OUT");
    if (undo == haveSteps) return usageError(gainCommand(), "give either -g N or --undo");
    if (sameFile(files[0], files[1])) {
        std::fprintf(stderr, "l3 gain: %s: the output names the input\n", files[1].c_str());
        return l3::kGainIo;
    }
    std::vector<uint8_t> input;
    std::string error;
    if (!readWholeFile(files[0], input, error)) {
        std::fprintf(stderr, "l3 gain: %s: cannot read: %s\n", files[0].c_str(), error.c_str());
        return l3::kGainIo;
    }
    const l3::GainResult r = undo ? l3::undoGain(input.data(), input.size())
                                  : l3::applyGain(input.data(), input.size(), options);
    if (r.status != l3::kGainOk) {
        std::fprintf(stderr, "l3 gain: %s: %s\n", files[0].c_str(), r.message.c_str());
        return r.status;
    }
    if (r.clamped > 0)
        std::fprintf(stderr, "l3 gain: %s: warning: %zu global_gain values held at 0 or 255\n",
                     files[0].c_str(), r.clamped);
    if (!writeOutput(files[1], r.output, error)) {
        std::fprintf(stderr, "l3 gain: %s: cannot write: %s\n", files[1].c_str(), error.c_str());
        return l3::kGainIo;
    }
    return l3::kGainOk;
}

}  // namespace l3tool
