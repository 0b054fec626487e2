// Unit tests of the disassembler: decoding against the assembler's own tables and writers,
// the record and ancillary layout, refusals, and robustness on damaged input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "maindata/main_data_state.h"
#include "format/byte_order.h"
#include "l3/frame_record.h"
#include "assemble/run_driver.h"
#include "disassemble/disassembler.h"
#include "disassemble/huffman_decoder.h"
#include "disassemble/main_data_reader.h"
#include "disassemble/rebuild_check.h"
#include "disassemble/reencode_check.h"
#include "support/frame_scans.h"
#include "l3/band_edges.h"
#include "l3/frame_length.h"
#include "maindata/main_data_writer.h"
#include "tables/code_tables.h"

namespace {

using namespace l3;

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> fixture(const std::string& name) {
    auto bytes = readFile(std::filesystem::path(TEST_DATA_DIR) / "lame" / name);
    EXPECT_FALSE(bytes.empty()) << name;
    return bytes;
}

// Bits written most significant first into a byte vector.
struct BitWriter {
    std::vector<uint8_t> bytes;
    int64_t bits = 0;
    void put(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            if (bits / 8 >= static_cast<int64_t>(bytes.size())) bytes.push_back(0);
            if ((value >> i) & 1) bytes[bits / 8] = static_cast<uint8_t>(bytes[bits / 8] | 0x80 >> (bits % 8));
            ++bits;
        }
    }
};

class MainDataDecoding : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        codeTables();
    }
    void SetUp() override {
        state_ = std::make_unique<MainDataState>();
        initBitStore(state_->store);
        record_ = std::make_unique<FrameRecord>();
        std::memset(record_.get(), 0, sizeof *record_);
        record_->header = 0xFFFB90C4;  // MPEG-1, 128 kbit/s, 44.1 kHz, one channel
    }
    GranuleChannelInfo& info(int gr) { return record_->granuleInfo[gr][0]; }

    std::unique_ptr<MainDataState> state_;
    std::unique_ptr<FrameRecord> record_;
};

TEST_F(MainDataDecoding, LastQuadrupleThatOverrunsIsReadWithZeroBits) {
    // Granule 0 codes the quadruple (1, 1, -1, -1) with table A: a 6-bit code word and
    // four sign bits 0 0 1 1; part2_3_length keeps only the code word and the first sign.
    const HuffmanTable& a = codeTables().huffman[kCount1TableA];
    ASSERT_EQ(a.lengths[15], 6);
    BitWriter w;
    w.put(a.codes[15], 6);
    w.put(0, 1);
    const int64_t granuleBits = w.bits;
    w.put(0x7F, 7);  // what follows the granule in the stream: ones
    w.put(0xFFFF, 16);
    info(0).part2_3_length = static_cast<int32_t>(granuleBits);

    ASSERT_EQ(readMainData(w.bytes.data(), 0, *record_).why, nullptr);
    const int16_t* lines = record_->spectrum[0][0];
    // The missing signs read as 0: the values are (1, 1, 1, 1), which code to the same 7 bits.
    EXPECT_EQ(lines[0], 1);
    EXPECT_EQ(lines[1], 1);
    EXPECT_EQ(lines[2], 1);
    EXPECT_EQ(lines[3], 1);
    EXPECT_EQ(lines[4], 0);
    EXPECT_TRUE(reencodesExactly(*state_, *record_, w.bytes.data(), 0, granuleBits));
}

TEST_F(MainDataDecoding, StuffingPastLine572MustBeOneBits) {
    // big_values 287 ends the pairs at line 574, beyond the last whole quadruple, so every
    // bit of the budget is fill; all tables 0 so no pair is coded.
    info(0).big_values = 287;
    info(0).part2_3_length = 11;
    BitWriter ones;
    ones.put(0x7FF, 11);
    ones.put(0, 16);
    ASSERT_EQ(readMainData(ones.bytes.data(), 0, *record_).why, nullptr);
    EXPECT_TRUE(reencodesExactly(*state_, *record_, ones.bytes.data(), 0, 11));

    BitWriter gap;
    gap.put(0x7EF, 11);  // one 0 bit among the fill
    gap.put(0, 16);
    EXPECT_EQ(readMainData(gap.bytes.data(), 0, *record_).kind, MainDataFault::coding);
}

TEST_F(MainDataDecoding, BigValuesAboveTheSpectrumAreRefused) {
    info(0).big_values = 289;
    info(0).part2_3_length = 8;
    const uint8_t bytes[8] = {};
    EXPECT_EQ(readMainData(bytes, 0, *record_).kind, MainDataFault::sideInfo);
}

TEST_F(MainDataDecoding, FaultsOfTheSideInformationAreToldFromFaultsOfTheBits) {
    // Granule 0 codes nothing; granule 1's side information and bits vary.
    struct Case {
        const char* name;
        int bigValues, table, length;  // granule 1's big_values, table_select[0], part2_3_length
        uint8_t fill;                  // every byte of the main data
        MainDataFault kind;
    };
    const Case cases[] = {
        {"pairs with table 1, ones", 4, 1, 8, 0xFF, MainDataFault::none},
        {"289 pairs", 289, 1, 8, 0xFF, MainDataFault::sideInfo},
        {"289 pairs and no bits", 289, 0, 0, 0x00, MainDataFault::sideInfo},
        {"table 4", 4, 4, 8, 0xFF, MainDataFault::sideInfo},
        {"table 14", 4, 14, 8, 0xFF, MainDataFault::sideInfo},
        {"fill with a 0 among the ones", 287, 0, 11, 0xEF, MainDataFault::coding},
    };
    for (const Case& c : cases) {
        SetUp();
        info(1).big_values = c.bigValues;
        info(1).table_select[0] = c.table;
        info(1).region0_count = 15;  // every pair in region 0
        info(1).part2_3_length = c.length;
        uint8_t bytes[16];
        std::memset(bytes, c.fill, sizeof bytes);
        const MainDataProblem problem = readMainData(bytes, 0, *record_);
        EXPECT_EQ(problem.kind, c.kind) << c.name << ": " << (problem.why ? problem.why : "");
        EXPECT_EQ(problem.why == nullptr, c.kind == MainDataFault::none) << c.name;
    }
}

TEST_F(MainDataDecoding, ScfsiGroupsOfGranuleOneAreNotRead) {
    // scalefac_compress 15: slen1 4, slen2 3. Granule 0 writes all 21 scalefactors; granule 1
    // reuses groups 0 and 2, so only bands 6-10 (4 bits) and 16-20 (3 bits) follow.
    record_->scfsi[0][0] = record_->scfsi[0][2] = 1;
    info(0).scalefac_compress = info(1).scalefac_compress = 15;
    BitWriter w;
    for (int b = 0; b < 21; ++b) w.put(b % 7, b < 11 ? 4 : 3);
    info(0).part2_3_length = static_cast<int32_t>(w.bits);
    const int64_t start1 = w.bits;
    for (int b = 6; b < 11; ++b) w.put(15 - b, 4);
    for (int b = 16; b < 21; ++b) w.put(b - 14, 3);
    info(1).part2_3_length = static_cast<int32_t>(w.bits - start1);
    // table A count1 zeros would follow; both granules end with their scalefactors
    w.put(0, 16);

    ASSERT_EQ(readMainData(w.bytes.data(), 0, *record_).why, nullptr);
    const uint16_t* sf1 = record_->scalefactors[1][0];
    EXPECT_EQ(sf1[0], record_->scalefactors[0][0][0]);  // reused from granule 0
    EXPECT_EQ(sf1[6], 9);
    EXPECT_EQ(sf1[10], 5);
    EXPECT_EQ(sf1[16], 2);
    EXPECT_EQ(sf1[20], 6);
    EXPECT_TRUE(reencodesExactly(*state_, *record_, w.bytes.data(), 0, w.bits - 16));
}

// The plain definition of a granule's spectrum: one code word at a time, escape bits and
// signs read one by one, until the granule's bits are spent (zeros read past the end).
void decodeOneByOne(const uint8_t* bytes, int64_t end, const FrameRecord& rec, int16_t* lines) {
    const GranuleChannelInfo& info = rec.granuleInfo[0][0];
    const RegionBounds bounds =
        regionBounds(rec.header, info.big_values, info.region0_count, info.region1_count);
    BitReader r{bytes, 0, end};
    for (int region = 0; region < 3; ++region) {
        const int t = info.table_select[region];
        if (t == 0) continue;
        const HuffmanTable& table = codeTables().huffman[t];
        for (int i = bounds.start[region]; i < bounds.start[region + 1] && r.pos < end; i += 2) {
            const int s = decodeSymbol(r, t);
            int v[2] = {s / table.yLen, s % table.yLen};
            for (int& x : v) {
                if (x == 15 && table.linbits) x += static_cast<int>(readBits(r, table.linbits));
                if (x != 0 && readBits(r, 1)) x = -x;
            }
            lines[i] = static_cast<int16_t>(v[0]);
            lines[i + 1] = static_cast<int16_t>(v[1]);
        }
    }
    const int quadTable = info.count1table_select ? kCount1TableB : kCount1TableA;
    for (int i = bounds.start[3]; i <= kLastQuadLine && r.pos < end; i += 4) {
        const int q = decodeSymbol(r, quadTable);
        for (int k = 0; k < 4; ++k)
            if ((q >> (3 - k)) & 1) lines[i + k] = readBits(r, 1) ? -1 : 1;
    }
}

TEST_F(MainDataDecoding, RandomGranulesDecodeAsTheirCodeWordsOneByOne) {
    // Random regions, tables and values, coded here word by word; the granule is then cut
    // at a random bit (or kept whole), so that pairs and quadruples end at every place
    // relative to the region ends and to the granule's end.
    std::mt19937 random(12);
    const std::vector<int> tables = {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 20, 23, 24, 31};
    int cases = 0;
    while (cases < 3000) {
        SetUp();
        GranuleChannelInfo& g = info(0);
        g.big_values = static_cast<int>(random() % 289);
        g.region0_count = static_cast<int>(random() % 16);
        g.region1_count = static_cast<int>(random() % 8);
        g.count1table_select = static_cast<int>(random() % 2);
        for (int& t : g.table_select) t = tables[random() % tables.size()];
        const RegionBounds bounds =
            regionBounds(record_->header, g.big_values, g.region0_count, g.region1_count);
        BitWriter w;
        for (int region = 0; region < 3; ++region) {
            const int t = g.table_select[region];
            if (t == 0) continue;
            const HuffmanTable& table = codeTables().huffman[t];
            const int largest = table.linbits ? 14 + (1 << table.linbits) : table.yLen - 1;
            const int spread = random() % 2 ? std::min(2, largest) : largest;  // small, or any
            for (int i = bounds.start[region]; i < bounds.start[region + 1]; i += 2) {
                int v[2];
                for (int& x : v) x = static_cast<int>(random() % (spread + 1)) * (random() % 2 ? 1 : -1);
                const int ax = std::abs(v[0]), ay = std::abs(v[1]);
                const int s = std::min(ax, 15) * table.yLen + std::min(ay, 15);
                w.put(table.codes[s], table.lengths[s]);
                for (int x : v) {
                    if (std::abs(x) >= 15 && table.linbits) w.put(static_cast<uint32_t>(std::abs(x) - 15), table.linbits);
                    if (x != 0) w.put(x < 0, 1);
                }
            }
        }
        const HuffmanTable& quads = codeTables().huffman[g.count1table_select ? kCount1TableB : kCount1TableA];
        const int quadEnd = bounds.start[3] + 4 * static_cast<int>(random() % 40);
        for (int i = bounds.start[3]; i <= kLastQuadLine && i < quadEnd; i += 4) {
            int q = 0, signs = 0, count = 0;
            for (int k = 0; k < 4; ++k) {
                const int x = static_cast<int>(random() % 3) - 1;
                q = q << 1 | (x != 0);
                if (x != 0) signs = signs << 1 | (x < 0), ++count;
            }
            w.put(quads.codes[q], quads.lengths[q]);
            w.put(static_cast<uint32_t>(signs), count);
        }
        if (w.bits > 4095) continue;
        const int64_t end = random() % 2 ? w.bits : static_cast<int64_t>(random() % (w.bits + 1));
        std::vector<uint8_t> bytes(static_cast<size_t>((end + 7) / 8) + 16, 0);
        for (int64_t b = 0; b < end; ++b)
            if ((w.bytes[b / 8] >> (7 - b % 8)) & 1) bytes[b / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
        g.part2_3_length = static_cast<int32_t>(end);

        int16_t expected[kSpectrumLines] = {};
        decodeOneByOne(bytes.data(), end, *record_, expected);
        const char* why = readMainData(bytes.data(), 0, *record_).why;
        ASSERT_EQ(why, nullptr) << "case " << cases << ": " << why;
        for (int i = 0; i < kSpectrumLines; ++i)
            ASSERT_EQ(record_->spectrum[0][0][i], expected[i]) << "case " << cases << " line " << i;
        ++cases;
    }
}

TEST(HuffmanDecoder, EveryCodeWordDecodesToItsSymbol) {
    codeTables();
    for (int t = 1; t < kTableCount; ++t) {
        const HuffmanTable& table = codeTables().huffman[t];
        if (!table.codes) {
            EXPECT_FALSE(hasDecodeTree(t)) << t;
            continue;
        }
        ASSERT_TRUE(hasDecodeTree(t)) << t;
        for (int s = 0; s < table.xLen * table.yLen; ++s) {
            BitWriter w;
            w.put(table.codes[s], table.lengths[s]);
            BitReader r{w.bytes.data(), 0, w.bits};
            EXPECT_EQ(decodeSymbol(r, t), s) << "table " << t;
            EXPECT_EQ(r.pos, table.lengths[s]) << "table " << t;
        }
    }
}

// Parsed record file: the ancillary bit count of every record.
struct RecordFile {
    RecordFileHead head;
    std::vector<int32_t> ancillaryBits;
    std::vector<uint32_t> headers;
    std::vector<int32_t> raw;
};

RecordFile parseRecords(const std::vector<uint8_t>& bytes) {
    RecordFile f;
    f.head = decodeRecordFileHead(bytes.data());
    auto rec = std::make_unique<FrameRecord>();
    for (size_t at = kHeadBytes; at + kRecordEntryBytes <= bytes.size(); at += kRecordEntryBytes) {
        decodeFrameRecord(bytes.data() + at, *rec);
        f.headers.push_back(rec->header);
        f.raw.push_back(rec->rawMainData);
        f.ancillaryBits.push_back(static_cast<int32_t>(loadLe32(bytes.data() + at + kRecordBytes)));
    }
    return f;
}

TEST(RecordLayout, SharesArePaddedToTheBytesTheAssemblerReads) {
    for (const char* name : {"m1_44k_joint_cbr128.mp3", "m1_44k_mono_id3v1.mp3",
                             "m2_22k_joint_vbr5.mp3", "m1_48k_stereo_cbr320_crc.mp3"}) {
        const auto input = fixture(name);
        const DisassembleResult r = disassemble(input.data(), input.size(), nullptr);
        ASSERT_EQ(r.status, Status::ok) << name << ": " << r.message;
        const RecordFile f = parseRecords(r.records);
        ASSERT_EQ(f.ancillaryBits.size(), static_cast<size_t>(f.head.frameCount));
        size_t at = 0;
        bool someShare = false;
        for (int32_t bits : f.ancillaryBits) {
            ASSERT_GE(bits, 0);
            ASSERT_LE(bits, kMaxAncillaryBits);
            if (bits == 0) continue;
            someShare = true;
            // min(bits, 1024) bytes per share; after the packed ceil(bits / 8) only zeros.
            const size_t share = static_cast<size_t>(std::min(bits, 1024));
            const size_t packed = static_cast<size_t>((bits + 7) / 8);
            ASSERT_LE(at + share, r.ancillary.size()) << name;
            for (size_t j = packed; j < share; ++j) EXPECT_EQ(r.ancillary[at + j], 0) << name;
            // A share starts at a 1 bit: the zeros before it are already zero.
            EXPECT_NE(r.ancillary[at] & 0x80, 0) << name;
            at += share;
        }
        EXPECT_TRUE(someShare) << name;
        // What is left is the input's trailing bytes, verbatim.
        ASSERT_EQ(r.ancillary.size() - at, r.trailingBytes) << name;
        EXPECT_TRUE(std::equal(r.ancillary.begin() + static_cast<std::ptrdiff_t>(at),
                               r.ancillary.end(),
                               input.end() - static_cast<std::ptrdiff_t>(r.trailingBytes)));
    }
}

TEST(RecordLayout, ClosingRecordCarriesTheTailAndNeverReachesTheOutput) {
    const auto input = fixture("m1_44k_joint_cbr128.mp3");  // the encoder fills the tail
    const DisassembleResult r = disassemble(input.data(), input.size(), nullptr);
    ASSERT_EQ(r.status, Status::ok) << r.message;
    ASSERT_TRUE(r.closingRecord);
    const RecordFile f = parseRecords(r.records);
    ASSERT_EQ(static_cast<size_t>(f.head.frameCount), r.frames + 1);
    EXPECT_EQ(f.headers.back(), kClosingHeader);
    EXPECT_EQ(f.raw.back(), 1);
    EXPECT_GT(f.ancillaryBits.back(), 0);
    EXPECT_EQ(frameLength(kClosingHeader), kMaxFrameBytes);
    EXPECT_EQ(f.head.outputLimit, static_cast<int32_t>(input.size()));  // no tags here

    std::vector<uint8_t> rebuilt;
    ASSERT_EQ(assembleInMemory(r.records.data(), r.records.size(), r.ancillary.data(),
                               r.ancillary.size(), rebuilt),
              Status::ok);
    EXPECT_EQ(rebuilt, input);

    // Without the closing record the tail is lost: the last frame's bytes differ.
    std::vector<uint8_t> cut(r.records.begin(),
                             r.records.end() - static_cast<std::ptrdiff_t>(kRecordEntryBytes));
    RecordFileHead head = f.head;
    head.frameCount -= 1;
    encodeRecordFileHead(head, cut.data());
    const size_t lastShare = static_cast<size_t>(std::min(f.ancillaryBits.back(), 1024));
    std::vector<uint8_t> ancillary(r.ancillary.begin(),
                                   r.ancillary.end() - static_cast<std::ptrdiff_t>(lastShare));
    rebuilt.clear();
    assembleInMemory(cut.data(), cut.size(), ancillary.data(), ancillary.size(), rebuilt);
    ASSERT_EQ(rebuilt.size(), input.size());
    EXPECT_NE(rebuilt, input);
}

// Two MPEG-1 frames of 1441 bytes (320 kbit/s, 32 kHz, padded, one channel, no CRC) whose
// side information codes nothing; the last `ones` bytes of the first frame's area are 0xFF.
std::vector<uint8_t> twoEmptyFrames(size_t ones) {
    const int32_t length = frameLength(kClosingHeader);
    std::vector<uint8_t> s(2 * static_cast<size_t>(length), 0);
    for (int f = 0; f < 2; ++f) {
        uint8_t* frame = s.data() + f * length;
        frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = 0xEA, frame[3] = 0xC0;
    }
    for (size_t j = 0; j < ones; ++j) s[static_cast<size_t>(length) - 1 - j] = 0xFF;
    return s;
}

TEST(Refusal, AGapOfMoreThan8192BitsCannotBeCarried) {
    // 1024 bytes of ones before the second frame's main data: exactly 8192 bits, carried.
    auto fits = twoEmptyFrames(1024);
    DisassembleResult r = disassemble(fits.data(), fits.size(), nullptr);
    ASSERT_EQ(r.status, Status::ok) << r.message;
    EXPECT_EQ(parseRecords(r.records).ancillaryBits[1], 8192);

    auto tooLong = twoEmptyFrames(1025);
    r = disassemble(tooLong.data(), tooLong.size(), nullptr);
    EXPECT_EQ(r.status, Status::cannotCarry);
    EXPECT_NE(r.message.find("frame 1 "), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("8200 bits"), std::string::npos) << r.message;
}

TEST(Refusal, ACrcThatDiffersFromTheRecomputedOneIsNamed) {
    auto input = fixture("m1_44k_joint_cbr128_crc.mp3");
    const DisassembleResult good = disassemble(input.data(), input.size(), nullptr);
    ASSERT_EQ(good.status, Status::ok) << good.message;
    const auto layout = l3test::scanCarried(input.data(), input.size());
    ASSERT_FALSE(layout.frames.empty());
    input[layout.frames[3].offset + 8] ^= 0x10;  // a side-information bit
    const DisassembleResult bad = disassemble(input.data(), input.size(), nullptr);
    EXPECT_EQ(bad.status, Status::cannotCarry);
    EXPECT_NE(bad.message.find("frame 3 "), std::string::npos) << bad.message;
    EXPECT_NE(bad.message.find("CRC"), std::string::npos) << bad.message;
}

TEST(Refusal, InputsWithoutLayer3FramesSayWhy) {
    const std::vector<uint8_t> empty;
    EXPECT_EQ(disassemble(empty.data(), 0, nullptr).status, Status::notLayer3);

    // A chain of Layer II headers (layer bits 10), 128 kbit/s 44.1 kHz: 417-byte frames.
    std::vector<uint8_t> layer2(3 * 417, 0);
    for (int f = 0; f < 3; ++f) {
        uint8_t* p = layer2.data() + f * 417;
        p[0] = 0xFF, p[1] = 0xFD, p[2] = 0x90, p[3] = 0x64;
    }
    DisassembleResult r = disassemble(layer2.data(), layer2.size(), nullptr);
    EXPECT_EQ(r.status, Status::notLayer3);
    EXPECT_NE(r.message.find("Layer I or Layer II"), std::string::npos) << r.message;

    std::vector<uint8_t> freeFormat(1000, 0);
    freeFormat[0] = 0xFF, freeFormat[1] = 0xFB, freeFormat[2] = 0x00, freeFormat[3] = 0x64;
    r = disassemble(freeFormat.data(), freeFormat.size(), nullptr);
    EXPECT_EQ(r.status, Status::notLayer3);
    EXPECT_NE(r.message.find("free format"), std::string::npos) << r.message;
}

TEST(Robustness, RandomBytesAreRefused) {
    std::mt19937 rng(12345);
    std::vector<uint8_t> noise(200000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    const DisassembleResult r = disassemble(noise.data(), noise.size(), nullptr);
    EXPECT_EQ(r.status, Status::notLayer3) << r.message;
}

TEST(Robustness, EveryCutOfAStreamIsCarriedOrRefused) {
    const auto input = fixture("m1_44k_joint_clicks_vbr0.mp3");
    for (size_t size = 0; size <= 4000; size += 37) {
        const DisassembleResult r = disassemble(input.data(), size, nullptr);
        if (r.status != Status::ok) {
            EXPECT_EQ(r.status, Status::notLayer3) << size << ": " << r.message;
            continue;
        }
        std::vector<uint8_t> rebuilt;
        ASSERT_EQ(assembleInMemory(r.records.data(), r.records.size(), r.ancillary.data(),
                                   r.ancillary.size(), rebuilt),
                  Status::ok);
        // A cut stream has no skipped bytes: everything after the last whole frame is trailing.
        EXPECT_TRUE(r.skipped.empty()) << size;
        EXPECT_EQ(rebuilt, std::vector<uint8_t>(input.begin(),
                                                input.begin() + static_cast<std::ptrdiff_t>(size)))
            << size;
    }
}

TEST(Robustness, GarbageMainDataAfterValidHeadersNeverBreaksTheRoundTrip) {
    // Real headers with random side information and main data: frames decode or go raw, and
    // whatever is carried comes back exactly (or a gap is refused).
    auto input = fixture("m1_44k_joint_cbr128.mp3");
    const auto layout = l3test::scanCarried(input.data(), input.size());
    ASSERT_FALSE(layout.frames.empty());
    std::mt19937 rng(7);
    for (const WalkFrame& f : layout.frames)
        for (int32_t j = 4; j < f.length; ++j)
            input[f.offset + static_cast<size_t>(j)] = static_cast<uint8_t>(rng());
    const DisassembleResult r = disassemble(input.data(), input.size(), nullptr);
    // 417-byte frames leave gaps far below 8192 bits, so everything is carried.
    ASSERT_EQ(r.status, Status::ok) << r.message;
    EXPECT_EQ(r.frames, layout.frames.size());
    EXPECT_GT(r.rawFrames, r.frames / 2);
    std::vector<uint8_t> rebuilt;
    ASSERT_EQ(assembleInMemory(r.records.data(), r.records.size(), r.ancillary.data(),
                               r.ancillary.size(), rebuilt),
              Status::ok);
    EXPECT_TRUE(rebuilt == input);
}

// The check that records rebuild their input, inline and on its own thread: every byte of
// the frames counts, up to the last one, which only the last batch's end can compare.
TEST(RebuildCheck, FindsAChangedByteInlineAndOnItsThread) {
    const std::vector<uint8_t> input = fixture("m1_44k_msforced_cbr96_notag.mp3");
    const DisassembleResult whole = disassemble(input.data(), input.size(), nullptr);
    ASSERT_EQ(whole.status, Status::ok) << whole.message;
    ASSERT_TRUE(whole.skipped.empty());
    ASSERT_EQ(whole.trailingBytes, 0u);
    const size_t entries = (whole.records.size() - kHeadBytes) / kRecordEntryBytes;
    // Batches of seven entries, each with the frames of its own entries.
    auto batches = [&](size_t flipAt) {
        std::vector<CheckBatch> out;
        std::vector<uint8_t> frames = input;
        if (flipAt < frames.size()) frames[flipAt] ^= 0x10;
        size_t share = 0, frame = 0;
        for (size_t k = 0; k < entries; ++k) {
            if (k % 7 == 0) out.emplace_back();
            CheckBatch& b = out.back();
            const uint8_t* entry = whole.records.data() + kHeadBytes + k * kRecordEntryBytes;
            decodeFrameRecord(entry, nextRecord(b));
            b.ancillaryBits.push_back(static_cast<int32_t>(loadLe32(entry + kRecordBytes)));
            const size_t bytes = shareBytes(b.ancillaryBits.back());
            b.shares.insert(b.shares.end(), whole.ancillary.begin() + static_cast<ptrdiff_t>(share),
                            whole.ancillary.begin() + static_cast<ptrdiff_t>(share + bytes));
            share += bytes;
            ++b.entryCount;
            const uint32_t header = loadLe32(entry);  // records hold numbers little-endian
            if (k < whole.frames) {
                const size_t length = static_cast<size_t>(frameLength(header));
                b.expected.insert(b.expected.end(), frames.begin() + static_cast<ptrdiff_t>(frame),
                                  frames.begin() + static_cast<ptrdiff_t>(frame + length));
                frame += length;
            }
        }
        out.back().last = true;
        out.back().frameBytes = input.size();
        return out;
    };
    for (size_t flipAt : {input.size(), size_t{0}, input.size() / 2, input.size() - 1}) {
        const bool changed = flipAt < input.size();
        // The checked entries are the records' own, whichever way they were checked.
        const std::vector<uint8_t> wanted(whole.records.begin() + kHeadBytes, whole.records.end());
        RebuildCheck inline_;
        bool ok = true;
        std::vector<uint8_t> inlineEntries;
        for (const CheckBatch& b : batches(flipAt))
            ok = ok && runCheckBatch(inline_, b, inlineEntries);
        EXPECT_EQ(ok, !changed) << flipAt;
        if (!changed) {
            EXPECT_TRUE(inlineEntries == wanted);
        }
        RebuildCheck threaded;
        {
            CheckThread thread(threaded);
            std::vector<uint8_t> taken;
            for (CheckBatch& b : batches(flipAt)) thread.submit(b);
            EXPECT_EQ(thread.finish(), !changed) << flipAt;
            thread.takeEntries(taken);
            thread.takeEntries(taken);
            if (!changed) {
                EXPECT_TRUE(taken == wanted);
            }
        }
        EXPECT_EQ(threaded.status, changed ? Status::verify : Status::ok) << flipAt;
        if (changed) {
            EXPECT_EQ(inline_.message, threaded.message);
            EXPECT_NE(threaded.message.find("first difference at byte " + std::to_string(flipAt)),
                      std::string::npos)
                << threaded.message;
        }
    }
}

}  // namespace
