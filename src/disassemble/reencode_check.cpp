#include "disassemble/reencode_check.h"

#include <cstring>

#include "bits/bit_reader.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"

namespace l3 {

bool reencodesExactly(MainDataState& state, const FrameRecord& record, const uint8_t* stream,
                      int64_t mainStart, int64_t mainBits) {
    writeMainDataAlone(state, record);
    const BitStore& store = state.store;
    const int32_t topByte = kScratchTopByte;
    const int32_t base = 8 * topByte;

    // Store position base - 1 - j holds the j-th bit of the written main data: store byte
    // topByte - 1 - i holds its i-th byte, most significant bit first, as the stream does.
    if (mainStart % 8 != 0) {
        for (int64_t j = 0; j < mainBits; ++j) {
            const int32_t p = base - 1 - static_cast<int32_t>(j);
            const int written = (store.storeBytes[p >> 3] >> (p & 7)) & 1;
            if (written != bitAt(stream, mainStart + j)) return false;
        }
        return true;
    }
    const uint8_t* read = stream + mainStart / 8;
    const uint8_t* written = store.storeBytes.data() + topByte - 1;
    const int64_t wholeBytes = mainBits / 8;
    for (int64_t i = 0; i < wholeBytes; ++i)
        if (written[-i] != read[i]) return false;
    const int lastBits = static_cast<int>(mainBits % 8);
    if (lastBits == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF00 >> lastBits);
    return ((written[-wholeBytes] ^ read[wholeBytes]) & mask) == 0;
}

}  // namespace l3
