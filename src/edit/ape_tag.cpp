#include "edit/ape_tag.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/byte_order.h"

namespace l3 {

namespace {

constexpr size_t kApeBytes = 32;  // header or footer
constexpr uint32_t kApeVersion = 2000;
constexpr uint32_t kApeHasHeader = 1u << 31;
constexpr uint32_t kApeIsHeader = 1u << 29;

void appendApeFrame(std::vector<uint8_t>& out, uint32_t size, uint32_t count, uint32_t flags) {
    const size_t at = out.size();
    out.resize(at + kApeBytes, 0);
    std::memcpy(out.data() + at, "APETAGEX", 8);
    storeLe32(out.data() + at + 8, kApeVersion);
    storeLe32(out.data() + at + 12, size);
    storeLe32(out.data() + at + 16, count);
    storeLe32(out.data() + at + 20, flags);
}

bool sameKey(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
    });
}

// The other gain tool's items, in the order it writes them after every other item.
enum GainItem { kMinMax, kAlbumMinMax, kUndo, kTrackGain, kTrackPeak, kAlbumGain, kAlbumPeak };
constexpr std::array<std::string_view, 7> kGainKeys = {
    "MP3GAIN_MINMAX",        "MP3GAIN_ALBUM_MINMAX",  "MP3GAIN_UNDO",         "REPLAYGAIN_TRACK_GAIN",
    "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"};
// The dB a global_gain step is taken to be in those items (6 dB per 4 steps, rounded).
constexpr double kStepDb = 1.505;
constexpr double kLargest = 9.999999;  // what six decimals and one digit can say

std::string text(const std::vector<uint8_t>& value) {
    return {value.begin(), std::find(value.begin(), value.end(), uint8_t{0})};
}

// "100,210": three digits, a comma, three digits (anything after them is ignored), each
// number taken modulo 256 and moved by steps within 0..255. Empty when not of that form.
std::string shiftedMinMax(const std::string& value, int steps) {
    auto digits = [&](size_t at) {
        return std::all_of(value.begin() + static_cast<ptrdiff_t>(at),
                           value.begin() + static_cast<ptrdiff_t>(at + 3),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (value.size() < 7 || !digits(0) || value[3] != ',' || !digits(4)) return "";
    auto moved = [&](size_t at) {
        return std::clamp(std::atoi(value.substr(at, 3).c_str()) % 256 + steps, 0, 255);
    };
    char out[16];
    std::snprintf(out, sizeof out, "%03d,%03d", moved(0), moved(4));
    return out;
}

}  // namespace

ApeTag findApeTag(const uint8_t* data, const TagLayout& tags) {
    ApeTag tag;
    for (const TagSpan& span : tags.tags) {
        if (span.kind != TagKind::apev2) continue;
        tag.present = true;
        tag.offset = span.offset;
        tag.length = span.length;
        tag.items.clear();
        // Items lie after the header (if any) and before the footer.
        const uint8_t* footer = data + span.offset + span.length - kApeBytes;
        const bool hasHeader = loadLe32(footer + 20) & kApeHasHeader;
        const uint32_t count = loadLe32(footer + 16);
        size_t p = span.offset + (hasHeader ? kApeBytes : 0);
        const size_t end = span.offset + span.length - kApeBytes;
        for (uint32_t i = 0; i < count && p + 8 < end; ++i) {
            const uint32_t valueBytes = loadLe32(data + p);
            const uint32_t flags = loadLe32(data + p + 4);
            size_t k = p + 8;
            while (k < end && data[k] != 0) ++k;
            if (k >= end || valueBytes > end - k - 1) break;
            ApeItem item{std::string(reinterpret_cast<const char*>(data + p + 8), k - p - 8),
                         std::vector<uint8_t>(data + k + 1, data + k + 1 + valueBytes), flags};
            tag.items.push_back(std::move(item));
            p = k + 1 + valueBytes;
        }
    }
    return tag;
}

void appendApeTag(std::vector<uint8_t>& out, const std::vector<ApeItem>& items) {
    std::vector<uint8_t> body;
    for (const ApeItem& item : items) {
        const size_t at = body.size();
        body.resize(at + 8);
        storeLe32(body.data() + at, static_cast<uint32_t>(item.value.size()));
        storeLe32(body.data() + at + 4, item.flags);
        body.insert(body.end(), item.key.begin(), item.key.end());
        body.push_back(0);
        body.insert(body.end(), item.value.begin(), item.value.end());
    }
    const auto size = static_cast<uint32_t>(body.size() + kApeBytes);
    const auto count = static_cast<uint32_t>(items.size());
    appendApeFrame(out, size, count, kApeHasHeader | kApeIsHeader);
    out.insert(out.end(), body.begin(), body.end());
    appendApeFrame(out, size, count, kApeHasHeader);
}

std::vector<ApeItem>::iterator findItem(std::vector<ApeItem>& items, std::string_view key) {
    return std::find_if(items.begin(), items.end(),
                        [key](const ApeItem& i) { return sameKey(i.key, key); });
}

void setItem(std::vector<ApeItem>& items, std::string_view key, std::string_view text) {
    auto item = findItem(items, key);
    if (item == items.end()) {
        items.push_back({std::string(key), {}, 0});
        item = items.end() - 1;
    }
    item->value.assign(text.begin(), text.end());
    item->flags = 0;
}

bool sameItems(const std::vector<ApeItem>& a, const std::vector<ApeItem>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ApeItem& x, const ApeItem& y) {
                          return x.key == y.key && x.value == y.value && x.flags == y.flags;
                      });
}

std::vector<ApeItem> shiftedGainItems(const std::vector<ApeItem>& items, int steps) {
    std::vector<ApeItem> out, own(kGainKeys.size());
    std::vector<bool> have(kGainKeys.size(), false);
    for (const ApeItem& item : items) {
        const auto known = std::find_if(kGainKeys.begin(), kGainKeys.end(),
                                        [&](std::string_view k) { return sameKey(item.key, k); });
        if (known == kGainKeys.end()) {
            out.push_back(item);
            continue;
        }
        const auto which = static_cast<size_t>(known - kGainKeys.begin());
        const std::string value = text(item.value);
        std::string moved = value;
        char number[32];
        if (which == kMinMax || which == kAlbumMinMax) {
            if (const std::string shifted = shiftedMinMax(value, steps); !shifted.empty())
                moved = shifted;
        } else if (which == kTrackGain || which == kAlbumGain) {
            const double db = std::strtod(value.c_str(), nullptr) - kStepDb * steps;
            std::snprintf(number, sizeof number, "%+f dB", std::clamp(db, -kLargest, kLargest));
            moved = number;
        } else if (which == kTrackPeak || which == kAlbumPeak) {
            const double peak = std::strtod(value.c_str(), nullptr) * std::pow(2.0, steps / 4.0);
            std::snprintf(number, sizeof number, "%f", std::clamp(peak, -kLargest, kLargest));
            moved = number;
        }
        own[which] = {std::string(kGainKeys[which]),
                      which == kUndo ? item.value : std::vector<uint8_t>(moved.begin(), moved.end()),
                      0};
        have[which] = true;
    }
    for (size_t k = 0; k < own.size(); ++k)
        if (have[k]) out.push_back(std::move(own[k]));
    return out;
}

}  // namespace l3
