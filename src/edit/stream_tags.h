#pragma once
// What lies around a stream's frames: an ID3v2 tag at the start, tags at the end (APEv2,
// Lyrics3, ID3v1, an appended ID3v2), junk between frames, and a last frame cut short.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disassemble/stream_scanner.h"

namespace l3 {

struct StreamTags {
    size_t leadingBytes = 0;      // an ID3v2 tag at offset 0, kept
    size_t trailingTagOffset = 0; // tags from here to the end, kept
    std::vector<ByteRange> junk;  // neither frames nor tags: dropped
    size_t cutFrameOffset = 0;    // a frame cut short by a tag or the end of the file
    size_t cutFrameBytes = 0;
};

StreamTags findStreamTags(const uint8_t* data, size_t size, const StreamLayout& layout);

}  // namespace l3
