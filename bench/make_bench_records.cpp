// make_bench_records STREAM.mp3 FRAMES OUT.records OUT.ancillary
// Disassembles a stream and writes its records repeated to at least FRAMES records.

#include <cstdio>
#include <cstdlib>

#include "bench_records.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: make_bench_records STREAM.mp3 FRAMES OUT.records OUT.ancillary\n");
        return 1;
    }
    const l3bench::DecodedStream stream = l3bench::loadStream(argv[1]);
    std::vector<uint8_t> records, ancillary;
    l3bench::writeRepeated(stream, std::atoll(argv[2]), records, ancillary);
    for (auto [path, bytes] : {std::pair{argv[3], &records}, std::pair{argv[4], &ancillary}}) {
        FILE* f = std::fopen(path, "wb");
        if (!f || std::fwrite(bytes->data(), 1, bytes->size(), f) != bytes->size() ||
            std::fclose(f)) {
            std::fprintf(stderr, "cannot write %s\n", path);
            return 2;
        }
    }
    return 0;
}
