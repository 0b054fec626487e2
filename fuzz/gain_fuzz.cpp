// libFuzzer target: l3 gain's library on any bytes. A change with undo information, undone,
// gives the input back (frame CRCs included, wrong ones too); a change that could not be
// undone so is refused (Status::inexact), never recorded. Undo never reads outside a damaged
// APEv2 tag.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "l3/edit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    l3::undoGain(data, size);
    const int steps = size > 0 ? static_cast<int8_t>(data[0]) % 8 : 1;
    const l3::GainResult changed = l3::applyGain(data, size, {steps, -1, true});
    if (changed.status != l3::Status::ok || changed.clamped > 0) return 0;
    // No step is no change, and records nothing to undo.
    if (steps == 0) {
        if (changed.output.size() != size || !std::equal(data, data + size, changed.output.begin()))
            std::abort();
        return 0;
    }
    // The undo finds its item and the frames the change changed.
    const l3::GainResult back = l3::undoGain(changed.output.data(), changed.output.size());
    if (back.status != l3::Status::ok) std::abort();
    // Input without an APEv2 tag comes back byte for byte.
    constexpr std::string_view kApe = "APETAGEX";
    const bool apeTag = std::search(data, data + size, kApe.begin(), kApe.end()) != data + size;
    if (!apeTag &&
        (back.output.size() != size || !std::equal(data, data + size, back.output.begin())))
        std::abort();
    return 0;
}
