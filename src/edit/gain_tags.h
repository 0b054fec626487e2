#pragma once
// Loudness written as tags, the audio left alone: ReplayGain 2.0 values (the gain that
// brings a track or album to the reference loudness, its peak, the reference) as ID3v2
// TXXX frames in the file's leading tag (one is added at the front where there is none),
// and as APEv2 items where the file already has an APEv2 tag. Not a byte of any frame
// changes: players that read the tags apply the gain themselves. The result is read back
// before it is handed out: the same frames, shifted by the leading tag's change in length,
// the texts in the ID3v2 tag and the items in the APEv2 tag.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edit/gain.h"
#include "format/id3v2_user_text.h"

namespace l3 {

// What was measured, in the units the tags take.
struct LoudnessTags {
    double trackGain = 0;  // dB to the reference
    double trackPeak = 0;  // largest magnitude, 1 = full scale
    bool album = false;    // the album's values too
    double albumGain = 0, albumPeak = 0;
    double reference = -18;  // LUFS
};

// REPLAYGAIN_TRACK_GAIN "-6.52 dB", REPLAYGAIN_TRACK_PEAK "0.988553", the album's two with
// tags.album, and REPLAYGAIN_REFERENCE_LOUDNESS "-18.00 LUFS", in that order. Gains with two
// decimals, peaks with six, as ReplayGain 2.0 readers read them.
std::vector<UserText> replayGainTexts(const LoudnessTags& tags);

// Every REPLAYGAIN_* text of those five in the ID3v2 tag (and the APEv2 tag) is replaced
// by texts: a value of an earlier run (an album's too) never stays beside the new ones.
// Status::notLayer3 without frames, Status::tagRefused (with the reason) for an ID3v2 tag that
// cannot be rewritten, Status::inexact where the result would not read back as written.
GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts,
                         ByteStore& out);
GainResult writeGainTags(const uint8_t* input, size_t size, const std::vector<UserText>& texts);

}  // namespace l3
