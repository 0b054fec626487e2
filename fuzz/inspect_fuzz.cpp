// libFuzzer target: l3 info and l3 check's reading of a whole file (tags, frame walk,
// Xing/Info frame, LAME extension, main data) and the plot drawn from it. Beyond not
// crashing: frames and faults must lie inside the input, in file order, and a tag must
// not overlap the frames.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "l3/inspect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const l3::StreamReport r = l3::inspectStream(data, size);
    size_t end = r.tags.audioStart, frames = 0;
    l3::forEachFrame(data, size, r, [&](size_t k, const l3::FrameFacts& f) {
        if (k != frames++ || f.offset < end || f.length <= 0) std::abort();
        end = f.offset + static_cast<size_t>(f.length);
    });
    if (frames != r.frameCount) std::abort();
    if (end > r.tags.audioEnd || r.tags.audioEnd > size) std::abort();
    for (const l3::Fault& f : r.faults) {
        if (f.offset > size || f.message.empty()) std::abort();
        if (f.frame != l3::kNoFrame && static_cast<size_t>(f.frame) >= r.frameCount)
            std::abort();
    }
    const l3::StreamSummary s = l3::summarize(r);
    if (s.frames != l3::audioFrameCount(r)) std::abort();
    if (l3::bitratePlotSvg(data, size, r, "fuzz").empty()) std::abort();
    return 0;
}
