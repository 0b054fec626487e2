// l3 info [--json] [--frames] [--plot FILE.svg] FILE

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "file_bytes.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/output_check.h"
#include "l3/inspect.h"

namespace l3tool {

const std::string_view kInfoUsage =
    "usage: l3 info [--json] [--frames] [--plot FILE.svg] FILE\n"
    "\n"
    "Summarises FILE: version, layer, sampling rate, channel modes, CRC, frames, duration\n"
    "(gapless and raw samples), bit rate (min/average/max, CBR/VBR/ABR), the bit\n"
    "reservoir, block types, tags, the Xing/Info/VBRI frame and its LAME extension.\n"
    "\n"
    "  --json         print one JSON object with the same content\n"
    "  --frames       add one line (JSON: one object in frame_list) per frame\n"
    "  --plot FILE.svg  draw the bit rate and the reservoir fill over time as SVG; the\n"
    "                 name must end in .svg, must not name FILE, and an existing file\n"
    "                 there is replaced only when it is an SVG drawing\n"
    "exit codes: 0 done; 1 usage (a plot name without .svg); 2 FILE cannot be read, or the\n"
    "            plot cannot be written, names FILE, or would replace a file that is not\n"
    "            an SVG drawing or has several names\n";

namespace {

struct InfoOptions {
    bool json = false;
    bool frames = false;
    std::string plot;
    std::string path;
};

const char* blockTypeLetter(int type, bool mixed) {
    static const char* const plain[4] = {"L", "S>", "S", ">L"};
    static const char* const withMixed[4] = {"mL", "mS>", "mS", "m>L"};
    return (mixed ? withMixed : plain)[type & 3];
}

void printReplayGain(const char* name, uint16_t field) {
    if (l3::replayGainPresent(field))
        std::printf("%s %+.1f dB", name, l3::replayGainDb(field));
    else
        std::printf("%s none", name);
}

void printText(const InfoOptions& o, const InputBytes& in, const l3::StreamReport& r,
               const l3::StreamSummary& s) {
    std::printf("file:        %s\n", o.path.c_str());
    if (s.frames == 0) {
        std::printf("stream:      no Layer III frames\n");
    } else {
        std::printf("stream:      %s Layer III, %d Hz, %s\n", l3::versionName(s.header),
                    s.samplingRate, l3::channelModeList(s.modes, false).c_str());
        std::printf("CRC:         %s (%zu of %zu frames)\n",
                    s.crcFrames == 0          ? "no"
                    : s.crcFrames == s.frames ? "yes"
                                              : "some",
                    s.crcFrames, s.frames);
        if (r.firstAudio)
            std::printf("frames:      %zu (and the %s frame)\n", s.frames,
                        l3::xingKindName(r.xing.kind));
        else
            std::printf("frames:      %zu\n", s.frames);
        const int64_t ms = static_cast<int64_t>(s.seconds * 1000 + 0.5);
        std::printf("duration:    %lld:%02lld.%03lld (%lld samples played, %lld raw)\n",
                    static_cast<long long>(ms / 60000), static_cast<long long>(ms / 1000 % 60),
                    static_cast<long long>(ms % 1000), static_cast<long long>(s.gaplessSamples),
                    static_cast<long long>(s.rawSamples));
        std::printf("bit rate:    %s, min %d, average %.1f, max %d kbit/s\n",
                    l3::rateKindName(s.rate), s.minKbps, s.averageKbps, s.maxKbps);
        std::printf("reservoir:   main_data_begin max %d bytes, average %.1f\n", s.maxMainDataBegin,
                    s.averageMainDataBegin);
        std::printf("blocks:      long %lld, start %lld, short %lld, stop %lld, mixed %lld\n",
                    static_cast<long long>(s.blockTypes[0]),
                    static_cast<long long>(s.blockTypes[1]),
                    static_cast<long long>(s.blockTypes[2]),
                    static_cast<long long>(s.blockTypes[3]), static_cast<long long>(s.mixedBlocks));
    }
    std::printf("tags:        ");
    if (r.tags.tags.empty()) std::printf("none");
    for (size_t i = 0; i < r.tags.tags.size(); ++i) {
        const l3::TagSpan& t = r.tags.tags[i];
        std::printf("%s%s (%zu bytes at %zu)", i ? ", " : "", l3::tagName(t.kind), t.length,
                    t.offset);
    }
    std::printf("\n");
    const l3::XingTag& x = r.xing;
    if (x.kind != l3::XingKind::none) {
        std::printf("%s frame: ", l3::xingKindName(x.kind));
        if (x.hasFrames) std::printf(" frames %u,", x.frames);
        if (x.hasBytes) std::printf(" bytes %u,", x.bytes);
        std::printf(" TOC %s", x.hasToc ? "yes" : "no");
        if (x.hasQuality) std::printf(", quality %u", x.quality);
        std::printf("\n");
    }
    if (x.lame.present) {
        const l3::LameExtension& l = x.lame;
        std::printf("encoder:     %s, revision %d, VBR method %d, lowpass %d Hz\n", l.encoder,
                    l.revision, l.vbrMethod, l.lowpassHz);
        std::printf("gapless:     delay %d, padding %d samples\n", l.delay, l.padding);
        std::printf("ReplayGain:  ");
        printReplayGain("radio", l.radioGain);
        printReplayGain(", audiophile", l.audiophileGain);
        std::printf(", peak %.6f\n", static_cast<double>(l.peak));
        std::printf("LAME CRCs:   tag %s, music %s\n",
                    l.tagCrc == l.computedTagCrc ? "ok" : "wrong",
                    s.frames && l.musicCrc == r.musicCrc ? "ok" : "wrong");
    }
    if (!o.frames) return;
    std::printf("\n%6s %10s %5s %3s %4s  %-23s %s\n", "frame", "offset", "kbps", "pad", "mdb",
                "part2_3_length", "blocks");
    l3::forEachFrame(in.data(), in.size(), r, [&](size_t k, const l3::FrameFacts& f) {
        std::string lengths, blocks;
        for (int gr = 0; gr < l3::granuleCount(f.header); ++gr)
            for (int ch = 0; ch < l3::channelCount(f.header); ++ch) {
                if (!lengths.empty()) {
                    lengths += ' ';
                    blocks += ' ';
                }
                lengths += std::to_string(f.part2_3_length[gr][ch]);
                blocks += blockTypeLetter(f.block_type[gr][ch], f.mixed_block_flag[gr][ch]);
            }
        std::printf("%6zu %10zu %5d %3d %4d  %-23s %s%s\n", k, f.offset, l3::frameKbps(f.header),
                    l3::paddingBit(f.header), f.main_data_begin, lengths.c_str(), blocks.c_str(),
                    k < r.firstAudio ? "  (tag frame)"
                    : f.truncated    ? "  (truncated)"
                                     : "");
    });
}

bool endsWithSvg(std::string_view name) {
    if (name.size() < 5) return false;  // more than the suffix alone
    std::string suffix(name.substr(name.size() - 4));
    for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return suffix == ".svg";
}

// True when the file at path starts as an SVG drawing does: an XML declaration or comment,
// or the svg element, with "<svg" in its first 4 KiB.
bool looksLikeSvg(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char head[4096];
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    const std::string_view text(head, n);
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '<') return false;
    return text.find("<svg") != std::string_view::npos;
}

// The plot's name, checked before anything is read or printed: false (the message printed)
// when it may not be written.
bool plotAllowed(const InfoOptions& o) {
    OutputOptions replace;
    replace.force = true;  // an existing drawing is redrawn; anything else is refused below
    if (!outputsAllowed("info", std::span(&o.path, 1), std::span(&o.plot, 1), replace))
        return false;
    const l3::FileKey key = l3::fileKey(o.plot);
    if (key.regular && !looksLikeSvg(o.plot)) {
        std::fprintf(stderr, "l3 info: %s: exists and is not an SVG drawing; not replaced\n",
                     o.plot.c_str());
        return false;
    }
    return true;
}

bool writePlot(const InfoOptions& o, const InputBytes& in, const l3::StreamReport& r) {
    const std::string svg = l3::bitratePlotSvg(in.data(), in.size(), r, o.path);
    std::string error;
    const std::vector<uint8_t> bytes(svg.begin(), svg.end());
    if (writeOutput(o.plot, bytes, error)) return true;
    std::fprintf(stderr, "l3 info: %s: cannot write the plot: %s\n", o.plot.c_str(), error.c_str());
    return false;
}

}  // namespace

int runInfo(std::span<char* const> args) {
    const Command& self = *findCommand("info");
    InfoOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--frames") {
            o.frames = true;
        } else if (arg == "--plot") {
            if (i + 1 == args.size()) return usageError(self, "--plot needs a file name");
            o.plot = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(self, "unknown option ", arg);
        } else if (!o.path.empty()) {
            return usageError(self, "one input file only, not also ", arg);
        } else {
            o.path = arg;
        }
    }
    if (o.path.empty()) return usageError(self, "no input file");
    if (!o.plot.empty() && !endsWithSvg(o.plot))
        return usageError(self, "the plot's name must end in .svg: ", o.plot);
    if (!o.plot.empty() && !plotAllowed(o)) return kExitUnreadable;
    InputBytes bytes;
    std::string error;
    if (!bytes.open(o.path, error)) {
        std::fprintf(stderr, "l3 info: %s: %s\n", o.path.c_str(), error.c_str());
        return kExitUnreadable;
    }
    const l3::StreamReport report = l3::inspectStream(bytes.data(), bytes.size());
    const l3::StreamSummary summary = l3::summarize(report);
    if (o.json) {
        const std::string json =
            l3::infoJson(o.path, bytes.data(), bytes.size(), report, summary, o.frames);
        std::fwrite(json.data(), 1, json.size(), stdout);
    } else {
        printText(o, bytes, report, summary);
    }
    if (!o.plot.empty() && !writePlot(o, bytes, report)) return kExitUnreadable;
    return kExitOk;
}

}  // namespace l3tool
