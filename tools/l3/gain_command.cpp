// l3 gain -g N [--channel 0|1] [--no-tag] IN OUT | l3 gain --undo IN OUT
// l3 gain --target-lufs X [--dry-run] ...

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "edit/gain.h"
#include "file_bytes.h"
#ifdef L3_HAVE_LOUDNESS
#include "loudness/loudness.h"
#endif

namespace l3tool {

extern const std::string_view kGainUsage =
    "usage: l3 gain -g N [--channel 0|1] [--no-tag] IN OUT | --in-place IN...\n"
    "       l3 gain --target-lufs X [--channel 0|1] [--no-tag] IN OUT | --in-place IN...\n"
    "       l3 gain --target-lufs X --dry-run IN\n"
    "       l3 gain --undo IN OUT | --in-place IN...\n"
    "Adds N (a whole number, positive or negative) to every granule's global_gain in every\n"
    "audio frame: N steps of 1.5 dB, without decoding. Frame CRCs are recomputed; every other\n"
    "byte stays as it was. The undo information goes into an APEv2 tag item, MP3GAIN_UNDO,\n"
    "in the form other gain tools read; --undo applies it and removes it. A gain that would\n"
    "leave 0..255 is held there and counted in a warning; the tag then records that an undo\n"
    "cannot be exact (item L3_UNDO_INEXACT), and --undo says so. -g 0 changes nothing: OUT\n"
    "gets IN's bytes, without an undo item. '-' names standard input or output.\n"
    "--target-lufs X measures the integrated loudness (EBU R128) of the decoded audio and\n"
    "applies the whole number of steps that brings it nearest to X LUFS; with --dry-run it\n"
    "only prints the measurement and the steps. It needs libmpg123 and libebur128 at build\n"
    "time.\n"
    "options:\n"
    "  --channel 0|1     change one channel of a stereo or dual-channel stream\n"
    "  --no-tag          write no undo information\n"
    "  --in-place        change each IN itself (through a temporary file; it keeps its\n"
    "                    mode, owner, group and extended attributes; one left as it was,\n"
    "                    as by -g 0, is not touched)\n" L3_OUTPUT_OPTIONS_HELP
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, OUT names IN, an\n"
    "            existing file (without -f) or a file with several names; 3 not a Layer III\n"
    "            stream; 4 --undo and no undo information; 5 the loudness cannot be\n"
    "            measured (silence, undecodable audio, or a build without the libraries);\n"
    "            6 the change could not be undone exactly (changed bytes would make frames\n"
    "            be found otherwise, or its undo would fail): nothing written\n";

namespace {

const Command& gainCommand() {
    return *findCommand("gain");
}

constexpr int kExitCannotMeasure = 5;

bool parseLufs(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value > -100 && value < 10;
}

// Measures the loudness of input and chooses the steps toward target; prints the line
// "IN: L LUFS, target T LUFS: N steps (D dB)" to report. False (the message printed) when it
// cannot be measured.
bool stepsForTarget(const std::string& name, const InputBytes& input, double target, int& steps,
                    FILE* report) {
#ifdef L3_HAVE_LOUDNESS
    const l3::Loudness loudness = l3::measureLoudness(input.data(), input.size());
    if (!loudness.ok) {
        std::fprintf(stderr, "l3 gain: %s: %s\n", name.c_str(), loudness.message.c_str());
        return false;
    }
    steps = l3::stepsToward(loudness.lufs, target);
    std::fprintf(report, "%s: %.1f LUFS, target %.1f LUFS: %+d steps (%+.1f dB)\n", name.c_str(),
                 loudness.lufs, target, steps, 1.5 * steps);
    return true;
#else
    (void)input, (void)target, (void)steps, (void)report;
    std::fprintf(stderr,
                 "l3 gain: %s: --target-lufs needs libmpg123 and libebur128, which this build "
                 "of l3 lacks (Debian packages libmpg123-dev, libebur128-dev)\n",
                 name.c_str());
    return false;
#endif
}

bool parseSteps(const char* text, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -255 || v > 255) return false;
    value = static_cast<int>(v);
    return true;
}

// What one run does to each file.
struct GainRun {
    l3::GainOptions options;
    bool undo, haveTarget, dryRun;
    double target;
    OutputOptions output;
};

// The warnings a change that held values (or the undo of one) gets.
void warnHeld(const GainRun& run, const std::string& in, const l3::GainResult& r) {
    if (r.clamped > 0)
        std::fprintf(stderr,
                     "l3 gain: %s: warning: %zu global_gain values held at 0 or 255, so undoing "
                     "this change will not give them back exactly%s\n",
                     in.c_str(), r.clamped,
                     run.options.tag && !run.undo ? " (recorded in the tag as L3_UNDO_INEXACT)"
                                                  : "");
    if (r.inexact > 0)
        std::fprintf(stderr,
                     "l3 gain: %s: warning: the undo is not exact: a change held %zu "
                     "global_gain values at 0 or 255\n",
                     in.c_str(), r.inexact);
}

// Changes in into out (in place when they are one name): nothing is written when the result
// is in's bytes and out is in. A result that can be read back from its temporary file is
// made there frame by frame; one for standard output or a device is made in memory first.
// Returns the exit code, the messages printed.
int gainOne(const GainRun& run, const std::string& in, const std::string& out) {
    l3::GainOptions options = run.options;
    InputBytes input;
    std::string error;
    const l3::FileTimes times = keptTimes(run.output, in);
    if (!input.open(in, error)) {
        std::fprintf(stderr, "l3 gain: %s: cannot read: %s\n", in.c_str(), error.c_str());
        return l3::kGainIo;
    }
    if (run.haveTarget) {
        FILE* report = run.dryRun || out != "-" ? stdout : stderr;
        if (!stepsForTarget(in, input, run.target, options.steps, report))
            return kExitCannotMeasure;
        if (run.dryRun) return l3::kGainOk;
    }
    const std::span<const uint8_t> bytes(input.data(), input.size());
    std::span<const uint8_t> result;
    l3::GainResult r;
    FileStore store(out), scratch(out);
    const bool inFile = FileStore::readsBack(out);
    if (inFile) {
        r = run.undo ? l3::undoGain(bytes.data(), bytes.size(), store)
                     : l3::applyGain(bytes.data(), bytes.size(), options, store, scratch);
        if (r.status == l3::kGainIo) {
            const std::string& why = !store.error().empty() ? store.error() : scratch.error();
            std::fprintf(stderr, "l3 gain: %s: cannot write: %s\n", out.c_str(), why.c_str());
            return l3::kGainIo;
        }
        if (r.status == l3::kGainOk && !store.finish(result)) r.status = l3::kGainIo;
    } else {
        r = run.undo ? l3::undoGain(bytes.data(), bytes.size())
                     : l3::applyGain(bytes.data(), bytes.size(), options);
        result = r.output;
    }
    if (r.status != l3::kGainOk) {
        std::fprintf(stderr, "l3 gain: %s: %s\n", in.c_str(), r.message.c_str());
        return r.status;
    }
    warnHeld(run, in, r);
    if (in == out && std::equal(result.begin(), result.end(), bytes.begin(), bytes.end()))
        return l3::kGainOk;  // nothing to change: not touched
    const bool written =
        inFile ? store.commit(times) : writeOutput(out, r.output, error, times);
    if (!written) {
        std::fprintf(stderr, "l3 gain: %s: cannot write: %s\n", out.c_str(),
                     (inFile ? store.error() : error).c_str());
        return l3::kGainIo;
    }
    return l3::kGainOk;
}

}  // namespace

int runGain(std::span<char* const> args) {
    l3::GainOptions options;
    bool undo = false, haveSteps = false, haveTarget = false, dryRun = false, inPlace = false;
    double target = 0;
    std::vector<std::string> files;
    OutputOptions output;
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
        } else if (a == "--target-lufs" && i + 1 < args.size()) {
            if (!parseLufs(args[++i], target))
                return usageError(gainCommand(), "--target-lufs needs a loudness in LUFS, not ",
                                  args[i]);
            haveTarget = true;
        } else if (a == "--dry-run") {
            dryRun = true;
        } else if (a == "--undo") {
            undo = true;
        } else if (a == "--in-place") {
            inPlace = true;
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(gainCommand(), "unknown option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    if (int{undo} + int{haveSteps} + int{haveTarget} != 1)
        return usageError(gainCommand(), "give one of -g N, --target-lufs X and --undo");
    if (dryRun && !haveTarget)
        return usageError(gainCommand(), "--dry-run goes with --target-lufs");
    if (inPlace && (dryRun || files.empty()))
        return usageError(gainCommand(), "--in-place wants one or more IN and no --dry-run");
    if (!inPlace && files.size() != (dryRun ? 1u : 2u))
        return usageError(gainCommand(), dryRun ? "wanted IN" : "wanted IN and OUT");
    const GainRun run{options, undo, haveTarget, dryRun, target, output};
    if (dryRun) return gainOne(run, files[0], "");
    std::vector<std::string> ins = files, outs = files;
    if (!inPlace) {
        ins.resize(1);
        outs.erase(outs.begin());
    }
    if (std::find(ins.begin(), ins.end(), "-") != ins.end() && inPlace)
        return usageError(gainCommand(), "with --in-place an input cannot be ", "-");
    if (!outputsAllowed("gain", ins, outs, output, inPlace)) return l3::kGainIo;
    int status = l3::kGainOk;
    size_t failed = 0;
    for (size_t k = 0; k < ins.size(); ++k) {
        const int one = gainOne(run, ins[k], outs[k]);
        failed += one != l3::kGainOk;
        status = std::max(status, one);
    }
    if (ins.size() > 1 && failed > 0)
        std::fprintf(stderr, "l3 gain: %zu of %zu files failed\n", failed, ins.size());
    return status;
}

}  // namespace l3tool
