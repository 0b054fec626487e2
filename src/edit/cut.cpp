#include "edit/cut.h"

#include <algorithm>

#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

// More pieces than a split may write: a guard against a tiny --every.
constexpr size_t kMaxPieces = 10000;

// What a decoder (mpg123, checked sample for sample) does at the start of a stream, which
// a piece must meet to give exactly the input's samples:
// - Its output depends, by one in the last bit of a few samples, on a granule's index in
//   the stream modulo 4 (more often modulo 2): the cycle of its synthesis filter. A
//   piece's first frame keeps that index, by silent filler frames before it or by
//   starting earlier.
// - A gapless decoder decodes only from 4 frames before the one that holds the first
//   sample it plays (mpg123's default decoding ahead); frames before that are skipped and
//   do not count in the cycle. Pieces keep the first sample within 4 frames of their start.
// Both cannot always hold: in MPEG-2 and 2.5 (a granule per frame) a first sample in
// granule 1 modulo 4 leaves no start with two granules before it that keeps the index
// modulo 4: the granules the decoder synthesizes before the first sample's number 2, 3 or
// 4 (within 4 frames: all from the start; further in: the 4 before it, less any whose main
// data reaches back before the frames it read, which cannot be the 2 it needs), never 1
// modulo 4. From sample 480 of a granule on (15 of its 18 slots of 32 samples, the
// synthesis filter's reach) a sample no longer depends on the granule two before, so a
// piece whose first sample lies there starts one granule later, which keeps the cycle.
// Before sample 480 the piece keeps the index modulo 2, which was enough for two channels
// wherever we looked, while one channel differs from the input's samples by one in a few
// places.
constexpr int kDecodeLeadFrames = 4;
constexpr int kMaxFillerFrames = 4;
constexpr int64_t kOneGranuleBackFrom = 480;

// The frames of a piece and the delay and padding that hide what lies outside its range.
struct PieceFrames {
    int64_t first = 0, end = 0;
    int fillers = 0;  // silent frames before the first
    int delay = 0, padding = 0;
    bool own = false;  // the input's own start (a split's first piece), kept start and all
    // How it keeps the decoder's cycle: 0 modulo 4, 1 modulo 2, 2 not at all, 3 the first
    // sample too far in (see pieceStarts).
    int cycle = 0;
};

// The starts a piece of the input's samples from..to may have, in the order to try them:
// the ones that keep the decoder's cycle best first, the shortest delay first among equals.
// Those samples are raw decoder samples r1..r2 (the encoder delay and the decoder's own
// delay on). A raw sample depends on its granule and the two before it, so the piece
// starts at the latest with the frame that holds granule r1 / 576 - 2 (or, see above,
// r1 / 576 - 1), and ends with the frame that holds sample r2 - 1. Earlier real frames or filler
// frames keep the cycle and give the first frame's main data reservoir room.
std::vector<PieceFrames> pieceStarts(const Timeline& t, int64_t from, int64_t to) {
    const int64_t spf = t.samplesPerFrame;
    const int64_t gpf = spf / kGranuleSamples;
    const int64_t r1 = from + t.rawStart;
    const int64_t r2 = to + t.rawStart;
    PieceFrames base;
    if (to == t.length) {
        // The input's own end: its padding as it was (a stream without a LAME extension
        // ends where the decoder's output does, which a padding of 529 samples gives).
        base.end = t.frames;
        base.padding = t.lame ? t.padding : kDecoderDelay;
    } else {
        base.end = (r2 - 1) / spf + 1;
        base.padding = static_cast<int>(base.end * spf - r2 + kDecoderDelay);
    }
    const int64_t firstPlayed = r1 / spf;
    // By how well they keep the cycle: modulo 4, modulo 2, not at all; last those whose
    // first sample lies too far in for a decoder to decode every frame.
    std::vector<PieceFrames> starts[4];
    auto collect = [&](int64_t latest) {
        for (std::vector<PieceFrames>& s : starts) s.clear();
        for (int64_t first = latest; first >= 0 && first + kDecodeLeadFrames >= latest; --first)
            for (int fillers = 0; fillers <= kMaxFillerFrames; ++fillers) {
                PieceFrames p = base;
                p.first = first;
                p.fillers = fillers;
                const int64_t delay = r1 - kDecoderDelay - (first - fillers) * spf;
                if (delay < 0 || delay > kMaxGapless) continue;
                p.delay = static_cast<int>(delay);
                const int64_t skipped =
                    std::lower_bound(t.unsynthesized.begin(), t.unsynthesized.end(), first) -
                    t.unsynthesized.begin();
                const int64_t shift = (first + t.framesBefore - fillers - skipped) * gpf;
                const bool lead = fillers + firstPlayed - first <= kDecodeLeadFrames;
                p.cycle = !lead                         ? 3
                          : shift % kCycleGranules == 0 ? 0
                          : shift % 2 == 0              ? 1
                                                        : 2;
                starts[p.cycle].push_back(p);
            }
    };
    const int64_t granule = r1 / kGranuleSamples;
    collect(std::max<int64_t>(0, granule - 2) / gpf);
    // None keeps the cycle: one granule back is enough this late in the granule.
    if (starts[0].empty() && r1 % kGranuleSamples >= kOneGranuleBackFrom && granule >= 1)
        collect((granule - 1) / gpf);
    auto byDelay = [](const PieceFrames& a, const PieceFrames& b) { return a.delay < b.delay; };
    std::vector<PieceFrames> all;
    for (std::vector<PieceFrames>& s : starts) {
        std::stable_sort(s.begin(), s.end(), byDelay);
        all.insert(all.end(), s.begin(), s.end());
    }
    return all;
}

// Whether a piece from..to has a start that keeps the decoder's cycle modulo 4 (or has no
// start at all, which cutPiece refuses for its own reason).
bool cycleKept(const Timeline& t, int64_t from, int64_t to) {
    const std::vector<PieceFrames> s = pieceStarts(t, from, to);
    return s.empty() ||
           std::any_of(s.begin(), s.end(), [](const PieceFrames& p) { return p.cycle == 0; });
}

// Whether the frame that holds sample from has one channel (see cutPiece).
bool oneChannelAt(const SourceStream& src, const Timeline& t, int64_t from) {
    const int64_t frame = std::min<int64_t>((from + t.rawStart) / t.samplesPerFrame,
                                            static_cast<int64_t>(src.frames.size()) - 1);
    return channelCount(src.frames[static_cast<size_t>(frame)].header) == 1;
}

// The nearest start before from (d < 0) or after it (d > 0), within two cycles and below
// to, whose piece keeps the cycle; -1 when there is none.
int64_t nearestExact(const Timeline& t, int64_t from, int64_t to, int direction) {
    for (int64_t d = 1; d <= 2 * kCycleGranules * kGranuleSamples; ++d) {
        const int64_t x = from + direction * d;
        if (x < 0 || x >= to) break;
        if (cycleKept(t, x, to)) return x;
    }
    return -1;
}

// The starts nearest from (before and after, below to) whose pieces keep the cycle modulo
// 4, as the end of a message: ": the nearest that can: samples a and b".
std::string nearestExactStarts(const Timeline& t, int64_t from, int64_t to) {
    std::vector<std::string> found;
    for (const int direction : {-1, 1})
        if (const int64_t x = nearestExact(t, from, to, direction); x >= 0)
            found.push_back(std::to_string(x));
    if (found.empty()) return "";
    return found.size() == 1 ? "; the nearest that can: sample " + found[0]
                             : "; the nearest that can: samples " + found[0] + " and " + found[1];
}

// ffmpeg (5.1, checked) trims the samples a LAME extension's delay hides in the frame that
// holds the first sample it plays only when that frame is not also trimmed at the end by
// the padding: it then plays them. So a range that starts inside a frame and ends inside
// the same one, before the end of what the input plays, has no piece every decoder plays.
bool insideOneFrame(const Timeline& t, int64_t from, int64_t to) {
    const int64_t r1 = from + t.rawStart, r2 = to + t.rawStart, spf = t.samplesPerFrame;
    const bool endTrimmed = to == t.length ? tailJunk(t) > 0 : r2 % spf != 0;
    return r1 % spf != 0 && r1 / spf == (r2 - 1) / spf && endTrimmed;
}

// A piece of a stream without a LAME extension that runs from the start of its timeline to
// the end of a frame plays, written as the stream is (no tag frame, a VBRI frame, or a
// Xing/Info frame without a LAME extension) with its first frames, exactly what each
// decoder plays of the input up to there: nothing needs hiding. frames: the piece's frames.
bool ownKindPiece(const Timeline& t, int64_t from, int64_t to, PieceFrames& frames) {
    const int64_t end = to + t.rawStart;
    if (t.lame || from != 0 || (to != t.length && end % t.samplesPerFrame != 0)) return false;
    frames = PieceFrames{};
    frames.end = to == t.length ? t.frames : end / t.samplesPerFrame;
    return true;
}

// A piece of frames [first, end) that starts with frames of one channel and changes to two
// within reach of its first played raw sample r1, where the input has frames of two channels
// before it: decoders (mpg123 and ffmpeg, checked) carry the second channel's overlap and
// synthesis state over frames of one channel, so the input's first frame of two channels
// there adds what its last one left, which the piece cannot hold. And ffmpeg trims a delay
// that spans a change of channel count by other amounts than it says, so the frames before
// the first played one must have its count. Returns the frame of the change that stands in
// the way, or -1 when the piece plays as the input does.
int64_t strandedChannel(const SourceStream& src, int64_t spf, int64_t first, int64_t end,
                        int64_t r1) {
    const auto two = [&](int64_t k) {
        return channelCount(src.frames[static_cast<size_t>(k)].header) == 2;
    };
    if (first >= end) return -1;
    for (int64_t k = first; k < std::min(end, r1 / spf); ++k)
        if (two(k) != two(r1 / spf)) return k + 1;
    if (two(first)) return -1;
    int64_t change = first + 1;
    while (change < end && !two(change)) ++change;
    // State left from before reaches at most the two granules after the change.
    if (change == end || change * spf + 2 * kGranuleSamples <= r1) return -1;
    for (int64_t k = first - 1; k >= 0; --k)
        if (two(k)) return change;
    return -1;
}

// ffmpeg (5.1, checked) takes a stream's audio to start only where three frames in a row
// agree on version, layer, sampling rate, channel mode, copyright, original and emphasis:
// the frames before are junk to it. Whether a piece of fillers (the first frame's header)
// and frames [first, end) starts with three such frames.
bool ffmpegTakesStart(const SourceStream& src, const PieceFrames& p) {
    constexpr uint32_t kMask = 0xFFFE0CCFu;
    const uint32_t first = src.frames[static_cast<size_t>(p.first)].header & kMask;
    for (int64_t k = p.first + 1; k < std::min(p.end, p.first + 3 - p.fillers); ++k)
        if ((src.frames[static_cast<size_t>(k)].header & kMask) != first) return false;
    return true;
}

// Damage the piece of frames [first, end) needs: without salvage its refusal (false), with
// it the note of its repair; what lies outside the pieces is noted by noteDamageOutside.
bool pieceDamage(const SourceStream& src, size_t first, size_t end, bool salvage,
                 CutResult& result) {
    for (const SourceDamage& d : src.damage) {
        if (!damageNeeded(src, d, first, end)) continue;
        if (!salvage) {
            result.status = Status::damaged;
            result.message = d.refusal;
            return false;
        }
        if (std::find(result.notes.begin(), result.notes.end(), d.repair) == result.notes.end())
            result.notes.push_back(d.repair);
    }
    return true;
}

// Writes the piece from..to into piece; on failure sets result's status and message. A
// piece that needs a frame of the input's kept start (see KeptStart) starts with the whole
// of it, as the input does (no filler before), so that a decoder meets the same bytes; each
// undecodable frame a piece keeps is noted once. With ownStart (a split's first piece) the
// piece is tried first with the input's own start, every frame from the first (a kept start
// too, however far in the first sample lies) and its delay as it was, as the last piece
// keeps the input's own end: frames that hold only samples the delay hides (a delay of two
// frames and more) would otherwise be in no piece, and the pieces joined would not give
// back the input's frames.
bool cutPiece(const SourceStream& src, const Timeline& t, int64_t from, int64_t to, CutPiece& piece,
              CutResult& result, bool salvage, bool ownStart = false) {
    if (insideOneFrame(t, from, to)) {
        const int64_t r1 = from + t.rawStart, spf = t.samplesPerFrame;
        result.status = Status::outOfRange;
        result.message = "no piece can play samples " + std::to_string(from) + "-" +
                         std::to_string(to) + " in every decoder: they lie inside one frame (" +
                         std::to_string(r1 / spf) +
                         "), which a piece would have to trim at both ends, and ffmpeg then "
                         "plays the " +
                         std::to_string(r1 % spf) +
                         " samples of it before them; a piece must reach into another frame";
        return false;
    }
    const size_t kept = keptStart(src).frames;
    EditResult undecodable;  // the last start refused for an undecodable frame
    std::vector<PieceFrames> starts = pieceStarts(t, from, to);
    // One channel shows every sample the cycle rounds otherwise (two hid it wherever we
    // looked): such a piece starts only where it keeps the cycle modulo 4.
    const int64_t firstPlayed = (from + t.rawStart) / t.samplesPerFrame;
    if (oneChannelAt(src, t, from)) {
        const auto inexact = [](const PieceFrames& p) { return p.cycle == 1 || p.cycle == 2; };
        std::erase_if(starts, inexact);
        if (!cycleKept(t, from, to)) {
            result.status = Status::outOfRange;
            result.message = "no piece can start at sample " + std::to_string(from) +
                             " and play its samples exactly in mpg123 (its synthesis rounds by "
                             "the position of a granule, which no start keeps there for one "
                             "channel)" +
                             nearestExactStarts(t, from, to);
            return false;
        }
    }
    if (ownStart && from == 0 && t.lame && !starts.empty()) {
        PieceFrames own = starts[0];
        own.first = 0;
        own.fillers = 0;
        own.delay = t.delay;
        own.own = true;
        starts.insert(starts.begin(), own);
    }
    // The start with the whole kept start, last: wherever the piece needs it, as long as a
    // gapless decoder decodes it from its first frame (it skips frames far before the
    // first sample it plays).
    const int64_t wholeDelay = from + t.rawStart - kDecoderDelay;
    if (kept > 0 && !starts.empty() && wholeDelay >= 0 && wholeDelay <= kMaxGapless &&
        firstPlayed <= kDecodeLeadFrames) {
        PieceFrames whole = starts[0];
        whole.first = 0;
        whole.fillers = 0;
        whole.delay = static_cast<int>(wholeDelay);
        starts.push_back(whole);
    }
    // A piece of whole frames from the first, of a stream without a LAME extension, is
    // written as the stream is (see ownKindPiece), first.
    PieceFrames own;
    const bool ownKind = ownKindPiece(t, from, to, own);
    if (ownKind) starts.insert(starts.begin(), own);
    bool needsKept = false;  // a start passed over: it would cut into the kept start
    std::string endAsTag;    // a start refused: its piece would end in bytes read as a tag
    int64_t stranded = -1;   // a start passed over: see strandedChannel
    bool ffmpegSkips = false;  // a start passed over: see ffmpegTakesStart
    for (size_t i = 0; i < starts.size(); ++i) {
        const PieceFrames& p = starts[i];
        // (The input's own start plays as the input does, whatever a decoder skips of it.)
        if (!p.own && static_cast<size_t>(p.first) < kept &&
            (p.first > 0 || p.fillers > 0 || firstPlayed > kDecodeLeadFrames)) {
            needsKept = true;
            continue;
        }
        if (!p.own && !(ownKind && i == 0)) {
            const int64_t change =
                strandedChannel(src, t.samplesPerFrame, p.first, p.end, from + t.rawStart);
            if (change >= 0) {
                stranded = change;
                continue;
            }
            if (!ffmpegTakesStart(src, p)) {
                ffmpegSkips = true;
                continue;
            }
        }
        SpliceRequest request;
        request.tagsFrom = &src;
        request.sourceTag = src.xing;
        request.ownKind = ownKind && i == 0;
        request.fillerFrames = p.fillers;
        request.delay = p.delay;
        request.padding = p.padding;
        for (int64_t k = p.first; k < p.end; ++k)
            request.frames.push_back({&src, static_cast<size_t>(k)});
        if (!pieceDamage(src, static_cast<size_t>(p.first), static_cast<size_t>(p.end), salvage,
                         result))
            return false;
        EditResult r = spliceFrames(request);
        if (r.status == Status::ok) {
            piece = {from, to, std::move(r.output), request.frames.size() + p.fillers};
            for (size_t k = 0; p.first == 0 && k < kept; ++k) {
                const std::string note = undecodableNote(src, k);
                if (src.frames[k].undecodable &&
                    std::find(result.notes.begin(), result.notes.end(), note) == result.notes.end())
                    result.notes.push_back(note);
            }
            return true;
        }
        if (r.status == Status::damaged) {
            undecodable = std::move(r);
            continue;
        }
        if (r.status != Status::cannotLay) {
            result.status = r.status;
            result.message = r.message;
            return false;
        }
        if (r.endReadsAsTag) endAsTag = r.message;
    }
    if (undecodable.status != Status::ok) {
        result.status = undecodable.status;
        result.message =
            "no piece can start at sample " + std::to_string(from) + ": " + undecodable.message;
        return false;
    }
    result.status = Status::outOfRange;
    if (needsKept && wholeDelay < 0) {
        // Only silent frames before the kept start could hide the decoder's own delay.
        result.message = "no piece can start at sample " + std::to_string(from) +
                         ": before sample " + std::to_string(kDecoderDelay - t.rawStart) +
                         " a piece needs silent frames before its first, and the first " +
                         std::to_string(kept) +
                         " frames are kept together from the start of the stream (its first "
                         "frames reach before it); only a piece from the start to the end of "
                         "a frame, written as the stream is, can start there";
        return false;
    }
    result.message = "no piece can start at sample " + std::to_string(from) +
                     (needsKept ? ": it needs frames of the first " + std::to_string(kept) +
                                      ", which are kept together from the start of the stream "
                                      "(its first frames reach before it), and the piece "
                                      "would start too far before its first sample"
                                : ": the main data of its first frames does not fit");
    if (!endAsTag.empty())
        result.message = "no piece can start at sample " + std::to_string(from) + ": " + endAsTag;
    else if (stranded >= 0)
        result.message = "no piece can start at sample " + std::to_string(from) +
                         ": the stream changes between one channel and two at frame " +
                         std::to_string(stranded) +
                         ", and a piece starting there would play otherwise (decoders add to "
                         "the first frame of two channels what the last one before left, and "
                         "ffmpeg trims a delay across a change by other amounts)";
    else if (ffmpegSkips)
        result.message = "no piece can start at sample " + std::to_string(from) +
                         ": ffmpeg passes over the first frames of a stream until three in a "
                         "row agree on channel mode, copyright, original and emphasis, and no "
                         "start here has three such frames";
    return false;
}

// Reads the input repairing every damage (what a piece does not need does not matter):
// the repairs are noted where a piece needs them (see noteDamage), the rest now.
bool readInput(const uint8_t* input, size_t size, SourceStream& src, CutResult& result) {
    SourceProblem problem;
    const bool ok =
        readSource(input, size, SourcePass::decode, 1, src, problem, nullptr, {}, Damage::salvage);
    for (const std::string& note : problem.notes)
        if (std::none_of(src.damage.begin(), src.damage.end(),
                         [&](const SourceDamage& d) { return d.repair == note; }))
            result.notes.push_back(note);
    if (!ok) {
        result.status = problem.status;
        result.message = problem.message;
        return false;
    }
    if (src.frames.empty()) {
        result.status = Status::notLayer3;
        result.message = "the stream has no audio frame";
        return false;
    }
    return true;
}

CutResult rangeError(CutResult result, const std::string& message) {
    result.status = Status::outOfRange;
    result.message = message;
    return result;
}

}  // namespace

Timeline timelineOf(const SourceStream& src) {
    Timeline t;
    const uint32_t header = src.frames.front().header;
    t.samplesPerFrame = samplesPerFrame(header);
    t.rate = samplingRateTable[versionCode(header)][samplingIndex(header)];
    t.kind = src.xing.kind;
    t.lame = src.xing.lame.present;
    t.delay = t.lame ? src.xing.lame.delay : 0;
    t.padding = t.lame ? src.xing.lame.padding : 0;
    t.frames = static_cast<int64_t>(src.frames.size());
    t.framesBefore = t.kind == XingKind::vbri ? 1 : 0;
    for (const SourceDamage& d : src.damage)
        if (d.kind == SourceDamage::frame && d.mainDataCut)
            t.unsynthesized.push_back(static_cast<int64_t>(d.at));
    const int64_t raw = t.frames * t.samplesPerFrame;
    if (t.lame) {
        // A decoder's output ends with the last frame: padding below its own delay hides less.
        t.rawStart = t.delay + kDecoderDelay;
        t.rawEnd = raw + kDecoderDelay - std::max(t.padding, kDecoderDelay);
    } else {
        t.rawStart = t.kind == XingKind::xing || t.kind == XingKind::info ? kDecoderDelay : 0;
        t.rawEnd = raw;
    }
    t.length = std::max<int64_t>(0, t.rawEnd - t.rawStart);
    return t;
}

// Notes the damage no piece needed: it was not repaired, and does not matter.
void noteDamageOutside(const SourceStream& src, CutResult& result) {
    for (const SourceDamage& d : src.damage)
        if (std::find(result.notes.begin(), result.notes.end(), d.repair) == result.notes.end())
            result.notes.push_back(d.what + " (outside the piece, left as it is)");
}

CutResult cutStream(const uint8_t* input, size_t size, const TimePoint& from, const TimePoint* to,
                    bool salvage, bool toIsLength) {
    CutResult result;
    SourceStream src;
    if (!readInput(input, size, src, result)) return result;
    const Timeline t = timelineOf(src);
    result.rate = t.rate;
    const int64_t first = sampleOn(from, t.rate, t.length);
    const int64_t end = !to         ? t.length
                        : toIsLength ? std::min(first + sampleAt(*to, t.rate), t.length)
                                     : std::min(sampleOn(*to, t.rate, t.length), t.length);
    if (first >= t.length)
        return rangeError(result, "the range starts at sample " + std::to_string(first) +
                                      ", at or past the end (" + std::to_string(t.length) +
                                      " samples)");
    if (end <= first) return rangeError(result, "the range is empty");
    CutPiece piece;
    if (!cutPiece(src, t, first, end, piece, result, salvage)) return result;
    result.pieces.push_back(std::move(piece));
    noteDamageOutside(src, result);
    return result;
}

CutResult splitStream(const uint8_t* input, size_t size, const std::vector<TimePoint>& points,
                      const TimePoint* every, bool salvage, bool snap) {
    CutResult result;
    SourceStream src;
    if (!readInput(input, size, src, result)) return result;
    const Timeline t = timelineOf(src);
    result.rate = t.rate;
    if (t.length == 0) return rangeError(result, "the stream plays no sample");
    std::vector<int64_t> cuts{0};
    if (every) {
        if (sampleAt(*every, t.rate) <= 0) return rangeError(result, "--every is under a sample");
        TimePoint at = *every;
        for (int64_t k = 1; (at.units = every->units * k, sampleAt(at, t.rate) < t.length); ++k) {
            if (cuts.size() >= kMaxPieces)
                return rangeError(result, "more than " + std::to_string(kMaxPieces) + " pieces");
            cuts.push_back(sampleAt(at, t.rate));
        }
    }
    for (const TimePoint& point : points) {
        const int64_t s = sampleOn(point, t.rate, t.length);
        if (s <= cuts.back() || s >= t.length)
            return rangeError(result, "the point at sample " + std::to_string(s) +
                                          " does not lie after the one before it and before "
                                          "the end (" +
                                          std::to_string(t.length) + " samples)");
        cuts.push_back(s);
    }
    cuts.push_back(t.length);
    // Computed points move to the nearest start a piece plays exactly from (see cutPiece).
    for (size_t i = 1; snap && i + 1 < cuts.size(); ++i) {
        if (!oneChannelAt(src, t, cuts[i]) || cycleKept(t, cuts[i], cuts[i + 1])) continue;
        const int64_t before = nearestExact(t, cuts[i], cuts[i + 1], -1);
        const int64_t after = nearestExact(t, cuts[i], cuts[i + 1], 1);
        const int64_t x = before > cuts[i - 1] && (after < 0 || cuts[i] - before <= after - cuts[i])
                              ? before
                              : after;
        if (x > cuts[i - 1]) cuts[i] = x;
    }
    result.pieces.resize(cuts.size() - 1);
    for (size_t i = 0; i + 1 < cuts.size(); ++i)
        if (!cutPiece(src, t, cuts[i], cuts[i + 1], result.pieces[i], result, salvage, i == 0)) {
            result.pieces.clear();
            return result;
        }
    noteDamageOutside(src, result);
    return result;
}

}  // namespace l3
