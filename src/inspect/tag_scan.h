#pragma once
// The tags that surround the frames of a file: ID3v2 at the start; ID3v1, APEv2, Lyrics3
// (version 1 or 2) and an appended ID3v2 (found by its footer) at the end, in any order. Tags are found by their own framing
// (magic, size fields); their contents are not interpreted.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace l3 {

enum class TagKind { id3v2, id3v1, apev2, lyrics3 };

const char* tagName(TagKind kind);

struct TagSpan {
    TagKind kind;
    size_t offset;  // first byte of the tag in the file
    size_t length;  // in bytes, header and footer included
};

// Where the frames may lie, between the leading and the trailing tags.
struct TagLayout {
    std::vector<TagSpan> tags;  // in file order
    size_t audioStart = 0;
    size_t audioEnd = 0;
};

// Leading ID3v2 tags (several in a row are allowed) and trailing tags, peeled from the
// end one at a time. A size field that points outside the file ends the search: the bytes
// stay with the audio, where they count as junk.
TagLayout findTags(const uint8_t* data, size_t size);

}  // namespace l3
