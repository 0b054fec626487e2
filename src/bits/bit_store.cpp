#include "bits/bit_store.h"

#include <algorithm>

namespace l3 {

void initBitStore(BitStore& store) {
    store.storeBytes.fill(0);
    store.writePos = kInitialWritePos;
    store.emitIndex = kInitialEmitIndex;
}

void putBitString(BitStore& store, const uint8_t* source, int32_t bitCount, int32_t base) {
    if (bitCount <= 0) return;
    // Seven source bytes at a time: their bits, most significant first, ORed in just below
    // the part already placed.
    const int32_t top = base + bitCount;
    for (int32_t done = 0; done < bitCount; done += 56) {
        const int n = std::min(bitCount - done, 56);
        const int bytes = (n + 7) / 8;
        uint64_t chunk = 0;
        for (int k = 0; k < bytes; ++k) chunk = chunk << 8 | source[done / 8 + k];
        chunk >>= 8 * bytes - n;
        const int32_t low = top - done - n;
        uint8_t* p = store.storeBytes.data() + (low >> 3);
        storeWord(p, loadWord(p) | chunk << (low & 7));
    }
    store.writePos = base;
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
