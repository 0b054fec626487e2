#include "edit/frame_head.h"

#include <cstring>

#include "framewriter/frame_writer_state.h"
#include "framewriter/head_writer.h"

namespace l3 {

SideInformation sideInformationOf(const FrameRecord& record) {
    SideInformation side{record.header, record.private_bits, {}, {}};
    std::memcpy(side.scfsi, record.scfsi, sizeof side.scfsi);
    std::memcpy(side.granuleInfo, record.granuleInfo, sizeof side.granuleInfo);
    return side;
}

int32_t writeFrameHead(FrameWriterState& writer, const SideInformation& side, uint32_t header,
                       int32_t mainDataBegin, uint8_t (&out)[kMaxHeadBytes]) {
    FrameRecord& rec = writer.record;
    rec.header = header;
    rec.main_data_begin = mainDataBegin;
    rec.private_bits = side.private_bits;
    rec.rawMainData = 0;
    std::memcpy(rec.scfsi, side.scfsi, sizeof rec.scfsi);
    std::memcpy(rec.granuleInfo, side.granuleInfo, sizeof rec.granuleInfo);
    writer.firstFrame = 0;
    writer.store.writePos = kInitialWritePos;
    writeHead(writer);
    const FrameSlot& slot = writer.ring.slots[static_cast<size_t>(writeSlot(writer.ring))];
    std::memcpy(out, slot.headBytes, static_cast<size_t>(slot.headCount));
    return slot.headCount;
}

}  // namespace l3
