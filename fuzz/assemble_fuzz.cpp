// libFuzzer target: a whole l3assemble run in memory. The input's first two bytes give the
// length of the ancillary file that follows them; the rest is the record file.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/byte_order.h"
#include "assemble/run_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t ancillaryBytes = std::min<size_t>(l3::loadLe16(data), size - 2);
    const uint8_t* ancillary = data + 2;
    const uint8_t* records = ancillary + ancillaryBytes;
    std::vector<uint8_t> output;
    l3::assembleInMemory(records, size - 2 - ancillaryBytes, ancillary, ancillaryBytes, output);
    return 0;
}
