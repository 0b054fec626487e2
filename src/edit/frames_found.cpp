#include "edit/frames_found.h"

#include <algorithm>
#include <cstdio>

#include "l3/xing_tag.h"

namespace l3 {

bool isTagFrame(const uint8_t* bytes, const WalkFrame& f) {
    return !f.truncated &&
           readXingTag(bytes + f.offset, static_cast<size_t>(f.length)).kind != XingKind::none;
}

std::string framesMoved(std::span<const uint8_t> before, std::span<const uint8_t> after,
                        const char* why, ptrdiff_t shift) {
    FrameWalker a(before.data(), before.size()), b(after.data(), after.size());
    WalkFrame fa{}, fb{};
    JunkRange junk;
    size_t offset = 0;
    bool firstMoved = false;  // told only when the frames are the same
    for (size_t k = 0;; ++k) {
        const bool inA = a.next(fa, junk), inB = b.next(fb, junk);
        if (!inA && !inB)
            return firstMoved ? "the first frame would no longer read as it did (a Xing/Info "
                                "frame or audio)"
                              : "";
        if (inA != inB) {
            offset = inA ? fa.offset : fb.offset;
            break;
        }
        // A frame cut short by the end of the audio is not changed: its length is only the
        // bytes up to the tags, which the undo item moves.
        if (fa.offset + static_cast<size_t>(shift) != fb.offset || fa.header != fb.header ||
            fa.truncated != fb.truncated || (!fa.truncated && fa.length != fb.length)) {
            offset = std::min(fa.offset, fb.offset);
            break;
        }
        if (k == 0) firstMoved = isTagFrame(before.data(), fa) != isTagFrame(after.data(), fb);
    }
    char text[300];
    std::snprintf(text, sizeof text, "from offset %zu on the frames would be found otherwise: %s",
                  offset, why);
    return text;
}

}  // namespace l3
