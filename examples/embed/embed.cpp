// embed RECORDFILE ANCILLARYFILE OUTPUT: what l3assemble does, through the public API, one
// record at a time. Run from examples/ as `embed example.records example.ancillary OUT`,
// it writes example.mp3 byte for byte.

#include <l3/assemble.h>
#include <l3/record.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool toFile(void* context, const uint8_t* bytes, size_t count) {
    return std::fwrite(bytes, 1, count, static_cast<FILE*>(context)) == count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: embed RECORDFILE ANCILLARYFILE OUTPUT\n");
        return 1;
    }
    const std::vector<uint8_t> records = readFile(argv[1]);
    const std::vector<uint8_t> ancillary = readFile(argv[2]);
    if (records.size() < l3::kHeadBytes) {
        std::fprintf(stderr, "embed: %s is not a record file\n", argv[1]);
        return 3;
    }
    FILE* out = std::fopen(argv[3], "wb");
    if (!out) {
        std::perror(argv[3]);
        return 2;
    }

    const l3::RecordFileHead head = l3::decodeRecordFileHead(records.data());
    l3::Assembler assembler(toFile, out, head.outputLimit);
    l3::FrameRecord record;
    size_t at = l3::kHeadBytes, share = 0;
    for (int32_t k = 0; k < head.frameCount; ++k, at += l3::kRecordEntryBytes) {
        if (records.size() < at + l3::kRecordEntryBytes) {
            std::fprintf(stderr, "embed: %s ends after %d frames\n", argv[1], k);
            return 3;
        }
        l3::decodeFrameRecord(records.data() + at, record);
        const uint8_t* countBytes = records.data() + at + l3::kRecordBytes;
        const int32_t bits =
            static_cast<int32_t>(countBytes[0] | countBytes[1] << 8 | countBytes[2] << 16 |
                                 static_cast<uint32_t>(countBytes[3]) << 24);
        // Each record with ancillary bits takes min(bits, 1024) bytes of the ancillary file.
        size_t take = bits > 0 ? static_cast<size_t>(bits < 1024 ? bits : 1024) : 0;
        if (take > ancillary.size() - share) take = ancillary.size() - share;
        if (!assembler.addFrame(record, bits, ancillary.data() + share, take)) break;
        share += take;
    }
    // What follows the last share is copied after the frames.
    if (assembler.result().status == l3::Status::ok)
        assembler.finish(ancillary.data() + share, ancillary.size() - share);
    std::fclose(out);
    if (assembler.result().status != l3::Status::ok) {
        std::fprintf(stderr, "embed: %s (%s)\n", assembler.result().message.c_str(),
                     l3::statusName(assembler.result().status));
        return 1;
    }
    std::printf("%d frames written through the l3 library\n", assembler.framesAdded());
    return 0;
}
