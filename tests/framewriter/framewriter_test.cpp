// The frame writer: bit store, frame ring, head bytes and CRC, frame length, ancillary bit
// placement, and the emission of frames through the bit reservoir. Expected values come
// from worked examples of the stream format or from the independent writers in
// support/record_file.h.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "bits/bit_store.h"
#include "format/frame_crc.h"
#include "l3/frame_length.h"
#include "framewriter/frame_ring.h"
#include "framewriter/frame_writer.h"
#include "framewriter/frame_writer_state.h"
#include "framewriter/head_writer.h"
#include "maindata/main_data_writer.h"
#include "support/record_file.h"
#include "tables/code_tables.h"

namespace {

// Compares two byte vectors, reporting sizes and the first differing byte.
#define EXPECT_SAME_BYTES(actual, expected) \
    EXPECT_EQ(l3test::describeDifference(actual, expected), "")

using l3test::makeHeader;
using l3test::makeRecord;
using l3test::RecordEntry;

int bitAt(const l3::BitStore& store, int32_t position) {
    return (store.storeBytes[position / 8] >> (position % 8)) & 1;
}

std::unique_ptr<l3::BitStore> freshStore() {
    auto store = std::make_unique<l3::BitStore>();
    l3::initBitStore(*store);
    return store;
}

// ---------------------------------------------------------------------------------------
// Bit store

TEST(BitStore, WriterPutLandsBelowWritePosMostSignificantBitHighest) {
    auto store = freshStore();
    store->writePos = 801;
    l3::BitWriter w = l3::beginWriting(*store);
    l3::put(w, 5, 3);
    l3::endWriting(w, *store);
    EXPECT_EQ(store->writePos, 798);
    EXPECT_EQ(store->storeBytes[99], 0x40);   // value bit 0 at position 798, bit 1 (0) at 799
    EXPECT_EQ(store->storeBytes[100], 0x01);  // value bit 2 at position 800
    EXPECT_EQ(store->storeBytes[98], 0);
    EXPECT_EQ(store->storeBytes[101], 0);
}

// A long run of puts of every width, through the writer and through a packer, read back
// byte by byte from the top of the store in stream order, must equal the same values
// written by a plain MSB-first writer.
TEST(BitStore, PutsOfEveryWidthReadBackInStreamOrder) {
    auto store = freshStore();
    l3test::BitWriter reference;
    std::mt19937 rng(7);
    l3::BitWriter w = l3::beginWriting(*store);
    for (int i = 0; i < 4000; ++i) {
        const int width = 1 + static_cast<int>(rng() % 56);
        const uint64_t value = (uint64_t{rng()} << 32 | rng()) & ((uint64_t{1} << width) - 1);
        if (i % 2) {
            l3::put(w, value, width);
        } else {
            l3::BitPacker packer{w};
            l3::pack(packer, value >> (width / 2), width - width / 2);
            l3::pack(packer, value & ((uint64_t{1} << (width / 2)) - 1), width / 2);
            l3::flushPacker(packer);
        }
        for (int k = width - 1; k >= 0; --k) reference.put((value >> k) & 1, 1);
    }
    l3::endWriting(w, *store);
    ASSERT_EQ(static_cast<size_t>(l3::kInitialWritePos - store->writePos), reference.bitCount());
    const std::vector<uint8_t>& expected = reference.bytes();
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(store->storeBytes[31743 - i], expected[i]) << "stream byte " << i;
}

// Places count bits of source at base and checks every position of the neighbourhood:
// source bit i (MSB first) at base + count - 1 - i, nothing else set.
void expectBitString(const std::vector<uint8_t>& source, int32_t count, int32_t base) {
    auto store = freshStore();
    store->writePos = 12345;
    l3::putBitString(*store, source.data(), count, base);
    EXPECT_EQ(store->writePos, count > 0 ? base : 12345) << count << " bits";
    for (int32_t p = base - 40; p < base + count + 40; ++p) {
        int expected = 0;
        if (p >= base && p < base + count) {
            const int32_t i = base + count - 1 - p;
            expected = (source[i / 8] >> (7 - i % 8)) & 1;
        }
        ASSERT_EQ(bitAt(*store, p), expected) << count << " bits at " << base << ", position " << p;
    }
}

TEST(BitStore, PutBitStringPlacesLeadingBitsOfSource) {
    const std::vector<uint8_t> source{0xA5, 0x3C, 0xFF};
    expectBitString(source, 8, 8003);   // byte 0 whole
    expectBitString(source, 3, 8003);   // 101
    expectBitString(source, 12, 8003);  // byte 0, then 0011
    expectBitString(source, 16, 8000);
    expectBitString(source, 17, 8001);
    expectBitString(source, 0, 8003);   // nothing, writePos unchanged
    expectBitString(source, -5, 8003);  // nothing, writePos unchanged
    expectBitString(l3test::randomBytes(1024, 3), 8192, 90001);
    expectBitString(l3test::randomBytes(1024, 4), 8187, 90003);
}

TEST(BitStore, PutBitStringCombinesWithBitsAlreadyPlaced) {
    auto store = freshStore();
    store->storeBytes[1000] = 0x01;  // position 8000
    const uint8_t zero = 0;
    l3::putBitString(*store, &zero, 8, 8000);
    EXPECT_EQ(store->storeBytes[1000], 0x01);
}

TEST(BitStore, ClearAheadZeroes2049BytesBelowTheWriter) {
    auto store = freshStore();
    store->storeBytes.fill(0xFF);
    store->writePos = 8 * 5000;
    l3::clearAhead(*store);
    EXPECT_EQ(store->storeBytes[5000], 0xFF);
    EXPECT_EQ(store->storeBytes[2950], 0xFF);
    for (int i = 2951; i < 5000; ++i) ASSERT_EQ(store->storeBytes[i], 0) << i;
}

TEST(BitStore, ClearAheadStopsAtByteZero) {
    auto store = freshStore();
    store->storeBytes.fill(0xFF);
    store->writePos = 8 * 1000 + 3;
    l3::clearAhead(*store);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(store->storeBytes[i], 0) << i;
    EXPECT_EQ(store->storeBytes[1000], 0xFF);
    EXPECT_EQ(store->storeBytes[1001], 0xFF);
}

TEST(BitStore, ClearBelowZeroesExactlyTheCountedBits) {
    auto store = freshStore();
    store->storeBytes.fill(0xFF);
    const int32_t position = 8 * 100 + 5;
    l3::clearBelow(*store, position, 24);
    for (int32_t p = position - 40; p < position + 40; ++p)
        ASSERT_EQ(bitAt(*store, p), (p >= position - 24 && p < position) ? 0 : 1) << p;
}

TEST(BitStore, TakeBytesCopiesInStreamOrderAndZeroes) {
    auto store = freshStore();
    for (int i = 990; i < 1030; ++i) store->storeBytes[i] = static_cast<uint8_t>(i * 7 + 1);
    store->writePos = 8 * 1000;
    uint8_t destination[13];
    l3::takeBytes(*store, destination, 13);
    EXPECT_EQ(store->writePos, 8000);
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(destination[i], static_cast<uint8_t>((1012 - i) * 7 + 1));
    for (int i = 1000; i <= 1012; ++i) EXPECT_EQ(store->storeBytes[i], 0) << i;
    EXPECT_EQ(store->storeBytes[999], static_cast<uint8_t>(999 * 7 + 1));
    EXPECT_EQ(store->storeBytes[1013], static_cast<uint8_t>(1013 * 7 + 1));
}

TEST(BitStore, RelocateMovesTheLowerHalfUpOnlyBelowTheMiddle) {
    auto store = freshStore();
    for (int i = 0; i < l3::kStoreBytes; ++i) store->storeBytes[i] = static_cast<uint8_t>(i * 13);
    store->writePos = 8 * 9000 + 5;

    store->emitIndex = 16384;
    l3::relocate(*store);
    EXPECT_EQ(store->emitIndex, 16384);
    EXPECT_EQ(store->writePos, 8 * 9000 + 5);
    for (int i = 0; i < l3::kStoreBytes; ++i)
        ASSERT_EQ(store->storeBytes[i], static_cast<uint8_t>(i * 13)) << i;

    store->emitIndex = 16383;
    l3::relocate(*store);
    EXPECT_EQ(store->emitIndex, 32767);
    EXPECT_EQ(store->writePos, 8 * 9000 + 5 + 131072);
    for (int i = 0; i < 16384; ++i)
        ASSERT_EQ(store->storeBytes[16384 + i], static_cast<uint8_t>(i * 13)) << i;
}

// ---------------------------------------------------------------------------------------
// Frame ring

TEST(FrameRing, IndicesWrapAndOneSlotStaysFree) {
    auto ring = std::make_unique<l3::FrameRing>();
    l3::initFrameRing(*ring);
    EXPECT_TRUE(l3::isEmpty(*ring));
    EXPECT_FALSE(l3::isFull(*ring));

    l3::setRingIndices(*ring, 511, 0);
    EXPECT_EQ(ring->ringIndices, 511u);  // writeSlot in bits 0-8, readSlot in bits 9-17
    EXPECT_TRUE(l3::isFull(*ring));
    EXPECT_FALSE(l3::isEmpty(*ring));

    l3::setRingIndices(*ring, 510, 0);
    EXPECT_FALSE(l3::isFull(*ring));
    l3::commitSlot(*ring);
    EXPECT_EQ(l3::writeSlot(*ring), 511);
    l3::commitSlot(*ring);
    EXPECT_EQ(l3::writeSlot(*ring), 0);
    EXPECT_EQ(l3::readSlot(*ring), 0);
    EXPECT_TRUE(l3::isEmpty(*ring));

    l3::setRingIndices(*ring, 200, 511);
    EXPECT_EQ(ring->ringIndices, 200u | 511u << 9);
    l3::releaseSlot(*ring);
    EXPECT_EQ(l3::readSlot(*ring), 0);
    EXPECT_EQ(l3::writeSlot(*ring), 200);

    l3::setRingIndices(*ring, 37, 38);
    EXPECT_TRUE(l3::isFull(*ring));
}

// ---------------------------------------------------------------------------------------
// CRC, frame length, head size

TEST(FrameCrc, MatchesTheWorkedExamples) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(l3::frameCrc(digits, 9), 0xAEE7);

    std::vector<uint8_t> stereoHead(34, 0);  // last two header bytes, 32 zero bytes
    stereoHead[0] = 0x90;
    stereoHead[1] = 0x64;
    EXPECT_EQ(l3::frameCrc(stereoHead.data(), stereoHead.size()), 0x576F);
}

TEST(FrameCrc, AgreesWithBitwiseCrcOnEveryLength) {
    const std::vector<uint8_t> bytes = l3test::randomBytes(64, 11);
    for (size_t n = 0; n <= bytes.size(); ++n)
        EXPECT_EQ(l3::frameCrc(bytes.data(), n), l3test::referenceCrc(bytes.data(), n)) << n;
}

TEST(FrameLength, WorkedExamples) {
    using l3test::kMpeg1;
    using l3test::kMpeg2;
    using l3test::kMpeg25;
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg1, 9, 0)), 417);
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg1, 9, 0, false, 1)), 418);
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg2, 8, 0)), 208);
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg2, 8, 0, false, 1)), 209);
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg25, 1, 2)), 72);
    EXPECT_EQ(l3::frameLength(makeHeader(kMpeg1, 14, 2, true, 1)), 1441);
    EXPECT_EQ(l3::frameLength(0xFFFB9064), 417);
}

// Every bit rate, sampling rate and version against the rate tables of the stream format.
TEST(FrameLength, EveryValidHeaderAgreesWithTheRateTables) {
    for (uint32_t version : {0u, 2u, 3u})
        for (uint32_t br = 1; br <= 14; ++br)
            for (uint32_t sf = 0; sf <= 2; ++sf)
                for (uint32_t pad = 0; pad <= 1; ++pad) {
                    const uint32_t header = makeHeader(version, br, sf, false, pad);
                    ASSERT_TRUE(l3::hasFrameLength(header)) << std::hex << header;
                    ASSERT_EQ(l3::frameLength(header), l3test::referenceFrameLength(header))
                        << std::hex << header;
                }
    EXPECT_FALSE(l3::hasFrameLength(makeHeader(l3test::kMpeg1, 0, 0)));
    EXPECT_FALSE(l3::hasFrameLength(makeHeader(l3test::kMpeg1, 15, 0)));
    EXPECT_FALSE(l3::hasFrameLength(makeHeader(l3test::kMpeg2, 0, 1)));
    EXPECT_FALSE(l3::hasFrameLength(makeHeader(l3test::kMpeg2, 3, 3)));
    EXPECT_FALSE(l3::hasFrameLength(makeHeader(l3test::kVersionReserved, 9, 0)));
}

TEST(FrameLength, HeadByteCounts) {
    using l3test::kSingleChannel;
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg1, 9, 0, true, 0, kSingleChannel)), 23);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg1, 9, 0, false, 0, kSingleChannel)), 21);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg1, 9, 0, true)), 38);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg1, 9, 0, false, 0, 1)), 36);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg2, 8, 0)), 21);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg25, 8, 0, false, 0, kSingleChannel)), 13);
    EXPECT_EQ(l3::headByteCount(makeHeader(l3test::kMpeg2, 8, 0, true, 0, kSingleChannel)), 15);
}

// ---------------------------------------------------------------------------------------
// Head bytes and frames: a state set up as the run driver sets it before the first frame.

class FrameWriter : public ::testing::Test {
protected:
    static void SetUpTestSuite() { l3::codeTables(); }

    void SetUp() override {
        state_ = std::make_unique<l3::FrameWriterState>();
        l3::initBitStore(state_->store);
        l3::initFrameRing(state_->ring);
        state_->ancillaryBits = -1;
        state_->ancillaryBuffer.fill(0);
        sink_.clear();
        cursor_ = 0;
        l3::openMemoryOutput(out_, &sink_);
        state_->output = &out_;
        state_->outputLimit = 0xFFFFFFFFu;
        state_->firstFrame = 1;
    }

    l3::FrameWriterState& state() { return *state_; }

    // What the output has received so far.
    const std::vector<uint8_t>& sent() {
        l3::flushOutput(out_);
        return sink_;
    }

    // Loads a record and its ancillary share as the run driver does (min(bits, 1024) bytes
    // from the ancillary file at cursor_) and writes the frame.
    void write(const RecordEntry& entry, const std::vector<uint8_t>& ancillary = {}) {
        state_->record = entry.record;
        state_->ancillaryBits = entry.ancillaryBits;
        if (entry.ancillaryBits > 0) {
            const size_t want = std::min<size_t>(entry.ancillaryBits, 1024);
            const size_t got = std::min(want, ancillary.size() - cursor_);
            std::copy_n(ancillary.begin() + static_cast<std::ptrdiff_t>(cursor_), got,
                        state_->ancillaryBuffer.begin());
            cursor_ += got;
        }
        l3::writeFrame(*state_);
    }

    // Writes every entry, drains the ring, and returns what was sent.
    std::vector<uint8_t> writeAll(const std::vector<RecordEntry>& entries,
                                  const std::vector<uint8_t>& ancillary = {}) {
        for (const RecordEntry& e : entries) write(e, ancillary);
        l3::drainRing(*state_);
        return sent();
    }

    const l3::FrameSlot& slotWritten() const {
        return state_->ring.slots[l3::writeSlot(state_->ring)];
    }

    std::unique_ptr<l3::FrameWriterState> state_;
    l3::OutputStream out_;
    std::vector<uint8_t> sink_;
    size_t cursor_ = 0;
};

TEST_F(FrameWriter, CrcOfMpeg1StereoHeadWithZeroSideInformation) {
    state().record = makeRecord(0xFFFA9064, false);
    l3::writeHead(state());
    const l3::FrameSlot& slot = slotWritten();
    ASSERT_EQ(slot.headCount, 38);
    const uint8_t expectedStart[] = {0xFF, 0xFA, 0x90, 0x64, 0x57, 0x6F};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(slot.headBytes[i], expectedStart[i]) << i;
    for (int i = 6; i < 38; ++i) EXPECT_EQ(slot.headBytes[i], 0) << i;
    EXPECT_EQ(state().store.writePos, 253952 - 8 * 38);
}

// Random side information in every layout (MPEG-1 and LSF, one and two channels, with
// and without CRC, raw and coded), compared with the reference writer element by element.
TEST_F(FrameWriter, HeadBytesMatchReferenceInEveryLayout) {
    std::mt19937 rng(5);
    int32_t frameStart = state().store.writePos;
    for (int round = 0; round < 64; ++round) {
        const uint32_t version = round % 2 ? 3u : (round % 4 == 0 ? 2u : 0u);
        const uint32_t header = makeHeader(version, 1 + l3test::draw(rng) % 14, l3test::draw(rng) % 3, l3test::draw(rng) % 2, l3test::draw(rng) % 2,
                                           l3test::draw(rng) % 4, l3test::draw(rng) % 4);
        l3::FrameRecord record = makeRecord(header, rng() % 2);
        l3test::randomSideInfo(record, rng);
        const std::vector<uint8_t> expected = l3test::referenceHead(record);

        state().record = record;
        state().store.writePos = frameStart;
        l3::writeHead(state());
        const l3::FrameSlot& slot = slotWritten();
        ASSERT_EQ(slot.headCount, static_cast<int32_t>(expected.size())) << round;
        ASSERT_EQ(std::vector<uint8_t>(slot.headBytes, slot.headBytes + slot.headCount), expected)
            << "round " << round << " header " << std::hex << header;
        EXPECT_EQ(state().store.writePos, frameStart - 8 * slot.headCount);
        for (int i = 0; i < slot.headCount; ++i)  // the head bytes leave the store zeroed
            ASSERT_EQ(state().store.storeBytes[state().store.writePos / 8 + i], 0);
        // The coded part2_3_length is not replaced by the raw one in the record copy.
        EXPECT_EQ(state().record.granuleInfo[0][0].part2_3_length,
                  record.granuleInfo[0][0].part2_3_length);
        frameStart -= 8 * 64;
    }
}

TEST_F(FrameWriter, WindowSwitchingSetsImplicitFields) {
    struct Case {
        uint32_t version;
        int32_t blockType;
        int32_t mixed;
        int32_t region0;
    };
    const Case cases[] = {{l3test::kMpeg2, 2, 0, 5}, {l3test::kMpeg25, 2, 1, 5},
                          {l3test::kMpeg2, 1, 0, 7}, {l3test::kMpeg2, 3, 1, 7},
                          {l3test::kMpeg1, 2, 0, 7}, {l3test::kMpeg1, 2, 1, 7}};
    for (const Case& c : cases) {
        SetUp();
        l3::FrameRecord record = makeRecord(makeHeader(c.version, 5, 1), false);
        l3::GranuleChannelInfo& info = record.granuleInfo[0][1];
        info.window_switching_flag = 1;
        info.block_type = c.blockType;
        info.mixed_block_flag = c.mixed;
        info.table_select[2] = 9;
        info.region0_count = 3;
        info.region1_count = 1;
        state().record = record;
        l3::writeHead(state());
        const l3::GranuleChannelInfo& after = state().record.granuleInfo[0][1];
        EXPECT_EQ(after.region0_count, c.region0) << c.version << " " << c.blockType;
        EXPECT_EQ(after.region1_count, 22);
        EXPECT_EQ(after.table_select[2], 0);
        EXPECT_EQ(after.block_type, c.blockType);
        EXPECT_EQ(after.mixed_block_flag, c.mixed);
        // The implicit values are not written: the stream holds what the record held.
        const l3::FrameSlot& slot = slotWritten();
        EXPECT_EQ(std::vector<uint8_t>(slot.headBytes, slot.headBytes + slot.headCount),
                  l3test::referenceHead(record));
    }
}

TEST_F(FrameWriter, WithoutWindowSwitchingBlockTypeAndMixedFlagAreReset) {
    l3::FrameRecord record = makeRecord(makeHeader(l3test::kMpeg1, 9, 0), false);
    l3::GranuleChannelInfo& info = record.granuleInfo[1][0];
    info.block_type = 2;
    info.mixed_block_flag = 1;
    info.subblock_gain[0] = 1;
    info.subblock_gain[1] = 2;
    info.subblock_gain[2] = 3;
    info.region0_count = 11;
    info.region1_count = 5;
    state().record = record;
    l3::writeHead(state());
    const l3::GranuleChannelInfo& after = state().record.granuleInfo[1][0];
    EXPECT_EQ(after.block_type, 0);
    EXPECT_EQ(after.mixed_block_flag, 0);
    EXPECT_EQ(after.subblock_gain[0], 1);
    EXPECT_EQ(after.subblock_gain[1], 2);
    EXPECT_EQ(after.subblock_gain[2], 3);
    EXPECT_EQ(after.region0_count, 11);
    EXPECT_EQ(after.region1_count, 5);
    const l3::FrameSlot& slot = slotWritten();
    EXPECT_EQ(std::vector<uint8_t>(slot.headBytes, slot.headBytes + slot.headCount),
              l3test::referenceHead(record));
}

TEST_F(FrameWriter, FirstFramePlacesMainDataAtItsOwnStart) {
    l3::FrameRecord record = makeRecord(makeHeader(l3test::kMpeg1, 9, 0), false);
    record.main_data_begin = 300;
    record.placedMainDataBegin = 77;  // the file's value is ignored
    state().record = record;
    l3::writeHead(state());
    EXPECT_EQ(state().record.placedMainDataBegin, 0);
    const l3::FrameSlot& slot = slotWritten();
    // main_data_begin 300 = 1 0010 1100 still goes into the side information.
    EXPECT_EQ(slot.headBytes[4], 0x96);
    EXPECT_EQ(slot.headBytes[5] & 0x80, 0);

    state().firstFrame = 0;
    state().record = record;
    l3::writeHead(state());
    EXPECT_EQ(state().record.placedMainDataBegin, 300);
}

// The worked run: MPEG-1 128 kbit/s 44.1 kHz two channels, 381 main-data bytes per frame.
// Nothing leaves before more than 8192 bytes of main data are queued: the first frame goes
// out in the 22nd writeFrame, then one frame per frame.
TEST_F(FrameWriter, EmissionTrailsByTwentyOneFrames) {
    const RecordEntry entry{makeRecord(0xFFFB9064, false), 0};
    write(entry);
    EXPECT_EQ(state().store.writePos, 250904);
    EXPECT_EQ(state().ring.slots[0].mainCount, 381);
    EXPECT_TRUE(sent().empty());
    for (int n = 2; n <= 60; ++n) {
        write(entry);
        const int expected = n < 22 ? 0 : n - 21;
        ASSERT_EQ(state().ring.framesWritten, expected) << "after frame " << n;
        ASSERT_EQ(sent().size(), 417u * expected) << "after frame " << n;
        EXPECT_EQ(state().firstFrame, 0);
    }
    l3::drainRing(state());
    EXPECT_EQ(state().ring.framesWritten, 60);
    EXPECT_EQ(sent().size(), 417u * 60);
    EXPECT_TRUE(l3::isEmpty(state().ring));
}

// Frames of 24 bytes (MPEG-2 8 kbit/s 24 kHz, one channel: 11 main-data bytes) never fill
// the reservoir: the full-ring rule alone sends them, the first after the 511th record and
// then one per record, at every position of the ring's indices.
TEST_F(FrameWriter, FullRingSendsTheOldestFrame) {
    const uint32_t header = makeHeader(l3test::kMpeg2, 1, 1, false, 0, l3test::kSingleChannel);
    ASSERT_EQ(l3test::referenceFrameLength(header), 24);
    std::vector<RecordEntry> entries;
    for (int n = 1; n <= 1100; ++n) {
        entries.push_back({makeRecord(header), 0});
        write(entries.back());
        ASSERT_EQ(state().ring.framesWritten, std::max(0, n - 510)) << "after record " << n;
        ASSERT_EQ(sent().size(), 24u * std::max(0, n - 510)) << "after record " << n;
    }
    EXPECT_SAME_BYTES(writeAll({}), l3test::modelRun(entries, {}, 0xFFFFFFFFu).output);
}

TEST_F(FrameWriter, OutputLimitZeroSendsNothingButCountsEveryFrame) {
    state().outputLimit = 0;
    std::vector<RecordEntry> entries(30, RecordEntry{makeRecord(0xFFFB9064), 0});
    EXPECT_TRUE(writeAll(entries).empty());
    EXPECT_EQ(state().ring.framesWritten, 30);
    // The emitter still moved past every main-data area.
    EXPECT_EQ(state().store.emitIndex, state().store.writePos / 8 - 1);
}

TEST_F(FrameWriter, OutputLimitCutsTheStreamAfterThatManyBytes) {
    std::vector<RecordEntry> entries;
    for (int i = 0; i < 30; ++i) {
        l3::FrameRecord r = makeRecord(makeHeader(l3test::kMpeg1, 9, 0, i % 3 == 0, i % 2));
        r.granuleInfo[0][0].rawPart2_3Length = 100 + i;
        entries.push_back({r, 16});
    }
    const std::vector<uint8_t> ancillary = l3test::randomBytes(30 * 16, 9);
    const std::vector<uint8_t> full =
        l3test::modelRun(entries, ancillary, 0xFFFFFFFFu, false).output;
    for (uint32_t limit : {417u + 20u, 1000u, 0xFFFFFFFFu - 5u}) {
        SetUp();
        state().outputLimit = limit;
        const std::vector<uint8_t> out = writeAll(entries, ancillary);
        const size_t n = std::min<size_t>(limit, full.size());
        EXPECT_SAME_BYTES(out, std::vector<uint8_t>(full.begin(), full.begin() + n)) << limit;
        EXPECT_EQ(state().ring.framesWritten, 30);
    }
}

TEST_F(FrameWriter, DrainOnEmptyRingDoesNothing) {
    state().ancillaryBits = 16;
    state().ancillaryBuffer.fill(0xFF);
    const auto before = std::make_unique<l3::BitStore>(state().store);
    l3::drainRing(state());
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(state().ring.framesWritten, 0);
    EXPECT_EQ(state().store.writePos, before->writePos);
    EXPECT_EQ(state().store.emitIndex, before->emitIndex);
    EXPECT_TRUE(state().store.storeBytes == before->storeBytes);
}

// Raw frames: each frame's ancillary bits end right before its header, i.e. fill the tail
// of the previous frame; the first record's bits lie above the first frame and are never
// sent; the last record's bits are placed again at the very end of the stream.
TEST_F(FrameWriter, RawFrameAncillaryBitsPrecedeItsHeader) {
    const uint32_t header = makeHeader(l3test::kMpeg1, 9, 0);  // 417 bytes, 36 head bytes
    // 8 bits take 8 bytes of the ancillary file; only the first byte of each share is used.
    std::vector<uint8_t> ancillary(24, 0x11);
    ancillary[0] = 0xEE;
    ancillary[8] = 0xA5;
    ancillary[16] = 0x3C;
    const std::vector<uint8_t> out = writeAll(
        {{makeRecord(header), 8}, {makeRecord(header), 8}, {makeRecord(header), 8}}, ancillary);
    ASSERT_EQ(out.size(), 3u * 417);
    std::vector<uint8_t> expected;
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t> head = l3test::referenceHead(makeRecord(header));
        expected.insert(expected.end(), head.begin(), head.end());
        expected.resize(expected.size() + 381, 0);
    }
    expected[417 - 1] = 0xA5;
    expected[2 * 417 - 1] = 0x3C;
    expected[3 * 417 - 1] = 0x3C;
    EXPECT_SAME_BYTES(out, expected);
}

// Coded frames (no main data bits): ancillary bits end main_data_begin bytes before the
// frame's start, where its main data would begin.
TEST_F(FrameWriter, CodedFrameAncillaryBitsPrecedeItsMainData) {
    const uint32_t header = makeHeader(l3test::kMpeg1, 9, 0);
    l3::FrameRecord second = makeRecord(header, false);
    second.main_data_begin = 100;
    const std::vector<uint8_t> out =
        writeAll({{makeRecord(header, false), 0}, {second, 12}, {makeRecord(header, false), 0}},
                 {0xC3, 0x50});
    ASSERT_EQ(out.size(), 3u * 417);
    // 12 bits 1100 0011 0101 end 100 bytes before frame 1's area, i.e. at byte 281 of
    // frame 0's area, which starts at output byte 36.
    const size_t end = 36 + 381 - 100;
    EXPECT_EQ(out[end - 2], 0x0C);
    EXPECT_EQ(out[end - 1], 0x35);
    size_t nonzero = 0;
    for (size_t i = 0; i < out.size(); ++i)
        if (i % 417 >= 36 && out[i] != 0) ++nonzero;
    EXPECT_EQ(nonzero, 2u);
}

// A mixed run against the model: raw and coded records, CRC and padding, unaligned and
// long ancillary counts, main_data_begin reaching back across several frames, ancillary
// shares read as min(bits, 1024) bytes, and a short ancillary file at the end.
TEST_F(FrameWriter, MixedRunMatchesTheStreamModel) {
    std::mt19937 rng(17);
    std::vector<RecordEntry> entries;
    for (int i = 0; i < 80; ++i) {
        const bool mpeg1 = i % 5 != 3;
        const bool raw = !mpeg1 || rng() % 2;
        const uint32_t header =
            mpeg1 ? makeHeader(l3test::kMpeg1, 1 + l3test::draw(rng) % 14, l3test::draw(rng) % 3, l3test::draw(rng) % 2, l3test::draw(rng) % 2,
                               l3test::draw(rng) % 4)
                  : makeHeader(l3test::draw(rng) % 2 ? l3test::kMpeg2 : l3test::kMpeg25, 1 + l3test::draw(rng) % 14,
                               l3test::draw(rng) % 3, l3test::draw(rng) % 2, l3test::draw(rng) % 2, l3test::draw(rng) % 4);
        l3::FrameRecord r = makeRecord(header, raw);
        l3test::randomSideInfo(r, rng);
        if (!raw)  // no main data bits: every part2_3_length 0
            for (auto& granule : r.granuleInfo)
                for (auto& info : granule) info.part2_3_length = 0;
        r.main_data_begin = static_cast<int32_t>(rng() % (mpeg1 ? 300 : 256));
        const int32_t bits = i % 7 == 0 ? 0 : static_cast<int32_t>(rng() % 2000) - 50;
        entries.push_back({r, bits});
    }
    entries[40].ancillaryBits = 8192;
    entries.back().ancillaryBits = 77;
    const std::vector<uint8_t> ancillary = l3test::randomBytes(20000, 23);
    const l3test::ModelRun model = l3test::modelRun(entries, ancillary, 0xFFFFFFFFu, false);
    ASSERT_GT(model.ancillaryShortfall, 0u);
    EXPECT_SAME_BYTES(writeAll(entries, ancillary), model.output);
    EXPECT_EQ(state().ring.framesWritten, 80);
}

}  // namespace
