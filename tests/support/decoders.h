#pragma once
// The decoders that judge an edit, each run as a player runs it (black boxes): mpg123
// (gapless by default), ffmpeg (gapless where a LAME extension says so) and madplay (which
// trims nothing; undithered, so that its output is a function of the stream). Each gives
// 16-bit samples, channels interleaved.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/record_file.h"
#include "support/tools.h"

namespace l3test {

enum class Decoder { mpg123, ffmpeg, madplay };

inline const char* programOf(Decoder d) {
    switch (d) {
        case Decoder::mpg123:
            return "mpg123";
        case Decoder::ffmpeg:
            return "ffmpeg";
        case Decoder::madplay:
            return "madplay";
    }
    return "?";
}

// d's output of file (in dir); gapless false asks mpg123 for its raw output. errors: what
// the decoder said on standard error.
inline std::vector<int16_t> decodePcm(const TempDir& dir, const std::string& file, Decoder d,
                                      bool gapless = true, std::string* errors = nullptr) {
    std::string args;
    switch (d) {
        case Decoder::mpg123:
            // Through a pipe: into a file, mpg123 starts it anew where the channel count
            // changes, and only the last run stays.
            args = std::string("-q -s ") + (gapless ? "" : "--no-gapless ") + shellQuote(file) +
                   " | cat";
            break;
        case Decoder::ffmpeg:
            args = "-v error -i " + shellQuote(file) + " -f s16le -";
            break;
        case Decoder::madplay:
            args = "-Q -d -o raw:- " + shellQuote(file);
            break;
    }
    const ProgramResult run = runProgram(dir, programOf(d), args);
    if (errors) *errors = run.err;
    std::vector<int16_t> pcm(run.out.size() / 2);
    if (!pcm.empty()) std::memcpy(pcm.data(), run.out.data(), pcm.size() * 2);
    return pcm;
}

}  // namespace l3test
