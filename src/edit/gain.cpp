#include "l3/edit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "edit/ape_tag.h"
#include "edit/frames_found.h"
#include "format/frame_crc.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "inspect/frame_walk.h"

namespace l3 {

namespace {

constexpr char kUndoKey[] = "MP3GAIN_UNDO";
// Values held at 0 or 255 since the undo item began: an undo will not be exact.
constexpr char kInexactKey[] = "L3_UNDO_INEXACT";

// Side information bits before the first granule: main_data_begin, private bits, scfsi.
int sideInfoPrefixBits(uint32_t header) {
    const bool mono = channelCount(header) == 1;
    if (isMpeg1(header)) return 9 + (mono ? 5 : 3) + 4 * channelCount(header);
    return 8 + (mono ? 1 : 2);
}

// Bits of one granule and channel's side information, and where global_gain lies in it
// (after part2_3_length and big_values).
int granuleBits(uint32_t header) {
    return isMpeg1(header) ? 59 : 63;
}
constexpr int kGlobalGainOffset = 12 + 9;

int readBits(const uint8_t* p, int at, int width) {
    int v = 0;
    for (int i = 0; i < width; ++i) v = v << 1 | ((p[(at + i) >> 3] >> (7 - ((at + i) & 7))) & 1);
    return v;
}

void writeBits(uint8_t* p, int at, int width, int value) {
    for (int i = 0; i < width; ++i) {
        const int bit = (value >> (width - 1 - i)) & 1;
        uint8_t& byte = p[(at + i) >> 3];
        const uint8_t mask = static_cast<uint8_t>(0x80 >> ((at + i) & 7));
        byte = static_cast<uint8_t>(bit ? byte | mask : byte & ~mask);
    }
}

std::string undoValue(int left, int right, bool wrap) {
    char text[32];
    std::snprintf(text, sizeof text, "%+04d,%+04d,%c", left, right, wrap ? 'W' : 'N');
    return text;
}

bool parseUndo(const std::vector<uint8_t>& value, int& left, int& right, char& wrap) {
    const std::string text(value.begin(), value.end());
    return std::sscanf(text.c_str(), "%d,%d,%c", &left, &right, &wrap) == 3;
}

// The decimal count an L3_UNDO_INEXACT item holds (at least 1: the item says values were held).
size_t countOf(const ApeItem& item) {
    size_t count = 0;
    for (const uint8_t c : item.value) {
        if (c < '0' || c > '9' || count > (size_t{1} << 40)) break;
        count = count * 10 + static_cast<size_t>(c - '0');
    }
    return std::max<size_t>(count, 1);
}

// Adds gains[ch] to every granule's global_gain of one frame, frame holding its head (the
// header, CRC and side information).
void changeFrame(uint8_t* frame, uint32_t header, const int gains[2], GainResult& result) {
    uint8_t* side = frame + sideInfoOffset(header);
    const int channels = channelCount(header);
    const uint16_t crcBefore = hasCrc(header) ? frameHeadCrc(frame, header) : 0;
    for (int gr = 0; gr < granuleCount(header); ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            if (gains[ch] == 0) continue;
            const int at = sideInfoPrefixBits(header) + granuleBits(header) * (gr * channels + ch) +
                           kGlobalGainOffset;
            const int wanted = readBits(side, at, 8) + gains[ch];
            const int value = std::clamp(wanted, 0, 255);
            if (value != wanted) ++result.clamped;
            writeBits(side, at, 8, value);
        }
    if (hasCrc(header)) {
        // The stored CRC changes as the computed one does: a right CRC stays right, and a
        // wrong one stays wrong by as much, so that an undo gives back every byte.
        const uint16_t change = crcBefore ^ frameHeadCrc(frame, header);
        frame[4] = static_cast<uint8_t>(frame[4] ^ (change >> 8));
        frame[5] = static_cast<uint8_t>(frame[5] ^ (change & 0xFF));
    }
    ++result.frames;
}

// Writes input to out with gains added in every audio frame, frame by frame; with a tag,
// the APEv2 tag is replaced by one holding items(result) (none: no tag), in the place it
// had or, for a new one, right after the frames and before any trailing tag. False when out
// fails.
template <typename Items>
bool writeChanged(const uint8_t* input, size_t size, const ApeTag& ape, const int gains[2],
                  bool withTag, Items items, ByteStore& out, GainResult& result) {
    FrameWalker walker(input, size);
    const size_t audioEnd = walker.tags().audioEnd;
    WalkFrame f{};
    JunkRange junk;
    size_t pos = 0, firstAudio = 0;
    uint8_t head[64];
    for (size_t k = 0; walker.next(f, junk); ++k) {
        if (k == 0 && isTagFrame(input, f)) firstAudio = 1;
        if (k < firstAudio || f.truncated) continue;
        const auto n = static_cast<size_t>(headByteCount(f.header));
        std::memcpy(head, input + f.offset, n);
        changeFrame(head, f.header, gains, result);
        if (!out.append(input + pos, f.offset - pos) || !out.append(head, n)) return false;
        pos = f.offset + n;
    }
    if (!withTag) return out.append(input + pos, size - pos);
    const size_t at = ape.present ? ape.offset : audioEnd;
    const size_t skip = ape.present ? ape.length : 0;
    std::vector<uint8_t> tag;
    const std::vector<ApeItem> written = items(result);
    if (!written.empty()) appendApeTag(tag, written);
    return out.append(input + pos, at - pos) && out.append(tag.data(), tag.size()) &&
           out.append(input + at + skip, size - at - skip);
}

// A change's (or an undo's) result read back: the frames found are the ones changed
// (framesMoved). A change is undone by the same change the other way in the frames found
// in its result, and a changed global_gain or CRC byte can form a frame header where the
// bytes after junk were none (or break one): the result would play other frames and an
// undo would change others again. And the APEv2 tag holds the items written (none: no tag). Bytes before a
// tag can read as a tag of their own (such as "TAG" 128 bytes before the end) and hide it,
// once the tag has another size. Empty when it reads back so, else what differs.
std::string readBack(std::span<const uint8_t> before, std::span<const uint8_t> out,
                     const std::vector<ApeItem>& items) {
    const std::string moved = framesMoved(
        before, out,
        "changed bytes would complete or spoil a frame header (players would play other "
        "frames, and an undo would change others)");
    if (!moved.empty()) return moved;
    if (!sameItems(findApeTag(out.data(), findTags(out.data(), out.size())).items, items))
        return "the APEv2 tag would not be found as written (the bytes before it would read as "
               "a tag of their own)";
    return "";
}

// The status and message of a change that could not be undone exactly.
void refuseInexact(GainResult& result, const std::string& why) {
    result.status = Status::inexact;
    result.message = "nothing written: " + why;
    result.output.clear();
    result.frames = result.clamped = 0;
}

// A store that keeps nothing: it compares what it is given with expected bytes, and is
// read back as them when they agree.
struct CompareStore : ByteStore {
    std::span<const uint8_t> expected;
    size_t at = 0;
    bool same = true;
    explicit CompareStore(std::span<const uint8_t> bytes) : expected(bytes) {}
    bool append(const uint8_t* from, size_t size) override {
        same = same && size <= expected.size() - at &&
               std::equal(from, from + size, expected.begin() + static_cast<ptrdiff_t>(at));
        if (same) at += size;
        return true;
    }
    bool finish(std::span<const uint8_t>& all) override {
        same = same && at == expected.size();
        all = expected;
        return same;
    }
};

void failedStore(GainResult& result) {
    result.status = Status::io;
    result.message = "cannot write the result";
}

// The items a change records: the undo of this change and every earlier one, the values
// held so far, and the other gain tool's loudness items moved by the change (a change of
// the whole stream: one of a single channel leaves them), all as that tool leaves them.
std::vector<ApeItem> changeItems(const std::vector<ApeItem>& before, const int gains[2],
                                 size_t clamped) {
    std::vector<ApeItem> items = before;
    int left = 0, right = 0;
    char wrap = 'N';
    const auto item = findItem(items, kUndoKey);
    if (item != items.end()) parseUndo(item->value, left, right, wrap);
    setItem(items, kUndoKey, undoValue(left - gains[0], right - gains[1], wrap == 'W'));
    if (clamped > 0) {
        const auto inexact = findItem(items, kInexactKey);
        const size_t held = clamped + (inexact != items.end() ? countOf(*inexact) : 0);
        setItem(items, kInexactKey, std::to_string(held));
    }
    return shiftedGainItems(items, gains[0] == gains[1] ? gains[0] : 0);
}

// The undo recorded must work: it finds its item and the frames the change changed, and
// gives back a file that had no APEv2 tag byte for byte (but for held values), which is
// compared as it is made; any other undo is made in scratch.
std::string checkUndo(std::span<const uint8_t> input, std::span<const uint8_t> changed,
                      bool compare, ByteStore& scratch, GainResult& result) {
    if (compare) {
        CompareStore same(input);
        const GainResult undone = undoGain(changed.data(), changed.size(), same);
        if (!same.same) return "its undo would not give the file back";
        if (undone.status != Status::ok) return "its undo would fail: " + undone.message;
        return "";
    }
    const GainResult undone = undoGain(changed.data(), changed.size(), scratch);
    if (undone.status == Status::io) {
        failedStore(result);
        return "";
    }
    if (undone.status != Status::ok) return "its undo would fail: " + undone.message;
    return "";
}

}  // namespace

GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options,
                     ByteStore& out, ByteStore& scratch) {
    GainResult result;
    // The frames are walked once first: the stream must have one, and its last frame's
    // channel mode decides whether --channel applies.
    FrameWalker walker(input, size);
    WalkFrame f{}, last{};
    JunkRange junk;
    bool any = false;
    while (walker.next(f, junk)) {
        last = f;
        any = true;
    }
    if (!any) {
        result.status = Status::notLayer3;
        result.message = "no Layer III frame found";
        return result;
    }
    if (options.channel >= 0 && (channelCount(last.header) != 2 || channelMode(last.header) == 1)) {
        result.status = Status::usage;
        result.message = "--channel needs a stereo or dual-channel stream (not joint stereo)";
        return result;
    }
    int gains[2] = {options.steps, options.steps};
    if (options.channel >= 0) gains[1 - options.channel] = 0;
    std::span<const uint8_t> changed;
    if (options.steps == 0) {  // nothing changes, nothing to undo
        if (!out.append(input, size) || !out.finish(changed)) failedStore(result);
        return result;
    }
    const ApeTag ape = findApeTag(input, walker.tags());
    auto items = [&](const GainResult& r) { return changeItems(ape.items, gains, r.clamped); };
    if (!writeChanged(input, size, ape, gains, options.tag, items, out, result) ||
        !out.finish(changed)) {
        failedStore(result);
        return result;
    }
    const std::span<const uint8_t> in(input, size);
    std::string why = readBack(in, changed, options.tag ? items(result) : ape.items);
    if (why.empty() && options.tag)
        why = checkUndo(in, changed, !ape.present && result.clamped == 0, scratch, result);
    if (!why.empty()) refuseInexact(result, why);
    return result;
}

GainResult undoGain(const uint8_t* input, size_t size, ByteStore& out) {
    GainResult result;
    const ApeTag ape = findApeTag(input, findTags(input, size));
    std::vector<ApeItem> items = ape.items;
    const auto item = findItem(items, kUndoKey);
    int gains[2] = {0, 0};
    char wrap = 'N';
    if (item == items.end() || !parseUndo(item->value, gains[0], gains[1], wrap)) {
        result.status = Status::noUndo;
        result.message = "no MP3GAIN_UNDO item: nothing to undo";
        return result;
    }
    items.erase(item);
    const auto inexact = findItem(items, kInexactKey);
    if (inexact != items.end()) {
        result.inexact = countOf(*inexact);
        items.erase(inexact);
    }
    // The other gain tool's loudness items move back with the undo, as its own undo moves them.
    items = shiftedGainItems(items, gains[0] == gains[1] ? gains[0] : 0);
    std::span<const uint8_t> undone;
    auto same = [&](const GainResult&) { return items; };
    if (!writeChanged(input, size, ape, gains, true, same, out, result) || !out.finish(undone)) {
        failedStore(result);
        return result;
    }
    // Undone, the frames are found as in the file that was changed (or this is not the
    // file before the change), and the tag's other items as they were.
    const std::string why = readBack({input, size}, undone, items);
    if (!why.empty()) refuseInexact(result, why);
    return result;
}

GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options) {
    VectorStore out, scratch;
    GainResult result = applyGain(input, size, options, out, scratch);
    if (result.status == Status::ok) result.output = std::move(out.bytes);
    return result;
}

GainResult undoGain(const uint8_t* input, size_t size) {
    VectorStore out;
    GainResult result = undoGain(input, size, out);
    if (result.status == Status::ok) result.output = std::move(out.bytes);
    return result;
}

}  // namespace l3
