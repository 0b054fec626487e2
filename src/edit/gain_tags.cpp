#include "l3/edit.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "edit/ape_tag.h"
#include "edit/frames_found.h"
#include "inspect/frame_walk.h"

namespace l3 {

namespace {

constexpr const char* kGainKeys[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                     "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK",
                                     "REPLAYGAIN_REFERENCE_LOUDNESS"};

std::string formatted(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The APEv2 items with the five keys replaced by texts, after the other items.
std::vector<ApeItem> taggedItems(std::vector<ApeItem> items, const std::vector<UserText>& texts) {
    for (const char* key : kGainKeys)
        if (auto item = findItem(items, key); item != items.end()) items.erase(item);
    for (const UserText& t : texts) setItem(items, t.description, t.value);
    return items;
}

// Empty when out reads back as written: the frames of input shifted by shift, the leading
// ID3v2 tag tag with texts in it, and the APEv2 items items (when there is a tag).
std::string readBack(std::span<const uint8_t> input, std::span<const uint8_t> out,
                     std::span<const uint8_t> tag, const std::vector<UserText>& texts,
                     const ApeTag& ape, const std::vector<ApeItem>& items, ptrdiff_t shift) {
    const std::string moved =
        framesMoved(input, out, "the tags written would change where the frames are", shift);
    if (!moved.empty()) return moved;
    const TagLayout layout = findTags(out.data(), out.size());
    if (layout.tags.empty() || layout.tags[0].kind != TagKind::id3v2 ||
        layout.tags[0].offset != 0 || layout.tags[0].length != tag.size())
        return "the ID3v2 tag would not be found as written";
    const std::vector<UserText> read = readUserTexts(out.first(tag.size()));
    if (read.size() < texts.size() ||
        !std::equal(texts.begin(), texts.end(), read.end() - static_cast<ptrdiff_t>(texts.size()),
                    [](const UserText& a, const UserText& b) {
                        return a.description == b.description && a.value == b.value;
                    }))
        return "the ID3v2 tag would not read back as written";
    if (ape.present && !sameItems(findApeTag(out.data(), layout).items, items))
        return "the APEv2 tag would not be found as written (the bytes before it would read as "
               "a tag of their own)";
    return "";
}

}  // namespace

std::vector<UserText> replayGainTexts(const LoudnessTags& tags) {
    std::vector<UserText> texts = {
        {kGainKeys[0], formatted("%.2f dB", tags.trackGain)},
        {kGainKeys[1], formatted("%.6f", tags.trackPeak)},
    };
    if (tags.album) {
        texts.push_back({kGainKeys[2], formatted("%.2f dB", tags.albumGain)});
        texts.push_back({kGainKeys[3], formatted("%.6f", tags.albumPeak)});
    }
    texts.push_back({kGainKeys[4], formatted("%.2f LUFS", tags.reference)});
    return texts;
}

GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts,
                         ByteStore& out) {
    GainResult result;
    FrameWalker walker(input, size);
    WalkFrame f{};
    JunkRange junk;
    while (walker.next(f, junk)) ++result.frames;
    if (result.frames == 0) {
        result.status = Status::notLayer3;
        result.message = "no Layer III frame found";
        return result;
    }
    const TagLayout& layout = walker.tags();
    const std::span<const uint8_t> in(input, size);
    std::span<const uint8_t> oldTag;
    if (!layout.tags.empty() && layout.tags[0].kind == TagKind::id3v2 && layout.tags[0].offset == 0)
        oldTag = in.first(layout.tags[0].length);
    // The old values of every key go, written or not; the new ones are added.
    const Id3v2Rewrite id3 =
        replaceUserTexts(oldTag, {std::begin(kGainKeys), std::end(kGainKeys)}, texts);
    if (!id3.ok) {
        result.status = Status::tagRefused;
        result.message = id3.message + "; nothing written";
        return result;
    }
    const ApeTag ape = findApeTag(input, layout);
    const std::vector<ApeItem> items = taggedItems(ape.items, texts);
    std::vector<uint8_t> apeBytes;
    if (ape.present) appendApeTag(apeBytes, items);
    const size_t apeAt = ape.present ? ape.offset : size, apeEnd = apeAt + ape.length;
    std::span<const uint8_t> written;
    if (!out.append(id3.tag.data(), id3.tag.size()) ||
        !out.append(input + oldTag.size(), apeAt - oldTag.size()) ||
        !out.append(apeBytes.data(), apeBytes.size()) ||
        !out.append(input + apeEnd, size - apeEnd) || !out.finish(written)) {
        result.status = Status::io;
        result.message = "cannot write the result";
        return result;
    }
    const auto shift = static_cast<ptrdiff_t>(id3.tag.size()) - static_cast<ptrdiff_t>(oldTag.size());
    const std::string why = readBack(in, written, id3.tag, texts, ape, items, shift);
    if (!why.empty()) {
        result.status = Status::inexact;
        result.message = "nothing written: " + why;
    }
    return result;
}

GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts) {
    VectorStore out;
    GainResult result = writeGainTags(input, size, texts, out);
    if (result.status == Status::ok) result.output = std::move(out.bytes);
    return result;
}

}  // namespace l3
