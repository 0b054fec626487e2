// l3 check [--json] [-r] [--jsonl LOG] FILE...

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command.h"
#include "l3/inspect.h"
#include "file_bytes.h"
#include "file_tree.h"
#include "json_text.h"
#include "progress.h"
#include "run_log.h"

namespace l3tool {

const std::string_view kCheckUsage =
    "usage: l3 check [--json] [-r] [--jsonl LOG] FILE...\n"
    "\n"
    "Decodes every frame of each FILE down to its Huffman data, as decoders read it, and\n"
    "gives the file a verdict: ok (it plays as coded), damaged (a decoder loses or\n"
    "corrupts audio, or seeking and durations go wrong) or unsupported (Layer I or II,\n"
    "or free-format Layer III). Faults make a file damaged: junk, truncated_frame,\n"
    "header_changed, crc_mismatch, reservoir_underflow, side_info_invalid,\n"
    "huffman_error, xing_mismatch, vbri_mismatch, lame_tag_crc, music_crc, no_audio (a\n"
    "file whose gain was changed with undo information in an APEv2 MP3GAIN_UNDO item has\n"
    "its music CRC checked with the undo applied). Notes name what is legal and plays the\n"
    "same everywhere: mode_changed, stuffing_bits, count1_overrun, decoders_differ,\n"
    "outside_bytes. At most 20 faults and 20 notes per file are listed in text. Frame\n"
    "counts leave a Xing/Info frame out; frame indexes count it.\n"
    "\n"
    "  --json        one JSON list: {file, verdict, frames, faults: [{kind, frame, offset,\n"
    "                message}], notes: [the same], salvageable} per file, and {unsupported}\n"
    "                for that verdict (salvageable: the faults `l3 repack --salvage` repairs)\n"
    "  -r, --recursive  check the files ending in .mp3 (any case) in each FILE that is a\n"
    "                folder, and in its subfolders (symbolic links to folders are not\n"
    "                followed), in sorted order\n"
    "  --jsonl LOG   append one line to LOG as each file is done: its --json object with\n"
    "                size, mtime_ns and status (its own exit code). Given again, files that\n"
    "                LOG has with their present size and time are skipped (their status\n"
    "                still counts), so a stopped run resumes where it was\n"
    "On a terminal, standard error shows the files done, files/s, the time left and how\n"
    "far a long file has been read.\n"
    "\n"
    "Exit status: 0 every file ok, 2 a file unreadable, else 3 a file damaged, else 4 a\n"
    "file unsupported; 1 usage.\n";

namespace {

constexpr size_t kTextFaultLimit = 20;
constexpr int kExitUnsupported = 4;

struct FileVerdict {
    std::string path;
    bool readable = false;
    std::string error;
    l3::StreamReport report;
};

// The exit code of one file alone.
int statusOf(const FileVerdict& v) {
    if (!v.readable) return kExitUnreadable;
    switch (l3::verdictOf(v.report)) {
        case l3::Verdict::ok:
            return kExitOk;
        case l3::Verdict::damaged:
            return kExitDamaged;
        case l3::Verdict::unsupported:
            return kExitUnsupported;
    }
    return kExitDamaged;
}

// The run's exit code from its files': unreadable wins over damaged, damaged over
// unsupported.
int combined(int a, int b) {
    for (const int status : {kExitUnreadable, kExitDamaged, kExitUnsupported})
        if (a == status || b == status) return status;
    return kExitOk;
}

template <typename Item, typename KindName>
void appendItems(std::string& out, const std::vector<Item>& items, KindName kindName) {
    for (size_t i = 0; i < items.size() && i < kTextFaultLimit; ++i) {
        const Item& f = items[i];
        if (f.frame == l3::kNoFrame)
            appendFormat(out, "  -       offset %-9zu %-19s ", f.offset, kindName(f.kind));
        else
            appendFormat(out, "  frame %-5lld offset %-9zu %-19s ", static_cast<long long>(f.frame),
                    f.offset, kindName(f.kind));
        out += f.message + "\n";
    }
    if (items.size() > kTextFaultLimit)
        appendFormat(out, "  ... and %zu more\n", items.size() - kTextFaultLimit);
}

std::string textOf(const FileVerdict& v) {
    const l3::StreamReport& r = v.report;
    const l3::Verdict verdict = l3::verdictOf(r);
    std::string notes, out = v.path + ": ";
    if (!r.notes.empty())
        notes = ", " + std::to_string(r.notes.size()) + (r.notes.size() == 1 ? " note" : " notes");
    if (verdict == l3::Verdict::unsupported)
        out += "unsupported (" + r.unsupported + "; l3 reads Layer III with a bit rate)\n";
    else if (verdict == l3::Verdict::ok)
        appendFormat(out, "ok (%zu frames%s)\n", l3::audioFrameCount(r), notes.c_str());
    else
        appendFormat(out, "damaged (%zu faults%s)\n", r.faults.size(), notes.c_str());
    appendItems(out, r.faults, l3::faultKindName);
    appendItems(out, r.notes, l3::noteKindName);
    if (const size_t n = l3::salvageableFaults(r))
        appendFormat(out,
                "  l3 repack --salvage repairs %zu of these faults: a frame that does not decode "
                "becomes a silent frame, junk and a cut last frame are dropped\n",
                n);
    return out;
}

// The objects of --json are laid out over lines; those of a log take one line each.
template <typename Item, typename KindName>
void appendJsonItems(std::string& out, const char* key, const std::vector<Item>& items,
                     KindName kindName, bool oneLine) {
    appendFormat(out, ", \"%s\": [", key);
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& f = items[i];
        out += i == 0 ? "" : ",";
        out += oneLine ? (i == 0 ? "" : " ") : "\n    ";
        appendFormat(out, "{\"kind\": \"%s\", \"frame\": ", kindName(f.kind));
        if (f.frame == l3::kNoFrame)
            out += "null";
        else
            out += std::to_string(f.frame);
        appendFormat(out, ", \"offset\": %zu, \"message\": ", f.offset);
        appendJsonString(out, f.message);
        out += "}";
    }
    out += items.empty() || oneLine ? "]" : "\n  ]";
}

// The object of one file; extra (fields with their separator) follows "file".
std::string jsonOf(const FileVerdict& v, bool oneLine, const std::string& extra = {}) {
    std::string out = "{\"file\": ";
    appendJsonString(out, v.path);
    out += extra;
    if (!v.readable) {
        out += ", \"verdict\": \"unreadable\", \"error\": ";
        appendJsonString(out, v.error);
        out += ", \"frames\": 0, \"faults\": [], \"notes\": []}";
        return out;
    }
    const l3::StreamReport& r = v.report;
    const l3::Verdict verdict = l3::verdictOf(r);
    appendFormat(out, ", \"verdict\": \"%s\", \"frames\": %zu", l3::verdictName(verdict),
            l3::audioFrameCount(r));
    if (verdict == l3::Verdict::unsupported) {
        out += ", \"unsupported\": ";
        appendJsonString(out, r.unsupported);
    }
    appendJsonItems(out, "faults", r.faults, l3::faultKindName, oneLine);
    appendJsonItems(out, "notes", r.notes, l3::noteKindName, oneLine);
    appendFormat(out, ", \"salvageable\": %zu}", l3::salvageableFaults(r));
    return out;
}

FileVerdict checkFile(const std::string& path, Progress& progress) {
    FileVerdict v;
    v.path = path;
    InputBytes bytes;
    v.readable = bytes.open(path, v.error);
    if (!v.readable) return v;
    // A recorded gain is undone, to check the music CRC, in a temporary file.
    const char* tmp = std::getenv("TMPDIR");
    FileStore undone(std::string(tmp && *tmp ? tmp : "/tmp") + "/l3-check-undo");
    v.report = l3::checkStream(bytes.data(), bytes.size(), &undone,
                               [&](size_t walked, size_t size) { progress.within(walked, size); });
    return v;
}

}  // namespace

int runCheck(std::span<char* const> args) {
    const Command& self = *findCommand("check");
    bool json = false, recursive = false;
    std::string logPath;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "-r" || arg == "--recursive") {
            recursive = true;
        } else if (arg == "--jsonl") {
            if (i + 1 >= args.size()) return usageError(self, "bad or incomplete option ", arg);
            logPath = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(self, "unknown option ", arg);
        } else {
            names.emplace_back(arg);
        }
    }
    if (names.empty()) return usageError(self, "no input file");

    int status = kExitOk;
    TreeWalk walk;
    if (recursive) {
        walk = walkTrees(names);
    } else {
        for (const std::string& name : names) walk.files.push_back({name, name});
    }
    for (const TreeProblem& p : walk.problems) {
        std::fprintf(stderr, "l3 check: %s: cannot read: %s\n", p.path.c_str(), p.error.c_str());
        status = combined(status, kExitUnreadable);
    }

    RunLog log;
    // The files to check, each with its stamp (with a log) as it was before it was read: a
    // file changed meanwhile is checked again by a resumed run.
    std::vector<std::pair<const TreeFile*, std::optional<FileStamp>>> work;
    size_t skipped = 0;
    if (!logPath.empty()) {
        std::string error;
        for (const TreeFile& f : walk.files)
            if (f.path == "-") return usageError(self, "with --jsonl an input cannot be ", "-");
        if (!log.open(logPath, error)) {
            std::fprintf(stderr, "l3 check: %s: %s\n", logPath.c_str(), error.c_str());
            return kExitUnreadable;
        }
    }
    for (const TreeFile& f : walk.files) {
        FileStamp stamp;
        if (logPath.empty() || !stampOf(f.path, stamp)) {
            work.push_back({&f, std::nullopt});
        } else if (const std::optional<int> logged = log.find(f.path, stamp)) {
            status = combined(status, *logged);
            ++skipped;
        } else {
            work.push_back({&f, stamp});
        }
    }

    Progress progress(work.size(), Progress::onTerminal());
    if (json) progress.print(stdout, "[");
    for (size_t i = 0; i < work.size(); ++i) {
        const auto& [file, stamp] = work[i];
        const FileVerdict v = checkFile(file->path, progress);
        const int fileStatus = statusOf(v);
        status = combined(status, fileStatus);
        if (!v.readable)
            std::fprintf(stderr, "l3 check: %s: %s\n", v.path.c_str(), v.error.c_str());
        if (json)
            progress.print(stdout, ((i ? ",\n  " : "\n  ") + jsonOf(v, false)).c_str());
        else if (v.readable)
            progress.print(stdout, textOf(v).c_str());
        if (!logPath.empty()) {
            // An unreadable file is logged without its stamp: a resumed run tries it again.
            std::string error;
            const std::string extra = ", " + stampFields(v.readable ? stamp : std::nullopt) +
                                      ", \"status\": " + std::to_string(fileStatus);
            if (!log.append(jsonOf(v, true, extra), error)) {
                std::fprintf(stderr, "l3 check: %s: cannot write: %s\n", logPath.c_str(),
                             error.c_str());
                return kExitUnreadable;
            }
        }
        progress.fileDone();
    }
    if (json) progress.print(stdout, "\n]\n");
    progress.finish();
    if (skipped > 0)
        std::fprintf(stderr, "l3 check: %zu files already in %s skipped\n", skipped,
                     logPath.c_str());
    return status;
}

}  // namespace l3tool
