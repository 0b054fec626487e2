#include "l3/inspect.h"

#include <cmath>

#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/json_text.h"

namespace l3 {

namespace {

void appendGainDb(std::string& out, uint16_t field) {
    if (replayGainPresent(field))
        appendFormat(out, "%.1f", replayGainDb(field));
    else
        out += "null";
}

void appendLame(std::string& out, const StreamReport& r, const StreamSummary& s) {
    const LameExtension& l = r.xing.lame;
    if (!l.present) {
        out += "null";
        return;
    }
    out += "{\"encoder\": ";
    appendJsonString(out, l.encoder);
    appendFormat(out,
                 ", \"revision\": %d, \"vbr_method\": %d, \"lowpass_hz\": %d, \"delay\": %d, "
                 "\"padding\": %d, \"peak\": ",
                 l.revision, l.vbrMethod, l.lowpassHz, l.delay, l.padding);
    // A damaged tag may hold any bits, a NaN among them, which JSON cannot say.
    if (std::isfinite(l.peak))
        appendFormat(out, "%.6f", static_cast<double>(l.peak));
    else
        out += "null";
    out += ", \"radio_gain_db\": ";
    appendGainDb(out, l.radioGain);
    out += ", \"audiophile_gain_db\": ";
    appendGainDb(out, l.audiophileGain);
    appendFormat(out,
                 ", \"bitrate\": %d, \"music_length\": %u, \"tag_crc_ok\": %s, "
                 "\"music_crc_ok\": %s}",
                 l.bitrate, l.musicLength, l.tagCrc == l.computedTagCrc ? "true" : "false",
                 s.frames && l.musicCrc == r.musicCrc ? "true" : "false");
}

void appendXing(std::string& out, const StreamReport& r, const StreamSummary& s) {
    const XingTag& x = r.xing;
    if (x.kind == XingKind::none) {
        out += "null";
        return;
    }
    appendFormat(out, "{\"type\": \"%s\"", xingKindName(x.kind));
    if (x.hasFrames) appendFormat(out, ", \"frames\": %u", x.frames);
    if (x.hasBytes) appendFormat(out, ", \"bytes\": %u", x.bytes);
    if (x.hasQuality) appendFormat(out, ", \"quality\": %u", x.quality);
    if (x.hasToc) {
        out += ", \"toc\": [";
        for (size_t i = 0; i < x.toc.size(); ++i) appendFormat(out, "%s%u", i ? ", " : "", x.toc[i]);
        out += "]";
    }
    out += ", \"lame\": ";
    appendLame(out, r, s);
    out += "}";
}

// [[a, b], [c, d]]: a field per granule and channel of the frame.
template <typename Field>
void appendPerGranule(std::string& out, uint32_t header, const Field& field) {
    out += "[";
    for (int gr = 0; gr < granuleCount(header); ++gr) {
        out += gr ? ", [" : "[";
        for (int ch = 0; ch < channelCount(header); ++ch)
            appendFormat(out, "%s%d", ch ? ", " : "", static_cast<int>(field[gr][ch]));
        out += "]";
    }
    out += "]";
}

void appendFrames(std::string& out, const uint8_t* data, size_t size, const StreamReport& r) {
    out += ", \"frame_list\": [";
    forEachFrame(data, size, r, [&](size_t k, const FrameFacts& f) {
        appendFormat(out,
                     "%s\n  {\"offset\": %zu, \"bitrate\": %d, \"padding\": %d, "
                     "\"main_data_begin\": %d, \"part2_3_length\": ",
                     k ? "," : "", f.offset, frameKbps(f.header), paddingBit(f.header),
                     f.main_data_begin);
        appendPerGranule(out, f.header, f.part2_3_length);
        out += ", \"block_type\": ";
        appendPerGranule(out, f.header, f.block_type);
        appendFormat(out, ", \"tag_frame\": %s, \"truncated\": %s}",
                     k < r.firstAudio ? "true" : "false", f.truncated ? "true" : "false");
    });
    out += "\n]";
}

}  // namespace

std::string channelModeList(unsigned modes, bool quoted) {
    std::string out;
    for (int m = 0; m < 4; ++m) {
        if (!(modes & (1u << m))) continue;
        if (!out.empty()) out += ", ";
        out += quoted ? std::string("\"") + channelModeName(m) + "\"" : channelModeName(m);
    }
    return out;
}

int frameKbps(uint32_t header) {
    return bitrateTable[isMpeg1(header)][bitrateIndex(header)] / 1000;
}

std::string infoJson(std::string_view file, const uint8_t* data, size_t size,
                     const StreamReport& r, const StreamSummary& s, bool frames) {
    std::string out = "{\"file\": ";
    appendJsonString(out, file);
    if (s.frames)
        appendFormat(out, ", \"version\": \"%s\"", versionName(s.header));
    else
        out += ", \"version\": null";
    appendFormat(out, ", \"layer\": 3, \"sampling_rate\": %d", s.samplingRate);
    appendFormat(out, ", \"channel_modes\": [%s], \"crc_frames\": %zu, \"frames\": %zu",
                 channelModeList(s.modes, true).c_str(), s.crcFrames, s.frames);
    appendFormat(out, ", \"samples\": {\"raw\": %lld, \"gapless\": %lld}, \"duration_seconds\": %.6f",
                 static_cast<long long>(s.rawSamples), static_cast<long long>(s.gaplessSamples),
                 s.seconds);
    appendFormat(out, ", \"bitrate\": {\"mode\": \"%s\", \"min\": %d, \"average\": %.3f, \"max\": %d}",
                 rateKindName(s.rate), s.minKbps, s.averageKbps, s.maxKbps);
    appendFormat(out,
                 ", \"reservoir\": {\"max_main_data_begin\": %d, \"average_main_data_begin\": %.3f}",
                 s.maxMainDataBegin, s.averageMainDataBegin);
    appendFormat(out,
                 ", \"block_types\": {\"long\": %lld, \"start\": %lld, \"short\": %lld, "
                 "\"stop\": %lld, \"mixed\": %lld}",
                 static_cast<long long>(s.blockTypes[0]), static_cast<long long>(s.blockTypes[1]),
                 static_cast<long long>(s.blockTypes[2]), static_cast<long long>(s.blockTypes[3]),
                 static_cast<long long>(s.mixedBlocks));
    out += ", \"tags\": [";
    for (size_t i = 0; i < r.tags.tags.size(); ++i) {
        const TagSpan& t = r.tags.tags[i];
        appendFormat(out, "%s{\"type\": \"%s\", \"offset\": %zu, \"size\": %zu}", i ? ", " : "",
                     tagName(t.kind), t.offset, t.length);
    }
    out += "], \"xing\": ";
    appendXing(out, r, s);
    if (frames) appendFrames(out, data, size, r);
    out += "}\n";
    return out;
}

}  // namespace l3
