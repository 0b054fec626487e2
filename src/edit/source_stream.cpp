#include "edit/source_stream.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <system_error>
#include <thread>

#include "assemble/run_driver.h"
#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "edit/frame_head.h"
#include "edit/chunked_work.h"
#include "format/byte_order.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "io/platform.h"
#include "framewriter/frame_writer_state.h"
#include "inspect/frame_walk.h"
#include "maindata/granule_coder.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "maindata/scale_forms.h"
#include "playback/played_values.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

// A chunk's room for its recoded main data: bytes [0, room) from bytes, the first size used.
// Every chunk has its own room in one buffer of large pages, so that no chunk's data is
// moved as it grows nor written into pages touched for the first time a few at a time.
struct ByteRoom {
    uint8_t* bytes = nullptr;
    size_t size = 0, room = 0;
};

// Codes record's main data with the assembler's writers and appends it to out from a byte
// boundary, with 8 zero bytes after it (every byte the reader may look at); returns its
// first bit, or -1 (out unchanged) when out has no room for it.
int64_t appendMainData(MainDataState& scratch, const FrameRecord& record, ByteRoom& out) {
    const int32_t bits = writeMainDataAlone(scratch, record);
    const BitStore& store = scratch.store;
    constexpr int32_t kTopByte = kScratchTopByte;
    const size_t bytes = static_cast<size_t>((bits + 7) / 8);
    if (out.room - out.size < bytes + 8) return -1;
    const int64_t start = 8 * static_cast<int64_t>(out.size);
    // Store bytes leave from the top down; the bits past the end are zero.
    uint8_t* at = out.bytes + out.size;
    const uint8_t* top = store.storeBytes.data() + kTopByte;
    std::reverse_copy(top - bytes, top, at);
    if (bits & 7) at[bytes - 1] &= static_cast<uint8_t>(0xFF00 >> (bits & 7));
    std::memset(at + bytes, 0, 8);
    out.size += bytes;
    return start;
}

// A granule coded from values that differ from the frame's gets this part2_3_length before
// recodeFrame, so that its old coding, made for other values, is never kept; one left with
// it (or with any length out of range) had values that no coding holds.
constexpr int32_t kUncoded = 1 << 20;
constexpr int32_t kMaxPart2_3Length = 4095;

// Marks in edit the granules whose values (spectrum, scalefactors, block type and flags)
// differ from the decoded ones; true when there is one.
bool markChangedGranules(const FrameRecord& decoded, FrameRecord& edit) {
    bool any = false;
    for (int gr = 0; gr < granuleCount(decoded.header); ++gr)
        for (int ch = 0; ch < channelCount(decoded.header); ++ch) {
            if (!sameGranuleValues(decoded, edit, gr, ch)) {
                edit.granuleInfo[gr][ch].part2_3_length = kUncoded;
                any = true;
            }
        }
    return any;
}

// The first scalefactor of a granule that is largest: what no width could hold.
RecordProblem scalefactorProblem(const FrameRecord& rec, int gr, int ch) {
    const uint16_t* sf = rec.scalefactors[isMpeg1(rec.header) ? gr : 0][ch];
    const uint16_t* top = std::max_element(sf, sf + kScalefactorEntries);
    return recordProblem("scalefactor", *top, "does not fit any scalefactor width of its granule",
                         gr, ch, static_cast<int>(top - sf));
}

// A granule left with a length out of range after recodeFrame: the value that no coding
// holds, or the length itself when the values need more bits than a granule has.
RecordProblem uncodedProblem(const FrameRecord& rec, int gr, int ch) {
    const HuffmanTable& widest = codeTables().huffman[31];
    const int largest = 15 + (1 << widest.linbits) - 1;
    const int16_t* lines = rec.spectrum[gr][ch];
    for (int i = 0; i < kSpectrumLines; ++i)
        if (lines[i] > largest || lines[i] < -largest)
            return recordProblem("spectrum", lines[i],
                                 "is beyond the largest magnitude a code table holds", gr, ch, i);
    const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
    if (length > kMaxPart2_3Length && length < kUncoded / 2)
        return recordProblem("part2_3_length", length,
                             "is above 4095: the granule's values need more bits than it holds", gr,
                             ch);
    return scalefactorProblem(rec, gr, ch);
}

// The granules of edit (marked by markChangedGranules) whose values did not change and whose
// bits decoders need as they are, as recodeFrame's keep mask; their values go back to the
// ones their bits code.
unsigned keepCodedGranules(const PlayedFrame& played, FrameRecord& edit) {
    unsigned keep = 0;
    for (int gr = 0; gr < granuleCount(edit.header); ++gr)
        for (int ch = 0; ch < channelCount(edit.header); ++ch) {
            if (!(played.notes[gr][ch] & kKeepBits)) continue;
            if (edit.granuleInfo[gr][ch].part2_3_length == kUncoded) continue;
            keep |= keepBit(gr, ch);
            if (played.notes[gr][ch] & kQuadDropped)
                std::copy(played.dropped[gr][ch], played.dropped[gr][ch] + 4,
                          edit.spectrum[gr][ch] + played.droppedLine[gr][ch]);
        }
    return keep;
}

// A granule of the result that decoders would read differently where the input's was not:
// what an edit must never write.
std::string newlyDisputed(const PlayedFrame& before, const PlayedFrame& after) {
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) {
            const uint8_t fresh = after.notes[gr][ch] & kKeepBits & ~before.notes[gr][ch];
            if (fresh) {
                char text[200];
                std::snprintf(text, sizeof text, "granule %d, channel %d: %s", gr, ch,
                              playedNoteText(fresh));
                return text;
            }
        }
    return "";
}

// What is wrong with a Xing/Info or VBRI frame's counts (or its LAME extension's tag CRC)
// for a stream of audioFrames frames and `bytes` bytes from the tag frame on, or empty.
std::string wrongTagCounts(const XingTag& x, size_t audioFrames, size_t bytes, size_t tagBytes) {
    char text[160];
    if (x.kind == XingKind::vbri) {
        // A VBRI frame counts itself or not, and its bytes from itself or after it.
        if ((x.frames != audioFrames && x.frames != audioFrames + 1) ||
            (x.bytes != bytes && x.bytes != bytes - tagBytes)) {
            std::snprintf(text, sizeof text,
                          "vbri_mismatch: the VBRI frame counts %u frames and %u bytes, the "
                          "stream has %zu and %zu",
                          x.frames, x.bytes, audioFrames, bytes);
            return text;
        }
        return "";
    }
    if ((x.hasFrames && x.frames != audioFrames) || (x.hasBytes && x.bytes != bytes)) {
        std::snprintf(text, sizeof text,
                      "xing_mismatch: the %s tag counts %u frames and %u bytes, the stream has "
                      "%zu and %zu",
                      xingKindName(x.kind), x.frames, x.bytes, audioFrames, bytes);
        return text;
    }
    if (x.lame.present && x.lame.computedTagCrc != x.lame.tagCrc)
        return "lame_tag_crc: the LAME extension's tag CRC is wrong";
    return "";
}

// Frames per chunk of the decoding: enough to make a chunk's scratch state worth its setup.
constexpr size_t kDecodeChunkFrames = 256;

// One chunk's decoding: its frames' recoded main data (when recoding or editing) and its
// first failure.
struct DecodedPart {
    ByteRoom recoded;
    std::string message;  // empty while every frame decodes (and every edit codes)
    Status status = Status::damaged;
    size_t at = 0;        // the offset of the frame the message names
    std::vector<SourceDamage> repairs;  // frames silenced (Damage::salvage)
};

// A damaged frame written as a silent one: its side information all zero (as the head
// writer writes it), no main data. It lasts as long and keeps its header.
void silence(SourceFrame& f) {
    f.silenced = true;
    f.fromRecord = f.recoded = true;
    f.recodedStart = 0;
    f.recodedBits = 0;
}

std::string silencedNote(const std::string& frame, const char* kind, const char* why) {
    return frame + ": " + kind + ": " + why + ": written as a silent frame";
}

constexpr char kSilenceHint[] = " (--salvage writes it as a silent frame)";

// Codes a recoded frame's main data into the part's and notes where it lies in s (its start
// -1 where the part has no room for it); false (with the part's status and message set)
// when a value cannot be coded.
bool codeRecoded(MainDataState& scratch, const FrameRecord& rec, size_t frame, SourceFrame& s,
                 DecodedPart& part) {
    RecordProblem problem;
    s.recodedBits = 0;
    for (int gr = 0; gr < granuleCount(rec.header) && !problem.field; ++gr)
        for (int ch = 0; ch < channelCount(rec.header) && !problem.field; ++ch) {
            const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
            if (length < 0 || length > kMaxPart2_3Length) problem = uncodedProblem(rec, gr, ch);
            s.recodedBits += length;
        }
    if (!problem.field) {
        s.recodedStart = appendMainData(scratch, rec, part.recoded);
        problem = scratch.problem;
    }
    if (!problem.field) return true;
    part.status = Status::badValue;
    part.at = s.offset;
    part.message = describeProblem(static_cast<int32_t>(frame), problem);
    return false;
}

// The byte of bits [pos, pos + 8) of bytes, the first in the most significant place (the
// byte after them must be readable).
inline uint8_t byteAt(const uint8_t* bytes, int64_t pos) {
    const uint8_t* p = bytes + (pos >> 3);
    const int shift = static_cast<int>(pos & 7);
    return shift == 0 ? p[0] : static_cast<uint8_t>(p[0] << shift | p[1] >> (8 - shift));
}

// The 64 bits from the byte that holds pos, shifted so that bit pos is the most significant:
// 57 of them and more are bits from pos on.
inline uint64_t wordAt(const uint8_t* bytes, int64_t pos) {
    const uint64_t word = loadBe64(bytes + (pos >> 3));
    return word << (pos & 7);
}

// True when count bits of a from aPos equal count bits of b from bPos. Reads no byte past
// the ones the two ranges touch.
bool sameBits(const uint8_t* a, int64_t aPos, const uint8_t* b, int64_t bPos, int64_t count) {
    if ((aPos & 7) == (bPos & 7)) {
        // Alike within their bytes (moved main data always is): the bits up to a byte
        // boundary, then whole bytes at once.
        const int lead = static_cast<int>((8 - (aPos & 7)) & 7);
        if (lead > 0 && count >= lead) {
            const uint8_t mask = static_cast<uint8_t>((1u << lead) - 1);
            if (((a[aPos >> 3] ^ b[bPos >> 3]) & mask) != 0) return false;
            aPos += lead, bPos += lead, count -= lead;
        }
        if (aPos % 8 == 0) {
            // (An empty range may lie in an empty buffer, whose pointer may be null.)
            const size_t whole = static_cast<size_t>(count >> 3);
            if (whole > 0 && std::memcmp(a + (aPos >> 3), b + (bPos >> 3), whole) != 0)
                return false;
            aPos += 8 * static_cast<int64_t>(whole), bPos += 8 * static_cast<int64_t>(whole);
            count -= 8 * static_cast<int64_t>(whole);
        }
    }
    // 56 bits a step while a word load stays within the ranges' bytes.
    for (; count >= 64; count -= 56, aPos += 56, bPos += 56)
        if ((wordAt(a, aPos) ^ wordAt(b, bPos)) >> 8 != 0) return false;
    for (; count >= 8; count -= 8, aPos += 8, bPos += 8)
        if (byteAt(a, aPos) != byteAt(b, bPos)) return false;
    if (count == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF00 >> count);
    return ((byteAt(a, aPos) ^ byteAt(b, bPos)) & mask) == 0;
}

}  // namespace

MainBits writtenMainData(const SourceStream& src, size_t k) {
    const SourceFrame& f = src.frames[k];
    return f.recoded ? MainBits{src.recoded.data(), f.recodedStart, f.recodedBits}
                     : MainBits{src.mainData.data(), f.mainStart, f.mainBits};
}

std::string sameDecodedValues(const FrameRecord& x, const FrameRecord& y) {
    if ((x.header & ~kLayoutHeaderBits) != (y.header & ~kLayoutHeaderBits))
        return "its header differs";
    for (int gr = 0; gr < granuleCount(x.header); ++gr)
        for (int ch = 0; ch < channelCount(x.header); ++ch) {
            // The scalefactors may take another form (scale_forms.h); what every band is
            // scaled by may not change.
            if (!sameScaling(x, y, gr, ch))
                return "its gains, block type or scalefactors scale a band differently";
            if (!std::equal(x.spectrum[gr][ch], x.spectrum[gr][ch] + kSpectrumLines,
                            y.spectrum[gr][ch]))
                return "its spectrum differs";
        }
    return "";
}

std::string frameAt(size_t frame, size_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "frame %zu (offset %zu)", frame, offset);
    return text;
}

std::string undecodableNote(const SourceStream& src, size_t k) {
    const SourceFrame& f = src.frames[k];
    char text[160];
    std::snprintf(text, sizeof text,
                  "kept frame %zu (offset %zu) undecodable: main_data_begin reaches %lld bytes "
                  "before the stream",
                  k + (src.tagFrame ? 1 : 0), f.offset, static_cast<long long>(-f.mainStart / 8));
    return text;
}

KeptStart keptStart(const SourceStream& src) {
    KeptStart kept;
    const size_t n = src.frames.size();
    if (n == 0 || !src.frames[0].undecodable) return kept;
    size_t first = 0;  // the first frame with main data
    while (first < n && src.frames[first].mainBits == 0) ++first;
    if (first == n) {
        kept.frames = n;
        kept.freeFrom = kept.areaEnd = static_cast<int64_t>(src.mainData.size()) - 8;
        return kept;
    }
    const int64_t from = src.frames[first].areaStart;
    size_t k = first + 1;
    while (k < n && src.frames[k].mainStart < from) ++k;
    kept.frames = k;
    kept.areaEnd =
        k < n ? src.frames[k].areaStart / 8 : static_cast<int64_t>(src.mainData.size()) - 8;
    // Past every kept frame's main data (in a damaged stream it need not come in order).
    kept.freeFrom = from / 8;
    for (size_t j = first; j < k; ++j)
        kept.freeFrom =
            std::max(kept.freeFrom, (src.frames[j].mainStart + src.frames[j].mainBits + 7) / 8);
    return kept;
}

void copyBits(uint8_t* dst, const uint8_t* src, int64_t srcPos, int64_t count) {
    const uint8_t* s = src + (srcPos >> 3);
    const int shift = static_cast<int>(srcPos & 7);
    const int64_t bytes = (count + 7) >> 3;
    if (shift == 0) {
        std::memcpy(dst, s, static_cast<size_t>(bytes));
    } else {
        for (int64_t i = 0; i < bytes; ++i)
            dst[i] = static_cast<uint8_t>(s[i] << shift | s[i + 1] >> (8 - shift));
    }
    if (count & 7) dst[bytes - 1] &= static_cast<uint8_t>(0xFF00 >> (count & 7));
}

namespace {

// One read: the input, what it becomes, and the damage found so far, which the steps below
// share.
struct SourceRead {
    const uint8_t* input;
    size_t size;
    SourceStream& src;
    SourceProblem& result;
    const FrameEdits* edits;
    bool salvage;
    size_t first = 0;  // the first audio frame among the whole frames (1 after a tag frame)
    // Without salvage, the first damage in the file fails the read: junk between frames and
    // a cut last frame are found first, and held until no frame before them turns out bad.
    size_t pendingAt = SIZE_MAX;
    std::string pending{};
    std::vector<size_t> junkAt{};  // the offsets of src.damage's junk entries
    // Recoding or editing: each frame's room in the recoded main data (see makeRooms).
    bool recode = false;
    SpillVector<size_t> roomStart{};
    std::unique_ptr<SpillBlock> room{};

    bool fail(size_t at, Status status, const std::string& message) {
        result.status = at < pendingAt ? status : Status::damaged;
        result.message = at < pendingAt ? message : pending;
        return false;
    }
    // Damage is held back (refuse) or repaired and listed (salvage).
    void damaged(SourceDamage::Kind kind, size_t at, const std::string& what, const char* hint,
                 std::string repair) {
        if (!salvage) {
            if (at < pendingAt) pendingAt = at, pending = what + hint;
            return;
        }
        result.notes.push_back(repair);
        src.damage.push_back({kind, 0, what, what + hint, std::move(repair)});
    }
    // The end of a read that got this far: it fails only on damage held back.
    bool finish() { return pending.empty() || fail(SIZE_MAX, Status::ok, ""); }
};

// Junk before the first frame or after the last is kept or dropped (see audioStart);
// between frames decoders resynchronise, each its own way.
void noteJunk(SourceRead& read, const FrameWalk& walk) {
    SourceProblem& result = read.result;
    for (size_t j = 0; j < walk.junkOffsets.size(); ++j) {
        const size_t at = walk.junkOffsets[j], length = walk.junkLengths[j];
        const bool inside = !walk.frames.empty() && walk.frames.front().offset < at &&
                            walk.frames.back().offset > at;
        char text[160], repair[96];
        std::snprintf(repair, sizeof repair, "dropped %zu bytes of junk at offset %zu", length,
                      at);
        if (!inside) {
            result.outsideJunk.push_back({result.notes.size(), at, length});
            result.notes.push_back(repair);
            continue;
        }
        std::snprintf(text, sizeof text,
                      "junk: %zu bytes between frames at offset %zu, where decoders "
                      "resynchronise",
                      length, at);
        read.damaged(SourceDamage::junk, at, text, " (--salvage drops them)", repair);
        if (read.salvage) read.junkAt.push_back(at);
    }
}

// The walk's whole frames: all but a last one cut short (the walk has at most that one),
// which is damage.
std::span<const WalkFrame> wholeFrames(SourceRead& read, const FrameWalk& walk) {
    std::span<const WalkFrame> frames(walk.frames.data(), walk.frames.size());
    if (frames.empty() || !frames.back().truncated) return frames;
    const size_t k = frames.size() - 1;
    const WalkFrame& f = frames[k];
    char text[200], repair[96];
    std::snprintf(text, sizeof text,
                  ": truncated_frame: %d of its %d bytes are present, of which ffmpeg plays part",
                  f.length, frameLength(f.header));
    std::snprintf(repair, sizeof repair, "dropped a last frame cut short (%d bytes at offset %zu)",
                  f.length, f.offset);
    read.damaged(SourceDamage::cutLastFrame, f.offset, frameAt(k, f.offset) + text,
                 " (--salvage drops it)", repair);
    return frames.first(k);
}

// Where the audio lies, and the Xing/Info (or VBRI) frame, if the first frame is one; its
// counts that are not the stream's are damage.
void readTagFrame(SourceRead& read, const FrameWalk& walk, std::span<const WalkFrame> frames) {
    SourceStream& src = read.src;
    const WalkFrame& f0 = frames[0];
    src.audioStart = f0.offset;
    src.audioEnd = frames.back().offset + static_cast<size_t>(frames.back().length);
    src.xing = readXingTag(read.input + f0.offset, static_cast<size_t>(f0.length));
    if (src.xing.kind == XingKind::none) return;
    src.tagFrame = true;
    src.tagFrameOffset = f0.offset;
    src.tagFrameBytes = static_cast<size_t>(f0.length);
    read.first = 1;
    // Its counts against the stream's (a cut last frame counted whole, as encoders do).
    const WalkFrame& last = walk.frames.back();
    const size_t audioFrames = walk.frames.size() - 1;
    const size_t bytes = last.offset + static_cast<size_t>(frameLength(last.header)) - f0.offset;
    if (const std::string wrong =
            wrongTagCounts(src.xing, audioFrames, bytes, static_cast<size_t>(f0.length));
        !wrong.empty()) {
        read.damaged(SourceDamage::tagFrame, f0.offset, frameAt(0, f0.offset) + ": " + wrong,
                     " (--salvage rebuilds it)",
                     frameAt(0, f0.offset) + ": " + wrong + ": rebuilt");
    }
}

// Every audio frame's bytes after its head into the main-data stream, and where each
// frame's main data lies in it; false (failed) at the first frame that cannot be carried.
bool takeMainData(SourceRead& read, std::span<const WalkFrame> frames) {
    SourceStream& src = read.src;
    const uint32_t reference = frames[read.first < frames.size() ? read.first : 0].header;
    src.frames.reserve(frames.size());
    src.mainData.reserve(read.size + 8);
    bool mainDataBefore = false;  // a frame with main data within the stream came before
    for (size_t k = 0; k < frames.size(); ++k) {
        const WalkFrame& f = frames[k];
        if (k < read.first) continue;
        const int32_t head = headByteCount(f.header);
        const int64_t areaStart = 8 * static_cast<int64_t>(src.mainData.size());
        src.mainData.insert(src.mainData.end(), read.input + f.offset + head,
                            read.input + f.offset + f.length);
        // One frame size table serves the whole stream: version and sampling rate stay.
        if (versionCode(f.header) != versionCode(reference) ||
            samplingIndex(f.header) != samplingIndex(reference))
            return read.fail(f.offset, Status::damaged,
                             frameAt(k, f.offset) +
                            ": header_changed: its version or sampling rate "
                            "differs from the first audio frame's");
        const MainDataExtent extent = readMainDataExtent(read.input + f.offset);
        const int32_t bits = extent.bits;
        const int64_t mainStart = areaStart - 8 * int64_t{extent.mainDataBegin};
        if (mainStart < 0 && !mainDataBefore) {
            src.frames.push_back({f.offset, f.header, mainStart, 0, true, areaStart});
            continue;
        }
        mainDataBefore = mainDataBefore || bits > 0;
        const char* kind = nullptr;
        const char* why = nullptr;
        if (mainStart < 0) {
            kind = "reservoir_underflow";
            why = "main_data_begin reaches before the stream";
        } else if (mainStart + bits > 8 * static_cast<int64_t>(src.mainData.size())) {
            kind = "huffman_error";
            why = "its main data runs past the end of its frame";
        }
        src.frames.push_back({f.offset, f.header, mainStart, bits});
        src.frames.back().areaStart = areaStart;
        if (kind && read.salvage) {
            silence(src.frames.back());
            const std::string frame = frameAt(k, f.offset);
            read.damaged(SourceDamage::frame, f.offset, frame + ": " + kind + ": " + why,
                         kSilenceHint, silencedNote(frame, kind, why));
            src.damage.back().at = src.frames.size() - 1;
            src.damage.back().mainDataCut = mainStart >= 0;
        } else if (kind) {
            return read.fail(f.offset, Status::damaged,
                             frameAt(k, f.offset) + ": " + kind + ": " + why);
        }
    }
    return true;
}

void placeDamage(SourceRead& read) {
    SourceStream& src = read.src;
    // Where the damage lies among the frames: junk before the frame after it, a cut last
    // frame after them all.
    for (size_t d = 0, j = 0; d < src.damage.size(); ++d) {
        SourceDamage& entry = src.damage[d];
        if (entry.kind == SourceDamage::cutLastFrame) entry.at = src.frames.size();
        if (entry.kind != SourceDamage::junk) continue;
        const size_t at = read.junkAt[j++];
        entry.at = static_cast<size_t>(
            std::upper_bound(src.frames.begin(), src.frames.end(), at,
                             [](size_t offset, const SourceFrame& f) { return offset < f.offset; }) -
            src.frames.begin());
    }
}

// Each frame's room in the recoded main data, 8 bytes more for the reader: its own main
// data's bytes where it is recoded for fewer bits (a recoding never grows a granule; a
// frame that still would not fit stays as it is), the most a frame can code where its
// values are edited.
void makeRooms(SourceRead& read) {
    const SourceStream& src = read.src;
    const FrameEdits* edits = read.edits;
    if (!read.recode && !edits) return;
    read.roomStart.resize(src.frames.size() + 1);
    for (size_t i = 0; i < src.frames.size(); ++i) {
        const SourceFrame& f = src.frames[i];
        const bool edited = edits && i < edits->records.size() && edits->records[i];
        const int64_t most =
            edited ? granuleCount(f.header) * channelCount(f.header) * int64_t{kMaxPart2_3Length}
                   : f.mainBits;
        read.roomStart[i + 1] = read.roomStart[i] + static_cast<size_t>((most + 7) / 8) + 8;
    }
    // (Its pages are touched only where written.)
    read.room = std::make_unique<SpillBlock>(read.roomStart.back());
}

// Decodes frames [from, to) (and recodes them, or codes their edits), leaving the first
// failure and the repairs in part.
void decodeChunk(SourceRead& read, size_t from, size_t to, DecodedPart& part) {
    SourceStream& src = read.src;
    const uint8_t* input = read.input;
    const FrameEdits* edits = read.edits;
    const bool recode = read.recode, salvage = read.salvage;
    const size_t first = read.first;
    const SpillVector<size_t>& roomStart = read.roomStart;
    const std::unique_ptr<SpillBlock>& room = read.room;
    auto record = std::make_unique<FrameRecord>();
    std::unique_ptr<FrameRecord> edit, back;
    std::unique_ptr<MainDataState> scratch;
    std::unique_ptr<FrameWriterState> headWriter;
    if (recode || edits) {
        edit = std::make_unique<FrameRecord>();
        back = std::make_unique<FrameRecord>();
        scratch = std::make_unique<MainDataState>();
        initBitStore(scratch->store);
        headWriter = std::make_unique<FrameWriterState>();
        initBitStore(headWriter->store);
        initFrameRing(headWriter->ring);
    }
    if (recode || edits)
        part.recoded = {room->data() + roomStart[from], 0, roomStart[to] - roomStart[from]};
    for (size_t i = from; i < to; ++i) {
        SourceFrame& s = src.frames[i];
        if (s.undecodable || s.silenced) continue;  // no values (see KeptStart, silence)
        readSideInfo(input + s.offset, *record);
        setPlayedRegions(*record);
        PlayedFrame played;
        if (const MainDataProblem problem =
                readPlayedValues(src.mainData.data(), s.mainStart, *record, played)) {
            const char* why = problem.why;
            const char* kind = problem.kind == MainDataFault::sideInfo ? "side_info_invalid"
                                                                      : "huffman_error";
            if (salvage) {
                silence(s);
                const std::string frame = frameAt(i + first, s.offset);
                const std::string what = frame + ": " + kind + ": " + why;
                part.repairs.push_back({SourceDamage::frame, i, what, what + kSilenceHint,
                                        silencedNote(frame, kind, why)});
                continue;
            }
            part.at = s.offset;
            part.message = frameAt(i + first, s.offset) + ": " + kind + ": " + why;
            return;
        }
        const FrameRecord* values =
            edits && i < edits->records.size() ? edits->records[i] : nullptr;
        if (values) {
            *edit = *values;
            s.recoded = markChangedGranules(*record, *edit);
            // Granules left as they were keep their bits where decoders need exactly
            // those: coded again from the values as coded, with the same side information.
            if (s.recoded) recodeFrame(*edit, keepCodedGranules(played, *edit), false);
            s.fromRecord = true;
        } else if (recode && !(played.any & kKeepBits)) {
            *edit = *record;
            recodeFrame(*edit);
            s.fromRecord = s.recoded = true;
        } else {
            continue;
        }
        if (s.recoded) {
            if (!codeRecoded(*scratch, *edit, i + first, s, part)) return;
            if (s.recodedStart < 0) {
                if (values) {  // (the room holds the most a frame codes)
                    part.status = Status::verify;
                    part.at = s.offset;
                    part.message = verificationFailure(frameAt(i + first, s.offset) +
                                                       ": its recoded main data has no room");
                    return;
                }
                s.recoded = s.fromRecord = false;
                continue;
            }
        }
        // The frame as it will be written, read back: its head from the head writer, its
        // main data the recoded bits (or its own), must give the values it is to carry.
        uint8_t head[kMaxHeadBytes];
        writeFrameHead(*headWriter, sideInformationOf(*edit), s.header, 0, head);
        const size_t side = static_cast<size_t>(sideInfoBytes(s.header));
        const uint8_t* sideBytes = head + sideInfoOffset(s.header);
        std::copy(sideBytes, sideBytes + side, src.recodedSide.begin() + i * kMaxSideBytes);
        // A recoding that gives the frame's own bits back leaves it as it is.
        const int skip = isMpeg1(s.header) ? 9 : 8;
        const uint8_t* ownSide = input + s.offset + sideInfoOffset(s.header);
        if (!values && s.recodedBits == s.mainBits &&
            sameBits(sideBytes, skip, ownSide, skip, 8 * static_cast<int64_t>(side) - skip) &&
            sameBits(part.recoded.bytes, s.recodedStart, src.mainData.data(), s.mainStart,
                     s.mainBits)) {
            part.recoded.size = static_cast<size_t>(s.recodedStart / 8);
            s.recoded = s.fromRecord = false;
            continue;
        }
        readSideInfo(head, *back);
        setPlayedRegions(*back);
        PlayedFrame playedBack;
        const MainDataProblem backProblem =
            s.recoded
                ? readPlayedValues(part.recoded.bytes, s.recodedStart, *back, playedBack)
                : readPlayedValues(src.mainData.data(), s.mainStart, *back, playedBack);
        std::string mismatch = backProblem ? std::string("its main data does not decode")
                                   : sameDecodedValues(values ? *values : *record, *back);
        if (mismatch.empty()) mismatch = newlyDisputed(played, playedBack);
        if (!mismatch.empty()) {
            part.status = Status::verify;
            part.at = s.offset;
            part.message = verificationFailure(frameAt(i + first, s.offset) +
                                               " as it is to be written: " + mismatch);
            return;
        }
    }
}

// The chunks' repairs and recoded main data, in order; false (failed) at the first chunk
// that failed.
bool gatherParts(SourceRead& read, const ChunkedWork<DecodedPart>& work) {
    SourceStream& src = read.src;
    const size_t count = src.frames.size();
    const std::vector<DecodedPart>& parts = work.parts();
    // The parts' recoded main data in one buffer of its final size: grown part by part it
    // would be copied again at each doubling, into pages touched for the first time.
    size_t recodedBytes = src.recoded.size() + 8;
    for (const DecodedPart& part : parts) recodedBytes += part.recoded.size;
    src.recoded.reserve(recodedBytes);
    for (size_t p = 0; p < parts.size(); ++p) {
        if (!parts[p].message.empty())
            return read.fail(parts[p].at, parts[p].status, parts[p].message);
        for (const SourceDamage& repair : parts[p].repairs) {
            read.result.notes.push_back(repair.repair);
            src.damage.push_back(repair);
        }
        // Each chunk's recoded main data starts on a byte: its frames move by what came before.
        const int64_t shift = 8 * static_cast<int64_t>(src.recoded.size());
        const size_t end = p + 1 < parts.size() ? work.chunkStart(p + 1) : count;
        for (size_t i = work.chunkStart(p); i < end && shift != 0; ++i)
            src.frames[i].recodedStart += shift;
        const ByteRoom& r = parts[p].recoded;
        src.recoded.insert(src.recoded.end(), r.bytes, r.bytes + r.size);
    }
    src.recoded.resize(src.recoded.size() + 8, 0);
    return true;
}

// Decodes every frame in chunks on up to `threads` threads, alongside running on one of
// them first (see readSource); false (failed) at the first frame that fails.
bool decodeFrames(SourceRead& read, int threads, const std::function<void()>& alongside) {
    // What runs alongside is joined on every way out below.
    struct Alongside {
        std::thread thread;
        ~Alongside() { join(); }
        void join() {
            if (thread.joinable()) thread.join();
        }
    } beside;
    const size_t count = read.src.frames.size();
    // The frames decode in chunks taken by whichever thread is free; what runs alongside
    // takes chunks too once it is done.
    ChunkedWork<DecodedPart> work(count, kDecodeChunkFrames,
                                  [&](size_t from, size_t to, DecodedPart& part) {
                                      decodeChunk(read, from, to, part);
                                      return part.message.empty();
                                  });
    if (!kThreadsAvailable) threads = 1;
    if (alongside && threads <= 1) {
        alongside();  // one thread: first, on this one
    } else if (alongside) {
        try {
            beside.thread = std::thread([&] {
                alongside();
                work.take();
            });
        } catch (const std::system_error&) {
            alongside();
        }
    }
    // (That thread counts as one of the threads.)
    work.run(beside.thread.joinable() ? threads - 1 : threads);
    beside.join();  // the chunks it took are done
    return gatherParts(read, work);
}

void keepKeptStartFrames(SourceRead& read) {
    SourceStream& src = read.src;
    // A frame of the kept start (see KeptStart) keeps its bytes, so a decoder meets it as
    // it was: it is not silenced.
    const size_t kept = keptStart(src).frames;
    for (SourceDamage& d : src.damage) {
        if (d.kind != SourceDamage::frame || d.at >= kept) continue;
        SourceFrame& f = src.frames[d.at];
        f.silenced = f.fromRecord = f.recoded = false;
        const auto note = std::find(read.result.notes.begin(), read.result.notes.end(), d.repair);
        d.repair = d.what + ": kept as it is, at the start of the stream";
        if (note != read.result.notes.end()) *note = d.repair;
    }
}

}  // namespace

bool readSource(const uint8_t* input, size_t size, SourcePass pass, int threads, SourceStream& src,
                SourceProblem& result, const FrameEdits* edits,
                const std::function<void()>& alongside, Damage damage) {
    src.input = input;
    src.size = size;
    SourceRead read{input, size, src, result, edits, damage == Damage::salvage};
    const FrameWalk walk = walkFrames(input, size);
    src.leadingBytes = walk.tags.audioStart;
    src.trailingTagOffset = walk.tags.audioEnd;
    noteJunk(read, walk);
    const std::span<const WalkFrame> frames = wholeFrames(read, walk);
    if (frames.empty()) {
        result.status = Status::notLayer3;
        result.message = "no Layer III frame found (free format and Layer I/II are not handled)";
        return false;
    }
    readTagFrame(read, walk, frames);
    if (!takeMainData(read, frames)) return false;
    placeDamage(read);
    // A silenced frame's side information: all zero.
    if (read.salvage) src.recodedSide.resize(src.frames.size() * kMaxSideBytes);
    // Decoded values are checked once all areas are in: a frame's main data may only
    // reach back, so each is complete here. Frames decode independently, in parts at once.
    src.mainData.resize(src.mainData.size() + 8, 0);
    if (pass == SourcePass::layout) {
        if (alongside) alongside();
        return read.finish();
    }
    read.recode = pass == SourcePass::recode;
    if (read.recode || edits) src.recodedSide.resize(src.frames.size() * kMaxSideBytes);
    makeRooms(read);
    if (!decodeFrames(read, threads, alongside)) return false;
    keepKeptStartFrames(read);
    // In file order: a piece that needs several is refused for the first.
    std::stable_sort(src.damage.begin(), src.damage.end(),
                     [](const SourceDamage& a, const SourceDamage& b) { return a.at < b.at; });
    return read.finish();
}


std::string compareFrame(const SourceStream& a, size_t ka, const SourceStream& b, size_t kb) {
    const SourceFrame& fa = a.frames[ka];
    const SourceFrame& fb = b.frames[kb];
    if ((fa.header & ~kLayoutHeaderBits) != (fb.header & ~kLayoutHeaderBits))
        return "its header differs";
    // The side information after main_data_begin (9 bits in MPEG-1 frames, else 8), which
    // the frame's main data follows in the frame bytes.
    const int32_t side = sideInfoBytes(fa.header);
    const uint8_t* sa = fa.fromRecord ? a.recodedSide.data() + ka * kMaxSideBytes
                                      : a.input + fa.offset + sideInfoOffset(fa.header);
    const uint8_t* sb = b.input + fb.offset + sideInfoOffset(fb.header);
    const int skip = isMpeg1(fa.header) ? 9 : 8;
    if (!sameBits(sa, skip, sb, skip, 8 * side - skip)) return "its side information differs";
    if (fa.undecodable != fb.undecodable)
        return fa.undecodable ? "its main_data_begin no longer reaches before the stream"
                              : "its main_data_begin reaches before the stream";
    if (fa.undecodable) return "";
    const MainBits main = writtenMainData(a, ka);
    if (main.count != fb.mainBits) return "its main data length differs";
    // The main-data streams end with 8 zero bytes, so every byte read lies within them.
    if (!sameBits(main.bytes, main.start, b.mainData.data(), fb.mainStart, main.count))
        return "its main data differs";
    return "";
}

void noteOutsideJunkKept(SourceProblem& problem) {
    for (const SourceProblem::OutsideJunk& j : problem.outsideJunk) {
        char text[96];
        std::snprintf(text, sizeof text, "kept %zu bytes of junk at offset %zu, outside the frames",
                      j.length, j.offset);
        problem.notes[j.note] = text;
    }
}

bool damageNeeded(const SourceStream& src, const SourceDamage& d, size_t from, size_t to) {
    if (d.kind == SourceDamage::tagFrame) return true;
    if (d.kind == SourceDamage::cutLastFrame) return to == src.frames.size();
    return d.at >= from && d.at < to;
}

std::string verificationFailure(const std::string& mismatch) {
    return "verification failed: " + mismatch + " (an internal fault: please report it)";
}

}  // namespace l3
