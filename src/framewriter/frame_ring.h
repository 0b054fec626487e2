#pragma once
// The queue of finished frames waiting to be sent. A slot holds a frame's head bytes
// (header, CRC, side information); its main data stays in the bit store until it is sent.

#include <array>
#include <cstdint>

namespace l3 {

inline constexpr int kRingSlots = 512;
inline constexpr int kMaxHeadBytes = 40;

struct FrameSlot {
    uint8_t headBytes[kMaxHeadBytes];  // in stream order
    int32_t headCount;                 // 4 or 6 plus the side information: 13..38
    int32_t mainCount;                 // frame length minus headCount
};

// ringIndices holds writeSlot in bits 0-8 and readSlot in bits 9-17. The ring is empty
// when they are equal and full when readSlot is one past writeSlot, so one slot always
// stays free and at most 511 frames wait.
struct FrameRing {
    std::array<FrameSlot, kRingSlots> slots;
    uint32_t ringIndices;
    int32_t framesWritten;  // slots taken out so far
};

inline int writeSlot(const FrameRing& ring) {
    return ring.ringIndices & 511;
}
inline int readSlot(const FrameRing& ring) {
    return (ring.ringIndices >> 9) & 511;
}

inline void setRingIndices(FrameRing& ring, int write, int read) {
    ring.ringIndices = static_cast<uint32_t>((write & 511) | (read & 511) << 9);
}

inline bool isEmpty(const FrameRing& ring) {
    return readSlot(ring) == writeSlot(ring);
}
inline bool isFull(const FrameRing& ring) {
    return readSlot(ring) == ((writeSlot(ring) + 1) & 511);
}

inline void commitSlot(FrameRing& ring) {
    setRingIndices(ring, writeSlot(ring) + 1, readSlot(ring));
}
inline void releaseSlot(FrameRing& ring) {
    setRingIndices(ring, writeSlot(ring), readSlot(ring) + 1);
}

inline void initFrameRing(FrameRing& ring) {
    ring.slots = {};
    ring.ringIndices = 0;
    ring.framesWritten = 0;
}

}  // namespace l3
