#include "l3/edit.h"

#include <algorithm>

namespace l3 {

namespace {

constexpr int kMaxDecimals = 6;
constexpr int64_t kMaxSeconds = 10'000'000;
constexpr int64_t kMaxSampleIndex = int64_t{1} << 48;

// Digits only, at least one, the value below limit.
bool parseDigits(std::string_view text, int64_t limit, int64_t& value) {
    if (text.empty()) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value >= limit) return false;
    }
    return true;
}

// The point without a sign.
bool parseUnsigned(std::string_view text, bool samples, TimePoint& point) {
    if (samples) {
        point.samples = true;
        return parseDigits(text, kMaxSampleIndex, point.units);
    }
    // Fields before the seconds: hours and minutes, or minutes.
    int64_t whole = 0;
    int fields = 0;
    for (size_t colon; (colon = text.find(':')) != std::string_view::npos; ++fields) {
        int64_t field = 0;
        if (fields == 2 || !parseDigits(text.substr(0, colon), kMaxSeconds, field)) return false;
        if (fields > 0 && field >= 60) return false;
        whole = whole * 60 + field;
        text.remove_prefix(colon + 1);
    }
    const size_t dot = text.find('.');
    int64_t seconds = 0;
    if (!parseDigits(text.substr(0, dot), kMaxSeconds, seconds)) return false;
    if (fields > 0 && seconds >= 60) return false;
    whole = whole * 60 + seconds;
    if (whole >= kMaxSeconds) return false;
    int64_t fraction = 0;
    if (dot != std::string_view::npos) {
        const std::string_view decimals = text.substr(dot + 1);
        if (decimals.size() > kMaxDecimals || !parseDigits(decimals, kMaxSeconds, fraction))
            return false;
        for (size_t i = 0; i < decimals.size(); ++i) point.perSecond *= 10;
    }
    point.units = whole * point.perSecond + fraction;
    return true;
}
}  // namespace

bool parseTimePoint(std::string_view text, bool samples, TimePoint& point) {
    point = TimePoint{};
    const bool fromEnd = !text.empty() && text[0] == '-';
    if (fromEnd) text.remove_prefix(1);
    const bool ok = parseUnsigned(text, samples, point);
    point.fromEnd = fromEnd;
    return ok;
}

int64_t sampleOn(const TimePoint& point, int rate, int64_t length) {
    const int64_t s = sampleAt(point, rate);
    return point.fromEnd ? std::max<int64_t>(0, length - s) : s;
}

int64_t sampleAt(const TimePoint& point, int rate) {
    if (point.samples) return point.units;
    return (point.units * rate + point.perSecond / 2) / point.perSecond;
}

}  // namespace l3
