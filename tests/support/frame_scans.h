#pragma once
// The frame scanner run over an input held whole, as a test wants it: every frame, the junk
// ranges and where the bytes after the last frame begin. scanCarried starts it as
// l3disassemble does (after a leading ID3v2 tag that ends inside the input; the bytes
// before the first frame are skipped from offset 0).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/frame_scanner.h"
#include "l3/tag_finder.h"

namespace l3test {

struct FrameScan {
    std::vector<l3::WalkFrame> frames;
    std::vector<l3::JunkRange> skipped;  // junk before frames
    size_t trailingOffset = 0;           // the rest runs from here to the end
};

// window: bytes the scanner is shown more at a time (0: all at once), as a reader of a
// pipe would show them.
inline FrameScan scanWith(const l3::ScanRules& rules, const uint8_t* data, size_t size,
                          size_t searchFrom, size_t window = 0) {
    l3::FrameScanner scanner(rules, 0, searchFrom);
    FrameScan scan;
    size_t end = window == 0 ? size : 0;
    l3::WalkFrame frame{};
    l3::JunkRange junk;
    for (;;) {
        const l3::ScanStep step = scanner.next({data, 0, end, end == size}, frame, junk);
        if (step == l3::ScanStep::more) {
            end = size - end > window ? end + window : size;
        } else if (step == l3::ScanStep::end) {
            scan.trailingOffset = junk.offset;
            return scan;
        } else {
            if (junk.length > 0) scan.skipped.push_back(junk);
            scan.frames.push_back(frame);
        }
    }
}

inline FrameScan scanCarried(const uint8_t* data, size_t size, size_t window = 0) {
    const size_t claim = l3::id3v2Claim(data, size, false);
    return scanWith(l3::kCarriedRules, data, size, claim < size ? claim : 0, window);
}

}  // namespace l3test
