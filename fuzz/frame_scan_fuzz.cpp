// libFuzzer target: the frame scanner under both rule sets and the tag finder, on any bytes.
// Beyond not crashing: frames, junk and the rest lie inside the input in order and never
// overlap, and the input shown a few bytes at a time (the first byte picks how many) scans
// as the whole does.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "l3/tag_finder.h"
#include "support/frame_scans.h"

namespace {

void checkOrder(const l3test::FrameScan& s, size_t size) {
    size_t end = 0, j = 0;
    for (const l3::WalkFrame& f : s.frames) {
        for (; j < s.skipped.size() && s.skipped[j].offset < f.offset; ++j) {
            if (s.skipped[j].offset < end) std::abort();
            end = s.skipped[j].offset + s.skipped[j].length;
        }
        if (f.offset < end || f.length <= 0) std::abort();
        end = f.offset + static_cast<size_t>(f.length);
    }
    if (end > size || s.trailingOffset < end || s.trailingOffset > size) std::abort();
}

bool same(const l3test::FrameScan& a, const l3test::FrameScan& b) {
    if (a.frames.size() != b.frames.size() || a.skipped != b.skipped ||
        a.trailingOffset != b.trailingOffset)
        return false;
    for (size_t k = 0; k < a.frames.size(); ++k) {
        const l3::WalkFrame &x = a.frames[k], &y = b.frames[k];
        if (x.offset != y.offset || x.length != y.length || x.header != y.header ||
            x.resync != y.resync || x.truncated != y.truncated)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t window = 1 + data[0] % 64;
    const l3::TagLayout tags = l3::findTags(data, size);
    if (tags.audioStart > tags.audioEnd || tags.audioEnd > size) std::abort();
    for (const l3::TagSpan& t : tags.tags)
        if (t.offset + t.length > size || t.length == 0) std::abort();
    const l3test::FrameScan carried = l3test::scanCarried(data, size);
    const l3test::FrameScan walked = l3test::scanWith(l3::kWalkedRules, data, size, 0);
    checkOrder(carried, size);
    checkOrder(walked, size);
    if (!same(carried, l3test::scanCarried(data, size, window))) std::abort();
    if (!same(walked, l3test::scanWith(l3::kWalkedRules, data, size, 0, window))) std::abort();
    return 0;
}
