// l3 repack [OPTIONS] IN OUT | [-r] -o DIR IN... | [-r] --in-place IN...

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch.h"
#include "command.h"
#include "l3/edit.h"
#include "file_bytes.h"
#include "file_tree.h"
#include "l3/system.h"
#include "json_text.h"
#include "progress.h"
#include "run_log.h"

namespace l3tool {

extern const std::string_view kRepackUsage =
    "usage: l3 repack [OPTIONS] IN OUT\n"
    "       l3 repack [OPTIONS] [-r] -o DIR IN...\n"
    "       l3 repack [OPTIONS] [-r] --in-place IN...\n"
    "Rewrites each file in the smallest layout the format allows, without changing a single\n"
    "decoded value: every frame gets the smallest bit rate and padding, and main_data_begin,\n"
    "that its main data needs (an exact minimum over the whole file). Tags stay; junk\n"
    "before the first frame or after the last is dropped and reported. Damage that\n"
    "decoders differ on (a frame whose main data does not decode, junk between frames, a\n"
    "last frame cut short) is refused unless --salvage. First frames\n"
    "whose main data lies before the stream (one cut out of a longer one) are kept as\n"
    "they are, with the frames that depend on them, and reported. A Xing/Info frame\n"
    "and its LAME extension, or a VBRI frame, are kept right; a stream without any stays at\n"
    "one bit rate where it has one. '-' names standard input or output\n"
    "(with OUT '-' the line per file goes to standard error).\n"
    "options:\n"
    "  --min-bitrate K   no frame below K kbit/s\n"
    "  --cbr K | min     one bit rate for every frame: K kbit/s, or the smallest that fits\n"
    "  --vbr             a stream without a Xing/Info or VBRI frame may become VBR too\n"
    "                    (it gets no such frame: one would change what some decoders play)\n"
    "  --huffman         also re-choose each granule's Huffman coding and scalefactor\n"
    "                    widths for the fewest bits (the decoded values stay)\n"
    "  --crc keep|add|drop   frame CRCs (default keep)\n"
    "  --salvage         repair damage as far as it goes: a frame that does not decode\n"
    "                    becomes a silent frame of its duration (the timeline stays), junk\n"
    "                    between frames and a last frame cut short are dropped; each repair\n"
    "                    is listed\n"
    "  -o DIR            write each IN to DIR under its own name (with -r, each file\n"
    "                    of a folder IN to its path below IN, below DIR)\n"
    "  -r, --recursive   repack the files ending in .mp3 (any case) in each IN that is a\n"
    "                    folder and in its subfolders (symbolic links to folders are not\n"
    "                    followed), in sorted order; needs -o DIR or --in-place\n"
    "  --jsonl LOG       append one line to LOG as each file is done: {file, size,\n"
    "                    mtime_ns, status, result, output, output_size, output_mtime_ns,\n"
    "                    messages}. Given again, files that LOG has as they are now (as\n"
    "                    input or as result) are skipped, so a stopped run resumes\n"
    "  --in-place        replace each IN (through a temporary file; it keeps its mode,\n"
    "                    owner, group and extended attributes)\n"
    "  -j N              work on N files at once\n"
    "  -q, --quiet       no line per file\n" L3_OUTPUT_OPTIONS_HELP
    "Every output name is checked before the first is written. With several files each\n"
    "is written whole or not at all, and a failed one does not stop the others. On a\n"
    "terminal, standard error shows the files done, files/s and the time left.\n"
    "exit codes: 0 done; 1 usage; 2 a file cannot be read or written, an output names an\n"
    "            input, another output, an existing file (without -f) or a file with\n"
    "            several names; 3 not a Layer III stream; 4 a frame whose main data cannot\n"
    "            be decoded, or other damage (without --salvage); 5 --cbr rate too\n"
    "            small, or the frames fit no layout; 6 the result does not match the\n"
    "            input (an internal fault).\n"
    "            With several files: the highest of their codes\n";

namespace {

const Command& repackCommand() {
    return *findCommand("repack");
}

// 4001280 -> "4 001 280"
std::string grouped(size_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return out;
}

struct Job {
    std::string in;
    std::string out;
    bool makeFolder = false;         // out's folder is made when missing (a mirrored tree)
    std::optional<FileStamp> stamp;  // with a log: in as it was before it was read
};

// Bytes in and out of the files repacked so far.
struct Sizes {
    std::atomic<size_t> before{0}, after{0};
};

// A file's line in the log.
std::string logLine(const Job& job, int status, const std::vector<std::string>& messages) {
    std::string line = "{\"file\": ";
    appendJsonString(line, job.in);
    line += ", " + stampFields(job.stamp) + ", \"status\": " + std::to_string(status) +
            ", \"result\": \"" + (status == 0 ? "repacked" : "failed") + "\", \"output\": ";
    appendJsonString(line, job.out);
    std::optional<FileStamp> result;
    if (FileStamp s; status == 0 && stampOf(job.out, s)) result = s;
    line += ", " + stampFields(result, "output_") + ", \"messages\": [";
    for (size_t i = 0; i < messages.size(); ++i) {
        if (i) line += ", ";
        appendJsonString(line, messages[i]);
    }
    return line + "]}";
}

// The messages a file's report has on standard error, without "l3 repack: " and the newline.
std::vector<std::string> errorMessages(const FileReport& report) {
    constexpr std::string_view kPrefix = "l3 repack: ";
    std::vector<std::string> messages;
    for (const auto& [to, text] : report.lines) {
        if (to != stderr) continue;
        std::string_view m = text;
        if (m.starts_with(kPrefix)) m.remove_prefix(kPrefix.size());
        if (m.ends_with('\n')) m.remove_suffix(1);
        messages.emplace_back(m);
    }
    return messages;
}

// Makes out's folder and those above it where missing; false with error.
bool makeFolderOf(const std::string& out, std::string& error) {
    const std::filesystem::path folder = std::filesystem::path(out).parent_path();
    std::error_code code;
    if (folder.empty() || std::filesystem::is_directory(folder, code)) return true;
    std::filesystem::create_directories(folder, code);
    if (code) error = code.message();
    return !code;
}

FileReport repackOne(const Job& job, const l3::RepackOptions& options, const OutputOptions& output,
                     bool quiet, Sizes& sizes) {
    const l3::FileTimes times = keptTimes(output, job.in);
    InputBytes input;  // mapped: the result is renamed into place, never written over it
    std::string error;
    FileReport report;
    if (!input.open(job.in, error)) {
        report.status = kExitUnreadable;
        report.say(stderr, "l3 repack: %s: cannot read: %s", job.in.c_str(), error.c_str());
        return report;
    }
    l3::RepackResult r = l3::repackStream(input.data(), input.size(), options);
    for (const std::string& note : r.notes)
        report.say(stderr, "l3 repack: %s: %s", job.in.c_str(), note.c_str());
    report.status = exitCode(r.status);
    if (r.status != l3::Status::ok) {
        report.say(stderr, "l3 repack: %s: %s", job.in.c_str(), r.message.c_str());
    } else if ((job.makeFolder && !makeFolderOf(job.out, error)) ||
               !writeOutput(job.out, r.output, error, times)) {
        report.status = kExitUnreadable;
        report.say(stderr, "l3 repack: %s: cannot write: %s", job.out.c_str(), error.c_str());
    } else {
        const double change = input.size() == 0 ? 0.0
                                                : 100.0 *
                                                      (static_cast<double>(r.output.size()) -
                                                       static_cast<double>(input.size())) /
                                                      static_cast<double>(input.size());
        sizes.before += input.size();
        sizes.after += r.output.size();
        // With the stream on standard output the line goes to standard error.
        if (!quiet)
            report.say(job.out == "-" ? stderr : stdout, "%s: %s -> %s bytes (%+.1f %%)",
                       job.in.c_str(), grouped(input.size()).c_str(),
                       grouped(r.output.size()).c_str(), change);
    }
    return report;
}

// Two outputs of a mirrored tree may name one file in a folder not made yet, which the
// output check cannot look at: their names are the same.
bool mirrorOutputsDistinct(const std::vector<Job>& work) {
    std::vector<const Job*> byOut;
    for (const Job& job : work) byOut.push_back(&job);
    std::stable_sort(byOut.begin(), byOut.end(),
                     [](const Job* a, const Job* b) { return a->out < b->out; });
    for (size_t k = 1; k < byOut.size(); ++k) {
        if (byOut[k]->out != byOut[k - 1]->out) continue;
        std::fprintf(stderr,
                     "l3 repack: %s: would be written from both %s and %s; nothing written\n",
                     byOut[k]->out.c_str(), byOut[k - 1]->in.c_str(), byOut[k]->in.c_str());
        return false;
    }
    return true;
}

}  // namespace

int runRepack(std::span<char* const> args) {
    const int argc = static_cast<int>(args.size()) + 1;
    auto arg = [&](int i) { return args[static_cast<size_t>(i - 1)]; };
    l3::RepackOptions options;
    OutputOptions output;
    std::string outDir;
    bool inPlace = false, quiet = false, recursive = false;
    std::string logPath;
    int jobs = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = arg(i);
        auto value = [&](const char*) -> const char* {
            if (i + 1 >= argc) return nullptr;
            ++i;
            return arg(i);
        };
        if (a == "--min-bitrate") {
            const char* v = value("--min-bitrate");
            if (!v || !parseCount(v, options.minBitrate))
                return usageError(repackCommand(), "bad or incomplete option ", a);
        } else if (a == "--cbr") {
            const char* v = value("--cbr");
            if (!v) return usageError(repackCommand(), "bad or incomplete option ", a);
            if (std::strcmp(v, "min") == 0)
                options.cbrBitrate = -1;
            else if (!parseCount(v, options.cbrBitrate) || options.cbrBitrate == 0)
                return usageError(repackCommand(), "bad or incomplete option ", a);
        } else if (a == "--crc") {
            const char* v = value("--crc");
            if (!v) return usageError(repackCommand(), "bad or incomplete option ", a);
            if (std::strcmp(v, "keep") == 0)
                options.crc = l3::CrcChoice::keep;
            else if (std::strcmp(v, "add") == 0)
                options.crc = l3::CrcChoice::add;
            else if (std::strcmp(v, "drop") == 0)
                options.crc = l3::CrcChoice::drop;
            else
                return usageError(repackCommand(), "bad or incomplete option ", a);
        } else if (a == "-o") {
            const char* v = value("-o");
            if (!v) return usageError(repackCommand(), "bad or incomplete option ", a);
            outDir = v;
        } else if (a == "--huffman") {
            options.huffman = true;
        } else if (a == "--salvage") {
            options.salvage = true;
        } else if (a == "--vbr") {
            options.vbrWithoutHeader = true;
        } else if (a == "--in-place") {
            inPlace = true;
        } else if (a == "-r" || a == "--recursive") {
            recursive = true;
        } else if (a == "--jsonl") {
            const char* v = value("--jsonl");
            if (!v) return usageError(repackCommand(), "bad or incomplete option ", a);
            logPath = v;
        } else if (a == "-j") {
            const char* v = value("-j");
            if (!v || !parseCount(v, jobs) || jobs < 1)
                return usageError(repackCommand(), "bad or incomplete option ", a);
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (outputOption(a, output)) {
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(repackCommand(), "bad or incomplete option ", a);
        } else {
            files.push_back(a);
        }
    }

    std::vector<Job> work;
    int status = 0;
    if (inPlace || !outDir.empty()) {
        if (files.empty() || (inPlace && !outDir.empty()))
            return usageError(repackCommand(), "wrong number of files");
        for (const std::string& f : files)
            if (f == "-")
                return usageError(repackCommand(), "with -o or --in-place an input cannot be ",
                                  "-");
        // A file named goes to DIR under its own name, a folder's files to their paths
        // below it; the output folder is not walked where it lies inside a folder named.
        TreeWalk walk;
        if (recursive)
            walk = walkTrees(files, outDir);
        else
            for (const std::string& f : files)
                walk.files.push_back({f, std::filesystem::path(f).filename().string()});
        for (const TreeProblem& p : walk.problems) {
            std::fprintf(stderr, "l3 repack: %s: cannot read: %s\n", p.path.c_str(),
                         p.error.c_str());
            status = kExitUnreadable;
        }
        for (const TreeFile& f : walk.files)
            work.push_back({f.path,
                            inPlace ? f.path : (std::filesystem::path(outDir) / f.below).string(),
                            recursive && !inPlace, std::nullopt});
    } else {
        if (recursive) return usageError(repackCommand(), "-r needs -o DIR or --in-place");
        if (files.size() != 2) return usageError(repackCommand(), "wrong number of files");
        work.push_back({files[0], files[1], false, std::nullopt});
    }
    if (!logPath.empty() && work.size() == 1 && work[0].in == "-")
        return usageError(repackCommand(), "with --jsonl an input cannot be ", "-");

    // Files the log has as they are now (as input, or as the result that replaced it) are
    // done; each of the others keeps its stamp from before it is read.
    RunLog log;
    size_t skipped = 0;
    if (!logPath.empty()) {
        std::string error;
        if (!log.open(logPath, error)) {
            std::fprintf(stderr, "l3 repack: %s: %s\n", logPath.c_str(), error.c_str());
            return kExitUnreadable;
        }
        std::erase_if(work, [&](Job& job) {
            FileStamp stamp;
            if (!stampOf(job.in, stamp)) return false;
            if (const std::optional<int> logged = log.find(job.in, stamp)) {
                status = std::max(status, *logged);
                ++skipped;
                return true;
            }
            job.stamp = stamp;
            return false;
        });
    }
    std::vector<std::string> ins, outs;
    for (const Job& job : work) {
        ins.push_back(job.in);
        outs.push_back(job.out);
    }
    if (recursive && !inPlace && !mirrorOutputsDistinct(work)) return kExitUnreadable;
    if (!outputsAllowed("repack", ins, outs, output, inPlace)) return kExitUnreadable;

    // The processors the files at work leave idle (of those the process may run on) decode
    // the frames of each.
    // (Every file may have been skipped: no work.)
    options.threads = std::max(
        1, l3::availableProcessors() / std::max(1, std::min<int>(jobs, static_cast<int>(work.size()))));
    Sizes sizes;
    bool logFailed = false;
    BatchTotals totals = runBatch(
        work.size(), jobs,
        [&](size_t k) { return repackOne(work[k], options, output, quiet, sizes); },
        [&](size_t k, const FileReport& report, Progress& progress) {
            std::string error;
            if (logPath.empty() || logFailed ||
                log.append(logLine(work[k], report.status, errorMessages(report)), error))
                return 0;
            progress.print(stderr,
                           ("l3 repack: " + logPath + ": cannot write: " + error + "\n").c_str());
            logFailed = true;
            return kExitUnreadable;
        });
    totals.status = std::max(totals.status, status);
    if (skipped > 0)
        std::fprintf(stderr, "l3 repack: %zu files already in %s skipped\n", skipped,
                     logPath.c_str());
    if (work.size() > 1 && !quiet) {
        const double change =
            sizes.before
                ? 100.0 * (static_cast<double>(sizes.after) - static_cast<double>(sizes.before)) /
                      static_cast<double>(sizes.before)
                : 0.0;
        std::printf("total: %zu of %zu files repacked, %zu failed: %s -> %s bytes (%+.1f %%)\n",
                    totals.done - totals.failed, totals.done, totals.failed,
                    grouped(sizes.before).c_str(), grouped(sizes.after).c_str(), change);
    } else if (totals.failed > 0 && work.size() > 1) {
        std::fprintf(stderr, "l3 repack: %zu of %zu files failed\n", totals.failed, totals.done);
    }
    return totals.status;
}

}  // namespace l3tool
