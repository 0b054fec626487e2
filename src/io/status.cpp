#include "l3/status.h"

namespace l3 {

const char* statusName(Status status) {
    static constexpr const char* kNames[kStatusCount] = {
        "ok",        "usage",    "io",     "notLayer3", "damaged",  "noUndo",   "cannotFit",
        "outOfRange", "cannotLay", "mismatch", "verify", "inexact", "badValue", "tagRefused",
        "cutShort", "badRecord", "writeFailed", "cannotCarry",
    };
    const int k = static_cast<int>(status);
    return k < kStatusCount ? kNames[k] : "unknown";
}

}  // namespace l3
