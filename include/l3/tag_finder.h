#pragma once
// The tags that surround the frames of a file: ID3v2 at the start; ID3v1, APEv2, Lyrics3
// (version 1 or 2) and an appended ID3v2 (found by its footer) at the end, in any order.
// Tags are found by their own framing (magic, size fields); their contents are not
// interpreted. The one place that knows these framings: l3 info and check, the edits and the
// disassembler all find tags here.

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

// The bytes an ID3v2 header at the start of data claims for its tag: ten of head, the body
// its four 7-bit size bytes count, ten more when its footer flag is set; 0 when data does
// not start with one. The claim may run past size (a reader may wait for the rest).
// strictVersion: the two version bytes must also be below 0xFF, as findTags requires; the
// disassembler looks at the magic and the size alone.
size_t id3v2Claim(const uint8_t* data, size_t size, bool strictVersion);

// True when a tag's magic starts at offset: ID3v1 "TAG", APEv2 "APETAGEX" or ID3v2 "ID3",
// the tags that may follow the last frame of a stream.
bool tagMagicAt(const uint8_t* data, size_t size, size_t offset);

}  // namespace l3
