// l3 check [--json] FILE...

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "command.h"
#include "edit/gain.h"
#include "file_bytes.h"
#include "inspect/stream_report.h"
#include "json_text.h"

namespace l3tool {

const std::string_view kCheckUsage =
    "usage: l3 check [--json] FILE...\n"
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
    "  --json   one JSON list: {file, verdict, frames, faults: [{kind, frame, offset,\n"
    "           message}], notes: [the same], salvageable} per file, and {unsupported} for\n"
    "           that verdict (salvageable: the faults `l3 repack --salvage` repairs)\n"
    "\n"
    "Exit status: 0 every file ok, 2 a file unreadable, else 3 a file damaged, else 4 a\n"
    "file unsupported; 1 usage.\n";

namespace {

constexpr size_t kTextFaultLimit = 20;

// A gain change with its undo information (MP3GAIN_UNDO) leaves the LAME music CRC behind
// on purpose, so that undoing it gives the original bytes: the music CRC is checked with
// the recorded undo applied (not at all where the undo is recorded as inexact).
// The undone file is made in a temporary file (removed again), not in memory.
void forgiveRecordedGain(l3::StreamReport& report, const uint8_t* data, size_t size) {
    auto isMusicCrc = [](const l3::Fault& f) { return f.kind == l3::FaultKind::music_crc; };
    if (std::none_of(report.faults.begin(), report.faults.end(), isMusicCrc)) return;
    const char* tmp = std::getenv("TMPDIR");
    FileStore store(std::string(tmp && *tmp ? tmp : "/tmp") + "/l3-check-undo");
    std::span<const uint8_t> bytes;
    l3::GainResult undone = l3::undoGain(data, size, store);
    if (undone.status == l3::kGainIo) {  // no temporary file: in memory
        undone = l3::undoGain(data, size);
        bytes = undone.output;
    } else if (undone.status == l3::kGainOk && !store.finish(bytes)) {
        return;
    }
    if (undone.status != l3::kGainOk) return;
    // A change that held values at 0 or 255 cannot be undone exactly, and says so: the
    // music CRC of the original bytes cannot be checked then.
    if (undone.inexact > 0) {
        std::erase_if(report.faults, isMusicCrc);
        return;
    }
    const l3::StreamReport original = l3::inspectStream(bytes.data(), bytes.size());
    if (std::none_of(original.faults.begin(), original.faults.end(), isMusicCrc))
        std::erase_if(report.faults, isMusicCrc);
}

struct FileVerdict {
    std::string path;
    bool readable = false;
    std::string error;
    l3::StreamReport report;
};

constexpr int kExitUnsupported = 4;

// The faults `l3 repack --salvage` repairs: frames whose main data does not decode (they
// become silent frames), junk between frames and a cut last frame (dropped). The first
// frames of a stream cut out of a longer one, whose main data lies before it, are kept as
// they are by every edit: not counted.
size_t salvageable(const l3::StreamReport& r) {
    size_t n = 0;
    int64_t start = static_cast<int64_t>(r.firstAudio);  // the next frame of such a start
    for (const l3::Fault& f : r.faults) {
        if (f.kind == l3::FaultKind::reservoir_underflow && f.frame == start) {
            ++start;
            continue;
        }
        n += f.kind == l3::FaultKind::junk || f.kind == l3::FaultKind::truncated_frame ||
             f.kind == l3::FaultKind::huffman_error || f.kind == l3::FaultKind::side_info_invalid ||
             f.kind == l3::FaultKind::reservoir_underflow;
    }
    return n;
}

template <typename Item, typename KindName>
void printItems(const std::vector<Item>& items, KindName kindName) {
    for (size_t i = 0; i < items.size() && i < kTextFaultLimit; ++i) {
        const Item& f = items[i];
        if (f.frame == l3::kNoFrame)
            std::printf("  -       offset %-9zu %-19s %s\n", f.offset, kindName(f.kind),
                        f.message.c_str());
        else
            std::printf("  frame %-5lld offset %-9zu %-19s %s\n", static_cast<long long>(f.frame),
                        f.offset, kindName(f.kind), f.message.c_str());
    }
    if (items.size() > kTextFaultLimit)
        std::printf("  ... and %zu more\n", items.size() - kTextFaultLimit);
}

void printText(const FileVerdict& v) {
    const l3::StreamReport& r = v.report;
    const l3::Verdict verdict = l3::verdictOf(r);
    std::string notes;
    if (!r.notes.empty())
        notes = ", " + std::to_string(r.notes.size()) + (r.notes.size() == 1 ? " note" : " notes");
    if (verdict == l3::Verdict::unsupported)
        std::printf("%s: unsupported (%s; l3 reads Layer III with a bit rate)\n", v.path.c_str(),
                    r.unsupported.c_str());
    else if (verdict == l3::Verdict::ok)
        std::printf("%s: ok (%zu frames%s)\n", v.path.c_str(), l3::audioFrameCount(r),
                    notes.c_str());
    else
        std::printf("%s: damaged (%zu faults%s)\n", v.path.c_str(), r.faults.size(), notes.c_str());
    printItems(r.faults, l3::faultKindName);
    printItems(r.notes, l3::noteKindName);
    if (const size_t n = salvageable(r))
        std::printf("  l3 repack --salvage repairs %zu of these faults: a frame that does not decode "
                    "becomes a silent frame, junk and a cut last frame are dropped\n",
                    n);
}

template <typename Item, typename KindName>
void printJsonItems(const char* key, const std::vector<Item>& items, KindName kindName) {
    std::printf(", \"%s\": [", key);
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& f = items[i];
        std::printf("%s\n    {\"kind\": \"%s\", \"frame\": ", i ? "," : "", kindName(f.kind));
        if (f.frame == l3::kNoFrame)
            std::printf("null");
        else
            std::printf("%lld", static_cast<long long>(f.frame));
        std::printf(", \"offset\": %zu, \"message\": ", f.offset);
        putJsonString(stdout, f.message);
        std::printf("}");
    }
    std::printf("%s]", items.empty() ? "" : "\n  ");
}

void printJson(const FileVerdict& v, bool first) {
    std::printf("%s\n  {\"file\": ", first ? "" : ",");
    putJsonString(stdout, v.path);
    if (!v.readable) {
        std::printf(", \"verdict\": \"unreadable\", \"error\": ");
        putJsonString(stdout, v.error);
        std::printf(", \"frames\": 0, \"faults\": [], \"notes\": []}");
        return;
    }
    const l3::StreamReport& r = v.report;
    const l3::Verdict verdict = l3::verdictOf(r);
    std::printf(", \"verdict\": \"%s\", \"frames\": %zu", l3::verdictName(verdict),
                l3::audioFrameCount(r));
    if (verdict == l3::Verdict::unsupported) {
        std::printf(", \"unsupported\": ");
        putJsonString(stdout, r.unsupported);
    }
    printJsonItems("faults", r.faults, l3::faultKindName);
    printJsonItems("notes", r.notes, l3::noteKindName);
    std::printf(", \"salvageable\": %zu}", salvageable(r));
}

}  // namespace

int runCheck(std::span<char* const> args) {
    const Command& self = *findCommand("check");
    bool json = false;
    std::vector<std::string> paths;
    for (const char* a : args) {
        const std::string_view arg = a;
        if (arg == "--json")
            json = true;
        else if (arg.size() > 1 && arg[0] == '-')
            return usageError(self, "unknown option ", arg);
        else
            paths.emplace_back(arg);
    }
    if (paths.empty()) return usageError(self, "no input file");

    bool damaged = false, unreadable = false, unsupported = false;
    InputBytes bytes;
    if (json) std::printf("[");
    for (size_t i = 0; i < paths.size(); ++i) {
        FileVerdict v;
        v.path = paths[i];
        v.readable = bytes.open(v.path, v.error);
        if (v.readable) {
            v.report = l3::inspectStream(bytes.data(), bytes.size());
            forgiveRecordedGain(v.report, bytes.data(), bytes.size());
            const l3::Verdict verdict = l3::verdictOf(v.report);
            damaged |= verdict == l3::Verdict::damaged;
            unsupported |= verdict == l3::Verdict::unsupported;
        } else {
            unreadable = true;
            std::fprintf(stderr, "l3 check: %s: %s\n", v.path.c_str(), v.error.c_str());
        }
        if (json)
            printJson(v, i == 0);
        else if (v.readable)
            printText(v);
    }
    if (json) std::printf("\n]\n");
    if (unreadable) return kExitUnreadable;
    if (damaged) return kExitDamaged;
    return unsupported ? kExitUnsupported : kExitOk;
}

}  // namespace l3tool
