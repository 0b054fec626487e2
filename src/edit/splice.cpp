#include "edit/splice.h"

#include <algorithm>

#include "edit/frame_head.h"
#include "edit/layout_plan.h"
#include "edit/tag_frame.h"
#include "format/frame_header.h"
#include "format/frame_length.h"

namespace l3 {

namespace {

constexpr int kMaxBackMpeg1 = 511;
constexpr int kMaxBackLsf = 255;

// The frames of the result: the fillers (no source), then the frames asked for.
struct OutputFrame {
    const SourceStream* source;  // null for a filler
    const SourceFrame* frame;    // the first real frame's for a filler
};

std::vector<OutputFrame> outputFrames(const SpliceRequest& request) {
    std::vector<OutputFrame> frames;
    const SpliceFrame& first = request.frames[0];
    for (int k = 0; k < request.fillerFrames; ++k)
        frames.push_back({nullptr, &first.source->frames[first.frame]});
    for (const SpliceFrame& f : request.frames)
        frames.push_back({f.source, &f.source->frames[f.frame]});
    return frames;
}

int32_t mainBytesOf(const OutputFrame& f) {
    return f.source ? (f.frame->mainBits + 7) / 8 : 0;
}

// The plan: at the frames' one bit rate where they all share one and fit there, else at
// any size.
LayoutPlan planSplice(const std::vector<OutputFrame>& frames, std::vector<FrameSize>& sizes) {
    const uint32_t reference = frames[0].frame->header;
    std::vector<LayoutFrame> layoutFrames(frames.size());
    bool oneRate = true;
    for (size_t k = 0; k < frames.size(); ++k) {
        const uint32_t header = frames[k].frame->header;
        layoutFrames[k] = {mainBytesOf(frames[k]), headByteCount(header)};
        oneRate = oneRate && bitrateIndex(header) == bitrateIndex(reference);
    }
    const int maxBack = isMpeg1(reference) ? kMaxBackMpeg1 : kMaxBackLsf;
    if (oneRate) {
        const int kbps = bitrateTable[isMpeg1(reference)][bitrateIndex(reference)] / 1000;
        sizes = allowedSizes(reference, 0, kbps);
        LayoutPlan plan = planLayout(layoutFrames, sizes, maxBack);
        if (plan.ok) return plan;
    }
    sizes = allowedSizes(reference, 0, 0);
    return planLayout(layoutFrames, sizes, maxBack);
}

// The result read back against the request: the fillers, the frames, the delay and the
// padding.
std::string checkSplice(const SpliceRequest& request, const std::vector<uint8_t>& out) {
    SourceStream check;
    SourceProblem problem;
    if (!readSource(out.data(), out.size(), SourcePass::layout, 1, check, problem))
        return "the result cannot be read back: " + problem.message;
    const size_t fillers = static_cast<size_t>(request.fillerFrames);
    if (check.frames.size() != fillers + request.frames.size())
        return "the result has a different frame count";
    const LameExtension& lame = check.xing.lame;
    if (!lame.present || lame.delay != request.delay || lame.padding != request.padding)
        return "the result's encoder delay or padding differs";
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

int samplesPerFrame(uint32_t header) {
    return granuleCount(header) * kGranuleSamples;
}

bool isFillerFrame(const SourceStream& src, size_t k) {
    const SourceFrame& f = src.frames[k];
    if (f.mainBits != 0) return false;
    const uint8_t* side = src.input + f.offset + (hasCrc(f.header) ? 6 : 4);
    const int skip = isMpeg1(f.header) ? 9 : 8;  // main_data_begin
    for (int bit = skip; bit < 8 * sideInfoBytes(f.header); ++bit)
        if ((side[bit >> 3] >> (7 - (bit & 7))) & 1) return false;
    return true;
}

EditResult spliceFrames(const SpliceRequest& request) {
    EditResult result;
    const std::vector<OutputFrame> frames = outputFrames(request);
    const size_t n = frames.size();
    std::vector<FrameSize> sizes;
    const LayoutPlan plan = planSplice(frames, sizes);
    if (!plan.ok) {
        result.status = kEditCannotLay;
        result.message = "the main data of frame " + std::to_string(plan.failedFrame) +
                         " of the result does not fit in any layout";
        return result;
    }
    bool vbr = false;
    for (size_t k = 1; k < n; ++k)
        vbr = vbr || sizes[plan.size[k]].bitrateIndex != sizes[plan.size[0]].bitrateIndex;

    // The result's main-data stream, each frame's main data where the plan puts it.
    std::vector<int64_t> areaStart(n + 1, 0);
    for (size_t k = 0; k < n; ++k)
        areaStart[k + 1] =
            areaStart[k] + sizes[plan.size[k]].frameBytes - headByteCount(frames[k].frame->header);
    std::vector<uint8_t> mainData(static_cast<size_t>(areaStart[n]) + 8, 0);
    for (size_t k = 0; k < n; ++k)
        if (frames[k].source)
            copyBits(mainData.data() + areaStart[k] - plan.mainDataBegin[k],
                     frames[k].source->mainData.data(), frames[k].frame->mainStart,
                     frames[k].frame->mainBits);

    const SourceStream& tags = *request.tagsFrom;
    std::vector<uint8_t>& out = result.output;
    out.reserve(static_cast<size_t>(plan.totalBytes) + tags.leadingBytes + 2048);
    out.insert(out.end(), tags.input, tags.input + tags.leadingBytes);
    const uint32_t reference = frames[0].frame->header;
    XingTag tag = resultTag(request.sourceTag, reference, vbr);
    if (!tag.lame.present) tag.lame = newLameExtension();
    setGapless(tag.lame, request.delay, request.padding);
    const size_t tagFrameAt = out.size();
    const std::vector<uint8_t> tagFrame =
        makeTagFrame(withSize(reference, {0, 1, 0}, CrcChoice::keep), tag, CrcChoice::keep);
    out.insert(out.end(), tagFrame.begin(), tagFrame.end());
    // A filler's head: the first frame's header, zero side information.
    uint8_t fillerSource[6 + 32] = {};
    for (int i = 0; i < 4; ++i) fillerSource[i] = static_cast<uint8_t>(reference >> (24 - 8 * i));
    std::vector<size_t> frameAt(n);
    for (size_t k = 0; k < n; ++k) {
        const SourceFrame& f = *frames[k].frame;
        frameAt[k] = out.size();
        putHead(out, frames[k].source ? frames[k].source->input + f.offset : fillerSource,
                withSize(f.header, sizes[plan.size[k]], CrcChoice::keep), plan.mainDataBegin[k]);
        out.insert(out.end(), mainData.begin() + areaStart[k], mainData.begin() + areaStart[k + 1]);
    }
    const size_t musicEnd = out.size();
    out.insert(out.end(), tags.input + tags.trailingTagOffset, tags.input + tags.size);
    finishTagFrame(out, tagFrameAt, tagFrame.size(), tag, frameAt, musicEnd);

    const std::string mismatch = checkSplice(request, out);
    if (!mismatch.empty()) {
        result.status = kEditVerify;
        result.message = verificationFailure(mismatch);
        result.output.clear();
    }
    return result;
}

}  // namespace l3
