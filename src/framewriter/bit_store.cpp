#include "framewriter/bit_store.h"

#include <algorithm>

namespace l3 {

void initBitStore(BitStore& store) {
    store.storeBytes.fill(0);
    store.writePos = kInitialWritePos;
    store.emitIndex = kInitialEmitIndex;
}

void putBitString(BitStore& store, const uint8_t* source, int32_t bitCount, int32_t base) {
    if (bitCount <= 0) return;
    store.writePos = base + bitCount;
    int32_t j = 0;
    for (; 8 * j < bitCount - 8; ++j) putBits(store, source[j], 8);
    int r = bitCount - 8 * j;  // 1..8 bits left: the top r bits of byte j
    putBits(store, static_cast<uint32_t>(source[j] >> (8 - r)), r);
}

void clearAhead(BitStore& store) {
    int32_t top = store.writePos / 8;  // first byte not cleared
    int32_t bottom = std::max(top - kClearAheadBytes, 0);
    if (top > bottom) std::memset(store.storeBytes.data() + bottom, 0, top - bottom);
}

void takeBytes(BitStore& store, uint8_t* destination, int32_t count) {
    uint8_t* low = store.storeBytes.data() + store.writePos / 8;
    for (int32_t i = 0; i < count; ++i) destination[i] = low[count - 1 - i];
    std::memset(low, 0, count);
}

void relocate(BitStore& store) {
    if (store.emitIndex >= kStoreHalfBytes) return;
    std::memcpy(store.storeBytes.data() + kStoreHalfBytes, store.storeBytes.data(),
                kStoreHalfBytes);
    store.writePos += kStoreHalfBytes * 8;
    store.emitIndex += kStoreHalfBytes;
}

}  // namespace l3
