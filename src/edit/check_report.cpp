#include "l3/inspect.h"

#include <algorithm>
#include <span>

namespace l3 {

namespace {

bool isMusicCrc(const Fault& f) {
    return f.kind == FaultKind::music_crc;
}

void forgiveRecordedGain(StreamReport& report, const uint8_t* data, size_t size,
                         ByteStore* scratch) {
    if (std::none_of(report.faults.begin(), report.faults.end(), isMusicCrc)) return;
    std::span<const uint8_t> bytes;
    GainResult undone;
    undone.status = Status::io;
    if (scratch) undone = undoGain(data, size, *scratch);
    if (undone.status == Status::io) {  // no scratch file: in memory
        undone = undoGain(data, size);
        bytes = undone.output;
    } else if (undone.status == Status::ok && !scratch->finish(bytes)) {
        return;
    }
    if (undone.status != Status::ok) return;
    // A change that held values at 0 or 255 cannot be undone exactly, and says so: the
    // music CRC of the original bytes cannot be checked then.
    if (undone.inexact > 0) {
        std::erase_if(report.faults, isMusicCrc);
        return;
    }
    const StreamReport original = inspectStream(bytes.data(), bytes.size());
    if (std::none_of(original.faults.begin(), original.faults.end(), isMusicCrc))
        std::erase_if(report.faults, isMusicCrc);
}

}  // namespace

StreamReport checkStream(const uint8_t* data, size_t size, ByteStore* scratch,
                         const WalkProgress& progress) {
    StreamReport report = inspectStream(data, size, progress);
    forgiveRecordedGain(report, data, size, scratch);
    return report;
}

size_t salvageableFaults(const StreamReport& r) {
    size_t n = 0;
    int64_t start = static_cast<int64_t>(r.firstAudio);  // the next frame of such a start
    for (const Fault& f : r.faults) {
        if (f.kind == FaultKind::reservoir_underflow && f.frame == start) {
            ++start;
            continue;
        }
        n += f.kind == FaultKind::junk || f.kind == FaultKind::truncated_frame ||
             f.kind == FaultKind::huffman_error || f.kind == FaultKind::side_info_invalid ||
             f.kind == FaultKind::reservoir_underflow;
    }
    return n;
}

}  // namespace l3
