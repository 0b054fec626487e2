#pragma once
// Lossless volume change: N added to every granule's global_gain (steps of 1.5 dB) in every
// audio frame, frame CRCs recomputed, every other byte as it was. The undo information is
// kept in an APEv2 tag item, MP3GAIN_UNDO, whose value ("-002,-002,N") is the gain to add to
// the left and right channel to undo every change so far and whether wrapping was allowed,
// the form other gain tools read and write; the tag goes after the frames, before an ID3v1
// tag. A change that holds values at 0 or 255 cannot be undone exactly: the tag then also
// gets an item L3_UNDO_INEXACT counting the values held so far (other gain tools, which write
// the same MP3GAIN_UNDO value after such a change, keep no record of it). A change of 0 steps
// changes nothing: the output is the input's bytes, without an undo item.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "l3/status.h"

namespace l3 {

struct GainOptions {
    int steps = 0;
    int channel = -1;  // 0 or 1: that channel only (stereo or dual channel streams); -1 both
    bool tag = true;   // write or update the undo item
};

struct GainResult {
    Status status = Status::ok;
    std::string message;
    std::vector<uint8_t> output;
    size_t frames = 0;   // audio frames changed
    size_t clamped = 0;  // global_gain values held at 0 or 255
    size_t inexact = 0;  // undoGain: values an earlier change held (L3_UNDO_INEXACT)
};

GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options);

// Applies the undo gains the file's MP3GAIN_UNDO item records and removes the item (and
// L3_UNDO_INEXACT, and the APEv2 tag when those were its only items), giving back the bytes
// before the first change (but for values a change held at 0 or 255: result.inexact).
GainResult undoGain(const uint8_t* input, size_t size);

// Where a result is made piece by piece and then read back whole: a vector, or a file
// mapped once written, so that a long file is changed in bounded memory.
struct ByteStore {
    virtual ~ByteStore() = default;
    // Appends bytes; false on a write error.
    virtual bool append(const uint8_t* bytes, size_t size) = 0;
    // Everything appended, readable while the store lives; false on an error.
    virtual bool finish(std::span<const uint8_t>& bytes) = 0;
};

// A store in memory.
struct VectorStore : ByteStore {
    std::vector<uint8_t> bytes;
    bool append(const uint8_t* from, size_t size) override {
        bytes.insert(bytes.end(), from, from + size);
        return true;
    }
    bool finish(std::span<const uint8_t>& all) override {
        all = bytes;
        return true;
    }
};

// The same changes made through stores: the result goes to out frame by frame (nothing is
// kept per frame) and is checked there; scratch holds the undo of a change that records one
// when it cannot be checked against the input as it is made. result.output stays empty;
// Status::io when a store fails. The result in out is to be used only with Status::ok.
GainResult applyGain(const uint8_t* input, size_t size, const GainOptions& options,
                     ByteStore& out, ByteStore& scratch);
GainResult undoGain(const uint8_t* input, size_t size, ByteStore& out);

}  // namespace l3
