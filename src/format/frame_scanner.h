#pragma once
// The one frame scanner: finds the Layer III frames of a stream for l3disassemble, for
// l3 info and l3 check, and for the edits. It reads the input a window at a time (the whole
// input, for a caller that holds it) and hands out one decision per call: a frame with the
// junk right before it, or the end with the bytes after the last frame. A decision that
// depends on bytes past the window waits for more; no decision depends on bytes before the
// oldest offset the caller is told to keep (keepFrom).
//
// A frame-like header is taken when the caller's rules (ScanRules) accept it. Callers ask
// for different things, and each keeps its own rules: the disassembler must carry every
// byte and so takes only frames it can prove (kCarriedRules); inspection and the edits name
// every frame a decoder would play and everything else (kWalkedRules).
//
// The scanner holds no bytes and allocates nothing; it may be copied to look ahead.

#include <cstddef>
#include <cstdint>

namespace l3 {

struct WalkFrame {
    size_t offset;   // first byte in the input
    int32_t length;  // from the header; the bytes present when truncated
    uint32_t header;
    bool resync;     // junk (or the start of the search) lies right before this frame
    bool truncated;  // the header's length runs past the end of the input (or area)
};

// Bytes between frames that are neither frames nor tags; length 0 when there are none.
struct JunkRange {
    size_t offset = 0;
    size_t length = 0;
    bool operator==(const JunkRange&) const = default;
};

// A header of a Layer III frame that has a length: sync, version not reserved, layer III,
// bitrate index 1..14, sampling frequency index not 3.
bool isLayer3Header(uint32_t header);

// Headers of the same stream agree in sync, version and layer.
bool sameStream(uint32_t a, uint32_t b);

// What a header says about an input that has no Layer III frame.
enum class ScanVerdict {
    ok,
    noFrames,    // no Layer III frame anywhere
    freeFormat,  // the first frame-like header is Layer III with bitrate index 0
    otherLayer,  // the first frame-like header is Layer I or Layer II
};
ScanVerdict refusalVerdict(uint32_t header);

// When a frame-like header is taken as a frame. A header after junk (or at the start) is
// taken when it is confirmed: the frame it describes ends at the end of the input, or where
// a Layer III header of the same sync, version and layer starts.
struct ScanRules {
    // Right after a frame, a header must be confirmed as after junk; when false, any Layer
    // III header there is taken, even one whose frame runs past the end (cut short).
    bool confirmInSync;
    // Every frame keeps the first frame's sync, version and layer, and the first frame's
    // successor keeps its sampling rate too (a guard against a false sync).
    bool holdToFirstFrame;
    // A tag's magic (ID3v1, APEv2, ID3v2) right after a frame confirms it.
    bool tagConfirms;
    // After junk, a header that agrees with the last frame in sync, version, layer,
    // sampling rate and channel mode is taken without confirmation.
    bool resumeKnownStream;
    // When no confirmed frame follows junk, a complete frame of the stream at the junk's
    // start is still taken: the last frame, followed by the input's trailing bytes.
    bool lastFrameUnconfirmed;
};

// l3disassemble: every frame proven, the bytes after the last one carried as they are.
inline constexpr ScanRules kCarriedRules{true, true, true, false, true};
// l3 info, l3 check and the edits: every frame a decoder in sync would play.
inline constexpr ScanRules kWalkedRules{false, false, false, true, false};

// The input bytes [base, end), of which data holds the first.
struct ScanWindow {
    const uint8_t* data;
    size_t base;
    size_t end;
    bool ended;  // end is the end of the input (or of the area searched)
};

enum class ScanStep {
    frame,  // frame is set, and junk to the junk right before it
    more,   // the window must reach further before the next decision
    end,    // the first time: junk is what follows the last frame (perhaps empty); then {}
};

class FrameScanner {
public:
    // Frames are sought from searchFrom; junk before the first frame counts from junkFrom.
    FrameScanner(const ScanRules& rules, size_t junkFrom, size_t searchFrom);

    ScanStep next(const ScanWindow& window, WalkFrame& frame, JunkRange& junk);

    // The header of the first frame found, 0 before it.
    uint32_t firstHeader() const { return first_; }
    // The next offset looked at as a frame start.
    size_t position() const { return pos_; }
    // True after a frame; false at the start and in junk, which runs from junkStart.
    bool inSync() const { return inSync_; }
    size_t junkStart() const { return junkStart_; }
    // The first offset a later decision may read (before the first frame, the search
    // position: the junk before it is known by its offsets).
    size_t keepFrom() const { return first_ == 0 || inSync_ ? pos_ : junkStart_; }

private:
    enum class State { scanning, closing, finished };

    int32_t decide(const ScanWindow& w, size_t offset, uint32_t& header) const;
    bool confirmed(const ScanWindow& w, size_t offset, uint32_t header, int32_t length) const;

    ScanRules rules_;
    State state_ = State::scanning;
    size_t pos_;
    size_t junkStart_;
    uint32_t first_ = 0;
    uint32_t last_ = 0;
    bool inSync_ = false;
};

}  // namespace l3
