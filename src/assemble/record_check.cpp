#include "assemble/record_check.h"

#include "assemble/assembler_state.h"
#include "framewriter/frame_length.h"

namespace l3 {

namespace {

RecordProblem problem(const char* field, int64_t value, const char* reason) {
    RecordProblem p;
    p.field = field;
    p.value = value;
    p.reason = reason;
    return p;
}

}  // namespace

RecordProblem checkRecord(const AssemblerState& state, int32_t ancillaryBits) {
    const FrameRecord& rec = state.record;
    const uint32_t header = rec.header;
    if (versionCode(header) == 1)
        return problem("version code (header bits 20-19)", 1, "is reserved");
    if (samplingIndex(header) == 3) return problem("sampling_frequency", 3, "is reserved");
    if (!hasFrameLength(header))
        return problem("bitrate_index", bitrateIndex(header), "gives no frame length");
    if (ancillaryBits > kMaxAncillaryBits)
        return problem("ancillaryBits", ancillaryBits, "is above 8192");

    // Main data and ancillary bits are placed at or above the frame's start, reaching back
    // main_data_begin bytes; in the first frames that can reach above the store's top.
    const int64_t frameStart = state.store.writePos;
    const bool raw = rec.rawMainData != 0;
    const int64_t mainDataBegin = state.firstFrame ? 0 : rec.main_data_begin;
    const int64_t anchor = raw ? frameStart : frameStart + 8 * mainDataBegin;
    if (!raw && anchor > kStoreTopBit)
        return problem("main_data_begin", rec.main_data_begin,
                       "reaches above the top of the bit store");
    if (anchor + (ancillaryBits > 0 ? ancillaryBits : 0) > kStoreTopBit)
        return problem("ancillaryBits", ancillaryBits,
                       "with main_data_begin reaches above the top of the bit store");
    return {};
}

}  // namespace l3
