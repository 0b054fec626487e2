// libFuzzer target: l3disassemble's split of a Layer III file, through the streaming
// reader. The split checks itself by assembling its records; beyond not crashing, a
// success must leave records whose head counts the frames it reports and whose size
// matches, and the input fed in pieces (their size taken from the first byte; the check on
// its own thread when that byte is odd, as l3disassemble runs it) must give the very same
// outcome, records and ancillary bytes as the whole buffer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "disassemble/disassembler.h"
#include "l3/frame_record.h"

namespace {

bool sameInPieces(const uint8_t* data, size_t size, size_t piece, const l3::DisassembleResult& r) {
    l3::Disassembly d;
    d.checkOnThread = size > 0 && (data[0] & 1) != 0;
    std::vector<uint8_t> records(l3::kHeadBytes), ancillary;
    bool ok = true;
    for (size_t at = 0; ok && at < size; at += piece) {
        ok = l3::feedDisassembly(d, data + at, std::min(piece, size - at));
        records.insert(records.end(), d.recordBytes.begin(), d.recordBytes.end());
        ancillary.insert(ancillary.end(), d.ancillaryBytes.begin(), d.ancillaryBytes.end());
        d.recordBytes.clear();
        d.ancillaryBytes.clear();
    }
    if (ok) ok = l3::finishDisassembly(d);
    if (d.status != r.status || d.message != r.message) return false;
    if (!ok) return true;
    records.insert(records.end(), d.recordBytes.begin(), d.recordBytes.end());
    ancillary.insert(ancillary.end(), d.ancillaryBytes.begin(), d.ancillaryBytes.end());
    std::copy(d.head, d.head + l3::kHeadBytes, records.begin());
    return records == r.records && ancillary == r.ancillary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const l3::DisassembleResult r = l3::disassemble(data, size, nullptr);
    const size_t piece = size > 0 ? 1 + data[0] * 7u : 1;
    if (!sameInPieces(data, size, piece, r)) std::abort();
    if (r.status != l3::Status::ok) {
        if (r.message.empty()) std::abort();  // every failure explains itself
        // Records that do not rebuild their input are a fault of the reader or the
        // writer, never of the input.
        if (r.status == l3::Status::verify) std::abort();
        return 0;
    }
    if (r.records.size() < l3::kHeadBytes) std::abort();
    const l3::RecordFileHead head = l3::decodeRecordFileHead(r.records.data());
    const size_t records = r.frames + (r.closingRecord ? 1 : 0);
    if (head.frameCount < 0 || static_cast<size_t>(head.frameCount) != records) std::abort();
    if (r.records.size() != l3::kHeadBytes + records * l3::kRecordEntryBytes) std::abort();
    return 0;
}
