// libFuzzer target: l3 repack's library on any bytes, with and without --huffman. A result
// it hands out must itself repack to the same bytes (a minimal layout is a fixed point).

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "edit/repack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const bool huffman : {false, true}) {
        l3::RepackOptions options;
        options.huffman = huffman;
        const l3::RepackResult r = l3::repackStream(data, size, options);
        if (r.status == l3::kRepackVerify) std::abort();  // the result did not read back right
        if (r.status != l3::kEditOk) continue;
        const l3::RepackResult again = l3::repackStream(r.output.data(), r.output.size(), options);
        if (again.status != l3::kEditOk || again.output.size() > r.output.size()) std::abort();
    }
    return 0;
}
