// libFuzzer target: l3 repack's library on any bytes. Each input is repacked once, which
// is most of a run: odd sizes with --huffman (the recoding), even sizes without (the
// decoding beside the layout plan). A result it hands out has been read back and compared
// frame by frame (repack's own check: Status::verify is a fault). One input size in eight
// also repacks the result again, which must give no more bytes (a minimal layout is a fixed
// point). The choices come from the size so that a failing input fails again alone.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "l3/edit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    l3::RepackOptions options;
    options.huffman = (size & 1) != 0;
    const l3::RepackResult r = l3::repackStream(data, size, options);
    if (r.status == l3::Status::verify) std::abort();  // the result did not read back right
    if (r.status != l3::Status::ok || (size >> 1) % 8 != 0) return 0;
    const l3::RepackResult again = l3::repackStream(r.output.data(), r.output.size(), options);
    if (again.status != l3::Status::ok || again.output.size() > r.output.size()) std::abort();
    return 0;
}
