#include "l3/edit.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "edit/frame_head.h"
#include "edit/chunked_work.h"
#include "edit/layout_plan.h"
#include "edit/source_stream.h"
#include "edit/tag_frame.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "io/platform.h"
#include "maindata/granule_coder.h"

namespace l3 {

namespace {


}  // namespace

namespace {

// Frames [from, to) of the result against the input's, bit for bit (see compareFrame).
std::string compareFrames(const SourceStream& a, const SourceStream& b, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) {
        const std::string mismatch = compareFrame(a, k, b, k);
        if (!mismatch.empty()) return "frame " + std::to_string(k) + " of the result: " + mismatch;
    }
    return "";
}

// A stream without a VBR header whose frames share one bit rate (see
// RepackOptions::vbrWithoutHeader).
bool keepsOneRate(const SourceStream& src, const RepackOptions& options) {
    if (src.tagFrame || options.vbrWithoutHeader) return false;
    const int rate = bitrateIndex(src.frames[0].header);
    return std::all_of(src.frames.begin(), src.frames.end(),
                       [&](const SourceFrame& f) { return bitrateIndex(f.header) == rate; });
}

// Frames per chunk of the comparison: it is quick, so chunks are long.
constexpr size_t kCompareChunkFrames = 2048;

// Every audio frame of the result against the input's, in chunks on several threads; the
// encoder delay and padding.

std::string compareStreams(const SourceStream& a, const SourceStream& b, int threads) {
    if (a.frames.size() != b.frames.size()) return "the result has a different frame count";
    if (a.xing.lame.present != b.xing.lame.present ||
        (a.xing.lame.present &&
         (a.xing.lame.delay != b.xing.lame.delay || a.xing.lame.padding != b.xing.lame.padding)))
        return "the result's encoder delay or padding differs";
    ChunkedWork<std::string> work(a.frames.size(), kCompareChunkFrames,
                                  [&](size_t from, size_t to, std::string& mismatch) {
                                      mismatch = compareFrames(a, b, from, to);
                                      return mismatch.empty();
                                  });
    work.run(threads);
    for (const std::string& mismatch : work.parts())
        if (!mismatch.empty()) return mismatch;
    return "";
}

// One repack: its input, what was read of it, the plan and the verdict on the result, which
// the steps below share.
struct RepackRun {
    const uint8_t* input;
    size_t size;
    const RepackOptions& options;
    const FrameEdits* edits;
    RepackResult& result;
    SourceStream src{};
    SourceProblem problem{};
    // Without recoding the decoding only proves that every frame decodes: the result is
    // planned, built and read back meanwhile (see readInput).
    bool alongside = false;

    // The plan: one per allowed single rate (--cbr min tries them from the smallest up). It
    // needs only the frames' heads and main-data sizes.
    KeptStart kept{};
    size_t keep = 0;                        // kept.frames: the frames of the kept start
    SpillVector<LayoutFrame> layoutFrames{};  // the frames after it
    std::vector<FrameSize> sizes{};
    LayoutPlan plan{};
    int smallestFit = 0, wanted = 0;  // --cbr: kbit/s

    // The verdict on the result read back (see buildAndCheck): mismatch empty when right.
    std::string mismatch{};
    bool checked = false;
    bool endAsTag = false;    // the result would end in bytes read as a tag (kEndReadsAsTagMessage)
    bool startAsTag = false;  // its first frame would read as a VBR header
    bool junkAsFrame = false;  // junk kept before its frames would read as a frame

    // The input's bytes before its frames that the result keeps: junk outside the frames
    // stays (see SourceStream::audioStart), unless salvaged.
    size_t leading() const { return options.salvage ? src.leadingBytes : src.audioStart; }
};

int maxBackOf(uint32_t header) {
    return maxMainDataBack(header);
}

// A start kept as it is (see KeptStart): its frames keep their bytes and cannot be edited or
// recoded; the frames after it are laid out from its first free byte on.
void keepStart(RepackRun& run) {
    run.kept = keptStart(run.src);
    run.keep = run.kept.frames;
    for (size_t k = 0; k < run.keep; ++k) {
        SourceFrame& f = run.src.frames[k];
        if (f.recoded || f.fromRecord) f.recoded = f.fromRecord = false;
    }
}

void listLayoutFrames(RepackRun& run) {
    const size_t n = run.src.frames.size();
    run.layoutFrames.resize(n - run.keep);
    for (size_t k = run.keep; k < n; ++k) {
        const SourceFrame& f = run.src.frames[k];
        run.layoutFrames[k - run.keep] = {
            (writtenMainData(run.src, k).count + 7) / 8,
            headByteCount(withSize(f.header, {0, 1, 0}, run.options.crc))};
    }
}

// Plans the frames' sizes: the rate each frame needs, or one rate for every frame.
void planSizes(RepackRun& run) {
    const RepackOptions& options = run.options;
    const uint32_t reference = run.src.frames[0].header;
    const int maxBack = maxBackOf(reference);
    const int firstFree =
        static_cast<int>(std::min<int64_t>(run.kept.areaEnd - run.kept.freeFrom, maxBack));
    auto planFor = [&](int bitrate) {
        return planLayout(run.layoutFrames, allowedSizes(reference, options.minBitrate, bitrate),
                          maxBack, firstFree);
    };
    if (options.cbrBitrate == 0 && keepsOneRate(run.src, options)) {
        // The smallest rate that fits, up to the stream's own (or --min-bitrate's); the
        // kept start's where it has one, which keeps its rate. Where none fits (frames
        // that --crc add makes too large), each frame takes the rate it needs instead
        // of every frame a larger one.
        const int own = bitrateTable[isMpeg1(reference)][bitrateIndex(reference)] / 1000;
        for (uint8_t index = 1; index <= 14; ++index) {
            const int kbps = bitrateTable[isMpeg1(reference)][index] / 1000;
            if (kbps > std::max(own, options.minBitrate)) break;
            if (kbps < options.minBitrate || (run.keep > 0 && kbps != own)) continue;
            run.plan = planFor(kbps);
            if (run.plan.ok) {
                run.sizes = allowedSizes(reference, options.minBitrate, kbps);
                return;
            }
        }
    }
    if (options.cbrBitrate == 0) {
        run.sizes = allowedSizes(reference, options.minBitrate, 0);
        run.plan = planLayout(run.layoutFrames, run.sizes, maxBack, firstFree);
        return;
    }
    for (uint8_t index = 1; index <= 14 && run.smallestFit == 0; ++index) {
        const int kbps = bitrateTable[isMpeg1(reference)][index] / 1000;
        if (kbps < options.minBitrate || kbps < options.cbrBitrate) continue;
        if (planFor(kbps).ok) run.smallestFit = kbps;
    }
    run.wanted = options.cbrBitrate > 0 ? options.cbrBitrate : run.smallestFit;
    run.sizes = allowedSizes(reference, options.minBitrate, run.wanted);
    run.plan =
        run.wanted > 0 ? planLayout(run.layoutFrames, run.sizes, maxBack, firstFree) : LayoutPlan{};
}

void makePlan(RepackRun& run) {
    if (run.src.frames.empty()) return;
    keepStart(run);
    listLayoutFrames(run);
    planSizes(run);
}

// The main-data stream of the result, frame area after frame area: the kept start's bytes
// as they were, then each frame's main data where the plan puts it (zeros between), written
// straight into the frames.
class MainDataPlacer {
public:
    explicit MainDataPlacer(const RepackRun& run) : run_(run), n_(run.src.frames.size()) {
        areaStart_.resize(n_ + 1, 0);
        for (size_t k = 0; k < n_; ++k) {
            const uint32_t header = run.src.frames[k].header;
            areaStart_[k + 1] =
                areaStart_[k] + (k < run.keep ? frameLength(header) - headByteCount(header)
                                              : run.sizes[run.plan.size[k - run.keep]].frameBytes -
                                                    run.layoutFrames[k - run.keep].headBytes);
        }
        placing_ = run.keep;
        placed_ = run.keep < n_ ? areaStart_[run.keep] - run.plan.mainDataBegin[0] : 0;
    }

    // Appends frame k's area (the frames' areas come in order).
    void putArea(SpillBytes& out, size_t k) {
        const SourceStream& src = run_.src;
        const size_t keep = run_.keep;
        for (int64_t at = areaStart_[k]; at < areaStart_[k + 1];) {
            const int64_t end = areaStart_[k + 1];
            if (placing_ < n_ && at >= placed_) {
                // Main data starts on a byte, in the input's areas and in the recoded.
                const int64_t first =
                    areaStart_[placing_] - run_.plan.mainDataBegin[placing_ - keep];
                const MainBits main = writtenMainData(src, placing_);
                const int32_t bits = main.count;
                const int64_t last = first + (bits + 7) / 8;
                const int64_t upTo = std::min(last, end);
                const uint8_t* from = main.bytes + main.start / 8;
                out.insert(out.end(), from + (at - first), from + (upTo - first));
                if (upTo == last && (bits & 7))  // the bits after it in its last byte
                    out.back() &= static_cast<uint8_t>(0xFF00 >> (bits & 7));
                at = upTo;
                if (upTo < last) break;  // it goes on in the next frame's area
                if (++placing_ < n_)
                    placed_ = areaStart_[placing_] - run_.plan.mainDataBegin[placing_ - keep];
                continue;
            }
            // Up to the next main data: the kept start's bytes, or zeros.
            const int64_t upTo = placing_ < n_ ? std::min(placed_, end) : end;
            const int64_t keptUpTo = std::clamp(areaStart_[keep], at, upTo);
            out.insert(out.end(), src.mainData.begin() + at, src.mainData.begin() + keptUpTo);
            out.insert(out.end(), static_cast<size_t>(upTo - keptUpTo), uint8_t{0});
            at = upTo;
        }
    }

private:
    const RepackRun& run_;
    const size_t n_;
    SpillVector<int64_t> areaStart_;  // byte of each frame's area in the main-data stream
    // The next main data to place: frame placing_, from area byte placed_ on.
    size_t placing_;
    int64_t placed_;
};

bool resultIsVbr(const RepackRun& run) {
    auto rateOf = [&](size_t k) {
        return k < run.keep ? bitrateIndex(run.src.frames[k].header)
                            : run.sizes[run.plan.size[k - run.keep]].bitrateIndex;
    };
    for (size_t k = 1; k < run.src.frames.size(); ++k)
        if (rateOf(k) != rateOf(0)) return true;
    return false;
}

// Builds the result from the plan; returns where its frames end.
size_t build(RepackRun& run) {
    const SourceStream& src = run.src;
    const RepackOptions& options = run.options;
    const uint8_t* input = run.input;
    const size_t n = src.frames.size();
    const uint32_t reference = src.frames[0].header;
    RepackResult& result = run.result;
    result.output.clear();
    result.vbr = resultIsVbr(run);
    MainDataPlacer placer(run);

    SpillBytes& out = result.output;
    out.reserve(static_cast<size_t>(run.plan.totalBytes) + run.size / 8 + 2048);
    adviseLargePages(out.data(), out.capacity());
    out.insert(out.end(), input, input + run.leading());
    // A stream without a tag frame gets none: a decoder that finds one trims its start as
    // for a gapless stream, or plays it, and the samples played would change. A VBRI
    // frame is copied (its size and fields stay) and brought up to date.
    const bool tagFrame = src.tagFrame;
    const size_t tagFrameAt = out.size();
    std::vector<uint8_t> tagBytes;
    XingTag tag = resultTag(src.xing, reference, result.vbr);
    if (tag.kind == XingKind::vbri) {
        tagBytes = copyTagFrame(src);
        out.insert(out.end(), tagBytes.begin(), tagBytes.end());
    } else if (tagFrame) {
        tagBytes = makeTagFrame(withSize(reference, {0, 1, 0}, options.crc), tag, options.crc);
        out.insert(out.end(), tagBytes.begin(), tagBytes.end());
    }
    SpillVector<size_t> frameAt(n);
    for (size_t k = 0; k < n; ++k) {
        frameAt[k] = out.size();
        const uint8_t* frame = input + src.frames[k].offset;
        if (k < run.keep) {
            out.insert(out.end(), frame, frame + headByteCount(src.frames[k].header));
            placer.putArea(out, k);
            continue;
        }
        const uint32_t header =
            withSize(src.frames[k].header, run.sizes[run.plan.size[k - run.keep]], options.crc);
        const int32_t mainDataBegin = run.plan.mainDataBegin[k - run.keep];
        if (src.frames[k].fromRecord)
            putHead(out, header, src.recodedSide.data() + k * kMaxSideBytes, mainDataBegin);
        else
            putHead(out, frame, header, mainDataBegin);
        placer.putArea(out, k);
    }
    const size_t musicEnd = out.size();
    out.insert(out.end(), input + (options.salvage ? src.trailingTagOffset : src.audioEnd),
               input + run.size);

    if (tagFrame) finishTagFrame(out, tagFrameAt, tagBytes.size(), tag, frameAt, musicEnd);
    return musicEnd;
}

// Builds the result and reads it back, comparing it with the input: the verdict is left in
// run's mismatch and misreadings.
void buildAndCheck(RepackRun& run) {
    const SourceStream& src = run.src;
    const size_t n = src.frames.size();
    run.checked = true;
    size_t musicEnd = build(run);
    // Main data that reads as a tag at the very end would cost the last frames: the last
    // frame grows while it may; a kept one may not.
    while (n > run.keep && enlargeLastFrameForTags(run.result.output, musicEnd, run.sizes,
                                                   run.plan.size[n - 1 - run.keep]))
        musicEnd = build(run);
    const SpillBytes& out = run.result.output;
    run.endAsTag = endReadsAsTag(out, musicEnd);
    if (run.endAsTag) return;
    // (A stream written without a tag frame: its first frame must not read as one.)
    const size_t first = run.leading();
    run.startAsTag =
        !src.tagFrame && src.xing.kind != XingKind::vbri && startReadsAsTag(out, first);
    if (run.startAsTag) return;
    SourceStream check;
    SourceProblem readBack;
    const bool read = readSource(out.data(), out.size(), SourcePass::layout, 1, check, readBack);
    if (check.audioEnd > 0 && check.audioStart != first) {
        // Junk kept before the frames (see SourceStream::audioStart) may hold a sync
        // pattern whose frame length, which did not reach the input's first frame, reaches
        // one of the result's: a decoder would take the junk for the first frame (whose
        // main data may then not even decode). The frames were found before any failure.
        run.junkAsFrame = true;
        return;
    }
    if (!read)
        run.mismatch = "the result cannot be read back: " + readBack.message;
    else
        run.mismatch = compareStreams(src, check, run.options.threads);
    if (run.mismatch.empty() && !std::equal(run.input, run.input + first, out.begin()))
        run.mismatch = "the leading tag changed";
}

bool refuse(RepackRun& run, Status status, std::string message) {
    run.result.status = status;
    run.result.message = std::move(message);
    run.result.output.clear();
    return false;
}

// Reads and decodes (or recodes) the input; where nothing is recoded, the result is planned,
// built and read back meanwhile, to be handed out only if every frame decoded. (A salvage
// decides which frames become silent while they decode: not alongside.)
bool readInput(RepackRun& run) {
    const RepackOptions& options = run.options;
    run.alongside = !options.huffman && !run.edits && !options.salvage;
    auto planBuildAndCheck = [&run] {
        makePlan(run);
        if (run.plan.ok) buildAndCheck(run);
    };
    if (!readSource(
            run.input, run.size, options.huffman ? SourcePass::recode : SourcePass::decode,
            options.threads, run.src, run.problem, run.edits,
            run.alongside ? std::function<void()>(planBuildAndCheck) : std::function<void()>(),
            options.salvage ? Damage::salvage : Damage::refuse)) {
        run.result.notes = run.problem.notes;
        return refuse(run, run.problem.status, run.problem.message);
    }
    // Junk before the first frame or after the last stays unless salvaging (see build).
    if (!options.salvage) noteOutsideJunkKept(run.problem);
    run.result.notes = run.problem.notes;
    run.result.frames = run.src.frames.size();
    if (run.src.frames.empty()) {
        run.result.status = Status::notLayer3;
        run.result.message = "the stream has no audio frame";
        return false;
    }
    return true;
}

// The kept start's undecodable frames are noted; an edit of one of its frames is refused.
bool keptStartStands(RepackRun& run) {
    const SourceStream& src = run.src;
    for (size_t k = 0; k < run.keep; ++k) {
        const SourceFrame& f = src.frames[k];
        if (f.undecodable) run.result.notes.push_back(undecodableNote(src, k));
        if (run.edits && k < run.edits->records.size() && run.edits->records[k]) {
            run.result.status = Status::damaged;
            run.result.message = frameAt(k + (src.tagFrame ? 1 : 0), f.offset) +
                                 ": cannot be edited: it is kept as it is, at the start of a "
                                 "stream whose first frames reach before it";
            run.result.notes.clear();
            return false;
        }
    }
    return true;
}

// Only a start kept as it is may reach before the stream: it starts with such a frame.
// One after a first frame that does not (one without main data) cannot stay as it is, and
// laid out anew it would claim main data it does not have: damage, as for a cut.
bool noLaterFrameReachesBefore(RepackRun& run) {
    const SourceStream& src = run.src;
    for (size_t k = run.keep; k < src.frames.size(); ++k) {
        const SourceFrame& f = src.frames[k];
        if (!f.undecodable) continue;
        return refuse(run, Status::damaged,
                      frameAt(k + (src.tagFrame ? 1 : 0), f.offset) +
                          ": reservoir_underflow: main_data_begin reaches before the stream "
                          "after a frame that does not (only a stream's first frames may, "
                          "which are then kept as they are)");
    }
    return true;
}

bool planFits(RepackRun& run) {
    const RepackOptions& options = run.options;
    const LayoutPlan& plan = run.plan;
    if (plan.ok) return true;
    RepackResult& result = run.result;
    result.status = Status::cannotFit;
    const size_t failedBase = run.keep + (run.src.tagFrame ? 1 : 0);  // frame index of plan frame 0
    if (options.cbrBitrate == 0) {
        result.message =
            "frame " + std::to_string(plan.failedFrame + failedBase) + " cannot fit at any rate";
        return false;
    }
    char text[200];
    if (run.sizes.empty() && options.cbrBitrate > 0) {
        std::snprintf(text, sizeof text, "%d kbit/s is not a bit rate of this stream",
                      options.cbrBitrate);
    } else if (run.smallestFit > 0) {
        std::snprintf(text, sizeof text,
                      "frame %zu cannot fit at %d kbit/s; the smallest single rate that "
                      "fits is %d kbit/s",
                      plan.failedFrame + failedBase, run.wanted, run.smallestFit);
    } else {
        std::snprintf(text, sizeof text, "no single bit rate fits every frame");
    }
    result.message = text;
    return false;
}

// A layout that would be read otherwise than it is written is refused, nothing written; so
// is a result that does not read back as the input.
bool resultReadsBack(RepackRun& run) {
    const char* misread =
        run.endAsTag     ? kEndReadsAsTagMessage
        : run.startAsTag ? "the main data of the first frame would spell a Xing, Info or VBRI "
                           "header where decoders look for one, and they would not play the "
                           "frame: nothing written"
        : run.junkAsFrame
            ? "the junk before the first frame would read as a frame of the result, and "
              "decoders would play it: nothing written (--salvage drops the junk)"
            : nullptr;
    if (misread) return refuse(run, Status::cannotFit, misread);
    if (!run.mismatch.empty()) return refuse(run, Status::verify, verificationFailure(run.mismatch));
    return true;
}

}  // namespace

RepackResult repackStream(const uint8_t* input, size_t size, const RepackOptions& options,
                          const FrameEdits* edits) {
    RepackResult result;
    RepackRun run{input, size, options, edits, result};
    if (!readInput(run)) return result;
    if (!run.alongside) makePlan(run);
    if (!keptStartStands(run) || !noLaterFrameReachesBefore(run) || !planFits(run)) return result;
    if (!run.checked) buildAndCheck(run);
    resultReadsBack(run);
    return result;
}

}  // namespace l3
