// libFuzzer target: l3disassemble's whole split of a Layer III file held in memory. The
// split checks itself by assembling its records; beyond not crashing, a success must
// leave records whose head counts the frames it reports and whose size matches.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "format/frame_record.h"
#include "disassemble/disassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const l3::DisassembleResult r = l3::disassemble(data, size, nullptr);
    if (r.exitCode != l3::kDisOk) {
        if (r.message.empty()) std::abort();  // every failure explains itself
        return 0;
    }
    if (r.records.size() < l3::kHeadBytes) std::abort();
    const l3::RecordFileHead head = l3::decodeRecordFileHead(r.records.data());
    const size_t records = r.frames + (r.closingRecord ? 1 : 0);
    if (head.frameCount < 0 || static_cast<size_t>(head.frameCount) != records) std::abort();
    if (r.records.size() != l3::kHeadBytes + records * l3::kRecordEntryBytes) std::abort();
    return 0;
}
