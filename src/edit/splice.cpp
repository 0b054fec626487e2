#include "edit/splice.h"

#include <algorithm>

#include "edit/frame_head.h"
#include "edit/layout_plan.h"
#include "edit/tag_frame.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

// The frames of the result: the fillers (no source), then the frames asked for.
struct OutputFrame {
    const SourceStream* source;  // null for a filler
    const SourceFrame* frame;    // the first real frame's for a filler
};

SpillVector<OutputFrame> outputFrames(const SpliceRequest& request) {
    SpillVector<OutputFrame> frames;
    const SpliceFrame& first = request.frames[0];
    for (int k = 0; k < request.fillerFrames; ++k)
        frames.push_back({nullptr, &first.source->frames[first.frame]});
    for (const SpliceFrame& f : request.frames)
        frames.push_back({f.source, &f.source->frames[f.frame]});
    return frames;
}

int32_t mainBytesOf(const OutputFrame& f) {
    return f.source && !f.frame->silenced ? (f.frame->mainBits + 7) / 8 : 0;
}

// The frames at the start of the request kept as they are: the kept start of its first
// frame's stream (see KeptStart) when the request starts with it, no filler before; 0 when
// that stream has none. An undecodable frame anywhere else cannot stay undecodable: the
// frames before it give a decoder bytes to read. Returns false then.
bool keptFrames(const SpliceRequest& request, KeptStart& kept, size_t& keep) {
    const SourceStream& first = *request.frames[0].source;
    kept = keptStart(first);
    keep = 0;
    if (kept.frames > 0 && request.fillerFrames == 0 && request.frames[0].frame == 0) {
        keep = std::min(kept.frames, request.frames.size());
        for (size_t k = 0; k < keep; ++k)
            if (request.frames[k].source != &first || request.frames[k].frame != k) return false;
    }
    for (size_t k = keep; k < request.frames.size(); ++k)
        if (request.frames[k].source->frames[request.frames[k].frame].undecodable) return false;
    return true;
}

// The plan of the frames from keep on: at the frames' one bit rate where they all share one
// and fit there, else at any size. firstFree: the free bytes at the end of the kept frames.
LayoutPlan planSplice(const SpillVector<OutputFrame>& frames, size_t keep, int firstFree,
                      std::vector<FrameSize>& sizes) {
    const uint32_t reference = frames[0].frame->header;
    SpillVector<LayoutFrame> layoutFrames(frames.size() - keep);
    bool oneRate = true;
    for (size_t k = 0; k < frames.size(); ++k) {
        const uint32_t header = frames[k].frame->header;
        if (k >= keep) layoutFrames[k - keep] = {mainBytesOf(frames[k]), headByteCount(header)};
        oneRate = oneRate && bitrateIndex(header) == bitrateIndex(reference);
    }
    const int maxBack = maxMainDataBack(reference);
    if (oneRate) {
        const int kbps = bitrateTable[isMpeg1(reference)][bitrateIndex(reference)] / 1000;
        sizes = allowedSizes(reference, 0, kbps);
        LayoutPlan plan = planLayout(layoutFrames, sizes, maxBack, firstFree);
        if (plan.ok) return plan;
    }
    sizes = allowedSizes(reference, 0, 0);
    return planLayout(layoutFrames, sizes, maxBack, firstFree);
}

// The result read back against the request: the fillers, the frames, the delay and the
// padding.
std::string checkSplice(const SpliceRequest& request, const SpillBytes& out) {
    SourceStream check;
    SourceProblem problem;
    if (!readSource(out.data(), out.size(), SourcePass::layout, 1, check, problem))
        return "the result cannot be read back: " + problem.message;
    const size_t fillers = static_cast<size_t>(request.fillerFrames);
    if (check.frames.size() != fillers + request.frames.size())
        return "the result has a different frame count";
    const LameExtension& lame = check.xing.lame;
    if (request.ownKind) {
        const auto kindOf = [](XingKind k) { return k == XingKind::info ? XingKind::xing : k; };
        if (lame.present || kindOf(check.xing.kind) != kindOf(request.sourceTag.kind))
            return "the result's tag frame is not of its source's kind";
    } else if (!lame.present || lame.delay != request.delay || lame.padding != request.padding) {
        return "the result's encoder delay or padding differs";
    }
    for (size_t k = 0; k < check.frames.size(); ++k) {
        const std::string why = k < fillers
                                    ? (isFillerFrame(check, k) ? "" : "it is not a filler frame")
                                    : compareFrame(*request.frames[k - fillers].source,
                                                   request.frames[k - fillers].frame, check, k);
        if (!why.empty()) return "frame " + std::to_string(k) + " of the result: " + why;
    }
    return "";
}

}  // namespace

bool isFillerFrame(const SourceStream& src, size_t k) {
    const SourceFrame& f = src.frames[k];
    if (f.mainBits != 0) return false;
    const uint8_t* side = src.input + f.offset + sideInfoOffset(f.header);
    const int skip = isMpeg1(f.header) ? 9 : 8;  // main_data_begin
    for (int bit = skip; bit < 8 * sideInfoBytes(f.header); ++bit)
        if ((side[bit >> 3] >> (7 - (bit & 7))) & 1) return false;
    return true;
}

EditResult spliceFrames(const SpliceRequest& request) {
    EditResult result;
    const SpillVector<OutputFrame> frames = outputFrames(request);
    const size_t n = frames.size();
    KeptStart kept;
    size_t keep = 0;  // fillers come before no kept frame: indices of frames and request agree
    if (!keptFrames(request, kept, keep)) {
        result.status = Status::damaged;
        result.message =
            "an undecodable frame (its main_data_begin reaches before the stream) would follow "
            "other frames or lose the frames after it that are kept with it";
        return result;
    }
    const int maxBack = maxMainDataBack(frames[0].frame->header);
    const int firstFree =
        keep > 0 ? static_cast<int>(std::min<int64_t>(kept.areaEnd - kept.freeFrom, maxBack)) : 0;
    std::vector<FrameSize> sizes;
    LayoutPlan plan = planSplice(frames, keep, firstFree, sizes);
    if (!plan.ok) {
        result.status = Status::cannotLay;
        result.message = "the main data of frame " + std::to_string(plan.failedFrame + keep) +
                         " of the result does not fit in any layout";
        return result;
    }
    // Builds the result from the plan; returns where its frames end.
    auto build = [&]() -> size_t {
        auto rateOf = [&](size_t k) {
            return k < keep ? bitrateIndex(frames[k].frame->header)
                            : sizes[plan.size[k - keep]].bitrateIndex;
        };
        bool vbr = false;
        for (size_t k = 1; k < n; ++k) vbr = vbr || rateOf(k) != rateOf(0);

        // The result's main-data stream: the kept frames' bytes as they were, then each frame's
        // main data where the plan puts it.
        SpillVector<int64_t> areaStart(n + 1, 0);
        for (size_t k = 0; k < n; ++k) {
            const uint32_t header = frames[k].frame->header;
            areaStart[k + 1] =
                areaStart[k] - headByteCount(header) +
                (k < keep ? frameLength(header) : sizes[plan.size[k - keep]].frameBytes);
        }
        SpillBytes mainData(static_cast<size_t>(areaStart[n]) + 8, 0);
        if (keep > 0)
            std::copy(frames[0].source->mainData.begin(),
                      frames[0].source->mainData.begin() + areaStart[keep], mainData.begin());
        for (size_t k = keep; k < n; ++k)
            if (frames[k].source && !frames[k].frame->silenced)
                copyBits(mainData.data() + areaStart[k] - plan.mainDataBegin[k - keep],
                         frames[k].source->mainData.data(), frames[k].frame->mainStart,
                         frames[k].frame->mainBits);

        const SourceStream& tags = *request.tagsFrom;
        SpillBytes& out = result.output;
        out.clear();
        out.reserve(static_cast<size_t>(plan.totalBytes) + tags.leadingBytes + 2048);
        out.insert(out.end(), tags.input, tags.input + tags.leadingBytes);
        const uint32_t reference = frames[0].frame->header;
        // A VBRI frame cannot carry a delay and padding: a result that hides samples gets a
        // Xing/Info frame.
        const bool vbri = request.sourceTag.kind == XingKind::vbri;
        XingTag tag =
            resultTag(request.ownKind || !vbri ? request.sourceTag : XingTag{}, reference, vbr);
        if (!request.ownKind) {
            if (!tag.lame.present) tag.lame = newLameExtension();
            setGapless(tag.lame, request.delay, request.padding);
        }
        const size_t tagFrameAt = out.size();
        std::vector<uint8_t> tagFrame;
        if (tag.kind == XingKind::vbri)
            tagFrame = copyTagFrame(tags);
        else if (!request.ownKind || request.sourceTag.kind != XingKind::none)
            tagFrame =
                makeTagFrame(withSize(reference, {0, 1, 0}, CrcChoice::keep), tag, CrcChoice::keep);
        out.insert(out.end(), tagFrame.begin(), tagFrame.end());
        // A filler's head: the first frame's header, zero side information.
        uint8_t fillerSource[6 + 32] = {};
        for (int i = 0; i < 4; ++i)
            fillerSource[i] = static_cast<uint8_t>(reference >> (24 - 8 * i));
        SpillVector<size_t> frameAt(n);
        for (size_t k = 0; k < n; ++k) {
            const SourceFrame& f = *frames[k].frame;
            frameAt[k] = out.size();
            if (k < keep)
                out.insert(out.end(), frames[k].source->input + f.offset,
                           frames[k].source->input + f.offset + headByteCount(f.header));
            else
                // (A frame a salvage silenced is written as a filler frame is.)
                putHead(out,
                        frames[k].source && !f.silenced ? frames[k].source->input + f.offset
                                                        : fillerSource,
                        withSize(f.header, sizes[plan.size[k - keep]], CrcChoice::keep),
                        plan.mainDataBegin[k - keep]);
            out.insert(out.end(), mainData.begin() + areaStart[k],
                       mainData.begin() + areaStart[k + 1]);
        }
        const size_t musicEnd = out.size();
        out.insert(out.end(), tags.input + tags.trailingTagOffset, tags.input + tags.size);
        if (!tagFrame.empty())
            finishTagFrame(out, tagFrameAt, tagFrame.size(), tag, frameAt, musicEnd);
        return musicEnd;
    };
    size_t musicEnd = build();
    // Main data that reads as a tag at the very end would cost the last frames: the last
    // frame grows while it may; a kept one may not.
    while (n > keep &&
           enlargeLastFrameForTags(result.output, musicEnd, sizes, plan.size[n - 1 - keep]))
        musicEnd = build();
    if (endReadsAsTag(result.output, musicEnd)) {
        result.status = Status::cannotLay;
        result.message = kEndReadsAsTagMessage;
        result.endReadsAsTag = true;
        result.output.clear();
        return result;
    }
    const SpillBytes& out = result.output;

    const std::string mismatch = checkSplice(request, out);
    if (!mismatch.empty()) {
        result.status = Status::verify;
        result.message = verificationFailure(mismatch);
        result.output.clear();
    }
    return result;
}

}  // namespace l3
