// Cue sheets for l3 split --cue: what a sheet gives, in UTF-8 and Latin-1, and the line a
// malformed one is refused at.

#include "l3/edit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CueSheet, TracksTitlesPerformersAndStarts) {
    const std::string text =
        "\xEF\xBB\xBFREM GENRE Rock\r\n"
        "PERFORMER \"The Band\"\r\n"
        "TITLE \"Live\"\r\n"
        "FILE \"live.mp3\" MP3\r\n"
        "  TRACK 01 AUDIO\r\n"
        "    TITLE \"Intro\"\r\n"
        "    INDEX 01 00:00:00\r\n"
        "  TRACK 02 AUDIO\r\n"
        "    TITLE Words Without Quotes\r\n"
        "    PERFORMER \"Guest\"\r\n"
        "    INDEX 00 03:14:70\r\n"
        "    INDEX 01 03:15:42\r\n"
        "  track 3 audio\r\n"
        "    index 01 100:00:00\r\n";
    l3::CueSheet sheet;
    l3::CueProblem problem;
    ASSERT_TRUE(l3::readCueSheet(text, sheet, problem)) << problem.line << problem.message;
    EXPECT_EQ(sheet.title, "Live");
    ASSERT_EQ(sheet.tracks.size(), 3u);
    const struct {
        int number;
        const char *title, *performer;
        int64_t start;
    } want[] = {{1, "Intro", "The Band", 0},
                {2, "Words Without Quotes", "Guest", (3 * 60 + 15) * 75 + 42},
                {3, "", "The Band", 100 * 60 * 75}};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(sheet.tracks[k].number, want[k].number);
        EXPECT_EQ(sheet.tracks[k].title, want[k].title);
        EXPECT_EQ(sheet.tracks[k].performer, want[k].performer);
        EXPECT_EQ(sheet.tracks[k].start, want[k].start);
    }
}

// Bytes that are not UTF-8 are read as Latin-1; UTF-8 stays as it is.
TEST(CueSheet, Latin1BecomesUtf8) {
    for (const auto& [title, utf8] :
         {std::pair<std::string, std::string>{"\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
          {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
          {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"}}) {  // a surrogate is not UTF-8
        l3::CueSheet sheet;
        l3::CueProblem problem;
        ASSERT_TRUE(l3::readCueSheet("FILE a MP3\nTRACK 01 AUDIO\nTITLE \"" + title +
                                         "\"\nINDEX 01 00:00:00\n",
                                     sheet, problem));
        EXPECT_EQ(sheet.tracks[0].title, utf8);
    }
}

TEST(CueSheet, MalformedSheetsNameTheirLine) {
    const std::string head = "FILE a MP3\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";  // lines 1-3
    const struct {
        std::string text;
        int line;
        const char* says;
    } cases[] = {
        {head + "TRACK 02 AUDIO\nTITLE \"open\n", 5, "not closed"},
        {head + "TRACK AUDIO\n", 4, "number"},
        {head + "TRACK 02 MODE1/2352\nINDEX 01 00:01:00\n", 4, "not audio"},
        {head + "TRACK 02 AUDIO\nINDEX 01 00:60:00\n", 5, "mm:ss:ff"},
        {head + "TRACK 02 AUDIO\nINDEX 01 00:01:75\n", 5, "mm:ss:ff"},
        {head + "TRACK 02 AUDIO\nTRACK 03 AUDIO\nINDEX 01 00:02:00\n", 5, "no INDEX 01"},
        {head + "TRACK 02 AUDIO\nINDEX 01 00:00:00\n", 5, "does not start after"},
        {head + "FILE b MP3\n", 4, "second FILE"},
        {head + "TRACK 02 AUDIO\n", 4, "no INDEX 01"},
        {"TRACK 01 AUDIO\nINDEX 01 00:00:00\n", 1, "before any FILE"},
        {"REM nothing\n", 0, "no track"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        l3::CueSheet sheet;
        l3::CueProblem problem;
        EXPECT_FALSE(l3::readCueSheet(c.text, sheet, problem));
        EXPECT_EQ(problem.line, c.line);
        EXPECT_NE(problem.message.find(c.says), std::string::npos) << problem.message;
    }
}

}  // namespace
