#include "format/id3v2_text.h"

#include <cstddef>

namespace l3 {

namespace {

constexpr size_t kHeaderBytes = 10;

// Four 7-bit bytes, most significant first.
void putSyncsafe(std::vector<uint8_t>& out, size_t at, size_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = (value >> (21 - 7 * i)) & 0x7F;
}

}  // namespace

std::vector<uint8_t> id3v24TextTag(const std::vector<TextFrame>& frames) {
    std::vector<uint8_t> tag(kHeaderBytes, 0);
    for (const TextFrame& f : frames) {
        if (f.value.empty()) continue;
        const size_t at = tag.size();
        tag.resize(at + kHeaderBytes);
        for (size_t i = 0; i < 4; ++i) tag[at + i] = static_cast<uint8_t>(f.id[i]);
        putSyncsafe(tag, at + 4, 1 + f.value.size());
        tag.push_back(3);  // UTF-8
        tag.insert(tag.end(), f.value.begin(), f.value.end());
    }
    if (tag.size() == kHeaderBytes) return {};
    tag[0] = 'I';
    tag[1] = 'D';
    tag[2] = '3';
    tag[3] = 4;  // version 2.4.0
    putSyncsafe(tag, 6, tag.size() - kHeaderBytes);
    return tag;
}

}  // namespace l3
