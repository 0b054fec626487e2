#pragma once
// Cue sheets: the track list of a recording (a CD's, an album ripped as one file), read
// for `l3 split --cue`. A sheet is lines of commands; those that matter here:
//
//   PERFORMER "Artist"            (before the first TRACK: the album's; after: the track's)
//   TITLE "Album"                 (the same)
//   FILE "album.mp3" MP3
//   TRACK 01 AUDIO
//     INDEX 01 03:15:42           (minutes:seconds:frames, 75 frames a second)
//
// Other commands (REM, INDEX 00, PREGAP, ISRC, FLAGS, CATALOG, ...) are read over. Text in
// UTF-8 (a byte order mark is skipped) or, where the bytes are not UTF-8, Latin-1, which is
// turned into UTF-8.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace l3 {

struct CueTrack {
    int number = 0;          // as written (1..99)
    std::string title;       // UTF-8; empty when the sheet has none
    std::string performer;   // the track's, else the album's
    int64_t start = 0;       // INDEX 01, in 1/75 s
};

struct CueSheet {
    std::string title;      // the album's
    std::string performer;  // the album's
    std::vector<CueTrack> tracks;
};

struct CueProblem {
    int line = 0;  // 1-based; 0 for the sheet as a whole
    std::string message;
};

// Reads a sheet. False (problem set) where a command that matters is malformed (a TRACK
// without its number, an INDEX whose time does not parse, a string not closed), where a
// track has no INDEX 01, where tracks do not start in increasing order, where a second FILE
// follows the first, or where the sheet has no track.
bool readCueSheet(std::string_view text, CueSheet& sheet, CueProblem& problem);

}  // namespace l3
