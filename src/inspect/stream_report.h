#pragma once
// One pass over a whole file that decodes every frame down to its Huffman data (no
// synthesis) and keeps, per frame, what a summary or a frame list shows, and the faults
// a checker names. l3 info and l3 check both print from this report.

#include <cstddef>
#include <cstdint>
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

struct StreamReport {
    FrameWalk walk;
    std::vector<FrameFacts> frames;  // every frame, the tag frame first when there is one
    XingTag xing;                    // of frame 0; kind none when it holds no tag
    size_t firstAudio = 0;           // index of the first audio frame: 1 after a tag frame
    uint16_t musicCrc = 0;           // computed over the audio frames' bytes (LAME files)
    std::vector<Fault> faults;       // in file order within each kind of check
    std::vector<Note> notes;         // in file order
    std::string unsupported;         // what the file holds when the verdict is unsupported
};

Verdict verdictOf(const StreamReport& report);

StreamReport inspectStream(const uint8_t* data, size_t size);

inline size_t audioFrameCount(const StreamReport& report) {
    return report.frames.size() - report.firstAudio;
}

}  // namespace l3
