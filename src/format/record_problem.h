#pragma once
// A record field that cannot be written as it stands: where it is, its value and why.
// The record check and the main data writers report one; the run stops at that frame.

#include <cstdint>

namespace l3 {

struct RecordProblem {
    const char* field = nullptr;  // null: no problem
    int64_t value = 0;
    const char* reason = "";
    int granule = -1;  // -1 when the field is not per granule and channel
    int channel = -1;
    int index = -1;  // entry of a scalefactor or line of a spectral value, else -1
};

inline RecordProblem recordProblem(const char* field, int64_t value, const char* reason,
                                   int granule = -1, int channel = -1, int index = -1) {
    RecordProblem p;
    p.field = field;
    p.value = value;
    p.reason = reason;
    p.granule = granule;
    p.channel = channel;
    p.index = index;
    return p;
}

}  // namespace l3
