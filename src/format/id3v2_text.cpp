#include "l3/id3v2_text.h"

#include <cstddef>

#include "format/syncsafe.h"

namespace l3 {

namespace {

constexpr size_t kHeaderBytes = 10;

}  // namespace

std::vector<uint8_t> id3v24TextTag(const std::vector<TextFrame>& frames) {
    std::vector<uint8_t> tag(kHeaderBytes, 0);
    for (const TextFrame& f : frames) {
        if (f.value.empty()) continue;
        const size_t at = tag.size();
        tag.resize(at + kHeaderBytes);
        for (size_t i = 0; i < 4; ++i) tag[at + i] = static_cast<uint8_t>(f.id[i]);
        storeSyncsafe(tag.data() + at + 4, 1 + f.value.size());
        tag.push_back(3);  // UTF-8
        tag.insert(tag.end(), f.value.begin(), f.value.end());
    }
    if (tag.size() == kHeaderBytes) return {};
    tag[0] = 'I';
    tag[1] = 'D';
    tag[2] = '3';
    tag[3] = 4;  // version 2.4.0
    storeSyncsafe(tag.data() + 6, tag.size() - kHeaderBytes);
    return tag;
}

}  // namespace l3
