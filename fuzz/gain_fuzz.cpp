// libFuzzer target: l3 gain's library on any bytes. A change with undo information, undone,
// gives the input back (frame CRCs included, wrong ones too); undo never reads outside a
// damaged APEv2 tag.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "edit/gain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    l3::undoGain(data, size);
    const int steps = size > 0 ? static_cast<int8_t>(data[0]) % 8 : 1;
    const l3::GainResult changed = l3::applyGain(data, size, {steps, -1, true});
    if (changed.status != l3::kGainOk || changed.clamped > 0) return 0;
    const l3::GainResult back = l3::undoGain(changed.output.data(), changed.output.size());
    // The undo item can only be missed where the bytes before it read as a tag of their own
    // (such as "TAG" 128 bytes from the end): trailing tags are known by their framing alone.
    if (back.status != l3::kGainOk) return 0;
    // Input without an APEv2 tag comes back byte for byte.
    const bool apeTag = std::search(data, data + size, "APETAGEX", "APETAGEX" + 8) != data + size;
    if (!apeTag &&
        (back.output.size() != size || !std::equal(data, data + size, back.output.begin())))
        std::abort();
    return 0;
}
