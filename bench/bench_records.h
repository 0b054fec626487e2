#pragma once
// Benchmark input: a real stream disassembled into records, repeated to any length.

#include <cstdint>
#include <string>
#include <vector>

#include "l3/frame_record.h"

namespace l3bench {

struct DecodedStream {
    std::vector<l3::FrameRecord> records;
    std::vector<int32_t> ancillaryBits;
    std::vector<std::vector<uint8_t>> shares;  // each record's ancillary bytes
    std::vector<uint8_t> trailing;             // ancillary bytes after the last share
};

// Disassembles an MP3 file; exits the process with a message if it cannot.
DecodedStream loadStream(const std::string& path);

// A record file and ancillary file holding the stream's records repeated until at least
// `frames` records, with no output byte limit.
void writeRepeated(const DecodedStream& stream, int64_t frames, std::vector<uint8_t>& records,
                   std::vector<uint8_t>& ancillary);

}  // namespace l3bench
