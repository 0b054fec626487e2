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

FrameWalker::FrameWalker(const uint8_t* data, size_t size)
    : data_(data), tags_(findTags(data, size)), pos_(tags_.audioStart), junkStart_(pos_) {}

bool FrameWalker::next(WalkFrame& frame, JunkRange& junk) {
    junk = {};
    if (done_) return false;
    const size_t end = tags_.audioEnd;
    while (pos_ + 4 <= end) {
        const uint32_t header = loadBe32(data_ + pos_);
        const bool accept = data_[pos_] == 0xFF && isLayer3Header(header) &&
                            (inSync_ || confirmed(data_, pos_, end, header) ||
                             (haveStream_ && ((header ^ streamHeader_) & kKnownStreamMask) == 0));
        if (!accept) {
            if (inSync_) junkStart_ = pos_;
            inSync_ = false;
            ++pos_;
            continue;
        }
        const bool resync = !inSync_;
        if (resync && pos_ > junkStart_) junk = {junkStart_, pos_ - junkStart_};
        const int32_t length = frameLength(header);
        if (pos_ + static_cast<size_t>(length) > end) {
            frame = {pos_, static_cast<int32_t>(end - pos_), header, resync, true};
            done_ = true;  // nothing after a truncated frame is looked at
            return true;
        }
        frame = {pos_, length, header, resync, false};
        haveStream_ = true;
        streamHeader_ = header;
        pos_ += static_cast<size_t>(length);
        inSync_ = true;
        return true;
    }
    done_ = true;
    if (!inSync_) pos_ = junkStart_;
    if (pos_ < end) junk = {pos_, end - pos_};
    return false;
}

FrameWalk walkFrames(const uint8_t* data, size_t size) {
    FrameWalker walker(data, size);
    FrameWalk walk;
    walk.tags = walker.tags();
    // Room for frames of 96 bytes and more (8 kbit/s at 24 kHz, the smallest, is 24): the
    // list of a long stream is then not copied again and again as it grows, and the pages
    // reserved past its end are never touched.
    walk.frames.reserve((walk.tags.audioEnd - walk.tags.audioStart) / 96 + 1);
    WalkFrame frame;
    JunkRange junk;
    for (bool more = true; more;) {
        more = walker.next(frame, junk);
        if (junk.length > 0) {
            walk.junkOffsets.push_back(junk.offset);
            walk.junkLengths.push_back(junk.length);
        }
        if (more) walk.frames.push_back(frame);
    }
    return walk;
}

}  // namespace l3
