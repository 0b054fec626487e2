#pragma once
// A point of a stream's timeline as a user writes it: seconds ("83.5"), minutes and seconds
// ("1:23.5"), hours, minutes and seconds ("1:02:03.25"), or a sample index. Seconds are
// kept as an exact fraction, so that a point lands on the sample nearest to it whatever
// the sampling rate.

#include <cstdint>
#include <string_view>

namespace l3 {

struct TimePoint {
    bool samples = false;   // units is a sample index
    int64_t units = 0;      // else units / perSecond seconds
    int64_t perSecond = 1;  // a power of ten
    bool fromEnd = false;   // counted back from the end (written with a leading '-')
};

// Seconds: at most 6 decimals and 10^7 seconds; minutes and seconds below 60 after the
// first field. A sample index: decimal digits, below 2^48. Either may start with '-': the
// point is counted back from the end. False on anything else.
bool parseTimePoint(std::string_view text, bool samples, TimePoint& point);

// The sample index at point for a stream of rate Hz (nearest; halves round up).
int64_t sampleAt(const TimePoint& point, int rate);

// The sample index at point on a timeline of length samples: a point counted from the end
// is length less its samples (0 at the least).
int64_t sampleOn(const TimePoint& point, int rate, int64_t length);

}  // namespace l3
