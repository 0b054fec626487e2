#include "framewriter/frame_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "l3/frame_length.h"
#include "framewriter/frame_writer_state.h"
#include "framewriter/head_writer.h"
#include "maindata/main_data_writer.h"

namespace l3 {

namespace {

// Frames leave only while more than this many bytes of main-data stream are queued
// behind them, far more than main_data_begin can reach back.
constexpr int32_t kReservoirHoldBytes = 8192;

// dst[m] = src[-m] for m < count: store bytes leave in decreasing index order. Eight at a
// time: a byte swap of the eight bytes below src reverses them.
void copyReversed(const uint8_t* src, uint8_t* dst, uint32_t count) {
    uint32_t m = 0;
    for (; m + 8 <= count; m += 8) {
        uint64_t word;
        std::memcpy(&word, src - m - 7, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        std::memcpy(dst + m, &word, 8);
    }
    for (; m < count; ++m) dst[m] = *(src - m);
}

uint32_t takeFromLimit(FrameWriterState& state, int32_t count) {
    uint32_t n = std::min(static_cast<uint32_t>(count), state.outputLimit);
    state.outputLimit -= n;
    return n;
}

// Sends the frame at readSlot (head bytes, then its main-data area from the store) as far
// as outputLimit allows, and releases its slot.
void emitOldest(FrameWriterState& state) {
    FrameRing& ring = state.ring;
    BitStore& store = state.store;
    const FrameSlot& slot = ring.slots[readSlot(ring)];
    ++ring.framesWritten;

    uint32_t headSent = takeFromLimit(state, slot.headCount);
    uint32_t mainSent = takeFromLimit(state, slot.mainCount);
    OutputStream& out = *state.output;
    if (!discards(out) && headSent + mainSent > 0) {
        uint8_t* dst = reserveBytes(out, headSent + mainSent);
        std::memcpy(dst, slot.headBytes, headSent);
        dst += headSent;
        copyReversed(store.storeBytes.data() + store.emitIndex, dst, mainSent);
        commitBytes(out, headSent + mainSent);
    }
    store.emitIndex -= slot.mainCount;
    releaseSlot(ring);
}

}  // namespace

int writeFrame(FrameWriterState& state) {
    BitStore& store = state.store;
    FrameRing& ring = state.ring;
    FrameRecord& rec = state.record;

    const int32_t frameStart = store.writePos;
    const bool raw = rec.rawMainData != 0;
    writeHead(state);

    FrameSlot& slot = ring.slots[writeSlot(ring)];
    slot.mainCount = frameLength(rec.header) - slot.headCount;
    const int32_t mainCount = slot.mainCount;
    commitSlot(ring);

    if (raw) {
        // Raw frames carry their main data as ancillary bits that end where this frame's
        // own main-data area begins.
        putBitString(store, state.ancillaryBuffer.data(), state.ancillaryBits, frameStart);
    } else {
        const int32_t mainStart = frameStart + 8 * rec.placedMainDataBegin;
        // A value that does not fit is only found while coding; keep what this frame may
        // change above its start, so that the frames before it can still be sent intact.
        const int32_t undoLow = frameStart / 8;
        const int32_t undoHigh =
            std::min((mainStart + std::max(state.ancillaryBits, 0) + 32) / 8 + 1,
                     kStoreBytes + kStoreSlackBytes);
        std::memcpy(state.undoBytes.data(), store.storeBytes.data() + undoLow, undoHigh - undoLow);

        putBitString(store, state.ancillaryBuffer.data(), state.ancillaryBits, mainStart);
        store.writePos = mainStart;
        if (isMpeg1(rec.header))
            writeMainDataMpeg1(state);
        else
            writeMainDataLsf(state);
        if (state.problem.field) [[unlikely]] {
            std::memcpy(store.storeBytes.data() + undoLow, state.undoBytes.data(),
                        undoHigh - undoLow);
            store.writePos = frameStart;
            setRingIndices(ring, writeSlot(ring) - 1, readSlot(ring));
            return 1;
        }
    }
    store.writePos = frameStart - 8 * mainCount;

    while ((!isEmpty(ring) && store.writePos / 8 + kReservoirHoldBytes <= store.emitIndex) ||
           isFull(ring))
        emitOldest(state);
    relocate(store);
    state.firstFrame = 0;
    return 0;
}

void drainRing(FrameWriterState& state) {
    if (isEmpty(state.ring)) return;
    // The last record's ancillary bits go in a second time, as the last bits of the last
    // frame's main-data area, so that a trailing ancillary block fills the stream's tail.
    if (state.ancillaryBits > 0) {
        const int32_t end = state.store.writePos;
        putBitString(state.store, state.ancillaryBuffer.data(), state.ancillaryBits, end);
        state.store.writePos = end;
    }
    while (!isEmpty(state.ring)) emitOldest(state);
}

}  // namespace l3
