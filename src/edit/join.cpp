#include "l3/edit.h"

#include <algorithm>

#include "edit/cut.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

std::string describe(uint32_t header) {
    static const char* const kVersions[4] = {"MPEG-2.5", "?", "MPEG-2", "MPEG-1"};
    const int channels = channelCount(header);
    return std::string(kVersions[versionCode(header)]) + ", " +
           std::to_string(samplingRateTable[versionCode(header)][samplingIndex(header)]) + " Hz, " +
           std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

// The frames at the start of next that repeat the last frames written so far: those a
// piece cut from the same stream starts with (after its filler frames), which prev's
// padding and next's delay hide between them. 0 when there are none.
size_t repeatedFrames(const SpillVector<SpliceFrame>& written, const SourceStream& prev,
                      const SourceStream& next) {
    const Timeline p = timelineOf(prev), n = timelineOf(next);
    // A piece after the first has a LAME extension; the first may be written as its stream
    // is (see cut.cpp), its end then that of a frame.
    if (!n.lame) return 0;
    const int64_t hidden = p.lame ? p.padding + n.delay : tailJunk(p) + headJunk(n);
    if (hidden % p.samplesPerFrame != 0) return 0;
    const size_t count = static_cast<size_t>(hidden / p.samplesPerFrame);
    if (count > next.frames.size()) return 0;
    size_t fillers = 0;
    while (fillers < count && isFillerFrame(next, fillers)) ++fillers;
    const size_t repeated = count - fillers;
    if (repeated == 0 || repeated > written.size()) return 0;
    for (size_t i = 0; i < repeated; ++i) {
        const SpliceFrame& w = written[written.size() - repeated + i];
        if (!compareFrame(*w.source, w.frame, next, fillers + i).empty()) return 0;
    }
    return count;
}

// Junk at a seam between different streams, in raw decoder samples (tailJunk, headJunk):
// what the earlier input's frames decode to after its last played sample, and what the
// later input's frames decode to before its first (its encoder delay and the decoder's own,
// where it has a LAME extension). A raw sample depends only on its granule and the two
// before it, so the earlier input's output up to the seam is its own; the later input's
// first two granules mix with the earlier's.

// Frames left out at a seam: the earlier input's last, the later input's first.
struct SeamCut {
    size_t tail = 0, head = 0;
};

// Without decoding, a seam can only lose whole frames. So many that the output stays
// within half a frame of the inputs' total length (error: samples the output has beyond it
// so far, updated), taken where they hold the least played audio, then so that the fewest
// played samples of the later input fall in its first two granules, which mix with the
// earlier input's. Each input keeps at least a frame (prevKept: the earlier one's so far).
SeamCut seamCut(const SourceStream& prev, const SourceStream& next, size_t prevKept,
                int64_t& error) {
    const Timeline p = timelineOf(prev), n = timelineOf(next);
    const int64_t tail = tailJunk(p), head = headJunk(n), spf = p.samplesPerFrame;
    const int64_t tailFrames = static_cast<int64_t>(prevKept) - 1;
    const int64_t headFrames = static_cast<int64_t>(next.frames.size()) - 1;
    const int64_t count = std::clamp<int64_t>((error + tail + head + (spf - 1) / 2) / spf, 0,
                                              std::max<int64_t>(0, tailFrames + headFrames));
    SeamCut best;
    int64_t bestLost = -1, bestMixed = 0;
    for (int64_t a = std::max<int64_t>(0, count - headFrames); a <= std::min(count, tailFrames);
         ++a) {
        const int64_t b = count - a;
        const int64_t lost =
            std::max<int64_t>(0, a * spf - tail) + std::max<int64_t>(0, b * spf - head);
        const int64_t mixed =
            std::clamp<int64_t>(2 * kGranuleSamples - (head - b * spf), 0, 2 * kGranuleSamples);
        if (bestLost < 0 || lost < bestLost || (lost == bestLost && mixed < bestMixed)) {
            best = {static_cast<size_t>(a), static_cast<size_t>(b)};
            bestLost = lost;
            bestMixed = mixed;
        }
    }
    error += tail + head - count * spf;
    return best;
}

// Where the result starts and how: as the first input's timeline does, and as it ends, as
// the last input's does (request.padding).
// - A first input without a LAME extension: where the result's end needs no hiding
//   either, it is written as that input is (see SpliceRequest::ownKind); else silent
//   frames before it (as many as keep mpg123's cycle, see cut.cpp) give the delay that
//   starts the result where the input's timeline starts. Not before a kept start (see
//   KeptStart), whose bytes stay first: its undecodable first frame plays silence, of which
//   the first 529 samples are then not played.
// - A first input that starts with silent frames hidden by a LAME extension of our own (a
//   piece cut from the start of a stream without one), where the hidden samples are those
//   frames' and the end needs no hiding, plays every sample of the frames after them: it
//   is written without them and without a tag frame, which plays the same in every decoder
//   (and in madplay, which trims nothing, better).
void startAsTheFirstInput(const std::vector<SourceStream>& streams, SpliceRequest& request) {
    const Timeline first = timelineOf(streams.front()), last = timelineOf(streams.back());
    const int64_t spf = first.samplesPerFrame, gpf = spf / kGranuleSamples;
    auto keepsCycle = [&](int64_t fillers) {
        return ((fillers - first.framesBefore) * gpf % kCycleGranules + kCycleGranules) %
                   kCycleGranules ==
               0;
    };
    const bool endPlaysAll = tailJunk(last) == 0;
    if (!first.lame) {
        if (endPlaysAll) {
            request.ownKind = true;
            return;
        }
        int64_t fillers = 0;
        if (keptStart(streams.front()).frames == 0)
            while (headJunk(first) + fillers * spf < kDecoderDelay || !keepsCycle(fillers))
                ++fillers;
        request.fillerFrames = static_cast<int>(fillers);
        request.delay =
            static_cast<int>(std::max<int64_t>(0, headJunk(first) + fillers * spf - kDecoderDelay));
        return;
    }
    // The frames the delay hides, where it hides whole ones: all silent filler frames?
    const size_t fillers = static_cast<size_t>(headJunk(first) / spf);
    bool hidden = headJunk(first) % spf == 0 && fillers > 0 && fillers < request.frames.size();
    for (size_t k = 0; hidden && k < fillers; ++k)
        hidden = request.frames[k].source == &streams.front() && request.frames[k].frame == k &&
                 isFillerFrame(streams.front(), k);
    if (hidden && isOwnLameExtension(streams.front().xing.lame) && endPlaysAll &&
        keepsCycle(static_cast<int64_t>(fillers))) {
        request.frames.erase(request.frames.begin(),
                             request.frames.begin() + static_cast<ptrdiff_t>(fillers));
        request.sourceTag = XingTag{};
        request.ownKind = true;
    }
}

}  // namespace

JoinResult joinStreams(const std::vector<JoinInput>& inputs, bool salvage) {
    JoinResult result;
    std::vector<SourceStream> streams(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const JoinInput& in = inputs[i];
        SourceStream& src = streams[i];
        SourceProblem problem;
        const bool ok = readSource(in.data, in.size, SourcePass::decode, 1, src, problem,
                                   nullptr, {}, salvage ? Damage::salvage : Damage::refuse);
        for (const std::string& note : problem.notes) result.notes.push_back(in.name + ": " + note);
        if (ok && src.frames.empty()) {
            problem.status = Status::notLayer3;
            problem.message = "the stream has no audio frame";
        }
        if (!ok || src.frames.empty()) {
            result.status = problem.status;
            result.message = in.name + ": " + problem.message;
            return result;
        }
        const uint32_t a = streams[0].frames[0].header, b = src.frames[0].header;
        if (versionCode(a) != versionCode(b) || samplingIndex(a) != samplingIndex(b) ||
            channelCount(a) != channelCount(b)) {
            result.status = Status::mismatch;
            result.message = in.name + ": " + describe(b) + ", unlike " + inputs[0].name + " (" +
                             describe(a) + ")";
            return result;
        }
    }
    if (inputs.empty()) {
        result.status = Status::usage;
        result.message = "nothing to join";
        return result;
    }
    const Timeline first = timelineOf(streams.front()), last = timelineOf(streams.back());
    SpliceRequest request;
    request.tagsFrom = &streams[0];
    request.sourceTag = streams[0].xing;
    request.delay = first.delay;
    request.padding = last.lame ? last.padding : kDecoderDelay;
    int64_t error = 0;  // see seamCut
    size_t kept = 0;    // frames of the input before, as written
    for (size_t i = 0; i < streams.size(); ++i) {
        const SourceStream& src = streams[i];
        size_t skip = i == 0 ? 0 : repeatedFrames(request.frames, streams[i - 1], src);
        result.repeatedFrames += skip;
        const bool continues = skip > 0;
        // A piece that repeats everything written so far and starts with undecodable
        // frames holds more of the input's kept start (see KeptStart): its frames, which
        // are the same, are written instead, so that the start is kept whole.
        if (skip > 0 && skip == request.frames.size() && src.frames[0].undecodable) {
            request.frames.clear();
            skip = 0;
        }
        if (i > 0 && !continues) {
            const SeamCut cut = seamCut(streams[i - 1], src, kept, error);
            request.frames.resize(request.frames.size() - cut.tail);
            skip = cut.head;
            result.seamFrames += cut.tail + cut.head;
        }
        for (size_t k = skip; k < src.frames.size(); ++k) {
            // An undecodable frame stays so only at the start of the result: after this
            // input's own frames before it (its kept start may hold frames without main data
            // between undecodable ones, see KeptStart) or after another undecodable frame.
            const bool ownStart =
                request.frames.size() == k &&
                std::all_of(request.frames.begin(), request.frames.end(),
                            [&](const SpliceFrame& f) { return f.source == &src; });
            if (src.frames[k].undecodable && !request.frames.empty() && !ownStart &&
                !request.frames.back().source->frames[request.frames.back().frame].undecodable) {
                result.status = Status::damaged;
                result.message = inputs[i].name + ": " +
                                 frameAt(k + (src.tagFrame ? 1 : 0), src.frames[k].offset) +
                                 ": reservoir_underflow: main_data_begin reaches before the "
                                 "stream, which cannot be kept after the frames before it";
                return result;
            }
            request.frames.push_back({&src, k});
        }
        kept = src.frames.size() - skip;
    }
    startAsTheFirstInput(streams, request);
    for (const SpliceFrame& f : request.frames) {
        if (!f.source->frames[f.frame].undecodable) break;
        const size_t i = static_cast<size_t>(f.source - streams.data());
        result.notes.push_back(inputs[i].name + ": " + undecodableNote(*f.source, f.frame));
    }
    EditResult r = spliceFrames(request);
    result.status = r.status;
    result.message = r.message;
    result.output = std::move(r.output);
    result.frames = request.frames.size();
    return result;
}

}  // namespace l3
