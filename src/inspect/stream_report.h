#pragma once
// One pass over a whole file that decodes every frame down to its Huffman data (no
// synthesis) and keeps the faults a checker names and the totals a summary shows. l3 info
// and l3 check both print from this report. Nothing is kept per frame: the main data is
// read through a window as long as the bit reservoir reaches back, so that a file of any
// length is read in a few hundred kilobytes besides itself (and its faults and notes); a
// frame list is read again frame by frame (forEachFrame).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/xing_tag.h"
#include "inspect/frame_walk.h"

namespace l3 {

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

}  // namespace l3
