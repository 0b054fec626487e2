#include "edit/repack.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "edit/frame_head.h"
#include "edit/in_parts.h"
#include "edit/layout_plan.h"
#include "edit/source_stream.h"
#include "edit/tag_frame.h"
#include "format/frame_header.h"
#include "format/frame_length.h"
#include "io/platform.h"
#include "maindata/granule_coder.h"

namespace l3 {

namespace {

constexpr int kMaxBackMpeg1 = 511;
constexpr int kMaxBackLsf = 255;

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

}  // namespace

RepackResult repackStream(const uint8_t* input, size_t size, const RepackOptions& options,
                          const FrameEdits* edits) {
    RepackResult result;
    SourceStream src;
    SourceProblem problem;

    // The plan: one per allowed single rate (--cbr min tries them from the smallest up). It
    // needs only the frames' heads and main-data sizes, so where no frame is recoded it is
    // made while the frames decode.
    KeptStart kept;
    size_t keep = 0;
    SpillVector<LayoutFrame> layoutFrames;
    std::vector<FrameSize> sizes;
    LayoutPlan plan;
    int smallestFit = 0, wanted = 0;
    auto makePlan = [&] {
        const size_t n = src.frames.size();
        if (n == 0) return;
        const uint32_t reference = src.frames[0].header;
        const int maxBack = isMpeg1(reference) ? kMaxBackMpeg1 : kMaxBackLsf;
        // A start kept as it is (see KeptStart): its frames keep their bytes; the frames
        // after it are laid out from its first free byte on.
        kept = keptStart(src);
        keep = kept.frames;
        // They cannot be edited or recoded.
        for (size_t k = 0; k < keep; ++k) {
            SourceFrame& f = src.frames[k];
            if (f.recoded || f.fromRecord) f.recoded = f.fromRecord = false;
        }
        const int firstFree =
            static_cast<int>(std::min<int64_t>(kept.areaEnd - kept.freeFrom, maxBack));
        layoutFrames.resize(n - keep);
        for (size_t k = keep; k < n; ++k) {
            const SourceFrame& f = src.frames[k];
            layoutFrames[k - keep] = {(writtenMainData(src, k).count + 7) / 8,
                                      headByteCount(withSize(f.header, {0, 1, 0}, options.crc))};
        }
        auto planFor = [&](int bitrate) {
            return planLayout(layoutFrames, allowedSizes(reference, options.minBitrate, bitrate),
                              maxBack, firstFree);
        };
        if (options.cbrBitrate == 0 && keepsOneRate(src, options)) {
            // The smallest rate that fits, up to the stream's own (or --min-bitrate's); the
            // kept start's where it has one, which keeps its rate. Where none fits (frames
            // that --crc add makes too large), each frame takes the rate it needs instead
            // of every frame a larger one.
            const int own = bitrateTable[isMpeg1(reference)][bitrateIndex(reference)] / 1000;
            for (uint8_t index = 1; index <= 14; ++index) {
                const int kbps = bitrateTable[isMpeg1(reference)][index] / 1000;
                if (kbps > std::max(own, options.minBitrate)) break;
                if (kbps < options.minBitrate || (keep > 0 && kbps != own)) continue;
                plan = planFor(kbps);
                if (plan.ok) {
                    sizes = allowedSizes(reference, options.minBitrate, kbps);
                    return;
                }
            }
        }
        if (options.cbrBitrate == 0) {
            sizes = allowedSizes(reference, options.minBitrate, 0);
            plan = planLayout(layoutFrames, sizes, maxBack, firstFree);
            return;
        }
        for (uint8_t index = 1; index <= 14 && smallestFit == 0; ++index) {
            const int kbps = bitrateTable[isMpeg1(reference)][index] / 1000;
            if (kbps < options.minBitrate || kbps < options.cbrBitrate) continue;
            if (planFor(kbps).ok) smallestFit = kbps;
        }
        wanted = options.cbrBitrate > 0 ? options.cbrBitrate : smallestFit;
        sizes = allowedSizes(reference, options.minBitrate, wanted);
        plan = wanted > 0 ? planLayout(layoutFrames, sizes, maxBack, firstFree) : LayoutPlan{};
    };

    // Builds the result from the plan; returns where its frames end.
    auto build = [&]() -> size_t {
        const size_t n = src.frames.size();
        const uint32_t reference = src.frames[0].header;
        result.output.clear();
        result.vbr = false;
        auto rateOf = [&](size_t k) {
            return k < keep ? bitrateIndex(src.frames[k].header)
                            : sizes[plan.size[k - keep]].bitrateIndex;
        };
        for (size_t k = 1; k < n; ++k)
            if (rateOf(k) != rateOf(0)) result.vbr = true;

        // The main-data stream of the result, frame area after frame area: the kept start's
        // bytes as they were, then each frame's main data where the plan puts it (zeros
        // between), written straight into the frames.
        SpillVector<int64_t> areaStart(n + 1, 0);
        for (size_t k = 0; k < n; ++k) {
            const uint32_t header = src.frames[k].header;
            areaStart[k + 1] =
                areaStart[k] + (k < keep ? frameLength(header) - headByteCount(header)
                                         : sizes[plan.size[k - keep]].frameBytes -
                                               layoutFrames[k - keep].headBytes);
        }
        // The next main data to place: frame `placing`, from area byte `placed` on.
        size_t placing = keep;
        int64_t placed = keep < n ? areaStart[keep] - plan.mainDataBegin[0] : 0;
        auto putArea = [&](SpillBytes& out, size_t k) {
            for (int64_t at = areaStart[k]; at < areaStart[k + 1];) {
                const int64_t end = areaStart[k + 1];
                if (placing < n && at >= placed) {
                    // Main data starts on a byte, in the input's areas and in the recoded.
                    const int64_t first = areaStart[placing] - plan.mainDataBegin[placing - keep];
                    const MainBits main = writtenMainData(src, placing);
                    const int32_t bits = main.count;
                    const int64_t last = first + (bits + 7) / 8;
                    const int64_t upTo = std::min(last, end);
                    const uint8_t* from = main.bytes + main.start / 8;
                    out.insert(out.end(), from + (at - first), from + (upTo - first));
                    if (upTo == last && (bits & 7))  // the bits after it in its last byte
                        out.back() &= static_cast<uint8_t>(0xFF00 >> (bits & 7));
                    at = upTo;
                    if (upTo < last) break;  // it goes on in the next frame's area
                    if (++placing < n)
                        placed = areaStart[placing] - plan.mainDataBegin[placing - keep];
                    continue;
                }
                // Up to the next main data: the kept start's bytes, or zeros.
                const int64_t upTo = placing < n ? std::min(placed, end) : end;
                const int64_t keptUpTo = std::clamp(areaStart[keep], at, upTo);
                out.insert(out.end(), src.mainData.begin() + at, src.mainData.begin() + keptUpTo);
                out.insert(out.end(), static_cast<size_t>(upTo - keptUpTo), uint8_t{0});
                at = upTo;
            }
        };

        SpillBytes& out = result.output;
        out.reserve(static_cast<size_t>(plan.totalBytes) + size / 8 + 2048);
        adviseLargePages(out.data(), out.capacity());
        // Junk outside the frames stays (see SourceStream::audioStart), unless salvaged.
        const size_t leading = options.salvage ? src.leadingBytes : src.audioStart;
        out.insert(out.end(), input, input + leading);
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
            if (k < keep) {
                out.insert(out.end(), frame, frame + headByteCount(src.frames[k].header));
                putArea(out, k);
                continue;
            }
            const uint32_t header =
                withSize(src.frames[k].header, sizes[plan.size[k - keep]], options.crc);
            const int32_t mainDataBegin = plan.mainDataBegin[k - keep];
            if (src.frames[k].fromRecord)
                putHead(out, header, src.recodedSide.data() + k * kMaxSideBytes, mainDataBegin);
            else
                putHead(out, frame, header, mainDataBegin);
            putArea(out, k);
        }
        const size_t musicEnd = out.size();
        out.insert(out.end(), input + (options.salvage ? src.trailingTagOffset : src.audioEnd),
                   input + size);

        if (tagFrame) finishTagFrame(out, tagFrameAt, tagBytes.size(), tag, frameAt, musicEnd);
        return musicEnd;
    };
    // Builds the result and reads it back, comparing it with the input: the verdict is left
    // in `mismatch` (empty when the result is right).
    std::string mismatch;
    bool checked = false;
    bool endAsTag = false;  // the result would end in bytes read as a tag (kEndReadsAsTagMessage)
    bool startAsTag = false;  // its first frame would read as a VBR header
    bool junkAsFrame = false;  // junk kept before its frames would read as a frame
    auto buildAndCheck = [&] {
        const size_t n = src.frames.size();
        size_t musicEnd = build();
        // Main data that reads as a tag at the very end would cost the last frames: the last
        // frame grows while it may; a kept one may not.
        while (n > keep &&
               enlargeLastFrameForTags(result.output, musicEnd, sizes, plan.size[n - 1 - keep]))
            musicEnd = build();
        endAsTag = endReadsAsTag(result.output, musicEnd);
        if (endAsTag) {
            checked = true;
            return;
        }
        const SpillBytes& out = result.output;
        // (A stream written without a tag frame: its first frame must not read as one.)
        const size_t first = options.salvage ? src.leadingBytes : src.audioStart;
        startAsTag = !src.tagFrame && src.xing.kind != XingKind::vbri &&
                     startReadsAsTag(out, first);
        if (startAsTag) {
            checked = true;
            return;
        }
        SourceStream check;
        SourceProblem readBack;
        const bool read =
            readSource(out.data(), out.size(), SourcePass::layout, 1, check, readBack);
        if (check.audioEnd > 0 && check.audioStart != first) {
            // Junk kept before the frames (see SourceStream::audioStart) may hold a sync
            // pattern whose frame length, which did not reach the input's first frame, reaches
            // one of the result's: a decoder would take the junk for the first frame (whose
            // main data may then not even decode). The frames were found before any failure.
            junkAsFrame = true;
            checked = true;
            return;
        }
        if (!read)
            mismatch = "the result cannot be read back: " + readBack.message;
        else
            mismatch = compareStreams(src, check, options.threads);
        const size_t leading = options.salvage ? src.leadingBytes : src.audioStart;
        if (mismatch.empty() && !std::equal(input, input + leading, out.begin()))
            mismatch = "the leading tag changed";
        checked = true;
    };

    // Without recoding the decoding only proves that every frame decodes: the result is
    // planned, built and read back meanwhile, and handed out only if every frame did.
    // (A salvage decides which frames become silent while they decode: not alongside.)
    const bool alongside = !options.huffman && !edits && !options.salvage;
    auto planBuildAndCheck = [&] {
        makePlan();
        if (plan.ok) buildAndCheck();
    };
    if (!readSource(
            input, size, options.huffman ? SourcePass::recode : SourcePass::decode, options.threads,
            src, problem, edits,
            alongside ? std::function<void()>(planBuildAndCheck) : std::function<void()>(),
            options.salvage ? Damage::salvage : Damage::refuse)) {
        result.status = problem.status;
        result.message = problem.message;
        result.notes = problem.notes;
        result.output.clear();
        return result;
    }
    // Junk before the first frame or after the last stays unless salvaging (see build).
    if (!options.salvage) noteOutsideJunkKept(problem);
    result.notes = problem.notes;
    const size_t n = src.frames.size();
    result.frames = n;
    if (n == 0) {
        result.status = kEditNotLayer3;
        result.message = "the stream has no audio frame";
        return result;
    }
    if (!alongside) makePlan();
    for (size_t k = 0; k < keep; ++k) {
        const SourceFrame& f = src.frames[k];
        if (f.undecodable) result.notes.push_back(undecodableNote(src, k));
        if (edits && k < edits->records.size() && edits->records[k]) {
            result.status = kEditBadFrame;
            result.message = frameAt(k + (src.tagFrame ? 1 : 0), f.offset) +
                             ": cannot be edited: it is kept as it is, at the start of a stream "
                             "whose first frames reach before it";
            result.notes.clear();
            return result;
        }
    }
    // Only a start kept as it is may reach before the stream: it starts with such a frame.
    // One after a first frame that does not (one without main data) cannot stay as it is,
    // and laid out anew it would claim main data it does not have: damage, as for a cut.
    for (size_t k = keep; k < n; ++k) {
        const SourceFrame& f = src.frames[k];
        if (!f.undecodable) continue;
        result.status = kEditBadFrame;
        result.message = frameAt(k + (src.tagFrame ? 1 : 0), f.offset) +
                         ": reservoir_underflow: main_data_begin reaches before the stream after "
                         "a frame that does not (only a stream's first frames may, which are "
                         "then kept as they are)";
        result.output.clear();
        return result;
    }
    const size_t failedBase = keep + (src.tagFrame ? 1 : 0);  // frame index of plan frame 0
    if (!plan.ok && options.cbrBitrate != 0) {
        result.status = kRepackCannotFit;
        char text[200];
        if (sizes.empty() && options.cbrBitrate > 0) {
            std::snprintf(text, sizeof text, "%d kbit/s is not a bit rate of this stream",
                          options.cbrBitrate);
        } else if (smallestFit > 0) {
            std::snprintf(text, sizeof text,
                          "frame %zu cannot fit at %d kbit/s; the smallest single rate that "
                          "fits is %d kbit/s",
                          plan.failedFrame + failedBase, wanted, smallestFit);
        } else {
            std::snprintf(text, sizeof text, "no single bit rate fits every frame");
        }
        result.message = text;
        return result;
    }
    if (!plan.ok) {
        result.status = kRepackCannotFit;
        result.message =
            "frame " + std::to_string(plan.failedFrame + failedBase) + " cannot fit at any rate";
        return result;
    }

    if (!checked) buildAndCheck();
    // A layout that would be read otherwise than it is written: refused, nothing written.
    const char* misread =
        endAsTag     ? kEndReadsAsTagMessage
        : startAsTag ? "the main data of the first frame would spell a Xing, Info or VBRI header "
                       "where decoders look for one, and they would not play the frame: nothing "
                       "written"
        : junkAsFrame
            ? "the junk before the first frame would read as a frame of the result, and "
              "decoders would play it: nothing written (--salvage drops the junk)"
            : nullptr;
    if (misread) {
        result.status = kRepackCannotFit;
        result.message = misread;
        result.output.clear();
        return result;
    }
    if (!mismatch.empty()) {
        result.status = kRepackVerify;
        result.message = verificationFailure(mismatch);
        result.output.clear();
    }
    return result;
}

}  // namespace l3
