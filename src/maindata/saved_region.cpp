#include "maindata/saved_region.h"

#include <algorithm>

#include "maindata/main_data_state.h"

namespace l3 {

void saveRegion(MainDataState& state, int32_t high, int32_t low) {
    const int32_t lowByte = std::max((low >> 3) - kMainDataSlackBytes, 0);
    const int32_t highByte = std::min((high + 7) >> 3, kStoreBytes);
    state.mainDataSavedLow = lowByte;
    state.mainDataSavedHigh = std::max(highByte, lowByte);
    std::memcpy(state.mainDataSaved.data(), state.store.storeBytes.data() + lowByte,
                state.mainDataSavedHigh - lowByte);
}

namespace {

// Calls f(byte, mask) for each saved byte that holds positions low .. high - 1.
template <typename F>
void forSavedBits(MainDataState& state, int32_t low, int32_t high, F f) {
    low = std::max(low, state.mainDataSavedLow * 8);
    high = std::min(high, state.mainDataSavedHigh * 8);
    for (int32_t p = low; p < high;) {
        const int32_t byte = p >> 3;
        const int32_t end = std::min(high, (byte + 1) * 8);
        const uint8_t mask = static_cast<uint8_t>(((1u << (end - p)) - 1) << (p & 7));
        f(state.mainDataSaved[byte - state.mainDataSavedLow], state.store.storeBytes[byte], mask);
        p = end;
    }
}

}  // namespace

void clearSavedBits(MainDataState& state, int32_t position, int count) {
    forSavedBits(state, position - count, position, [](uint8_t& saved, uint8_t, uint8_t mask) {
        saved &= static_cast<uint8_t>(~mask);
    });
}

void keepStoreBits(MainDataState& state, int32_t low, int32_t high) {
    forSavedBits(state, low, high, [](uint8_t& saved, uint8_t stored, uint8_t mask) {
        saved |= static_cast<uint8_t>(stored & mask);
    });
}

void restoreRegion(MainDataState& state) {
    uint8_t* store = state.store.storeBytes.data() + state.mainDataSavedLow;
    const uint8_t* saved = state.mainDataSaved.data();
    const int32_t n = state.mainDataSavedHigh - state.mainDataSavedLow;
    for (int32_t i = 0; i < n; ++i) store[i] |= saved[i];
}

}  // namespace l3
