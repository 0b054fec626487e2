#pragma once
// The bit store: the working area in which the output bit stream is laid out.
//
// Bit order, once for the whole program: bit position p lies in byte p / 8 as bit p % 8
// (bit 0 least significant). Positions count down: the writer's position writePos falls
// as elements are put, the next put lands immediately below it, and the higher position
// is sent first. Inside a byte that is the usual most-significant-bit-first order, so a
// store byte goes out unchanged, and bytes leave in decreasing index order. A put ORs
// into memory that is already zero; clearAhead and takeBytes keep it so.
//
// Because bytes are sent from high index to low, a little-endian 64-bit word loaded at
// byte q holds positions 8q .. 8q+63 with position 8q+i at bit i: one load, a shift and
// an OR put up to 57 bits anywhere.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace l3 {

inline constexpr int32_t kStoreBytes = 32768;
inline constexpr int32_t kStoreHalfBytes = kStoreBytes / 2;
inline constexpr int32_t kStoreTopBit = kStoreBytes * 8;  // first position above the store
inline constexpr int32_t kInitialWritePos = 253952;       // bit position of byte 31744
inline constexpr int32_t kInitialEmitIndex = 31743;
inline constexpr int32_t kClearAheadBytes = 2049;
// Word accesses at the top byte read a little past it; these bytes are never sent.
inline constexpr int32_t kStoreSlackBytes = 8;

struct BitStore {
    std::array<uint8_t, kStoreBytes + kStoreSlackBytes> storeBytes;
    int32_t writePos;   // bit position of the writer; counts down
    int32_t emitIndex;  // next store byte to send; counts down
};

inline uint64_t loadWord(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

inline void storeWord(uint8_t* p, uint64_t w) {
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
}

void initBitStore(BitStore& store);

// A writer that collects bits in a 64-bit register and, after every put, stores the
// register's eight bytes at once without reading the store first. It is the fast path for
// laying out a run of elements: a put is a shift, an OR and one store, with no branch.
//
// Unlike putBitString it overwrites: the bytes from its position down to 8 bytes below it are
// replaced (bits after the position by zeros). Callers either write into cleared memory or
// save the region first and OR it back afterwards, which gives the same result as ORing
// every element into the store. Between begin and end nothing else may write the store.
struct BitWriter {
    uint64_t bits;  // pending bits, left-aligned: the earliest in bit 63
    int count;      // pending bits, 0..7 between puts
    uint8_t* top;   // pending bits are the positions just below this byte
    uint8_t* base;  // store byte 0
};

// Starts at writePos. The bits above writePos in its byte become pending bits, so that the
// writer always stores whole bytes.
inline BitWriter beginWriting(BitStore& store) {
    BitWriter w;
    w.base = store.storeBytes.data();
    const int32_t hi = (store.writePos + 7) >> 3;
    w.top = w.base + hi;
    w.count = hi * 8 - store.writePos;
    w.bits = w.count ? uint64_t{w.top[-1]} >> (store.writePos & 7) << (64 - w.count) : 0;
    return w;
}

inline int32_t position(const BitWriter& w) {
    return static_cast<int32_t>(w.top - w.base) * 8 - w.count;
}

// Appends width bits, 1..56; value must be below 2^width.
inline void put(BitWriter& w, uint64_t value, int width) {
    w.count += width;
    w.bits |= value << (64 - w.count);
    storeWord(w.top - 8, w.bits);
    const int whole = w.count >> 3;
    w.top -= whole;
    w.bits <<= 8 * whole;
    w.count &= 7;
}

// Collects short elements and hands them to a BitWriter up to 56 bits at a time, so that
// a run of small fields costs a shift and an OR each.
struct BitPacker {
    BitWriter& w;
    uint64_t bits = 0;
    int count = 0;
};

// Appends width bits (at most 56); value must be below 2^width.
inline void pack(BitPacker& p, uint64_t value, int width) {
    if (p.count + width > 56) {
        put(p.w, p.bits, p.count);
        p.bits = 0;
        p.count = 0;
    }
    p.bits = p.bits << width | value;
    p.count += width;
}

// Hands the collected bits to the writer.
inline void flushPacker(BitPacker& p) {
    if (p.count) put(p.w, p.bits, p.count);
    p.bits = 0;
    p.count = 0;
}

// Leaves writePos after the written bits; they are all in the store already.
inline void endWriting(const BitWriter& w, BitStore& store) {
    store.writePos = position(w);
}

// Places the first bitCount bits of source (each byte most significant bit first) at
// positions base .. base + bitCount - 1, source's first bit highest, by OR; writePos is
// then base. Nothing happens for a bitCount of 0 or less.
void putBitString(BitStore& store, const uint8_t* source, int32_t bitCount, int32_t base);

// Zeroes the 2049 bytes directly below the byte holding writePos (clamped at byte 0).
void clearAhead(BitStore& store);

// Zeroes the count bits at positions position - count .. position - 1 (count <= 56).
inline void clearBelow(BitStore& store, int32_t position, int count) {
    int32_t low = position - count;
    uint8_t* p = store.storeBytes.data() + (low >> 3);
    uint64_t mask = ((uint64_t{1} << count) - 1) << (low & 7);
    storeWord(p, loadWord(p) & ~mask);
}

// Copies count store bytes from index writePos / 8 upward into destination in stream
// order (highest index first) and zeroes them in the store. writePos does not move.
void takeBytes(BitStore& store, uint8_t* destination, int32_t count);

// When emitIndex has fallen below the middle, moves the live lower half up by 16384
// bytes; the stale lower half is cleared piecemeal by later clearAhead calls.
void relocate(BitStore& store);

}  // namespace l3
