// l3 gain -g N [--channel 0|1] [--no-tag] IN OUT | l3 gain --undo IN OUT
// l3 gain --target-lufs X [--dry-run] ...

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch.h"
#include "command.h"
#include "l3/edit.h"
#include "file_bytes.h"
#include "json_text.h"
#ifdef L3_HAVE_LOUDNESS
#include "l3/loudness.h"
#endif

namespace l3tool {

extern const std::string_view kGainUsage =
    "usage: l3 gain -g N [--channel 0|1] [--no-tag] IN OUT | --in-place IN... | -o DIR IN...\n"
    "       l3 gain --track|--album [--target-lufs X | --target-db D] [--no-clip]\n"
    "               [--true-peak] [--no-tag] IN OUT | --in-place IN... | -o DIR IN...\n"
    "       l3 gain --track|--album [...] --dry-run IN...\n"
    "       l3 gain --track|--album --write-tags [...] IN OUT | --in-place IN... | -o DIR IN...\n"
    "       l3 gain --scan [--json] [--target-lufs X | --target-db D] [--no-clip] IN...\n"
    "       l3 gain --undo IN OUT | --in-place IN... | -o DIR IN...\n"
    "Adds N (a whole number, positive or negative) to every granule's global_gain in every\n"
    "audio frame: N steps of 1.5 dB, without decoding. Frame CRCs are recomputed; every other\n"
    "byte stays as it was. The undo information goes into an APEv2 tag item, MP3GAIN_UNDO,\n"
    "in the form other gain tools read; --undo applies it and removes it. A gain that would\n"
    "leave 0..255 is held there and counted in a warning; the tag then records that an undo\n"
    "cannot be exact (item L3_UNDO_INEXACT), and --undo says so. -g 0 changes nothing: OUT\n"
    "gets IN's bytes, without an undo item. '-' names standard input or output.\n"
    "--track measures the integrated loudness (EBU R128) of each file's decoded audio and\n"
    "applies the whole number of steps that brings it nearest to the target (--target-lufs\n"
    "X, default -18 LUFS; --target-db D in the 89 dB convention, D - 107 LUFS; --target-lufs\n"
    "alone means --track); --album applies one number of steps to every file, from their\n"
    "joint loudness, all measured before any changes. --no-clip lowers the steps until the\n"
    "decoded peak (with --true-peak the peak between samples) stays at or below full scale;\n"
    "without it a gain that clips says how many samples and how far. --scan prints each\n"
    "file's loudness, peaks and steps and the album's, changing nothing. --write-tags\n"
    "applies nothing: it writes ReplayGain 2.0 tags (track gain and peak, album gain and\n"
    "peak with --album, the reference loudness) as ID3v2 TXXX frames, and APEv2 items where\n"
    "the file has an APEv2 tag, every frame's bytes left as they were. Measuring needs\n"
    "libmpg123 and libebur128 at build time.\n"
    "options:\n"
    "  --channel 0|1     change one channel of a stereo or dual-channel stream\n"
    "  --no-tag          write no undo information\n"
    "  --in-place        change each IN itself (through a temporary file; it keeps its\n"
    "                    mode, owner, group and extended attributes; one left as it was,\n"
    "                    as by -g 0, is not touched)\n"
    "  -o DIR            write each IN to DIR under its own name\n"
    "  -j N              work on N files at once\n"
    "  -q, --quiet       no line per file\n" L3_OUTPUT_OPTIONS_HELP
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, OUT names IN, an\n"
    "            existing file (without -f) or a file with several names; 3 not a Layer III\n"
    "            stream; 4 --undo and no undo information; 5 the loudness cannot be\n"
    "            measured (silence, undecodable audio, or a build without the libraries);\n"
    "            6 the change could not be undone exactly (changed bytes would make frames\n"
    "            be found otherwise, or its undo would fail), or tags would not read back:\n"
    "            nothing written; 7 --write-tags and an ID3v2 tag that cannot be rewritten\n"
    "            (version 2.2, unsynchronised, damaged). With several files, the highest of\n"
    "            their codes, the failures counted\n";

namespace {

const Command& gainCommand() {
    return *findCommand("gain");
}

constexpr int kExitCannotMeasure = 5;

// A loudness in LUFS (after subtracting shift: 107 turns mp3gain's dB into LUFS).
bool parseLufs(const char* text, double shift, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end) - shift;
    return end != text && *end == '\0' && std::isfinite(value) && value > -100 && value < 10;
}

// dBFS of a magnitude (1: full scale).
double dbfs(double magnitude) {
    return magnitude > 0 ? 20 * std::log10(magnitude) : -INFINITY;
}

// How a run measures and chooses steps (--track, --album, --target-lufs, --scan).
struct Target {
    bool measure = false;  // steps come from a measurement
    bool album = false;    // one gain for all the files, from their joint loudness
    bool noClip = false;   // steps lowered until the peak stays at or below full scale
    bool truePeak = false; // the peak between samples counts (else the sample peak)
    double lufs = -18;
};

// What was measured of one file, and the steps chosen for it.
struct Measured {
    bool ok = false;
    double lufs = 0, peak = 0, truePeak = 0;
    int trackSteps = 0;  // toward the target, clipping kept away where asked
#ifdef L3_HAVE_LOUDNESS
    l3::Loudness loudness;
#endif
};

// steps toward target from lufs, lowered while the peak times their factor passes full
// scale (with noClip).
int chooseSteps(double lufs, double peak, const Target& target) {
#ifdef L3_HAVE_LOUDNESS
    int steps = l3::stepsToward(lufs, target.lufs);
    while (target.noClip && steps > -255 && peak * l3::gainFactor(steps) > 1.0) --steps;
    return steps;
#else
    (void)lufs, (void)peak, (void)target;
    return 0;
#endif
}

// Measures input; false with the message printed when it cannot be measured.
bool measure(const std::string& name, const InputBytes& input, const Target& target,
             Measured& m, FileReport& report) {
#ifdef L3_HAVE_LOUDNESS
    m.loudness = l3::measureLoudness(input.data(), input.size());
    if (!m.loudness.ok) {
        report.say(stderr, "l3 gain: %s: %s", name.c_str(), m.loudness.message.c_str());
        return false;
    }
    m.ok = true;
    m.lufs = m.loudness.lufs;
    m.peak = m.loudness.peak;
    m.truePeak = m.loudness.truePeak;
    m.trackSteps = chooseSteps(m.lufs, target.truePeak ? m.truePeak : m.peak, target);
    return true;
#else
    (void)input, (void)target, (void)m;
    report.say(stderr,
               "l3 gain: %s: measuring the loudness needs libmpg123 and libebur128, which "
               "this build of l3 lacks (Debian packages libmpg123-dev, libebur128-dev)",
               name.c_str());
    return false;
#endif
}

// The warning that steps clip samples of a measured file: how many and by how much.
void warnClipping(const std::string& name, const Measured& m, int steps, bool truePeak,
                  FileReport& report) {
#ifdef L3_HAVE_LOUDNESS
    const double factor = l3::gainFactor(steps);
    const uint64_t clipped = l3::clippedSamples(m.loudness, factor);
    const double peak = (truePeak ? m.truePeak : m.peak) * factor;
    if (clipped == 0 && peak <= 1.0) return;
    report.say(stderr,
               "l3 gain: %s: warning: %+d steps clip: %llu samples pass full scale, the peak "
               "reaches %+.2f dBFS%s (--no-clip keeps it at or below 0)",
               name.c_str(), steps, static_cast<unsigned long long>(clipped), dbfs(peak),
               truePeak ? " between samples" : "");
#else
    (void)name, (void)m, (void)steps, (void)truePeak, (void)report;
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
    bool undo = false, dryRun = false, writeTags = false, quiet = false, many = false;
    Target target;
    OutputOptions output;
};

// The album's measurement (--album): its loudness and peak, and the steps for every file.
struct Album {
    double lufs = 0, peak = 0;
    int steps = 0;
};

// The warnings a change that held values (or the undo of one) gets.
void warnHeld(const GainRun& run, const std::string& in, const l3::GainResult& r,
              FileReport& report) {
    if (r.clamped > 0)
        report.say(stderr,
                   "l3 gain: %s: warning: %zu global_gain values held at 0 or 255, so undoing "
                   "this change will not give them back exactly%s",
                   in.c_str(), r.clamped,
                   run.options.tag && !run.undo ? " (recorded in the tag as L3_UNDO_INEXACT)" : "");
    if (r.inexact > 0)
        report.say(stderr,
                   "l3 gain: %s: warning: the undo is not exact: a change held %zu "
                   "global_gain values at 0 or 255",
                   in.c_str(), r.inexact);
}

// The gain a tag records: the target less the loudness, lowered with --no-clip until the
// peak stays at or below full scale.
double tagGain(double lufs, double peak, const Target& target) {
    const double gain = target.lufs - lufs;
    return target.noClip && peak > 0 ? std::min(gain, -dbfs(peak)) : gain;
}

// The ReplayGain values of a measured file (and of its album).
l3::LoudnessTags tagsOf(const Measured& m, const Album* album, const Target& target) {
    l3::LoudnessTags tags;
    tags.trackPeak = target.truePeak ? m.truePeak : m.peak;
    tags.trackGain = tagGain(m.lufs, tags.trackPeak, target);
    if (album) {
        tags.album = true;
        tags.albumPeak = album->peak;
        tags.albumGain = tagGain(album->lufs, album->peak, target);
    }
    tags.reference = target.lufs;
    return tags;
}

// Says what was measured and what is done with it: the steps, or the tags written.
void sayMeasured(const GainRun& run, const std::string& in, const std::string& out,
                 const Measured& m, const Album* album, int steps, FileReport& report) {
    FILE* to = run.dryRun || out != "-" ? stdout : stderr;
    char albumText[64] = "";
    if (album) std::snprintf(albumText, sizeof albumText, ", album %.1f LUFS", album->lufs);
    if (!run.writeTags) {
        report.say(to, "%s: %.1f LUFS%s, target %.1f LUFS: %+d steps (%+.1f dB)", in.c_str(),
                   m.lufs, albumText, run.target.lufs, steps, 1.5 * steps);
        return;
    }
    const l3::LoudnessTags tags = tagsOf(m, album, run.target);
    char albumTags[64] = "";
    if (album)
        std::snprintf(albumTags, sizeof albumTags, "; album gain %.2f dB, peak %.6f",
                      tags.albumGain, tags.albumPeak);
    report.say(to, "%s: %.1f LUFS%s, target %.1f LUFS: tags: track gain %.2f dB, peak %.6f%s",
               in.c_str(), m.lufs, albumText, run.target.lufs, tags.trackGain, tags.trackPeak,
               albumTags);
}

// The result of one file, made through store (and scratch) or, without one, in memory.
l3::GainResult makeResult(const GainRun& run, std::span<const uint8_t> bytes,
                          const l3::GainOptions& options, const std::vector<l3::UserText>& texts,
                          l3::ByteStore* store, l3::ByteStore* scratch) {
    const uint8_t* b = bytes.data();
    const size_t n = bytes.size();
    if (run.writeTags) return store ? l3::writeGainTags(b, n, texts, *store) : l3::writeGainTags(b, n, texts);
    if (run.undo) return store ? l3::undoGain(b, n, *store) : l3::undoGain(b, n);
    return store ? l3::applyGain(b, n, options, *store, *scratch) : l3::applyGain(b, n, options);
}

// Changes in into out (in place when they are one name): nothing is written when the result
// is in's bytes and out is in. With a target, measured (or, for an album, m and the album's
// steps) first; with --write-tags the measurement goes into tags. A result that can be read
// back from its temporary file is made there frame by frame; one for standard output or a
// device is made in memory first. The report holds the exit code and the messages.
FileReport gainOne(const GainRun& run, const std::string& in, const std::string& out,
                   const Measured* albumTrack = nullptr, const Album* album = nullptr) {
    FileReport report;
    auto failed = [&](int status) {
        report.status = status;
        return report;
    };
    l3::GainOptions options = run.options;
    std::vector<l3::UserText> texts;
    InputBytes input;
    std::string error;
    const l3::FileTimes times = keptTimes(run.output, in);
    if (!input.open(in, error)) {
        report.say(stderr, "l3 gain: %s: cannot read: %s", in.c_str(), error.c_str());
        return failed(kExitUnreadable);
    }
    if (run.target.measure) {
        Measured own;
        if (!albumTrack && !measure(in, input, run.target, own, report))
            return failed(kExitCannotMeasure);
        const Measured& m = albumTrack ? *albumTrack : own;
        options.steps = album ? album->steps : m.trackSteps;
        if (!run.quiet || run.dryRun) sayMeasured(run, in, out, m, album, options.steps, report);
        if (run.writeTags)
            texts = l3::replayGainTexts(tagsOf(m, album, run.target));
        else
            warnClipping(in, m, options.steps, run.target.truePeak, report);
        if (run.dryRun) return report;
    }
    const std::span<const uint8_t> bytes(input.data(), input.size());
    std::span<const uint8_t> result;
    l3::GainResult r;
    FileStore store(out), scratch(out);
    const bool inFile = FileStore::readsBack(out);
    if (inFile) {
        r = makeResult(run, bytes, options, texts, &store, &scratch);
        if (r.status == l3::Status::io) {
            const std::string& why = !store.error().empty() ? store.error() : scratch.error();
            report.say(stderr, "l3 gain: %s: cannot write: %s", out.c_str(), why.c_str());
            return failed(kExitUnreadable);
        }
        if (r.status == l3::Status::ok && !store.finish(result)) r.status = l3::Status::io;
    } else {
        r = makeResult(run, bytes, options, texts, nullptr, nullptr);
        result = r.output;
    }
    if (r.status != l3::Status::ok) {
        report.say(stderr, "l3 gain: %s: %s", in.c_str(), r.message.c_str());
        return failed(exitCode(r.status));
    }
    warnHeld(run, in, r, report);
    const bool same = std::equal(result.begin(), result.end(), bytes.begin(), bytes.end());
    // The line of a file changed by a number of steps: measured changes said theirs.
    if (run.many && !run.quiet && !run.target.measure) {
        if (same)
            report.say(stdout, "%s: unchanged", in.c_str());
        else if (run.undo)
            report.say(stdout, "%s: undone in %zu frames", in.c_str(), r.frames);
        else
            report.say(stdout, "%s: %+d steps (%+.1f dB) in %zu frames", in.c_str(), options.steps,
                       1.5 * options.steps, r.frames);
    }
    if (in == out && same) return report;  // nothing to change: not touched
    const bool written = inFile ? store.commit(times) : writeOutput(out, r.output, error, times);
    if (!written) {
        report.say(stderr, "l3 gain: %s: cannot write: %s", out.c_str(),
                   (inFile ? store.error() : error).c_str());
        return failed(kExitUnreadable);
    }
    return report;
}

// The album of the measured files: their joint loudness, the largest peak, the steps.
Album albumOf(std::vector<Measured>& all, const Target& target) {
    Album album;
#ifdef L3_HAVE_LOUDNESS
    std::vector<l3::Loudness> tracks;
    for (Measured& m : all) {
        album.peak = std::max(album.peak, target.truePeak ? m.truePeak : m.peak);
        tracks.push_back(std::move(m.loudness));
    }
    album.lufs = l3::albumLoudness(tracks);
    album.steps = chooseSteps(album.lufs, album.peak, target);
    for (size_t k = 0; k < all.size(); ++k) all[k].loudness = std::move(tracks[k]);
#else
    (void)all, (void)target;
#endif
    return album;
}

// Measures every file into all, jobs at a time (each failure's message printed); the
// highest exit code.
int measureFiles(const std::vector<std::string>& files, const Target& target, int jobs,
                 std::vector<Measured>& all) {
    all.assign(files.size(), Measured{});
    return runBatch(files.size(), jobs, [&](size_t k) {
               FileReport report;
               InputBytes input;
               std::string error;
               if (!input.open(files[k], error)) {
                   report.say(stderr, "l3 gain: %s: cannot read: %s", files[k].c_str(),
                              error.c_str());
                   report.status = kExitUnreadable;
               } else if (!measure(files[k], input, target, all[k], report)) {
                   report.status = kExitCannotMeasure;
               }
               return report;
           })
        .status;
}

// --scan: each file's loudness, peaks and steps, and the album's; nothing changes.
int scan(const std::vector<std::string>& files, const Target& target, bool json, int jobs) {
    std::vector<Measured> all;
    if (const int status = measureFiles(files, target, jobs, all); status != kExitOk)
        return status;
    const Album album = albumOf(all, target);
    if (json) {
        std::printf("{\"target_lufs\": %.2f, \"files\": [", target.lufs);
        for (size_t k = 0; k < files.size(); ++k) {
            const Measured& m = all[k];
            std::printf("%s{\"file\": ", k ? ", " : "");
            putJsonString(stdout, files[k]);
            std::printf(", \"lufs\": %.2f, \"peak\": %.6f, \"true_peak\": %.6f, "
                        "\"track_steps\": %d, \"track_db\": %.1f, \"track_gain\": %.2f}",
                        m.lufs, m.peak, m.truePeak, m.trackSteps, 1.5 * m.trackSteps,
                        tagsOf(m, nullptr, target).trackGain);
        }
        std::printf("], \"album\": {\"lufs\": %.2f, \"peak\": %.6f, \"steps\": %d, "
                    "\"db\": %.1f, \"gain\": %.2f}}\n",
                    album.lufs, album.peak, album.steps, 1.5 * album.steps,
                    all.empty() ? 0.0 : tagsOf(all[0], &album, target).albumGain);
        return kExitOk;
    }
    for (size_t k = 0; k < files.size(); ++k) {
        const Measured& m = all[k];
        std::printf("%s: %.1f LUFS, peak %.6f, true peak %.6f: track %+d steps (%+.1f dB)\n",
                    files[k].c_str(), m.lufs, m.peak, m.truePeak, m.trackSteps,
                    1.5 * m.trackSteps);
    }
    std::printf("album: %.1f LUFS, peak %.6f: %+d steps (%+.1f dB), target %.1f LUFS\n",
                album.lufs, album.peak, album.steps, 1.5 * album.steps, target.lufs);
    return kExitOk;
}

}  // namespace

int runGain(std::span<char* const> args) {
    l3::GainOptions options;
    bool undo = false, haveSteps = false, dryRun = false, inPlace = false, track = false,
         album = false, scanOnly = false, json = false, haveTarget = false, writeTags = false,
         quiet = false;
    int jobs = 1;
    Target target;
    std::string outDir;
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
        } else if ((a == "--target-lufs" || a == "--target-db") && i + 1 < args.size()) {
            // mp3gain's 89 dB is ReplayGain 2.0's -18 LUFS.
            const double shift = a == "--target-db" ? 107 : 0;
            double value = 0;
            if (!parseLufs(args[++i], shift, value))
                return usageError(gainCommand(),
                                  a == "--target-db" ? "--target-db needs a level in dB, not "
                                                     : "--target-lufs needs a loudness in LUFS, "
                                                       "not ",
                                  args[i]);
            target.lufs = value;
            haveTarget = true;
        } else if (a == "--track") {
            track = true;
        } else if (a == "--album") {
            album = true;
        } else if (a == "--scan") {
            scanOnly = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--no-clip") {
            target.noClip = true;
        } else if (a == "--true-peak") {
            target.truePeak = true;
        } else if (a == "--write-tags") {
            writeTags = true;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "-j" && i + 1 < args.size()) {
            if (!parseCount(args[++i], jobs) || jobs < 1)
                return usageError(gainCommand(), "-j needs a count of files, not ", args[i]);
        } else if (a == "--dry-run") {
            dryRun = true;
        } else if (a == "--undo") {
            undo = true;
        } else if (a == "--in-place") {
            inPlace = true;
        } else if (a == "-o" && i + 1 < args.size()) {
            outDir = args[++i];
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(gainCommand(), "unknown option ", a);
        } else {
            files.emplace_back(a);
        }
    }
    // --target-lufs alone measures each file, as --track does.
    track = track || (haveTarget && !album && !scanOnly);
    if (int{undo} + int{haveSteps} + int{track} + int{album} + int{scanOnly} != 1)
        return usageError(gainCommand(),
                          "give one of -g N, --track, --album, --target-lufs X, --scan and --undo");
    target.measure = track || album;
    target.album = album;
    if ((target.noClip || target.truePeak) && !(track || album || scanOnly))
        return usageError(gainCommand(), "--no-clip and --true-peak go with a measurement");
    if (json && !scanOnly) return usageError(gainCommand(), "--json goes with --scan");
    if (dryRun && !target.measure)
        return usageError(gainCommand(), "--dry-run goes with --track, --album or --target-lufs");
    if (writeTags && (!target.measure || dryRun))
        return usageError(gainCommand(),
                          "--write-tags goes with --track, --album or --target-lufs, and a result");
    if (scanOnly) {
        if (files.empty() || inPlace || !outDir.empty())
            return usageError(gainCommand(), "--scan wants one or more IN and no output");
        return scan(files, target, json, jobs);
    }
    const bool many = inPlace || !outDir.empty() || dryRun;
    if (inPlace && !outDir.empty())
        return usageError(gainCommand(), "give --in-place or -o DIR, not both");
    if (many && (files.empty() || (dryRun && (inPlace || !outDir.empty()))))
        return usageError(gainCommand(),
                          "--in-place and -o DIR want one or more IN and no --dry-run");
    if (!many && files.size() != 2) return usageError(gainCommand(), "wanted IN and OUT");
    const GainRun run{options, undo, dryRun, writeTags, quiet, many, target, output};
    std::vector<std::string> ins = files, outs = files;
    if (!many) {
        ins.resize(1);
        outs.erase(outs.begin());
    } else if (!outDir.empty()) {
        for (std::string& o : outs)
            o = (std::filesystem::path(outDir) / std::filesystem::path(o).filename()).string();
    }
    if (std::find(ins.begin(), ins.end(), "-") != ins.end() && many)
        return usageError(gainCommand(), "with several files an input cannot be ", "-");
    if (!dryRun && !outputsAllowed("gain", ins, outs, output, inPlace)) return kExitUnreadable;

    // An album is measured whole before any file changes.
    std::vector<Measured> measured;
    Album joint;
    if (album) {
        if (const int status = measureFiles(ins, target, jobs, measured); status != kExitOk)
            return status;
        joint = albumOf(measured, target);
    }
    const BatchTotals totals = runBatch(ins.size(), jobs, [&](size_t k) {
        const std::string out = dryRun ? "" : outs[k];
        return album ? gainOne(run, ins[k], out, &measured[k], &joint) : gainOne(run, ins[k], out);
    });
    if (ins.size() > 1 && !quiet) {
        const char* done = dryRun ? "measured" : writeTags ? "tagged" : undo ? "undone" : "changed";
        std::printf("total: %zu of %zu files %s, %zu failed\n", totals.done - totals.failed,
                    totals.done, done, totals.failed);
    } else if (ins.size() > 1 && totals.failed > 0) {
        std::fprintf(stderr, "l3 gain: %zu of %zu files failed\n", totals.failed, totals.done);
    }
    return totals.status;
}

}  // namespace l3tool
