// The public streaming reader (l3/disassemble.h) over the run's Disassembly: frames are
// cut out of the record entries and ancillary shares the run appends.

#include <cstring>

#include "assemble/run_driver.h"
#include "disassemble/disassembler.h"
#include "format/byte_order.h"
#include "l3/frame_record.h"
#include "l3/disassemble.h"

namespace l3 {

Disassembler::Disassembler() : d_(std::make_unique<Disassembly>()) {}

Disassembler::~Disassembler() = default;

bool Disassembler::feed(const uint8_t* bytes, size_t count) {
    return !finished_ && feedDisassembly(*d_, bytes, count);
}

bool Disassembler::finish() {
    if (finished_) return d_->status == Status::ok;
    finished_ = true;
    if (!finishDisassembly(*d_)) return false;
    const size_t trailing = d_->trailingBytes;
    trailing_.assign(d_->ancillaryBytes.end() - static_cast<std::ptrdiff_t>(trailing),
                     d_->ancillaryBytes.end());
    d_->ancillaryBytes.resize(d_->ancillaryBytes.size() - trailing);
    return true;
}

bool Disassembler::nextFrame(DisassembledFrame& frame) {
    std::vector<uint8_t>& records = d_->recordBytes;
    std::vector<uint8_t>& ancillary = d_->ancillaryBytes;
    if (recordPos_ + kRecordEntryBytes > records.size()) {
        // All taken: drop what was handed out, so that memory stays bounded.
        records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(recordPos_));
        ancillary.erase(ancillary.begin(),
                        ancillary.begin() + static_cast<std::ptrdiff_t>(ancillaryPos_));
        recordPos_ = ancillaryPos_ = 0;
        return false;
    }
    const uint8_t* entry = records.data() + recordPos_;
    decodeFrameRecord(entry, frame.record);
    frame.ancillaryBits = static_cast<int32_t>(loadLe32(entry + kRecordBytes));
    const size_t share = shareBytes(frame.ancillaryBits);
    frame.ancillary.assign(ancillary.begin() + static_cast<std::ptrdiff_t>(ancillaryPos_),
                           ancillary.begin() + static_cast<std::ptrdiff_t>(ancillaryPos_ + share));
    frame.closing = frameIndex_ == d_->frames && d_->closingRecord;
    frame.rawReason = nullptr;
    if (rawIndex_ < d_->rawNotes.size() && d_->rawNotes[rawIndex_].frame == frameIndex_)
        frame.rawReason = d_->rawNotes[rawIndex_++].reason;
    recordPos_ += kRecordEntryBytes;
    ancillaryPos_ += share;
    ++frameIndex_;
    return true;
}

Status Disassembler::status() const {
    return d_->status;
}

const std::string& Disassembler::message() const {
    return d_->message;
}

const std::vector<ByteRange>& Disassembler::skipped() const {
    return d_->skipped;
}

RecordFileHead Disassembler::head() const {
    return decodeRecordFileHead(d_->head);
}

}  // namespace l3
