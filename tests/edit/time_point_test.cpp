// The time arguments of l3 cut and l3 split: what is accepted, and the sample each lands on.

#include "l3/edit.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(TimePoint, TextsAndTheSampleTheyLandOn) {
    struct Case {
        const char* text;
        bool samples;
        int rate;
        int64_t sample;
    };
    const Case cases[] = {
        {"83.5", false, 44100, 3682350},  // exact: no binary fraction on the way
        {"1:23.5", false, 44100, 3682350},
        {"0:01:23.500", false, 44100, 3682350},
        {"1:02:03.25", false, 8000, 29786000},
        {"0", false, 48000, 0},
        {"0.000010", false, 48000, 0},  // 0.48 of a sample: down
        {"0.000011", false, 48000, 1},  // 0.528: up
        {"0.5", false, 11025, 5513},    // 5512.5: halves up
        {"59:59.999999", false, 32000, 115200000},
        {"12345", true, 44100, 12345},
        {"0", true, 44100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        l3::TimePoint point;
        ASSERT_TRUE(l3::parseTimePoint(c.text, c.samples, point));
        EXPECT_EQ(l3::sampleAt(point, c.rate), c.sample);
    }
}

TEST(TimePoint, RefusesWhatIsNotATime) {
    const char* const seconds[] = {"",       "--1",     "1.",       ".5",        "1:60",
                                   "1:2:60", "1:2:3:4", "1.2.3",    "1.1234567", "1 ",
                                   "1e3",    "0x10",    "10000000", ":5",        "5:"};
    for (const char* text : seconds) {
        l3::TimePoint point;
        EXPECT_FALSE(l3::parseTimePoint(text, false, point)) << text;
    }
    const char* const samples[] = {"", "1.5", "+3", "-", "1:00", "281474976710656"};
    for (const char* text : samples) {
        l3::TimePoint point;
        EXPECT_FALSE(l3::parseTimePoint(text, true, point)) << text;
    }
}

// A leading '-' counts back from the end of the timeline, never before its start.
TEST(TimePoint, CountedFromTheEnd) {
    struct Case {
        const char* text;
        bool samples;
        int64_t length, sample;
    };
    const Case cases[] = {
        {"-30", false, 44100 * 100, 44100 * 70},
        {"-1:00.5", false, 44100 * 100, 44100 * 100 - 44100 * 60 - 22050},
        {"-1000", true, 5000, 4000},
        {"-0", true, 5000, 5000},
        {"-6000", true, 5000, 0},
        {"30", false, 44100 * 100, 44100 * 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        l3::TimePoint point;
        ASSERT_TRUE(l3::parseTimePoint(c.text, c.samples, point));
        EXPECT_EQ(point.fromEnd, c.text[0] == '-');
        EXPECT_EQ(l3::sampleOn(point, 44100, c.length), c.sample);
    }
}

}  // namespace
