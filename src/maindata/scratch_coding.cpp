#include <cstring>

#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"

namespace l3 {

namespace {
// One frame's main data (at most 4 x 4095 bits) and its overrun fit in this many bytes.
constexpr int32_t kScratchBytes = 4096;
}  // namespace

int32_t writeMainDataAlone(MainDataState& state, const FrameRecord& record) {
    BitStore& store = state.store;
    std::memset(store.storeBytes.data() + kScratchTopByte - kScratchBytes, 0,
                kScratchBytes + (kStoreBytes - kScratchTopByte));
    state.record = record;
    state.problem = {};
    store.writePos = 8 * kScratchTopByte;
    if (isMpeg1(record.header))
        writeMainDataMpeg1(state);
    else
        writeMainDataLsf(state);
    return 8 * kScratchTopByte - store.writePos;
}

}  // namespace l3
