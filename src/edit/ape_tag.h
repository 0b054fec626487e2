#pragma once
// APEv2 tags after the frames, as gain tools keep their undo and loudness items in them:
// the items of a file's tag read out, and a tag written back with header and footer
// (version 2000), in the form those tools write. Keys compare without regard to case, as
// APEv2 readers compare them. Only bytes inside the tag found by src/format/tag_finder.h are
// read; a damaged item ends the list.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "l3/tag_finder.h"

namespace l3 {

struct ApeItem {
    std::string key;
    std::vector<uint8_t> value;
    uint32_t flags;
};

// An APEv2 tag at the end of the audio: where it is and its items, in order.
struct ApeTag {
    bool present = false;
    size_t offset = 0, length = 0;
    std::vector<ApeItem> items;
};

ApeTag findApeTag(const uint8_t* data, const TagLayout& tags);

// Appends a tag with header and footer holding items, in order.
void appendApeTag(std::vector<uint8_t>& out, const std::vector<ApeItem>& items);

// The item whose key is key (in any case), or items.end().
std::vector<ApeItem>::iterator findItem(std::vector<ApeItem>& items, std::string_view key);

// Sets the item key to text (flags 0), appending it where there is none.
void setItem(std::vector<ApeItem>& items, std::string_view key, std::string_view text);

bool sameItems(const std::vector<ApeItem>& a, const std::vector<ApeItem>& b);

// The items of a tag after a gain of steps (global_gain steps, the same in every channel;
// 0 for a change of one channel) as the other gain tool leaves them, found by experiment:
// its own items (the minimum and maximum global_gain of the track and the album, the undo
// item, the ReplayGain track and album gain and peak) go after every other item, in that
// order, their keys in capitals; a minimum and maximum ("100,210") move by steps, held to
// 0..255 (a value not of that form is kept as it is); a gain moves by 1.505 dB a step
// the other way and a peak by a factor of 2^(steps/4), both written with six decimals and
// held to +-9.999999. The undo item, updated by the caller, is only put in its place.
std::vector<ApeItem> shiftedGainItems(const std::vector<ApeItem>& items, int steps);

}  // namespace l3
