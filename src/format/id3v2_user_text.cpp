#include "l3/id3v2_user_text.h"

#include <algorithm>

#include "format/byte_order.h"
#include "format/syncsafe.h"

namespace l3 {

namespace {

constexpr size_t kHeadBytes = 10;  // the tag's header or footer, and a frame's header
constexpr uint8_t kUnsynchronised = 0x80, kExtendedHeader = 0x40, kFooter = 0x10;
// Frame flags (second byte) under which a frame's text cannot be read as it stands:
// version 2.3 compression, encryption, grouping; version 2.4 grouping, compression,
// encryption, unsynchronisation, data length.
constexpr uint8_t kOpaqueV3 = 0xE0, kOpaqueV4 = 0x4F;
constexpr uint8_t kLatin1 = 0, kUtf16 = 1, kUtf16Be = 2;

// A frame inside the tag: where its header starts and its body's size.
struct Frame {
    size_t at, bodyBytes;
};

// The frames of a tag in order, up to its padding or footer; ok false with why.
struct Walk {
    bool ok = false;
    std::string message;
    int version = 4;
    uint8_t flags = 0;
    std::vector<Frame> frames;
    size_t bodyEnd = 0;  // where the frames area ends (the footer, or the tag's end)
};

Walk walkTag(std::span<const uint8_t> tag) {
    Walk w;
    auto refuse = [&](const char* why) {
        w.message = why;
        w.frames.clear();
        return w;
    };
    if (tag.size() < kHeadBytes || tag[0] != 'I' || tag[1] != 'D' || tag[2] != '3')
        return refuse("no ID3v2 tag");
    w.version = tag[3];
    w.flags = tag[5];
    if (w.version != 3 && w.version != 4)
        return refuse(w.version == 2 ? "an ID3v2.2 tag cannot be rewritten"
                                     : "an ID3v2 tag of an unknown version cannot be rewritten");
    if (w.flags & kUnsynchronised) return refuse("an unsynchronised ID3v2 tag cannot be rewritten");
    const bool footer = w.version == 4 && (w.flags & kFooter);
    const size_t total = kHeadBytes + loadSyncsafe(tag.data() + 6) + (footer ? kHeadBytes : 0);
    if (!isSyncsafe(tag.data() + 6) || total > tag.size())
        return refuse("the ID3v2 tag's size is not its length");
    w.bodyEnd = total - (footer ? kHeadBytes : 0);
    size_t p = kHeadBytes;
    if (w.flags & kExtendedHeader) {
        if (w.bodyEnd - p < 4) return refuse("the ID3v2 extended header runs past the tag");
        const size_t bytes = w.version == 3 ? 4 + size_t{loadBe32(tag.data() + p)}
                                            : loadSyncsafe(tag.data() + p);
        if (bytes < 4 || bytes > w.bodyEnd - p)
            return refuse("the ID3v2 extended header runs past the tag");
        p += bytes;
    }
    while (w.bodyEnd - p >= kHeadBytes && tag[p] != 0) {
        const uint8_t* f = tag.data() + p;
        if (!std::all_of(f, f + 4, [](uint8_t c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            }))
            return refuse("an ID3v2 frame with an unreadable ID");
        if (w.version == 4 && !isSyncsafe(f + 4)) return refuse("an ID3v2.4 frame size is not syncsafe");
        const size_t body = w.version == 4 ? loadSyncsafe(f + 4) : size_t{loadBe32(f + 4)};
        if (body > w.bodyEnd - p - kHeadBytes) return refuse("an ID3v2 frame runs past the tag");
        w.frames.push_back({p, body});
        p += kHeadBytes + body;
    }
    // What follows the frames is padding: zero bytes (a stray byte too few for a frame
    // header is taken as such).
    w.ok = true;
    return w;
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool sameText(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return upper(x) == upper(y); });
}

// One string of a text frame from at, in encoding, up to its terminator or end; at moves
// past the terminator. Code points outside ASCII read as '?'.
std::string decodeText(std::span<const uint8_t> body, size_t& at, uint8_t encoding) {
    std::string out;
    if (encoding != kUtf16 && encoding != kUtf16Be) {
        while (at < body.size() && body[at] != 0) {
            out += body[at] < 0x80 ? static_cast<char>(body[at]) : '?';
            ++at;
        }
        if (at < body.size()) ++at;
        return out;
    }
    bool bigEndian = encoding == kUtf16Be;
    if (encoding == kUtf16 && body.size() - at >= 2) {  // a byte order mark
        if (body[at] == 0xFE && body[at + 1] == 0xFF) bigEndian = true, at += 2;
        else if (body[at] == 0xFF && body[at + 1] == 0xFE) at += 2;
    }
    while (body.size() - at >= 2) {
        const unsigned unit = bigEndian ? unsigned{body[at]} << 8 | body[at + 1]
                                        : unsigned{body[at + 1]} << 8 | body[at];
        at += 2;
        if (unit == 0) return out;
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    at = body.size();
    return out;
}

// The description and value of a TXXX frame whose text can be read; false otherwise.
bool userText(std::span<const uint8_t> tag, const Walk& w, const Frame& f, UserText& text) {
    const uint8_t* head = tag.data() + f.at;
    const uint8_t opaque = w.version == 3 ? kOpaqueV3 : kOpaqueV4;
    if (std::string(head, head + 4) != "TXXX" || (head[9] & opaque) || f.bodyBytes == 0)
        return false;
    const std::span<const uint8_t> body = tag.subspan(f.at + kHeadBytes, f.bodyBytes);
    size_t at = 1;
    text.description = decodeText(body, at, body[0]);
    text.value = decodeText(body, at, body[0]);
    return true;
}

void appendSize(std::vector<uint8_t>& out, size_t value, int version) {
    const size_t at = out.size();
    out.resize(at + 4);
    if (version == 4) {
        storeSyncsafe(out.data() + at, value);
    } else {
        for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

}  // namespace

Id3v2Rewrite replaceUserTexts(std::span<const uint8_t> tag, const std::vector<std::string>& drop,
                              const std::vector<UserText>& texts) {
    Id3v2Rewrite r;
    Walk w;
    if (!tag.empty()) {
        w = walkTag(tag);
        if (!w.ok) {
            r.message = w.message;
            return r;
        }
    }
    std::vector<uint8_t>& out = r.tag;
    out = {'I', 'D', '3', static_cast<uint8_t>(w.version), 0,
           static_cast<uint8_t>(w.flags & ~kExtendedHeader), 0, 0, 0, 0};
    for (const Frame& f : w.frames) {
        UserText text;
        const bool ours = userText(tag, w, f, text) &&
                          std::any_of(drop.begin(), drop.end(), [&](const std::string& d) {
                              return sameText(d, text.description);
                          });
        if (!ours)
            out.insert(out.end(), tag.begin() + static_cast<ptrdiff_t>(f.at),
                       tag.begin() + static_cast<ptrdiff_t>(f.at + kHeadBytes + f.bodyBytes));
    }
    for (const UserText& t : texts) {
        out.insert(out.end(), {'T', 'X', 'X', 'X'});
        appendSize(out, 1 + t.description.size() + 1 + t.value.size(), w.version);
        out.insert(out.end(), {0, 0, kLatin1});
        out.insert(out.end(), t.description.begin(), t.description.end());
        out.push_back(0);
        out.insert(out.end(), t.value.begin(), t.value.end());
    }
    const bool footer = w.version == 4 && (w.flags & kFooter);
    if (!tag.empty() && !footer && out.size() < w.bodyEnd) out.resize(w.bodyEnd, 0);
    const size_t body = out.size() - kHeadBytes;
    if (body >= kSyncsafeLimit) {
        r.message = "the ID3v2 tag would grow past its largest size";
        r.tag.clear();
        return r;
    }
    storeSyncsafe(out.data() + 6, body);
    if (footer) {
        out.insert(out.end(), out.begin(), out.begin() + kHeadBytes);
        std::copy_n("3DI", 3, out.end() - kHeadBytes);
    }
    r.ok = true;
    return r;
}

std::vector<UserText> readUserTexts(std::span<const uint8_t> tag) {
    std::vector<UserText> texts;
    const Walk w = walkTag(tag);
    for (const Frame& f : w.frames)
        if (UserText text; userText(tag, w, f, text)) texts.push_back(std::move(text));
    return texts;
}

}  // namespace l3
