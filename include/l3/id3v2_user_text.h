#pragma once
// User text frames (TXXX: a description and a value) in a file's leading ID3v2 tag, as
// ReplayGain values are kept there: read out, and the tag rewritten with some of them
// replaced. Frames are walked by their own sizes inside the tag's; nothing outside the
// tag's bytes is read. Every other frame is kept byte for byte, in order.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace l3 {

struct UserText {
    std::string description;  // ASCII
    std::string value;        // ASCII
};

struct Id3v2Rewrite {
    bool ok = false;
    std::string message;       // why the tag cannot be rewritten
    std::vector<uint8_t> tag;  // the new tag, header to end
};

// tag: the bytes of a leading ID3v2 tag (header to end), or empty for none. Every TXXX
// frame whose description is one of drop (in any case) is dropped and texts are added
// after the other frames, in the tag's own version (2.3 or 2.4, sizes as that
// version writes them) as Latin-1 text; without a tag a version 2.4 tag holds them alone.
// An extended header is dropped (its CRC and restrictions would describe the old frames);
// a footer stays; the tag keeps its length where the padding it had leaves room, else it
// gets none. Not ok (nothing made) for a tag that cannot be walked so: version 2.2 or
// another, an unsynchronised tag, a frame with an unreadable ID or running past the tag.
Id3v2Rewrite replaceUserTexts(std::span<const uint8_t> tag, const std::vector<std::string>& drop,
                              const std::vector<UserText>& texts);

// The TXXX frames of a tag whose text can be read (no compression, encryption or
// unsynchronisation of the frame), in order; text outside ASCII reads as '?'. Empty for a
// tag replaceUserTexts would refuse.
std::vector<UserText> readUserTexts(std::span<const uint8_t> tag);

}  // namespace l3
