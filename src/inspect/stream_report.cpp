#include "inspect/stream_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "format/byte_order.h"
#include "format/frame_length.h"
#include "inspect/other_audio.h"
#include "inspect/side_info_check.h"
#include "playback/played_values.h"

namespace l3 {

namespace {

constexpr uint32_t kStreamFieldsMask = 0xFFFE0C00u;  // sync, version, layer, sampling rate

template <typename... Args>
void addFault(StreamReport& report, FaultKind kind, int64_t frame, size_t offset,
              const char* format, Args... args) {
    char text[200];
    std::snprintf(text, sizeof text, format, args...);
    report.faults.push_back({kind, frame, offset, text});
}

void addFault(StreamReport& report, FaultKind kind, int64_t frame, size_t offset,
              const char* text) {
    report.faults.push_back({kind, frame, offset, text});
}

template <typename... Args>
void addNote(StreamReport& report, NoteKind kind, int64_t frame, size_t offset,
             const char* format, Args... args) {
    char text[200];
    std::snprintf(text, sizeof text, format, args...);
    report.notes.push_back({kind, frame, offset, text});
}

// The main-data stream of the audio frames: each frame's bytes after its head, one frame
// after another, with the bit offset where each frame's area starts.
struct MainDataStream {
    std::vector<uint8_t> bytes;
    std::vector<int64_t> areaStart;  // one per audio frame, and one more at the end
};

// What junk looks like when it starts with a header of frames this walk does not take.
const char* junkDescription(const uint8_t* junk, size_t length) {
    if (length >= 4 && junk[0] == 0xFF && (junk[1] & 0xE0) == 0xE0) {
        const uint32_t header = loadBe32(junk);
        const int layerBits = (header >> 17) & 3;
        if (layerBits == 1 && bitrateIndex(header) == 0)
            return "from a free-format frame (bitrate index 0), which is not checked";
        if (layerBits == 2 || layerBits == 3) return "from a Layer I or Layer II frame";
    }
    return "that are neither frames nor a tag";
}

// "sampling rate 48000 Hz, not 44100 Hz" and the like, for each field that differs.
std::string headerChange(uint32_t header, uint32_t reference) {
    std::string text;
    char part[80];
    auto add = [&] {
        if (!text.empty()) text += "; ";
        text += part;
    };
    if (versionCode(header) != versionCode(reference)) {
        std::snprintf(part, sizeof part, "%s, not %s", versionName(header), versionName(reference));
        add();
    }
    const int rate = samplingRateTable[versionCode(header)][samplingIndex(header)];
    const int referenceRate = samplingRateTable[versionCode(reference)][samplingIndex(reference)];
    if (rate != referenceRate) {
        std::snprintf(part, sizeof part, "sampling rate %d Hz, not %d Hz", rate, referenceRate);
        add();
    }
    if (channelCount(header) != channelCount(reference)) {
        std::snprintf(part, sizeof part, "%d channels, not %d", channelCount(header),
                      channelCount(reference));
        add();
    }
    return text;
}

const char* modeName(uint32_t header) {
    static const char* const names[4] = {"stereo", "joint stereo", "dual channel", "mono"};
    return names[(header >> 6) & 3];
}

// Version, layer and sampling rate hold for a whole stream; the channel count may change
// from frame to frame (decoders play such a stream through), which is noted where it does.
void checkHeaders(StreamReport& report) {
    if (audioFrameCount(report) == 0) return;
    const uint32_t reference = report.frames[report.firstAudio].header;
    uint32_t previous = reference;
    for (size_t k = 0; k < report.frames.size(); ++k) {
        const FrameFacts& f = report.frames[k];
        if ((f.header & kStreamFieldsMask) != (reference & kStreamFieldsMask)) {
            addFault(report, FaultKind::header_changed, static_cast<int64_t>(k), f.offset,
                     "%s as in frame %zu", headerChange(f.header, reference).c_str(),
                     report.firstAudio);
            continue;
        }
        if (k < report.firstAudio) continue;
        if (channelCount(f.header) != channelCount(previous))
            addNote(report, NoteKind::mode_changed, static_cast<int64_t>(k), f.offset,
                    "%d channels (%s) after %d (%s)", channelCount(f.header), modeName(f.header),
                    channelCount(previous), modeName(previous));
        previous = f.header;
    }
}

void checkCrcs(StreamReport& report, const uint8_t* data) {
    for (size_t k = 0; k < report.frames.size(); ++k) {
        const FrameFacts& f = report.frames[k];
        if (f.truncated || !hasCrc(f.header)) continue;
        if (!crcMatches(data + f.offset, f.header))
            addFault(report, FaultKind::crc_mismatch, static_cast<int64_t>(k), f.offset,
                     "the stored CRC differs from the CRC of the header and side information");
    }
}

// Frames [first, end) of the report, complete ones only.
MainDataStream buildMainDataStream(const StreamReport& report, const uint8_t* data, size_t first,
                                   size_t end) {
    MainDataStream s;
    s.areaStart.reserve(end - first + 1);
    size_t total = 8;
    for (size_t k = first; k < end; ++k) total += static_cast<size_t>(report.frames[k].length);
    s.bytes.reserve(total);
    for (size_t k = first; k < end; ++k) {
        const FrameFacts& f = report.frames[k];
        s.areaStart.push_back(8 * static_cast<int64_t>(s.bytes.size()));
        const int32_t head = std::min(headByteCount(f.header), f.length);
        s.bytes.insert(s.bytes.end(), data + f.offset + head, data + f.offset + f.length);
    }
    s.areaStart.push_back(8 * static_cast<int64_t>(s.bytes.size()));
    s.bytes.resize(s.bytes.size() + 8, 0);  // byte-wise reads just past the end stay inside
    return s;
}

struct SideInfoFacts {
    int64_t mainBits = 0;           // part2_3_length summed over granules and channels
    const char* problem = nullptr;  // the first granule's side-information problem
};

// Copies what the frame list shows from rec into f, and sums up the main data.
SideInfoFacts keepSideInfo(const FrameRecord& rec, FrameFacts& f) {
    SideInfoFacts facts;
    f.main_data_begin = rec.main_data_begin;
    for (int gr = 0; gr < granuleCount(f.header); ++gr)
        for (int ch = 0; ch < channelCount(f.header); ++ch) {
            const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
            f.part2_3_length[gr][ch] = info.part2_3_length;
            f.block_type[gr][ch] = static_cast<uint8_t>(info.block_type);
            f.mixed_block_flag[gr][ch] = static_cast<uint8_t>(info.mixed_block_flag);
            facts.mainBits += info.part2_3_length;
            if (!facts.problem) facts.problem = sideInfoProblem(rec, gr, ch);
        }
    return facts;
}

const char* scalefactorProblem(const FrameRecord& rec) {
    for (int gr = 0; gr < granuleCount(rec.header); ++gr)
        for (int ch = 0; ch < channelCount(rec.header); ++ch) {
            const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
            // An MPEG-1 granule of length 0 codes nothing, scalefactors included.
            if (length > 0 && scalefactorBits(rec, gr, ch) > length)
                return "scalefactors longer than part2_3_length";
        }
    return nullptr;
}

// The notes a frame's granules give (one of each kind, for the first granule that has it).
void noteGranules(StreamReport& report, const PlayedFrame& played, int64_t frame, size_t offset) {
    auto kindOf = [](uint8_t notes, NoteKind kind) -> uint8_t {
        switch (kind) {
            case NoteKind::decoders_differ:
                return notes & kDecodersDiffer;
            case NoteKind::count1_overrun:  // one all decoders drop alike
                return notes & kQuadSignsCut ? 0 : notes & kQuadDropped;
            default:
                return notes & kStuffing;
        }
    };
    for (const NoteKind kind :
         {NoteKind::decoders_differ, NoteKind::count1_overrun, NoteKind::stuffing_bits}) {
        for (int g = 0; g < 4; ++g) {
            const uint8_t notes = kindOf(played.notes[g / 2][g % 2], kind);
            if (!notes) continue;
            addNote(report, kind, frame, offset, "granule %d, channel %d: %s", g / 2, g % 2,
                    playedNoteText(notes));
            break;
        }
    }
}

// Decodes the main data of every complete audio frame; fills the per-frame facts.
void decodeFrames(StreamReport& report, const uint8_t* data) {
    const size_t first = report.firstAudio;
    size_t end = report.frames.size();
    while (end > first && report.frames[end - 1].truncated) --end;
    const MainDataStream s = buildMainDataStream(report, data, first, end);

    auto rec = std::make_unique<FrameRecord>();
    int64_t available = 0;  // first bit of main data a frame may reach back to
    for (size_t k = first; k < report.frames.size(); ++k) {
        FrameFacts& f = report.frames[k];
        if (f.length < headByteCount(f.header)) continue;
        readSideInfo(data + f.offset, *rec);
        const SideInfoFacts side = keepSideInfo(*rec, f);
        if (f.truncated) continue;
        const int64_t index = static_cast<int64_t>(k);
        const size_t a = k - first;
        if (f.resync) available = s.areaStart[a];
        const int64_t mainStart = s.areaStart[a] - 8 * int64_t{rec->main_data_begin};
        if (side.problem) {
            addFault(report, FaultKind::side_info_invalid, index, f.offset, side.problem);
        } else if (mainStart < available) {
            addFault(report, FaultKind::reservoir_underflow, index, f.offset,
                     "main_data_begin %d reaches %" PRId64 " bytes before the main data available",
                     rec->main_data_begin, (available - mainStart) / 8);
        } else if (mainStart + side.mainBits > s.areaStart[a + 1]) {
            addFault(report, FaultKind::side_info_invalid, index, f.offset,
                     "part2_3_length adds up to %" PRId64 " bits past the end of the frame",
                     mainStart + side.mainBits - s.areaStart[a + 1]);
        } else {
            const char* why = scalefactorProblem(*rec);
            PlayedFrame played;
            if (!why) {
                setPlayedRegions(*rec);
                why = readPlayedValues(s.bytes.data(), mainStart, *rec, played);
            }
            if (why) {
                addFault(report, FaultKind::huffman_error, index, f.offset, why);
            } else if (played.any) {
                noteGranules(report, played, index, f.offset);
            }
        }
    }
}

// A VBRI frame's counts: its frame count leaves itself out or counts it, its byte count
// starts at its own frame or after it (encoders differ); anything else misleads seeking.
void checkVbri(StreamReport& report) {
    const XingTag& x = report.xing;
    const FrameFacts& tagFrame = report.frames[0];
    const size_t audioFrames = audioFrameCount(report);
    if (x.frames != audioFrames && x.frames != audioFrames + 1)
        addFault(report, FaultKind::vbri_mismatch, 0, tagFrame.offset,
                 "the VBRI frame counts %" PRIu32 " frames, the stream has %zu", x.frames,
                 audioFrames);
    const FrameFacts& last = report.frames.back();
    const size_t streamEnd = last.offset + static_cast<size_t>(frameLength(last.header));
    const size_t streamBytes = streamEnd - tagFrame.offset;
    if (x.bytes != streamBytes && x.bytes != streamBytes - static_cast<size_t>(tagFrame.length))
        addFault(report, FaultKind::vbri_mismatch, 0, tagFrame.offset,
                 "the VBRI frame counts %" PRIu32 " bytes, the stream has %zu", x.bytes,
                 streamBytes);
}

void checkXing(StreamReport& report, const uint8_t* data) {
    const XingTag& x = report.xing;
    if (x.kind == XingKind::vbri) checkVbri(report);
    if (x.kind != XingKind::xing && x.kind != XingKind::info) return;
    const FrameFacts& tagFrame = report.frames[0];
    const size_t audioFrames = audioFrameCount(report);
    if (x.hasFrames && x.frames != audioFrames)
        addFault(report, FaultKind::xing_mismatch, 0, tagFrame.offset,
                 "the %s tag counts %" PRIu32 " frames, the stream has %zu", xingKindName(x.kind),
                 x.frames, audioFrames);
    const FrameFacts& last = report.frames.back();
    const size_t streamEnd = last.offset + static_cast<size_t>(frameLength(last.header));
    const size_t streamBytes = streamEnd - tagFrame.offset;
    if (x.hasBytes && x.bytes != streamBytes)
        addFault(report, FaultKind::xing_mismatch, 0, tagFrame.offset,
                 "the %s tag counts %" PRIu32 " bytes, the stream has %zu", xingKindName(x.kind),
                 x.bytes, streamBytes);
    if (x.hasToc && !std::is_sorted(x.toc.begin(), x.toc.end()))
        addFault(report, FaultKind::xing_mismatch, 0, tagFrame.offset,
                 "the %s tag's table of contents is not monotonic", xingKindName(x.kind));
    if (!x.lame.present) return;
    if (x.lame.computedTagCrc != x.lame.tagCrc)
        addFault(report, FaultKind::lame_tag_crc, 0, tagFrame.offset,
                 "tag CRC %04X stored, %04X computed", x.lame.tagCrc, x.lame.computedTagCrc);
    if (audioFrames == 0) return;
    const FrameFacts& firstAudio = report.frames[report.firstAudio];
    const size_t musicEnd = last.offset + static_cast<size_t>(last.length);
    report.musicCrc = lameCrc(data + firstAudio.offset, musicEnd - firstAudio.offset);
    if (report.musicCrc != x.lame.musicCrc)
        addFault(report, FaultKind::music_crc, kNoFrame, firstAudio.offset,
                 "music CRC %04X stored, %04X computed over bytes %zu to %zu", x.lame.musicCrc,
                 report.musicCrc, firstAudio.offset, musicEnd);
}

}  // namespace

const char* versionName(uint32_t header) {
    switch (versionCode(header)) {
        case 0:
            return "MPEG-2.5";
        case 2:
            return "MPEG-2";
        case 3:
            return "MPEG-1";
    }
    return "reserved";
}

const char* faultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::junk:
            return "junk";
        case FaultKind::truncated_frame:
            return "truncated_frame";
        case FaultKind::header_changed:
            return "header_changed";
        case FaultKind::crc_mismatch:
            return "crc_mismatch";
        case FaultKind::reservoir_underflow:
            return "reservoir_underflow";
        case FaultKind::side_info_invalid:
            return "side_info_invalid";
        case FaultKind::huffman_error:
            return "huffman_error";
        case FaultKind::xing_mismatch:
            return "xing_mismatch";
        case FaultKind::lame_tag_crc:
            return "lame_tag_crc";
        case FaultKind::music_crc:
            return "music_crc";
        case FaultKind::no_audio:
            return "no_audio";
        case FaultKind::vbri_mismatch:
            return "vbri_mismatch";
    }
    return "?";
}

const char* noteKindName(NoteKind kind) {
    switch (kind) {
        case NoteKind::mode_changed:
            return "mode_changed";
        case NoteKind::stuffing_bits:
            return "stuffing_bits";
        case NoteKind::count1_overrun:
            return "count1_overrun";
        case NoteKind::decoders_differ:
            return "decoders_differ";
        case NoteKind::outside_bytes:
            return "outside_bytes";
    }
    return "?";
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::ok:
            return "ok";
        case Verdict::damaged:
            return "damaged";
        case Verdict::unsupported:
            return "unsupported";
    }
    return "?";
}

Verdict verdictOf(const StreamReport& report) {
    if (!report.unsupported.empty()) return Verdict::unsupported;
    return report.faults.empty() ? Verdict::ok : Verdict::damaged;
}

StreamReport inspectStream(const uint8_t* data, size_t size) {
    StreamReport report;
    report.walk = walkFrames(data, size);
    const FrameWalk& walk = report.walk;
    report.frames.reserve(walk.frames.size());
    for (const WalkFrame& w : walk.frames)
        report.frames.push_back(
            {w.offset, w.length, w.header, w.truncated, w.resync, 0, {}, {}, {}});

    // Junk between frames breaks the stream; before the first frame or after the last,
    // decoders pass over it.
    for (size_t j = 0; j < walk.junkOffsets.size(); ++j) {
        const size_t at = walk.junkOffsets[j], length = walk.junkLengths[j];
        const bool inside = !walk.frames.empty() && walk.frames.front().offset < at &&
                            walk.frames.back().offset > at;
        if (inside)
            addFault(report, FaultKind::junk, kNoFrame, at, "%zu bytes %s", length,
                     junkDescription(data + at, length));
        else
            addNote(report, NoteKind::outside_bytes, kNoFrame, at, "%zu bytes %s", length,
                    junkDescription(data + at, length));
    }
    for (size_t k = 0; k < report.frames.size(); ++k)
        if (report.frames[k].truncated)
            addFault(report, FaultKind::truncated_frame, static_cast<int64_t>(k),
                     report.frames[k].offset, "%d of its %d bytes are present",
                     report.frames[k].length, frameLength(report.frames[k].header));

    if (!report.frames.empty() && !report.frames[0].truncated) {
        report.xing = readXingTag(data + report.frames[0].offset,
                                  static_cast<size_t>(report.frames[0].length));
        if (report.xing.kind != XingKind::none) report.firstAudio = 1;
    }
    checkHeaders(report);
    checkCrcs(report, data);
    decodeFrames(report, data);
    if (!report.frames.empty()) checkXing(report, data);
    size_t audio = 0;
    for (size_t k = report.firstAudio; k < report.frames.size(); ++k)
        audio += report.frames[k].truncated ? 0 : 1;
    if (audio == 0) {
        report.unsupported = otherMpegAudio(data, walk);
        if (report.unsupported.empty())
            addFault(report, FaultKind::no_audio, kNoFrame, 0,
                     "the file holds no complete Layer III audio frame");
    }
    std::stable_sort(report.faults.begin(), report.faults.end(),
                     [](const Fault& a, const Fault& b) { return a.offset < b.offset; });
    std::stable_sort(report.notes.begin(), report.notes.end(),
                     [](const Note& a, const Note& b) { return a.offset < b.offset; });
    return report;
}

}  // namespace l3
