#pragma once
// The one run-wide state of l3assemble: the frame writer's state (which holds the main
// data writers' state) and the run driver's own members.

#include <cstdint>

#include "framewriter/frame_writer_state.h"

namespace l3 {

struct AssemblerState : FrameWriterState {
    int64_t recordSize = 0;  // record file size, less a trailing 128-byte tag
};

}  // namespace l3
