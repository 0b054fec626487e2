#pragma once
// Checks a record before it is written, so that a damaged record file stops the run with
// a message instead of a crash or a silently wrong stream.

#include <cstdint>

namespace l3 {

struct AssemblerState;

struct RecordProblem {
    const char* field = nullptr;  // null: the record can be written
    int64_t value = 0;
    const char* reason = "";
    int granule = -1;  // -1 when the field is not per granule and channel
    int channel = -1;
};

// Checks the record held in state.record, with its ancillary bit count, against what the
// frame writer can lay out at the current write position.
RecordProblem checkRecord(const AssemblerState& state, int32_t ancillaryBits);

}  // namespace l3
