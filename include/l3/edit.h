#pragma once
// Lossless edits of whole streams held in memory: repack (the smallest layout, optionally
// re-chosen Huffman coding, CBR, CRC), gain in 1.5 dB steps with undo information, loudness
// tags, cut and split at any sample, join. Each call reads its result back before handing it
// out and says how it ended as an l3::Status; nothing is half done. Nothing throws in the
// edits themselves; any thread may call.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "l3/id3v2_user_text.h"
#include "l3/record.h"
#include "l3/spill_memory.h"
#include "l3/status.h"

namespace l3 {

// Whether a rewritten frame has a CRC: as it had, added, or dropped.
enum class CrcChoice { keep, add, drop };

// New values for some audio frames (the Python module writes a changed stream this way).
// records[k] belongs to audio frame k (a Xing/Info frame not counted); null keeps the frame
// as it is. An edited frame's head is written from its record, whose layout fields
// (part2_3_length, big_values, table_select, region counts, count1table_select,
// scalefac_compress, scfsi, main_data_begin) must be the frame's own: its main data stays bit
// for bit unless a granule's values (spectrum, scalefactors, block type and flags) differ
// from the frame's, and then the frame is recoded as --huffman would code it (but with the
// scalefactors, scalefac_scale and preflag as written), the unchanged granules keeping their
// coding where that is no larger. The caller checks the fixed-width
// fields first (see l3/values.h); a value no coding can hold fails with Status::badValue.
struct FrameEdits {
    std::vector<const FrameRecord*> records;
};

// ---- time point
// A point of a stream's timeline as a user writes it: seconds ("83.5"), minutes and seconds
// ("1:23.5"), hours, minutes and seconds ("1:02:03.25"), or a sample index. Seconds are
// kept as an exact fraction, so that a point lands on the sample nearest to it whatever
// the sampling rate.

struct TimePoint {
    bool samples = false;   // units is a sample index
    int64_t units = 0;      // else units / perSecond seconds
    int64_t perSecond = 1;  // a power of ten
    bool fromEnd = false;   // counted back from the end (written with a leading '-')
};

// Seconds: at most 6 decimals and 10^7 seconds; minutes and seconds below 60 after the
// first field. A sample index: decimal digits, below 2^48. Either may start with '-': the
// point is counted back from the end. False on anything else.
bool parseTimePoint(std::string_view text, bool samples, TimePoint& point);

// The sample index at point for a stream of rate Hz (nearest; halves round up).
int64_t sampleAt(const TimePoint& point, int rate);

// The sample index at point on a timeline of length samples: a point counted from the end
// is length less its samples (0 at the least).
int64_t sampleOn(const TimePoint& point, int rate, int64_t length);

// ---- gain
// Lossless volume change: N added to every granule's global_gain (steps of 1.5 dB) in every
// audio frame, frame CRCs recomputed, every other byte as it was. The undo information is
// kept in an APEv2 tag item, MP3GAIN_UNDO, whose value ("-002,-002,N") is the gain to add to
// the left and right channel to undo every change so far and whether wrapping was allowed,
// the form other gain tools read and write; the tag goes after the frames, before an ID3v1
// tag. A change that holds values at 0 or 255 cannot be undone exactly: the tag then also
// gets an item L3_UNDO_INEXACT counting the values held so far (other gain tools, which write
// the same MP3GAIN_UNDO value after such a change, keep no record of it). A change of 0 steps
// changes nothing: the output is the input's bytes, without an undo item.

struct GainOptions {
    int steps = 0;
    int channel = -1;  // 0 or 1: that channel only (stereo or dual channel streams); -1 both
    bool tag = true;   // write or update the undo item
};

struct GainResult {
    Status status = Status::ok;
    std::string message;
    std::vector<uint8_t> output;
    size_t frames = 0;   // audio frames changed
    size_t clamped = 0;  // global_gain values held at 0 or 255
    size_t inexact = 0;  // undoGain: values an earlier change held (L3_UNDO_INEXACT)
};

GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options);

// Applies the undo gains the file's MP3GAIN_UNDO item records and removes the item (and
// L3_UNDO_INEXACT, and the APEv2 tag when those were its only items), giving back the bytes
// before the first change (but for values a change held at 0 or 255: result.inexact).
GainResult undoGain(const uint8_t* input, size_t size);

// Where a result is made piece by piece and then read back whole: a vector, or a file
// mapped once written, so that a long file is changed in bounded memory.
struct ByteStore {
    virtual ~ByteStore() = default;
    // Appends bytes; false on a write error.
    virtual bool append(const uint8_t* bytes, size_t size) = 0;
    // Everything appended, readable while the store lives; false on an error.
    virtual bool finish(std::span<const uint8_t>& bytes) = 0;
};

// A store in memory.
struct VectorStore : ByteStore {
    std::vector<uint8_t> bytes;
    bool append(const uint8_t* from, size_t size) override {
        bytes.insert(bytes.end(), from, from + size);
        return true;
    }
    bool finish(std::span<const uint8_t>& all) override {
        all = bytes;
        return true;
    }
};

// The same changes made through stores: the result goes to out frame by frame (nothing is
// kept per frame) and is checked there; scratch holds the undo of a change that records one
// when it cannot be checked against the input as it is made. result.output stays empty;
// Status::io when a store fails. The result in out is to be used only with Status::ok.
GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options,
                     ByteStore& out, ByteStore& scratch);
GainResult undoGain(const uint8_t* input, size_t size, ByteStore& out);

// ---- gain tags
// Loudness written as tags, the audio left alone: ReplayGain 2.0 values (the gain that
// brings a track or album to the reference loudness, its peak, the reference) as ID3v2
// TXXX frames in the file's leading tag (one is added at the front where there is none),
// and as APEv2 items where the file already has an APEv2 tag. Not a byte of any frame
// changes: players that read the tags apply the gain themselves. The result is read back
// before it is handed out: the same frames, shifted by the leading tag's change in length,
// the texts in the ID3v2 tag and the items in the APEv2 tag.

// What was measured, in the units the tags take.
struct LoudnessTags {
    double trackGain = 0;  // dB to the reference
    double trackPeak = 0;  // largest magnitude, 1 = full scale
    bool album = false;    // the album's values too
    double albumGain = 0, albumPeak = 0;
    double reference = -18;  // LUFS
};

// REPLAYGAIN_TRACK_GAIN "-6.52 dB", REPLAYGAIN_TRACK_PEAK "0.988553", the album's two with
// tags.album, and REPLAYGAIN_REFERENCE_LOUDNESS "-18.00 LUFS", in that order. Gains with two
// decimals, peaks with six, as ReplayGain 2.0 readers read them.
std::vector<UserText> replayGainTexts(const LoudnessTags& tags);

// Every REPLAYGAIN_* text of those five in the ID3v2 tag (and the APEv2 tag) is replaced
// by texts: a value of an earlier run (an album's too) never stays beside the new ones.
// Status::notLayer3 without frames, Status::tagRefused (with the reason) for an ID3v2 tag that
// cannot be rewritten, Status::inexact where the result would not read back as written.
GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts,
                         ByteStore& out);
GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts);

// ---- cue sheet
// Cue sheets: the track list of a recording (a CD's, an album ripped as one file), read
// for `l3 split --cue`. A sheet is lines of commands; those that matter here:
//
//   PERFORMER "Artist"            (before the first TRACK: the album's; after: the track's)
//   TITLE "Album"                 (the same)
//   FILE "album.mp3" MP3
//   TRACK 01 AUDIO
//     INDEX 01 03:15:42           (minutes:seconds:frames, 75 frames a second)
//
// Other commands (REM, INDEX 00, PREGAP, ISRC, FLAGS, CATALOG, ...) are read over. Text in
// UTF-8 (a byte order mark is skipped) or, where the bytes are not UTF-8, Latin-1, which is
// turned into UTF-8.

struct CueTrack {
    int number = 0;          // as written (1..99)
    std::string title;       // UTF-8; empty when the sheet has none
    std::string performer;   // the track's, else the album's
    int64_t start = 0;       // INDEX 01, in 1/75 s
};

struct CueSheet {
    std::string title;      // the album's
    std::string performer;  // the album's
    std::vector<CueTrack> tracks;
};

struct CueProblem {
    int line = 0;  // 1-based; 0 for the sheet as a whole
    std::string message;
};

// Reads a sheet. False (problem set) where a command that matters is malformed (a TRACK
// without its number, an INDEX whose time does not parse, a string not closed), where a
// track has no INDEX 01, where tracks do not start in increasing order, where a second FILE
// follows the first, or where the sheet has no track.
bool readCueSheet(std::string_view text, CueSheet& sheet, CueProblem& problem);

// ---- repack
// Lossless repacking: every frame keeps its header fields other than the bit rate, the
// padding bit and (when asked) the CRC bit, its side information other than
// main_data_begin, and its main data bit for bit; the frames get the smallest sizes and
// main_data_begin values the format allows (see src/edit/layout_plan.h). A decoder plays exactly
// what it played before. A Xing/Info frame with its LAME extension is kept up to date (frame
// count, byte count, TOC, music length and both CRCs; encoder delay and padding as they
// were): Xing for a VBR result, Info for a CBR one. A stream without one gets none, since a
// decoder that finds one trims the start of the stream as for a gapless stream. ID3v2, ID3v1, APEv2
// and Lyrics3 tags stay; junk before the first frame or after the last is dropped and reported;
// junk between frames and a last frame cut short are refused unless salvaging.
// The first frames of a stream cut out of a longer one, whose main data lies before it, are
// kept byte for byte with the frames that depend on them, and reported (see KeptStart).
//
// Works in memory. The result is read back and compared with the input frame by frame
// before it is handed out; nothing is half done.

struct RepackOptions {
    int minBitrate = 0;  // kbit/s; 0: no floor
    int cbrBitrate = 0;  // kbit/s; 0: any rate per frame; -1: the smallest single rate
    CrcChoice crc = CrcChoice::keep;
    // Also re-choose each granule's coding for the fewest bits with the same decoded values
    // (see src/maindata/granule_coder.h); the result is then checked by decoding it.
    bool huffman = false;
    // Threads that may decode (and recode) frames at once; the layout itself is one.
    int threads = 1;
    // Damage (see Damage in src/edit/source_stream.h): refused, or repaired where salvaging:
    // a frame that does not decode becomes a silent frame of its duration, junk between
    // frames and a cut last frame are dropped, each repair a note.
    bool salvage = false;
    // A stream without a Xing/Info or VBRI frame, all of whose frames share one bit rate,
    // stays at one (the smallest that fits) unless this is set: it cannot be given a VBR
    // header without changing what some decoder plays, and a VBR stream without one seeks
    // badly (mp3val warns).
    bool vbrWithoutHeader = false;
};

struct RepackResult {
    Status status = Status::ok;
    std::string message;             // why it failed
    std::vector<std::string> notes;  // what was dropped (junk, a cut last frame)
    SpillBytes output;
    size_t frames = 0;  // audio frames
    bool vbr = false;   // the result's frames have more than one bit rate
};

RepackResult repackStream(const uint8_t* input, size_t size, const RepackOptions& options,
                          const FrameEdits* edits = nullptr);

// ---- cut and split
// Lossless cuts of a stream at any sample (see src/edit/cut.h for the timeline every
// decoder plays): a piece holds the frames its samples depend on and a LAME extension
// whose encoder delay and padding hide the rest, so that a gapless decoder plays exactly
// the input's samples of that range.

struct CutPiece {
    int64_t from = 0, to = 0;  // samples of the input's timeline, to exclusive
    SpillBytes output;
    size_t frames = 0;  // audio frames of the piece
};

struct CutResult {
    Status status = Status::ok;
    std::string message;
    std::vector<std::string> notes;  // what was dropped from the input (junk, a cut frame)
    std::vector<CutPiece> pieces;
    int rate = 0;  // of the input, Hz
};

// The piece from..to of the input (to past the end: up to the end). Silent filler frames
// before its first frame give main data that reached far back reservoir room; a piece that
// still does not fit is refused with Status::outOfRange.
//
// Damage (see Damage in src/edit/source_stream.h) in the frames a piece needs refuses it, unless
// salvage repairs it there; damage elsewhere in the input is noted and does not matter.
// With toIsLength, to is the piece's length from from. Points counted from the end
// (TimePoint::fromEnd) count back from the end of the timeline.
CutResult cutStream(const uint8_t* input, size_t size, const TimePoint& from, const TimePoint* to,
                    bool salvage = false, bool toIsLength = false);

// Consecutive pieces: from the start to the first point, between points, and from the last
// point to the end. Points must rise strictly and lie inside the timeline. With every set,
// points are every, 2 every, ... before the end. With snap, a point no piece of a one-channel
// stream can start at exactly (see cutStream's refusal naming the nearest starts) moves to
// the nearest start that can, within two granules: for points found rather than asked for
// (--every, silences).
CutResult splitStream(const uint8_t* input, size_t size, const std::vector<TimePoint>& points,
                      const TimePoint* every, bool salvage = false, bool snap = false);

// ---- join
// Lossless joins: the audio frames of several streams one after another in one stream,
// laid out anew across every seam (see src/edit/splice.h), with one Xing/Info frame that
// carries the first input's encoder delay and the last input's padding. The tags around
// the frames are the first input's.
//
// At a seam between different streams the earlier one's padding and the later one's
// encoder delay would play as a gap of a frame or two; whole frames of that junk are left
// out (the earlier input's last frames, the later input's first), so that the result plays
// as long as the inputs together, within half a frame however many seams there are.
//
// Consecutive pieces of one stream, as cutStream and splitStream write them, repeat at the
// start of each piece the frames its first samples depend on; these are recognised (the
// frames are the same, and the piece before's padding and this piece's delay add up to
// them) and written once, so that joining every piece gives back the input's frames.

// Beyond the statuses of every edit, joinStreams gives Status::mismatch when an input differs
// from the first in version, sampling rate or channel count.

struct JoinInput {
    std::string name;  // for messages
    const uint8_t* data;
    size_t size;
};

struct JoinResult {
    Status status = Status::ok;
    std::string message;  // names the input it is about
    std::vector<std::string> notes;
    SpillBytes output;
    size_t frames = 0;          // audio frames of the result
    size_t repeatedFrames = 0;  // frames left out as repeated from the input before
    size_t seamFrames = 0;      // frames left out at seams between different streams
};

// Damage in an input (see Damage in src/edit/source_stream.h) is refused, naming the input, unless
// salvage repairs it.
JoinResult joinStreams(const std::vector<JoinInput>& inputs, bool salvage = false);

}  // namespace l3
