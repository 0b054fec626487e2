#include "l3/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "format/byte_order.h"
#include "l3/frame_length.h"
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

// The main data of the audio frames read so far as one stream (each complete frame's
// bytes after its head, one frame after another), kept from as far back as the next
// frame's main_data_begin can reach: the bytes before are dropped as the window moves on.
class MainDataWindow {
public:
    int64_t end() const { return base_ + static_cast<int64_t>(bytes_.size()); }  // bytes
    int64_t base() const { return base_; }  // the stream offset of data()[0]
    const uint8_t* data() const { return bytes_.data(); }

    void append(const uint8_t* from, size_t count) {
        const int64_t keepFrom = end() - kReach;
        if (keepFrom - base_ > kSlack) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + (keepFrom - base_));
            base_ = keepFrom;
        }
        bytes_.insert(bytes_.end(), from, from + count);
    }

private:
    static constexpr int64_t kReach = 511;        // the largest main_data_begin
    static constexpr int64_t kSlack = 64 * 1024;  // dropped bytes are erased in runs this long
    std::vector<uint8_t> bytes_;
    int64_t base_ = 0;
};

// The frames the checks made after the walk look at.
struct Landmarks {
    WalkFrame first{};       // frame 0: the Xing/Info/VBRI frame when there is one
    WalkFrame firstAudio{};
    WalkFrame last{};
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

struct SideInfoFacts {
    bool read = false;              // the frame is an audio frame long enough to hold it
    int64_t mainBits = 0;           // part2_3_length summed over granules and channels
    const char* problem = nullptr;  // the first granule's side-information problem
};

// Copies what the frame list shows from rec into f, and sums up the main data.
SideInfoFacts keepSideInfo(const FrameRecord& rec, FrameFacts& f) {
    SideInfoFacts facts;
    facts.read = true;
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

// A VBRI frame's counts: its frame count leaves itself out or counts it, its byte count
// starts at its own frame or after it (encoders differ); anything else misleads seeking.
void checkVbri(StreamReport& report, const Landmarks& marks) {
    const XingTag& x = report.xing;
    const WalkFrame& tagFrame = marks.first;
    const size_t audioFrames = audioFrameCount(report);
    if (x.frames != audioFrames && x.frames != audioFrames + 1)
        addFault(report, FaultKind::vbri_mismatch, 0, tagFrame.offset,
                 "the VBRI frame counts %" PRIu32 " frames, the stream has %zu", x.frames,
                 audioFrames);
    const WalkFrame& last = marks.last;
    const size_t streamEnd = last.offset + static_cast<size_t>(frameLength(last.header));
    const size_t streamBytes = streamEnd - tagFrame.offset;
    if (x.bytes != streamBytes && x.bytes != streamBytes - static_cast<size_t>(tagFrame.length))
        addFault(report, FaultKind::vbri_mismatch, 0, tagFrame.offset,
                 "the VBRI frame counts %" PRIu32 " bytes, the stream has %zu", x.bytes,
                 streamBytes);
}

void checkXing(StreamReport& report, const uint8_t* data, const Landmarks& marks) {
    const XingTag& x = report.xing;
    if (x.kind == XingKind::vbri) checkVbri(report, marks);
    if (x.kind != XingKind::xing && x.kind != XingKind::info) return;
    const WalkFrame& tagFrame = marks.first;
    const size_t audioFrames = audioFrameCount(report);
    if (x.hasFrames && x.frames != audioFrames)
        addFault(report, FaultKind::xing_mismatch, 0, tagFrame.offset,
                 "the %s tag counts %" PRIu32 " frames, the stream has %zu", xingKindName(x.kind),
                 x.frames, audioFrames);
    const WalkFrame& last = marks.last;
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
    const WalkFrame& firstAudio = marks.firstAudio;
    const size_t musicEnd = last.offset + static_cast<size_t>(last.length);
    report.musicCrc = lameCrc(data + firstAudio.offset, musicEnd - firstAudio.offset);
    if (report.musicCrc != x.lame.musicCrc)
        addFault(report, FaultKind::music_crc, kNoFrame, firstAudio.offset,
                 "music CRC %04X stored, %04X computed over bytes %zu to %zu", x.lame.musicCrc,
                 report.musicCrc, firstAudio.offset, musicEnd);
}


// What a frame list shows of frame w, in f: its side information too when it is an audio
// frame long enough to hold it (rec then holds that side information).
SideInfoFacts readFacts(const uint8_t* data, const WalkFrame& w, bool audio, FrameRecord& rec,
                        FrameFacts& f) {
    f = {w.offset, w.length, w.header, w.truncated, w.resync, 0, {}, {}, {}};
    if (!audio || w.length < headByteCount(w.header)) return {};
    readSideInfo(data + w.offset, rec);
    return keepSideInfo(rec, f);
}

// The checks made frame by frame, in the walk's order: the frame's length, its header
// against the stream's, its CRC, and its main data, read through a window.
class StreamPass {
public:
    StreamPass(StreamReport& report, const uint8_t* data)
        : report_(report), data_(data), rec_(std::make_unique<FrameRecord>()) {}

    // Version, layer and sampling rate hold for a whole stream, as the first audio frame
    // has them; with no audio frame, no header is checked.
    void setReference(bool present, uint32_t header) {
        haveReference_ = present;
        reference_ = previous_ = header;
    }

    void frame(size_t k, const WalkFrame& w) {
        const int64_t index = static_cast<int64_t>(k);
        if (w.truncated)
            addFault(report_, FaultKind::truncated_frame, index, w.offset,
                     "%d of its %d bytes are present", w.length, frameLength(w.header));
        if (haveReference_) checkHeader(k, w);
        if (!w.truncated && hasCrc(w.header) && !crcMatches(data_ + w.offset, w.header))
            addFault(report_, FaultKind::crc_mismatch, index, w.offset,
                     "the stored CRC differs from the CRC of the header and side information");
        if (k < report_.firstAudio) return;
        FrameFacts f;
        const SideInfoFacts side = readFacts(data_, w, true, *rec_, f);
        addToTotals(f, k == report_.firstAudio);
        if (w.truncated) return;
        ++completeAudio_;
        const int64_t areaStart = 8 * window_.end();
        const int32_t head = std::min(headByteCount(w.header), w.length);
        window_.append(data_ + w.offset + head, static_cast<size_t>(w.length - head));
        if (side.read) decode(index, w, side, areaStart, 8 * window_.end());
    }

    size_t completeAudioFrames() const { return completeAudio_; }

private:
    // The channel count may change from frame to frame (decoders play such a stream
    // through), which is noted where it does.
    void checkHeader(size_t k, const WalkFrame& w) {
        if ((w.header & kStreamFieldsMask) != (reference_ & kStreamFieldsMask)) {
            addFault(report_, FaultKind::header_changed, static_cast<int64_t>(k), w.offset,
                     "%s as in frame %zu", headerChange(w.header, reference_).c_str(),
                     report_.firstAudio);
            return;
        }
        if (k < report_.firstAudio) return;
        if (channelCount(w.header) != channelCount(previous_))
            addNote(report_, NoteKind::mode_changed, static_cast<int64_t>(k), w.offset,
                    "%d channels (%s) after %d (%s)", channelCount(w.header), modeName(w.header),
                    channelCount(previous_), modeName(previous_));
        previous_ = w.header;
    }

    void addToTotals(const FrameFacts& f, bool first) {
        AudioTotals& t = report_.totals;
        const int kbps = bitrateTable[isMpeg1(f.header)][bitrateIndex(f.header)] / 1000;
        if (first) {
            t.firstHeader = f.header;
            t.minKbps = kbps;
        }
        t.minKbps = std::min(t.minKbps, kbps);
        t.maxKbps = std::max(t.maxKbps, kbps);
        t.bits += 8 * int64_t{f.length};
        t.modes |= 1u << channelMode(f.header);
        t.crcFrames += hasCrc(f.header);
        t.maxMainDataBegin = std::max(t.maxMainDataBegin, f.main_data_begin);
        t.mainDataBeginSum += f.main_data_begin;
        for (int gr = 0; gr < granuleCount(f.header); ++gr)
            for (int ch = 0; ch < channelCount(f.header); ++ch) {
                ++t.blockTypes[f.block_type[gr][ch] & 3];
                t.mixedBlocks += f.mixed_block_flag[gr][ch];
            }
    }

    // The frame's main data starts main_data_begin bytes before its own area, which runs
    // over the stream's bits [areaStart, areaEnd).
    void decode(int64_t index, const WalkFrame& w, const SideInfoFacts& side, int64_t areaStart,
                int64_t areaEnd) {
        const FrameRecord& rec = *rec_;
        if (w.resync) available_ = areaStart;
        const int64_t mainStart = areaStart - 8 * int64_t{rec.main_data_begin};
        if (side.problem) {
            addFault(report_, FaultKind::side_info_invalid, index, w.offset, side.problem);
        } else if (mainStart < available_) {
            addFault(report_, FaultKind::reservoir_underflow, index, w.offset,
                     "main_data_begin %d reaches %" PRId64 " bytes before the main data available",
                     rec.main_data_begin, (available_ - mainStart) / 8);
        } else if (mainStart + side.mainBits > areaEnd) {
            addFault(report_, FaultKind::side_info_invalid, index, w.offset,
                     "part2_3_length adds up to %" PRId64 " bits past the end of the frame",
                     mainStart + side.mainBits - areaEnd);
        } else {
            const char* why = scalefactorProblem(rec);
            PlayedFrame played;
            if (!why) {
                setPlayedRegions(*rec_);
                // The window reaches back as far as main_data_begin can.
                why = readPlayedValues(window_.data(), mainStart - 8 * window_.base(), *rec_,
                                       played)
                          .why;
            }
            if (why) {
                addFault(report_, FaultKind::huffman_error, index, w.offset, why);
            } else if (played.any) {
                noteGranules(report_, played, index, w.offset);
            }
        }
    }

    StreamReport& report_;
    const uint8_t* data_;
    std::unique_ptr<FrameRecord> rec_;
    MainDataWindow window_;
    bool haveReference_ = false;
    uint32_t reference_ = 0, previous_ = 0;
    int64_t available_ = 0;  // first bit of main data a frame may reach back to
    size_t completeAudio_ = 0;
};

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

StreamReport inspectStream(const uint8_t* data, size_t size, const WalkProgress& progress) {
    StreamReport report;
    FrameWalker walker(data, size);
    report.tags = walker.tags();
    FrameWalk junk;  // the junk ranges alone
    WalkFrame w{};
    JunkRange j;
    auto step = [&] {
        const bool more = walker.next(w, j);
        if (j.length > 0) {
            junk.junkOffsets.push_back(j.offset);
            junk.junkLengths.push_back(j.length);
        }
        return more;
    };
    bool more = step();
    if (more && !w.truncated) {
        report.xing = readXingTag(data + w.offset, static_cast<size_t>(w.length));
        if (report.xing.kind != XingKind::none) report.firstAudio = 1;
    }
    StreamPass pass(report, data);
    if (report.firstAudio == 0) {
        pass.setReference(more, w.header);
    } else {
        FrameWalker ahead = walker;
        WalkFrame next{};
        JunkRange skipped;
        const bool audio = ahead.next(next, skipped);
        pass.setReference(audio, next.header);
    }
    Landmarks marks;
    marks.first = w;
    constexpr size_t kProgressBytes = size_t{4} << 20;
    size_t nextProgress = kProgressBytes;
    for (; more; more = step()) {
        if (progress && w.offset >= nextProgress) {
            progress(w.offset, size);
            nextProgress = w.offset + kProgressBytes;
        }
        if (report.frameCount == report.firstAudio) marks.firstAudio = w;
        marks.last = w;
        pass.frame(report.frameCount, w);
        ++report.frameCount;
    }

    // Junk between frames breaks the stream; before the first frame or after the last,
    // decoders pass over it.
    for (size_t k = 0; k < junk.junkOffsets.size(); ++k) {
        const size_t at = junk.junkOffsets[k], length = junk.junkLengths[k];
        const bool inside =
            report.frameCount > 0 && marks.first.offset < at && marks.last.offset > at;
        if (inside)
            addFault(report, FaultKind::junk, kNoFrame, at, "%zu bytes %s", length,
                     junkDescription(data + at, length));
        else
            addNote(report, NoteKind::outside_bytes, kNoFrame, at, "%zu bytes %s", length,
                    junkDescription(data + at, length));
    }
    if (report.frameCount > 0) checkXing(report, data, marks);
    if (pass.completeAudioFrames() == 0) {
        report.unsupported = otherMpegAudio(data, junk);
        if (report.unsupported.empty())
            addFault(report, FaultKind::no_audio, kNoFrame, 0,
                     "the file holds no complete Layer III audio frame");
    }
    // Each frame's faults were added in the order of the checks; the order of the file
    // and then of the checks is what is shown.
    std::stable_sort(report.faults.begin(), report.faults.end(),
                     [](const Fault& a, const Fault& b) { return a.offset < b.offset; });
    std::stable_sort(report.notes.begin(), report.notes.end(),
                     [](const Note& a, const Note& b) { return a.offset < b.offset; });
    return report;
}

void forEachFrame(const uint8_t* data, size_t size, const StreamReport& report,
                  const std::function<void(size_t, const FrameFacts&)>& visit) {
    FrameWalker walker(data, size);
    WalkFrame w{};
    JunkRange junk;
    auto rec = std::make_unique<FrameRecord>();
    FrameFacts f{};
    for (size_t k = 0; walker.next(w, junk); ++k) {
        readFacts(data, w, k >= report.firstAudio, *rec, f);
        visit(k, f);
    }
}

}  // namespace l3
