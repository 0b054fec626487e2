#pragma once
// An edit's input taken apart: the tags around the frames, the Xing/Info frame, and for
// each audio frame where its head lies and where its main data lies in the main-data
// stream (every frame's bytes after its head, one after another). The edits (repack, cut,
// split, join) read their inputs, and read back their results, through this one reader,
// and compare frames with compareFrame.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "l3/edit.h"
#include "l3/status.h"
#include "edit/frame_head.h"
#include "l3/frame_record.h"
#include "io/platform.h"
#include "l3/spill_memory.h"
#include "l3/xing_tag.h"

namespace l3 {

// The most bytes of side information a frame has (MPEG-1, two channels).
inline constexpr size_t kMaxSideBytes = 32;


// One audio frame of a stream: where its head and main data lie.
//
// A stream cut out of a longer one starts with frames whose main_data_begin reaches before
// its first byte: their main data is lost, and a decoder plays silence for them. Such a
// frame before any frame with main data within the stream is undecodable, and is carried
// as it is (see KeptStart). Anywhere later such a frame is damage and is refused.
struct SourceFrame {
    size_t offset;
    uint32_t header;
    int64_t mainStart;  // bit offset into the stream's main-data stream (< 0: undecodable)
    int32_t mainBits;   // 0 for an undecodable frame
    bool undecodable = false;
    int64_t areaStart = 0;     // bit offset of its own bytes after the head in the main-data stream
    bool fromRecord = false;   // its head is written from recodedSide (recoded, an edit)
    bool recoded = false;      // its main data is the recoded one
    int64_t recodedStart = 0;  // when recoded: bit offset into the recoded main data
    int32_t recodedBits = 0;
    bool silenced = false;  // damaged, and written as a silent frame (Damage::salvage)
};

// Damage readSource found with Damage::salvage, and what it did: where it lies, the message
// an edit that needs it refuses with (it names --salvage), and the note of the repair.
struct SourceDamage {
    enum Kind { frame, junk, cutLastFrame, tagFrame };
    Kind kind = frame;
    // The first of src.frames it touches: the frame that does not decode, the frame after
    // the junk, frames.size() for a cut last frame (a bad tag frame touches every frame).
    size_t at = 0;
    std::string what;     // "frame 9 (offset 4132): huffman_error: ..."
    std::string refusal;  // what, and what --salvage would do
    std::string repair;   // what was done
    // A frame whose main data runs past its end: mpg123 plays it as 1152 zeros without
    // running its synthesis filter, so the frames after it keep another cycle (see cut.cpp).
    bool mainDataCut = false;
};

struct SourceStream {
    const uint8_t* input = nullptr;  // the bytes read; not owned
    size_t size = 0;
    size_t leadingBytes = 0;       // tags before the frames, kept
    size_t trailingTagOffset = 0;  // tags from here to the end, kept
    // The first frame's offset and the end of the last complete one: what lies outside
    // them besides tags is junk, which decoders pass over each their own way (ffmpeg
    // takes a Xing/Info frame after junk for audio; a sync pattern after the last frame
    // is an extra frame to it), so a rewrite of the whole stream keeps it as it is.
    size_t audioStart = 0;
    size_t audioEnd = 0;
    XingTag xing;
    bool tagFrame = false;      // the first frame is a Xing/Info (or VBRI) frame, not audio
    size_t tagFrameOffset = 0;  // where that frame lies, when there is one
    size_t tagFrameBytes = 0;
    SpillVector<SourceFrame> frames;
    // The audio frames' bytes after their heads, one after another (a Xing/Info frame's are
    // not main data: a decoder does not read them as such).
    SpillBytes mainData;
    // The recoded frames' main data (each from a byte boundary, at frames[k].recodedStart
    // bits) and, per frame written from a record, kMaxSideBytes apart, its side information
    // as the head writer writes it (main_data_begin 0): the result's head takes it.
    SpillBytes recoded;
    SpillBytes recodedSide;
    std::vector<SourceDamage> damage;  // Damage::salvage: in file order
};

// True when frames [from, to) of src need damage d: a frame among them, junk right before
// one of them, the cut last frame after the last, a bad tag frame always.
bool damageNeeded(const SourceStream& src, const SourceDamage& d, size_t from, size_t to);

// What readSource does with damage: a frame whose main data does not decode (or reaches
// before the stream after its start, or past its frame), junk between frames, a last frame
// cut short. Decoders differ on each (they resynchronise, drop or silence frames; ffmpeg
// plays part of a cut frame), so an edit cannot promise the same samples.
// A Xing/Info or VBRI frame whose counts are not the stream's, or a LAME extension whose tag
// CRC is wrong, is damage too: decoders trust or distrust it each their own way, and an
// edit writes it right.
enum class Damage {
    refuse,   // the first damage fails the read, naming it (Status::damaged)
    salvage,  // a damaged frame becomes a silent frame of the same duration (zero side
              // information, no main data); junk and a cut last frame are dropped; each
              // repair is a note
};

// layout: frames and main-data positions only; decode: every frame's main data is also
// decoded, so that one that does not decode is refused; recode: and re-coded for the
// fewest bits (see granule_coder.h).
enum class SourcePass { layout, decode, recode };

struct SourceProblem {
    Status status = Status::ok;
    std::string message;             // why it failed
    std::vector<std::string> notes;  // what was dropped (junk, a cut last frame)
    // Junk before the first frame or after the last, and the note that says it is dropped.
    struct OutsideJunk {
        size_t note, offset, length;
    };
    std::vector<OutsideJunk> outsideJunk;
};

// Says in problem's notes that the junk outside the frames is kept, for an edit that keeps it.
void noteOutsideJunkKept(SourceProblem& problem);

// Reads input into src; fails (Status::notLayer3, Status::damaged) on what cannot be carried
// over losslessly. src keeps a pointer to input. Up to `threads` threads decode (and
// recode) the frames at once. With edits (a decode or recode pass), the edited frames are
// taken from their records (see FrameEdits; Status::badValue when a value cannot be coded).
// `alongside`, when given, runs once the frames' heads and main-data extents are in, on a
// thread of its own while the frames decode (or first, with threads 1 or where no thread
// can be started), and that thread then helps with the frames still to decode; it may read
// src.frames' offsets, heads, extents and undecodable marks and src.mainData, which the
// decoding leaves alone (not so with Damage::salvage, where the decoding silences frames:
// give none then). It does not run when reading fails before that.
bool readSource(const uint8_t* input, size_t size, SourcePass pass, int threads, SourceStream& src,
                SourceProblem& problem, const FrameEdits* edits = nullptr,
                const std::function<void()>& alongside = {}, Damage damage = Damage::refuse);

// A frame's main data as it is to be written: count bits from bit start of bytes, in the
// recoded main data where the frame was recoded, else in the main-data stream.
struct MainBits {
    const uint8_t* bytes;
    int64_t start;
    int32_t count;
};
MainBits writtenMainData(const SourceStream& src, size_t k);

// Copies count bits from src at bit srcPos to dst from its first bit on; the bits after
// them in the last byte are zero.
void copyBits(uint8_t* dst, const uint8_t* src, int64_t srcPos, int64_t count);

// Frame b.frames[kb] against a.frames[ka]: the header but for its size and CRC bits, the
// side information but for main_data_begin, and the main data bit for bit (which fix every
// decoded value); two undecodable frames have no main data to compare. Empty when they
// agree, else what differs. A frame of a written from a record is taken as it is to be
// written: its side information from recodedSide, its main data the recoded one where it
// was recoded (readSource has read these back and found the values they were to carry).
std::string compareFrame(const SourceStream& a, size_t ka, const SourceStream& b, size_t kb);

// A frame written from a record (its bits may differ), decoded, against the values it was
// to carry: the header but for its layout bits, the spectrum, and what scales each band
// (sameScaling: gains, block layout, and the scalefactors in the same or another form of
// the same scaling). Empty when they agree, else what differs.
std::string sameDecodedValues(const FrameRecord& x, const FrameRecord& y);

// The message of a result that did not read back as it should: an internal fault.
std::string verificationFailure(const std::string& mismatch);

// "frame K (offset O)"
std::string frameAt(size_t frame, size_t offset);

// The note that src.frames[k], an undecodable frame, is kept as one (K counts a Xing/Info
// frame as the messages do).
std::string undecodableNote(const SourceStream& src, size_t k);

// The start of a stream with undecodable frames that an edit keeps byte for byte: the
// undecodable frames, the first frame with main data, and every frame after it whose main
// data starts in the bytes of the frames before that one. What a decoder plays for those
// depends on how it treats the bytes it never received (main data that starts in the
// bytes of an undecodable frame may be read as received or not), so they keep their
// bytes and sizes, and the frames after them are laid out anew from the first free byte.
struct KeptStart {
    size_t frames = 0;     // 0: the stream starts with no undecodable frame
    int64_t freeFrom = 0;  // byte in the main-data stream where later main data may start
    int64_t areaEnd = 0;   // byte in the main-data stream where the kept frames' bytes end
};

KeptStart keptStart(const SourceStream& src);

}  // namespace l3
