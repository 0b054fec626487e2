#include "bench_records.h"

#include <cstdio>
#include <cstdlib>

#include "format/byte_order.h"
#include "disassemble/disassembler.h"

namespace l3bench {

DecodedStream loadStream(const std::string& path) {
    std::vector<uint8_t> mp3;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t block[1 << 16];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, f)) > 0)
            mp3.insert(mp3.end(), block, block + n);
        std::fclose(f);
    } else {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    const l3::DisassembleResult result = l3::disassemble(mp3.data(), mp3.size(), nullptr);
    if (result.status != l3::Status::ok) {
        std::fprintf(stderr, "cannot disassemble %s: %s\n", path.c_str(), result.message.c_str());
        std::exit(2);
    }
    DecodedStream stream;
    const l3::RecordFileHead head = l3::decodeRecordFileHead(result.records.data());
    size_t share = 0;
    for (int32_t k = 0; k < head.frameCount; ++k) {
        const uint8_t* entry = result.records.data() + l3::kHeadBytes + l3::kRecordEntryBytes * k;
        l3::FrameRecord record;
        l3::decodeFrameRecord(entry, record);
        const int32_t bits = static_cast<int32_t>(l3::loadLe32(entry + l3::kRecordBytes));
        const size_t bytes = bits > 0 ? static_cast<size_t>(std::min(bits, 1024)) : 0;
        stream.records.push_back(record);
        stream.ancillaryBits.push_back(bits);
        stream.shares.emplace_back(result.ancillary.begin() + share,
                                   result.ancillary.begin() + share + bytes);
        share += bytes;
    }
    stream.trailing.assign(result.ancillary.begin() + share, result.ancillary.end());
    return stream;
}

void writeRepeated(const DecodedStream& stream, int64_t frames, std::vector<uint8_t>& records,
                   std::vector<uint8_t>& ancillary) {
    const int64_t n = static_cast<int64_t>(stream.records.size());
    const int64_t repeats = (frames + n - 1) / n;
    records.assign(l3::kHeadBytes + l3::kRecordEntryBytes * n * repeats, 0);
    ancillary.clear();
    l3::encodeRecordFileHead({static_cast<int32_t>(n * repeats), 0, -1}, records.data());
    uint8_t* at = records.data() + l3::kHeadBytes;
    for (int64_t r = 0; r < repeats; ++r)
        for (int64_t k = 0; k < n; ++k) {
            l3::encodeFrameRecord(stream.records[k], at);
            l3::storeLe32(at + l3::kRecordBytes, static_cast<uint32_t>(stream.ancillaryBits[k]));
            at += l3::kRecordEntryBytes;
            ancillary.insert(ancillary.end(), stream.shares[k].begin(), stream.shares[k].end());
        }
    ancillary.insert(ancillary.end(), stream.trailing.begin(), stream.trailing.end());
}

}  // namespace l3bench
