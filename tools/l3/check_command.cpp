// l3 check [--json] FILE...

#include <algorithm>
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
    "Decodes every frame of each FILE down to its Huffman data and gives the file a\n"
    "verdict, ok or damaged, naming each fault: junk, truncated_frame, header_changed,\n"
    "crc_mismatch, reservoir_underflow, side_info_invalid, huffman_error, xing_mismatch,\n"
    "lame_tag_crc, music_crc, no_audio (a file whose gain was changed with undo\n"
    "information in an APEv2 MP3GAIN_UNDO item has its music CRC checked with the undo\n"
    "applied). At most 20 faults per file are listed in text. Frame\n"
    "counts leave a Xing/Info frame out; frame indexes count it.\n"
    "\n"
    "  --json   one JSON list: {file, verdict, frames, faults: [{kind, frame, offset,\n"
    "           message}]} per file\n"
    "\n"
    "Exit status: 0 every file ok, 3 a file damaged, 2 a file unreadable, 1 usage.\n";

namespace {

constexpr size_t kTextFaultLimit = 20;

// A gain change with its undo information (MP3GAIN_UNDO) leaves the LAME music CRC behind
// on purpose, so that undoing it gives the original bytes: the music CRC is checked with
// the recorded undo applied.
void forgiveRecordedGain(l3::StreamReport& report, const uint8_t* data, size_t size) {
    auto isMusicCrc = [](const l3::Fault& f) { return f.kind == l3::FaultKind::music_crc; };
    if (std::none_of(report.faults.begin(), report.faults.end(), isMusicCrc)) return;
    const l3::GainResult undone = l3::undoGain(data, size);
    if (undone.status != l3::kGainOk) return;
    const l3::StreamReport original = l3::inspectStream(undone.output.data(), undone.output.size());
    if (std::none_of(original.faults.begin(), original.faults.end(), isMusicCrc))
        std::erase_if(report.faults, isMusicCrc);
}

struct FileVerdict {
    std::string path;
    bool readable = false;
    std::string error;
    l3::StreamReport report;
};

void printText(const FileVerdict& v) {
    const l3::StreamReport& r = v.report;
    if (r.faults.empty()) {
        std::printf("%s: ok (%zu frames)\n", v.path.c_str(), l3::audioFrameCount(r));
        return;
    }
    std::printf("%s: damaged (%zu faults)\n", v.path.c_str(), r.faults.size());
    for (size_t i = 0; i < r.faults.size() && i < kTextFaultLimit; ++i) {
        const l3::Fault& f = r.faults[i];
        if (f.frame == l3::kNoFrame)
            std::printf("  -       offset %-9zu %-19s %s\n", f.offset, l3::faultKindName(f.kind),
                        f.message.c_str());
        else
            std::printf("  frame %-5lld offset %-9zu %-19s %s\n", static_cast<long long>(f.frame),
                        f.offset, l3::faultKindName(f.kind), f.message.c_str());
    }
    if (r.faults.size() > kTextFaultLimit)
        std::printf("  ... and %zu more\n", r.faults.size() - kTextFaultLimit);
}

void printJson(const FileVerdict& v, bool first) {
    std::printf("%s\n  {\"file\": ", first ? "" : ",");
    putJsonString(stdout, v.path);
    if (!v.readable) {
        std::printf(", \"verdict\": \"unreadable\", \"error\": ");
        putJsonString(stdout, v.error);
        std::printf(", \"frames\": 0, \"faults\": []}");
        return;
    }
    const l3::StreamReport& r = v.report;
    std::printf(", \"verdict\": \"%s\", \"frames\": %zu, \"faults\": [",
                r.faults.empty() ? "ok" : "damaged", l3::audioFrameCount(r));
    for (size_t i = 0; i < r.faults.size(); ++i) {
        const l3::Fault& f = r.faults[i];
        std::printf("%s\n    {\"kind\": \"%s\", \"frame\": ", i ? "," : "",
                    l3::faultKindName(f.kind));
        if (f.frame == l3::kNoFrame)
            std::printf("null");
        else
            std::printf("%lld", static_cast<long long>(f.frame));
        std::printf(", \"offset\": %zu, \"message\": ", f.offset);
        putJsonString(stdout, f.message);
        std::printf("}");
    }
    std::printf("%s]}", r.faults.empty() ? "" : "\n  ");
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

    bool damaged = false, unreadable = false;
    InputBytes bytes;
    if (json) std::printf("[");
    for (size_t i = 0; i < paths.size(); ++i) {
        FileVerdict v;
        v.path = paths[i];
        v.readable = bytes.open(v.path, v.error);
        if (v.readable) {
            v.report = l3::inspectStream(bytes.data(), bytes.size());
            forgiveRecordedGain(v.report, bytes.data(), bytes.size());
            damaged |= !v.report.faults.empty();
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
    return damaged ? kExitDamaged : kExitOk;
}

}  // namespace l3tool
