#include "format/frame_scanner.h"

#include "format/byte_order.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/tag_finder.h"

namespace l3 {

namespace {

// Sync, version, layer, sampling rate and channel mode: the header fields that a stream
// resumed after junk keeps (resumeKnownStream).
constexpr uint32_t kKnownStreamMask = 0xFFFE0CC0u;
// Bytes past a frame that its confirmation may read: the next header, or a tag's magic.
constexpr size_t kConfirmBytes = 8;

}  // namespace

bool isLayer3Header(uint32_t header) {
    const int index = bitrateIndex(header);
    return (header >> 21) == 0x7FF && versionCode(header) != 1 && ((header >> 17) & 3) == 1 &&
           index >= 1 && index <= 14 && samplingIndex(header) != 3;
}

bool sameStream(uint32_t a, uint32_t b) {
    constexpr uint32_t kMask = 0xFFFE0000;  // sync, version, layer
    return (a & kMask) == (b & kMask);
}

ScanVerdict refusalVerdict(uint32_t h) {
    const int layerBits = (h >> 17) & 3;
    if ((h >> 21) != 0x7FF || versionCode(h) == 1 || layerBits == 0 || samplingIndex(h) == 3 ||
        bitrateIndex(h) == 15)
        return ScanVerdict::noFrames;
    if (layerBits == 1 && bitrateIndex(h) == 0) return ScanVerdict::freeFormat;
    if (layerBits != 1) return ScanVerdict::otherLayer;
    return ScanVerdict::noFrames;  // a Layer III header that no frame chain confirmed
}

FrameScanner::FrameScanner(const ScanRules& rules, size_t junkFrom, size_t searchFrom)
    : rules_(rules), pos_(searchFrom), junkStart_(junkFrom) {}

bool FrameScanner::confirmed(const ScanWindow& w, size_t offset, uint32_t header,
                             int32_t length) const {
    const size_t next = offset + static_cast<size_t>(length);
    if (next > w.end) return false;
    if (next == w.end) return true;
    if (rules_.tagConfirms && tagMagicAt(w.data, w.end - w.base, next - w.base)) return true;
    if (next + 4 > w.end) return false;
    const uint32_t following = loadBe32(w.data + (next - w.base));
    return isLayer3Header(following) && sameStream(header, following) &&
           (!rules_.holdToFirstFrame || first_ != 0 ||
            samplingIndex(following) == samplingIndex(header));
}

// The frame length when a frame is taken at offset (it may run past the end when taken
// unconfirmed), 0 when none is, -1 when the window does not reach far enough yet.
int32_t FrameScanner::decide(const ScanWindow& w, size_t offset, uint32_t& header) const {
    if (offset + 4 > w.end) return w.ended ? 0 : -1;
    header = loadBe32(w.data + (offset - w.base));
    if (!isLayer3Header(header)) return 0;
    const int32_t length = frameLength(header);
    if (!w.ended && offset + static_cast<size_t>(length) + kConfirmBytes > w.end) return -1;
    if (rules_.holdToFirstFrame && first_ != 0 && !sameStream(first_, header)) return 0;
    if (inSync_ && !rules_.confirmInSync) return length;
    if (confirmed(w, offset, header, length)) return length;
    if (rules_.resumeKnownStream && !inSync_ && last_ != 0 &&
        ((header ^ last_) & kKnownStreamMask) == 0)
        return length;
    return 0;
}

ScanStep FrameScanner::next(const ScanWindow& w, WalkFrame& frame, JunkRange& junk) {
    junk = {};
    for (;;) {
        if (state_ == State::finished) return ScanStep::end;
        if (state_ == State::closing) {
            state_ = State::finished;
            junk = {pos_, w.end - pos_};
            return ScanStep::end;
        }
        uint32_t header = 0;
        const int32_t length = decide(w, pos_, header);
        if (length < 0) return ScanStep::more;
        if (length > 0) {
            const bool resync = !inSync_;
            if (resync && pos_ > junkStart_) junk = {junkStart_, pos_ - junkStart_};
            if (pos_ + static_cast<size_t>(length) > w.end) {
                frame = {pos_, static_cast<int32_t>(w.end - pos_), header, resync, true};
                pos_ = w.end;  // nothing after a frame cut short is looked at
                state_ = State::closing;
                return ScanStep::frame;
            }
            frame = {pos_, length, header, resync, false};
            if (first_ == 0) first_ = header;
            last_ = header;
            pos_ += static_cast<size_t>(length);
            inSync_ = true;
            return ScanStep::frame;
        }
        if (pos_ + 4 <= w.end) {
            if (inSync_) junkStart_ = pos_;
            inSync_ = false;
            ++pos_;
            continue;
        }
        // The end of the input: what follows the last frame.
        state_ = State::closing;
        if (inSync_) continue;
        pos_ = junkStart_;
        if (rules_.lastFrameUnconfirmed && first_ != 0 && pos_ + 4 <= w.end) {
            header = loadBe32(w.data + (pos_ - w.base));
            const int32_t last = isLayer3Header(header) ? frameLength(header) : 0;
            if (last > 0 && pos_ + static_cast<size_t>(last) <= w.end &&
                sameStream(first_, header)) {
                frame = {pos_, last, header, false, false};
                pos_ += static_cast<size_t>(last);
                return ScanStep::frame;
            }
        }
    }
}

}  // namespace l3
