#include "inspect/frame_walk.h"

#include "disassemble/stream_scanner.h"
#include "format/byte_order.h"
#include "format/frame_length.h"

namespace l3 {

namespace {

// Sync, version, layer, sampling rate and channel mode: a header that agrees with the
// stream's last frame in these is taken after junk without looking further.
constexpr uint32_t kKnownStreamMask = 0xFFFE0CC0u;

// True when a frame with this header at pos is backed by what follows it.
bool confirmed(const uint8_t* data, size_t pos, size_t end, uint32_t header) {
    const size_t next = pos + static_cast<size_t>(frameLength(header));
    if (next == end) return true;
    if (next + 4 > end) return false;
    const uint32_t following = loadBe32(data + next);
    return isLayer3Header(following) && sameStream(header, following);
}

}  // namespace

FrameWalk walkFrames(const uint8_t* data, size_t size) {
    FrameWalk walk;
    walk.tags = findTags(data, size);
    const size_t end = walk.tags.audioEnd;
    size_t pos = walk.tags.audioStart;
    // Room for frames of 96 bytes and more (8 kbit/s at 24 kHz, the smallest, is 24): the
    // list of a long stream is then not copied again and again as it grows, and the pages
    // reserved past its end are never touched.
    walk.frames.reserve((end - pos) / 96 + 1);
    bool inSync = false;
    bool haveStream = false;
    uint32_t streamHeader = 0;
    size_t junkStart = pos;
    while (pos + 4 <= end) {
        const uint32_t header = loadBe32(data + pos);
        const bool accept = data[pos] == 0xFF && isLayer3Header(header) &&
                            (inSync || confirmed(data, pos, end, header) ||
                             (haveStream && ((header ^ streamHeader) & kKnownStreamMask) == 0));
        if (!accept) {
            if (inSync) junkStart = pos;
            inSync = false;
            ++pos;
            continue;
        }
        const bool resync = !inSync;
        if (resync && pos > junkStart) {
            walk.junkOffsets.push_back(junkStart);
            walk.junkLengths.push_back(pos - junkStart);
        }
        const int32_t length = frameLength(header);
        if (pos + static_cast<size_t>(length) > end) {
            walk.frames.push_back({pos, static_cast<int32_t>(end - pos), header, resync, true});
            return walk;
        }
        walk.frames.push_back({pos, length, header, resync, false});
        haveStream = true;
        streamHeader = header;
        pos += static_cast<size_t>(length);
        inSync = true;
    }
    if (!inSync) pos = junkStart;
    if (pos < end) {
        walk.junkOffsets.push_back(pos);
        walk.junkLengths.push_back(end - pos);
    }
    return walk;
}

}  // namespace l3
