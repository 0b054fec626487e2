#pragma once
// Checks a record before it is written, so that a damaged record file stops the run with
// a message instead of a crash or a silently wrong stream.

#include <cstdint>

#include "assemble/assembler_state.h"

namespace l3 {

// Checks the record held in state.record, with its ancillary bit count, against what the
// frame writer can lay out at the current write position: the header, every
// side-information value the frame uses against its bit width and limits, the tables the
// coded regions name, and the reach of ancillary bits and main_data_begin. Scalefactors
// and spectral values are checked by the main data writers as they code them.
RecordProblem checkRecord(const AssemblerState& state, int32_t ancillaryBits);

}  // namespace l3
