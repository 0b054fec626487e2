#pragma once
// Inspecting a stream: what `l3 info` and `l3 check` say of it. inspectStream reads a whole
// stream held in memory (tags, every frame down to its Huffman data, the Xing/Info frame and
// its LAME extension) into a StreamReport of faults (FaultKind) and notes (NoteKind) with a
// Verdict; summarize gives the figures a person reads; infoJson the `l3 info --json` object;
// bitrateSvg the plot; checkStream the report `l3 check` prints. Nothing throws; any thread
// may call.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "l3/edit.h"
#include "l3/tag_finder.h"
#include "l3/xing_tag.h"

namespace l3 {

// ---- stream report
// One pass over a whole file that decodes every frame down to its Huffman data (no
// synthesis) and keeps the faults a checker names and the totals a summary shows. l3 info
// and l3 check both print from this report. Nothing is kept per frame: the main data is
// read through a window as long as the bit reservoir reaches back, so that a file of any
// length is read in a few hundred kilobytes besides itself (and its faults and notes); a
// frame list is read again frame by frame (forEachFrame).

enum class FaultKind {
    junk,
    truncated_frame,
    header_changed,
    crc_mismatch,
    reservoir_underflow,
    side_info_invalid,
    huffman_error,
    xing_mismatch,
    lame_tag_crc,
    music_crc,
    no_audio,  // not one complete audio frame in the file: nothing a player can play
    vbri_mismatch,  // a VBRI frame's frame or byte count differs from the stream
};

// The names used in text and JSON output: the enumerator's own name.
const char* faultKindName(FaultKind kind);

// What is legal and plays the same in every decoder, but is worth knowing: a file with
// notes and no faults is ok.
enum class NoteKind {
    mode_changed,     // the channel count changes (mono and stereo frames alternate)
    stuffing_bits,    // bits after line 576 within part2_3_length, which decoders skip
    count1_overrun,   // a count1 quadruple running past part2_3_length, which decoders drop
    decoders_differ,  // a coding decoders read differently (a region boundary, cut-off pairs)
    outside_bytes,    // bytes before the first frame or after the last that are no tag
};

const char* noteKindName(NoteKind kind);

// ok: every frame plays as coded (notes allowed); damaged: a decoder loses or corrupts
// audio, or seeking and durations go wrong (faults); unsupported: MPEG audio this toolkit
// does not read (Layer I or II, free format), and no Layer III audio frame.
enum class Verdict { ok, damaged, unsupported };

const char* verdictName(Verdict verdict);

// "MPEG-1", "MPEG-2" or "MPEG-2.5" from the header's version bits.
const char* versionName(uint32_t header);

inline constexpr int64_t kNoFrame = -1;

struct Fault {
    FaultKind kind;
    int64_t frame;  // index among the file's frames (a Xing/Info frame counted), or kNoFrame
    size_t offset;  // byte offset in the file
    std::string message;
};

struct Note {
    NoteKind kind;
    int64_t frame;  // as in Fault
    size_t offset;
    std::string message;
};

struct FrameFacts {
    size_t offset;
    int32_t length;  // bytes present
    uint32_t header;
    bool truncated;
    bool resync;  // junk or the start of the audio lies right before it
    int32_t main_data_begin;
    int32_t part2_3_length[2][2];  // [granule][channel]
    uint8_t block_type[2][2];
    uint8_t mixed_block_flag[2][2];
};

// Sums over the audio frames (a Xing/Info frame left out) for a summary.
struct AudioTotals {
    uint32_t firstHeader = 0;  // of the first audio frame
    int minKbps = 0, maxKbps = 0;
    int64_t bits = 0;  // of the bytes present
    unsigned modes = 0;  // bit m set when channel mode m occurs
    size_t crcFrames = 0;
    int maxMainDataBegin = 0;
    int64_t mainDataBeginSum = 0;
    int64_t blockTypes[4] = {};  // granule/channel pairs per block_type
    int64_t mixedBlocks = 0;
};

struct StreamReport {
    TagLayout tags;
    size_t frameCount = 0;           // every frame, the tag frame first when there is one
    AudioTotals totals;
    XingTag xing;                    // of frame 0; kind none when it holds no tag
    size_t firstAudio = 0;           // index of the first audio frame: 1 after a tag frame
    uint16_t musicCrc = 0;           // computed over the audio frames' bytes (LAME files)
    std::vector<Fault> faults;       // in file order within each kind of check
    std::vector<Note> notes;         // in file order
    std::string unsupported;         // what the file holds when the verdict is unsupported
};

Verdict verdictOf(const StreamReport& report);

// Told how far a pass over a long file has come: the bytes walked of size, every few
// megabytes (for a progress line). May be empty.
using WalkProgress = std::function<void(size_t walked, size_t size)>;

StreamReport inspectStream(const uint8_t* data, size_t size, const WalkProgress& progress = {});

inline size_t audioFrameCount(const StreamReport& report) {
    return report.frameCount - report.firstAudio;
}

// Calls visit with each frame's index and facts, in file order, as inspectStream read them
// (the side information of audio frames only; report is the file's report).
void forEachFrame(const uint8_t* data, size_t size, const StreamReport& report,
                  const std::function<void(size_t, const FrameFacts&)>& visit);

// ---- stream summary
// The figures a person reads at a glance, computed from a report's audio frames (the
// Xing/Info frame not counted).

enum class RateKind { cbr, vbr, abr };

const char* rateKindName(RateKind kind);
const char* channelModeName(int mode);

struct StreamSummary {
    uint32_t header = 0;   // of the first audio frame
    int samplingRate = 0;  // Hz
    unsigned modes = 0;    // bit m set when channel mode m occurs
    size_t crcFrames = 0;  // audio frames with a CRC field
    size_t frames = 0;     // audio frames
    int samplesPerFrame = 0;
    int64_t rawSamples = 0;      // frames x samples per frame
    int64_t gaplessSamples = 0;  // raw less the LAME extension's delay and padding
    double seconds = 0;          // of the gapless samples
    int minKbps = 0, maxKbps = 0;
    double averageKbps = 0;  // audio bits over the raw duration
    RateKind rate = RateKind::cbr;
    int maxMainDataBegin = 0;  // bytes
    double averageMainDataBegin = 0;
    int64_t blockTypes[4] = {};  // granule/channel pairs per block_type
    int64_t mixedBlocks = 0;
};

StreamSummary summarize(const StreamReport& report);

// ---- info json
// The object `l3 info --json` prints for a stream, as text: one JSON object of the summary's
// figures, the tags, the Xing/Info or VBRI frame and its LAME extension, and with frames one
// entry per frame. The l3 program prints it and the Python module parses it, so the two
// give one object.

// The channel modes whose bits are set in modes, in order, joined by ", " (each in quotes
// when quoted).
std::string channelModeList(unsigned modes, bool quoted);

// A frame's bit rate in kbit/s, from its header.
int frameKbps(uint32_t header);

// The object for the stream data[0, size) that report and summary describe, named file;
// ends in a newline.
std::string infoJson(std::string_view file, const uint8_t* data, size_t size,
                     const StreamReport& report, const StreamSummary& summary, bool frames);

// ---- bitrate plot
// A picture of a stream over time, written as SVG text with no library: the bit rate of
// each audio frame (upper panel, kbit/s) and the bit reservoir's fill, main_data_begin
// in bytes (lower panel). Time runs along x in seconds of raw samples.

// The SVG document of the file data (whose report is given, its frames read again one at
// a time); title is printed above the panels (escaped here).
std::string bitratePlotSvg(const uint8_t* data, size_t size, const StreamReport& report,
                           const std::string& title);

// ---- check report
// What `l3 check` and the Python module's l3.check say of a file: the inspection's report
// (inspectStream above) less the one fault our own gain change leaves on purpose, and
// how many of its faults `l3 repack --salvage` repairs. Nothing throws; any thread may call.

// inspectStream's report, but: a gain change recorded with its undo information (an APEv2
// MP3GAIN_UNDO item) leaves the LAME music CRC as it was, so that the undo gives back the
// original bytes; the music CRC of such a file is checked with the recorded undo applied
// (and not at all where the undo is recorded as inexact). scratch, when given, holds the
// undone file (a temporary file keeps a long one out of memory); without one, or where it
// cannot be written, the undo is made in memory.
StreamReport checkStream(const uint8_t* data, size_t size, ByteStore* scratch = nullptr,
                         const WalkProgress& progress = {});

// The faults `l3 repack --salvage` repairs: frames whose main data does not decode (they
// become silent frames), junk between frames and a cut last frame (dropped). The first
// frames of a stream cut out of a longer one, whose main data lies before it, are kept as
// they are by every edit: not counted.
size_t salvageableFaults(const StreamReport& report);

}  // namespace l3
