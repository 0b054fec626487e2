#pragma once
// ID3v2.4 tags of text frames (title, artist, album, track number, ...), as the pieces of
// `l3 split --cue` carry them.

#include <cstdint>
#include <string>
#include <vector>

namespace l3 {

struct TextFrame {
    char id[5];         // "TIT2", "TPE1", "TALB", "TRCK", ...
    std::string value;  // UTF-8
};

// An ID3v2.4 tag holding the frames whose value is not empty, each as UTF-8 text (encoding
// byte 3), sizes syncsafe, no padding, no flags. Empty when no frame has a value.
std::vector<uint8_t> id3v24TextTag(const std::vector<TextFrame>& frames);

}  // namespace l3
