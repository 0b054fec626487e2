// Damaged records: the built l3assemble must stop at the first record it cannot write as
// it stands, with one message naming the frame, granule, channel, field and value, exit
// code 4, and an output that holds exactly what a run over the records before it writes.
// Values in fields that the frame does not use are accepted and change nothing.
//
// The good records are real: the built l3disassemble splits encoder-made fixtures, and one
// record of them is altered. Every expectation is a run of the same program over records
// that are known to be good, or a layout computed here from the stream format.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/record_file.h"

namespace {

using l3::FrameRecord;
using l3::GranuleChannelInfo;
using l3test::RecordEntry;
using l3test::shellQuote;
using l3test::TempDir;

#define EXPECT_SAME_BYTES(actual, expected) \
    EXPECT_EQ(l3test::describeDifference(actual, expected), "")

constexpr size_t kEntryBytes = 5614;

// ---------------------------------------------------------------------------------------
// Real records.

struct Fixture {
    std::vector<RecordEntry> entries;  // without the closing record
    std::vector<uint8_t> ancillary;
};

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The records of tests/data/lame/NAME.mp3, split once per test program.
const Fixture& fixture(const std::string& name) {
    static std::map<std::string, Fixture> cache;
    auto found = cache.find(name);
    if (found != cache.end()) return found->second;
    TempDir dir;
    const std::string input = std::string(TEST_DATA_DIR) + "/lame/" + name + ".mp3";
    const l3test::ProgramResult r = l3test::runProgram(
        dir, L3DISASSEMBLE_EXE, "--quiet " + shellQuote(input) + " rec anc");
    if (r.exitCode != 0) throw std::runtime_error("cannot split " + name + ": " + r.err);
    const std::vector<uint8_t> records = dir.read("rec");
    Fixture f;
    f.ancillary = dir.read("anc");
    const int32_t count = static_cast<int32_t>(le32(records, 0));
    for (int32_t k = 0; k < count; ++k) {
        const size_t at = 12 + kEntryBytes * static_cast<size_t>(k);
        if (at + kEntryBytes > records.size()) throw std::runtime_error("short record file");
        RecordEntry e;
        l3::decodeFrameRecord(records.data() + at, e.record);
        e.ancillaryBits = static_cast<int32_t>(le32(records, at + l3::kRecordBytes));
        f.entries.push_back(e);
    }
    // The closing record carries the file's tail; these tests cut the run before it.
    if (!f.entries.empty() && f.entries.back().record.rawMainData &&
        f.entries.back().record.header == 0xFFFBEAC0)
        f.entries.pop_back();
    return cache.emplace(name, std::move(f)).first->second;
}

// Ancillary bytes the first `count` records read: min(bits, 1024) each for positive bits.
size_t ancillaryShare(const Fixture& f, size_t count) {
    size_t bytes = 0;
    for (size_t k = 0; k < count; ++k)
        if (f.entries[k].ancillaryBits > 0)
            bytes += static_cast<size_t>(std::min(f.entries[k].ancillaryBits, 1024));
    return std::min(bytes, f.ancillary.size());
}

// Byte offset of frame k in a run over these records.
size_t frameOffset(const std::vector<RecordEntry>& entries, size_t k) {
    size_t offset = 0;
    for (size_t i = 0; i < k; ++i)
        offset += static_cast<size_t>(l3test::referenceFrameLength(entries[i].record.header));
    return offset;
}

bool isMpeg1(const FrameRecord& r) {
    return l3test::referenceIsMpeg1(r.header);
}
int channels(const FrameRecord& r) {
    return l3test::referenceChannels(r.header);
}
int granules(const FrameRecord& r) {
    return isMpeg1(r) ? 2 : 1;
}

// Scalefactor widths of MPEG-1 frames by scalefac_compress: slen1, slen2.
int mpeg1Slen(int scalefac_compress, int which) {
    static const int slen[2][16] = {{0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
                                    {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3}};
    return slen[which][scalefac_compress];
}

// Widths of the four scalefactor partitions of an MPEG-2/2.5 channel without intensity
// stereo, and the partition sizes of long blocks, by scalefac_compress.
struct LsfLayout {
    int width[4];
    int count[4];
};
LsfLayout lsfLongLayout(int sc) {
    if (sc < 400)
        return {{(sc >> 4) / 5, (sc >> 4) % 5, (sc % 16) >> 2, sc % 4}, {6, 5, 5, 5}};
    if (sc < 500) {
        const int t = sc - 400;
        return {{(t >> 2) / 5, (t >> 2) % 5, t % 4, 0}, {6, 5, 7, 3}};
    }
    const int t = sc - 500;
    return {{t / 3, t % 3, 0, 0}, {11, 10, 0, 0}};
}

// Long-block band edges at 44.1 kHz (MPEG-1): first line of each band.
constexpr int kEdges44k[23] = {0,   4,   8,   12,  16,  20,  24,  30,  36,  44,  52, 62,
                               74,  90,  110, 134, 162, 196, 238, 288, 342, 418, 576};

// ---------------------------------------------------------------------------------------
// Runs.

struct Outcome {
    int exitCode = -1;
    std::string err;
    std::vector<uint8_t> output;
};

Outcome assemble(const std::vector<RecordEntry>& entries, const std::vector<uint8_t>& ancillary) {
    TempDir dir;
    dir.write("rec", l3test::recordFile(entries));
    dir.write("anc", ancillary);
    const l3test::ProgramResult r = l3test::runProgram(dir, L3ASSEMBLE_EXE, "rec anc out");
    return {r.exitCode, r.err, dir.read("out")};
}

// Finds the first record from index 2 on (so that good frames come before it) that is
// coded and satisfies pred; fails the test when there is none.
size_t findRecord(const Fixture& f, const std::function<bool(const FrameRecord&)>& pred) {
    for (size_t k = 2; k + 3 < f.entries.size(); ++k)
        if (!f.entries[k].record.rawMainData && pred(f.entries[k].record)) return k;
    ADD_FAILURE() << "no record of the fixture has the layout the case needs";
    return 0;
}

// Finds a granule and channel of a coded record that satisfies pred.
struct Place {
    size_t frame = 0;
    int gr = 0;
    int ch = 0;
};
Place findGranule(const Fixture& f,
                  const std::function<bool(const FrameRecord&, const GranuleChannelInfo&)>& pred,
                  int onlyGranule = -1) {
    Place p;
    p.frame = findRecord(f, [&](const FrameRecord& r) {
        for (int gr = 0; gr < granules(r); ++gr)
            for (int ch = 0; ch < channels(r); ++ch)
                if ((onlyGranule < 0 || gr == onlyGranule) && r.granuleInfo[gr][ch].part2_3_length > 0 &&
                    pred(r, r.granuleInfo[gr][ch])) {
                    p.gr = gr;
                    p.ch = ch;
                    return true;
                }
        return false;
    });
    return p;
}

// The message's fixed part: where the problem is, the field and the value.
std::string where(size_t frame, int gr, int ch) {
    std::string text = "l3assemble: frame " + std::to_string(frame);
    if (gr >= 0) text += ", granule " + std::to_string(gr);
    if (ch >= 0) text += ", channel " + std::to_string(ch);
    return text + ": ";
}

// Records 0..k-1 of the fixture, then `bad` in place of record k, then three more good
// records: the run stops at frame k with exit code 4 and one message that starts with
// `start` and contains `reason`; the output is that of a run over records 0..k-1 alone
// (with exactly the ancillary bytes they read), which is their complete frames.
void expectRejected(const Fixture& f, size_t k, const FrameRecord& bad, const std::string& start,
                    const std::string& reason) {
    std::vector<RecordEntry> entries(f.entries.begin(), f.entries.begin() + k);
    const std::vector<uint8_t> share(f.ancillary.begin(),
                                     f.ancillary.begin() + ancillaryShare(f, k));
    const Outcome good = assemble(entries, share);
    ASSERT_EQ(good.exitCode, 0) << good.err;
    ASSERT_EQ(good.output.size(), frameOffset(entries, k));
    ASSERT_GE(good.output.size(), 4u);
    EXPECT_EQ(good.output[0], 0xFF);

    entries.push_back({bad, f.entries[k].ancillaryBits});
    entries.insert(entries.end(), f.entries.begin() + k + 1, f.entries.begin() + k + 4);
    const Outcome r = assemble(entries, f.ancillary);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex("l3assemble: [^\\n]*\\n"))) << r.err;
    EXPECT_EQ(r.err.substr(0, start.size()), start) << r.err;
    EXPECT_NE(r.err.find(reason, start.size()), std::string::npos) << r.err << " lacks " << reason;
    EXPECT_SAME_BYTES(r.output, good.output);
}

// Records 0..k+3 with record k as the fixture has it and as altered: both runs succeed
// without a message, and the altered one's output equals the first with frame k's head
// (header, CRC, side information) laid out from the altered record.
void expectAccepted(const Fixture& f, size_t k, const FrameRecord& altered,
                    bool headChanges = false) {
    std::vector<RecordEntry> entries(f.entries.begin(), f.entries.begin() + k + 4);
    const Outcome base = assemble(entries, f.ancillary);
    ASSERT_EQ(base.exitCode, 0) << base.err;
    entries[k].record = altered;
    const Outcome r = assemble(entries, f.ancillary);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<uint8_t> expected = base.output;
    if (headChanges) {
        const std::vector<uint8_t> head = l3test::referenceHead(altered);
        std::copy(head.begin(), head.end(),
                  expected.begin() + static_cast<std::ptrdiff_t>(frameOffset(entries, k)));
    }
    EXPECT_SAME_BYTES(r.output, expected);
}

// Only the exit code and the silence of a run with record k altered.
void expectWritten(const Fixture& f, size_t k, const FrameRecord& altered) {
    std::vector<RecordEntry> entries(f.entries.begin(), f.entries.begin() + k + 4);
    entries[k].record = altered;
    const Outcome r = assemble(entries, f.ancillary);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

const char kStereo1[] = "m1_44k_joint_cbr128";          // MPEG-1, two channels
const char kMono1[] = "m1_44k_mono_clicks_cbr64_crc";   // MPEG-1, one channel, CRC
const char kShort1[] = "m1_48k_stereo_clicks_cbr256";   // MPEG-1 with short blocks
const char kStereo2[] = "m2_22k_joint_vbr5";            // MPEG-2, two channels
const char kMono25[] = "m25_8k_mono_cbr8";              // MPEG-2.5, one channel

bool switching(const GranuleChannelInfo& g) {
    return g.window_switching_flag != 0;
}

// ---------------------------------------------------------------------------------------
// Side-information values wider than their fields, for the field's version and layout.

struct WidthCase {
    const char* fixture;
    const char* field;
    int32_t value;
    int bits;
    bool frameLevel;  // a field of the frame, not of a granule and channel
    std::function<bool(const FrameRecord&, const GranuleChannelInfo&)> layout;
    std::function<void(FrameRecord&, GranuleChannelInfo&)> alter;
};

TEST(Validation, SideInformationValueWiderThanItsFieldStopsTheRun) {
    auto any = [](const FrameRecord&, const GranuleChannelInfo&) { return true; };
    auto longBlocks = [](const FrameRecord&, const GranuleChannelInfo& g) { return !switching(g); };
    auto switched = [](const FrameRecord&, const GranuleChannelInfo& g) { return switching(g); };
    using F = FrameRecord&;
    using G = GranuleChannelInfo&;
    const std::vector<WidthCase> cases = {
        {kStereo1, "main_data_begin", 512, 9, true, any, [](F r, G) { r.main_data_begin = 512; }},
        {kStereo1, "main_data_begin", -1, 9, true, any, [](F r, G) { r.main_data_begin = -1; }},
        {kStereo2, "main_data_begin", 256, 8, true, any, [](F r, G) { r.main_data_begin = 256; }},
        {kStereo1, "private_bits", 8, 3, true, any, [](F r, G) { r.private_bits = 8; }},
        {kMono1, "private_bits", 32, 5, true, any, [](F r, G) { r.private_bits = 32; }},
        {kStereo2, "private_bits", 4, 2, true, any, [](F r, G) { r.private_bits = 4; }},
        {kMono25, "private_bits", 2, 1, true, any, [](F r, G) { r.private_bits = 2; }},
        {kStereo1, "part2_3_length", 4096, 12, false, any, [](F, G g) { g.part2_3_length = 4096; }},
        {kStereo1, "part2_3_length", -1, 12, false, any, [](F, G g) { g.part2_3_length = -1; }},
        {kStereo1, "big_values", 512, 9, false, any, [](F, G g) { g.big_values = 512; }},
        {kStereo1, "big_values", -1, 9, false, any, [](F, G g) { g.big_values = -1; }},
        {kStereo1, "global_gain", 256, 8, false, any, [](F, G g) { g.global_gain = 256; }},
        {kStereo1, "scalefac_compress", 16, 4, false, any, [](F, G g) { g.scalefac_compress = 16; }},
        {kStereo2, "scalefac_compress", 512, 9, false, any,
         [](F, G g) { g.scalefac_compress = 512; }},
        {kStereo1, "window_switching_flag", 2, 1, false, any,
         [](F, G g) { g.window_switching_flag = 2; }},
        {kStereo1, "block_type", 4, 2, false, switched, [](F, G g) { g.block_type = 4; }},
        {kStereo1, "mixed_block_flag", 2, 1, false, switched, [](F, G g) { g.mixed_block_flag = 2; }},
        {kStereo1, "table_select[1]", 32, 5, false, switched, [](F, G g) { g.table_select[1] = 32; }},
        {kStereo1, "subblock_gain[2]", 8, 3, false, switched, [](F, G g) { g.subblock_gain[2] = 8; }},
        {kStereo1, "subblock_gain[0]", -1, 3, false, switched,
         [](F, G g) { g.subblock_gain[0] = -1; }},
        {kStereo1, "table_select[2]", 32, 5, false, longBlocks,
         [](F, G g) { g.table_select[2] = 32; }},
        {kStereo1, "region0_count", 16, 4, false, longBlocks, [](F, G g) { g.region0_count = 16; }},
        {kStereo1, "region0_count", -1, 4, false, longBlocks, [](F, G g) { g.region0_count = -1; }},
        {kStereo1, "region1_count", 8, 3, false, longBlocks, [](F, G g) { g.region1_count = 8; }},
        {kStereo1, "preflag", 2, 1, false, any, [](F, G g) { g.preflag = 2; }},
        {kStereo1, "scalefac_scale", 2, 1, false, any, [](F, G g) { g.scalefac_scale = 2; }},
        {kStereo1, "count1table_select", 2, 1, false, any,
         [](F, G g) { g.count1table_select = 2; }},
        {kMono25, "count1table_select", -1, 1, false, any,
         [](F, G g) { g.count1table_select = -1; }},
    };
    for (const WidthCase& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.field + " " + std::to_string(c.value));
        const Fixture& f = fixture(c.fixture);
        const Place p = findGranule(f, c.layout);
        FrameRecord bad = f.entries[p.frame].record;
        c.alter(bad, bad.granuleInfo[p.gr][p.ch]);
        const std::string start = c.frameLevel ? where(p.frame, -1, -1) : where(p.frame, p.gr, p.ch);
        expectRejected(f, p.frame, bad, start + c.field + " " + std::to_string(c.value) + " ",
                       std::to_string(c.bits) + " bit");
    }
}

TEST(Validation, ScfsiWiderThanOneBitNamesItsChannel) {
    const Fixture& f = fixture(kStereo1);
    const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
    FrameRecord bad = f.entries[k].record;
    bad.scfsi[1][2] = 2;
    expectRejected(f, k, bad, where(k, -1, 1) + "scfsi[2] 2 ", "1 bit");
}

TEST(Validation, RawRecordIsCheckedOnTheLengthItWrites) {
    const Fixture& f = fixture(kStereo1);
    const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
    FrameRecord raw = f.entries[k].record;
    raw.rawMainData = 1;
    FrameRecord bad = raw;
    bad.granuleInfo[1][0].rawPart2_3Length = 4096;
    expectRejected(f, k, bad, where(k, 1, 0) + "rawPart2_3Length 4096 ", "12 bit");

    // part2_3_length is not written for a raw frame, and nothing is coded from its values.
    FrameRecord loose = raw;
    loose.granuleInfo[0][1].part2_3_length = -1;
    loose.granuleInfo[1][1].big_values = 300;
    loose.granuleInfo[0][0].table_select[0] = 4;
    loose.spectrum[0][0][0] = 30000;
    loose.scalefactors[1][1][0] = 65535;
    std::vector<RecordEntry> entries(f.entries.begin(), f.entries.begin() + k + 4);
    entries[k].record = raw;
    const Outcome base = assemble(entries, f.ancillary);
    ASSERT_EQ(base.exitCode, 0) << base.err;
    entries[k].record = loose;
    const Outcome r = assemble(entries, f.ancillary);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // big_values is written, so only the head of frame k differs.
    std::vector<uint8_t> expected = base.output;
    const std::vector<uint8_t> head = l3test::referenceHead(loose);
    std::copy(head.begin(), head.end(),
              expected.begin() + static_cast<std::ptrdiff_t>(frameOffset(entries, k)));
    EXPECT_SAME_BYTES(r.output, expected);
}

// ---------------------------------------------------------------------------------------
// big_values and the tables of coded regions.

TEST(Validation, BigValuesAbove288InACodedGranuleStopsTheRun) {
    const Fixture& f = fixture(kStereo1);
    const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo&) { return true; });
    FrameRecord bad = f.entries[p.frame].record;
    bad.granuleInfo[p.gr][p.ch].big_values = 289;
    expectRejected(f, p.frame, bad, where(p.frame, p.gr, p.ch) + "big_values 289 ", "288");

    FrameRecord edge = f.entries[p.frame].record;
    edge.granuleInfo[p.gr][p.ch].big_values = 288;
    expectWritten(f, p.frame, edge);
}

TEST(Validation, CodedRegionNamingAMissingTableStopsTheRun) {
    const Fixture& f = fixture(kStereo1);
    // Long blocks whose region 1 holds lines, so that regions 0 and 1 are both coded.
    const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
        return !switching(g) && 2 * g.big_values > kEdges44k[g.region0_count + 1];
    });
    for (int table : {4, 14}) {
        for (int region : {0, 1}) {
            SCOPED_TRACE("table " + std::to_string(table) + " in region " + std::to_string(region));
            FrameRecord bad = f.entries[p.frame].record;
            bad.granuleInfo[p.gr][p.ch].table_select[region] = table;
            expectRejected(f, p.frame, bad,
                           where(p.frame, p.gr, p.ch) + "table_select[" + std::to_string(region) +
                               "] " + std::to_string(table) + " ",
                           "");
        }
    }
    // A window-switching granule codes two regions: region 1 starts at line 36 (44.1 kHz).
    const Place s = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
        return switching(g) && 2 * g.big_values > 36;
    });
    FrameRecord bad = f.entries[s.frame].record;
    bad.granuleInfo[s.gr][s.ch].table_select[1] = 14;
    expectRejected(f, s.frame, bad, where(s.frame, s.gr, s.ch) + "table_select[1] 14 ", "");
}

TEST(Validation, EmptyRegionMayNameAMissingTable) {
    // A granule without big values codes no region at all.
    const Fixture& f = fixture(kMono1);
    const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
        return !switching(g) && g.big_values == 0;
    });
    FrameRecord altered = f.entries[p.frame].record;
    altered.granuleInfo[p.gr][p.ch].table_select[0] = 4;
    altered.granuleInfo[p.gr][p.ch].table_select[1] = 14;
    altered.granuleInfo[p.gr][p.ch].table_select[2] = 4;
    expectAccepted(f, p.frame, altered, true);
}

// ---------------------------------------------------------------------------------------
// Scalefactors wider than their widths.

TEST(Validation, Mpeg1LongBlockScalefactorWiderThanItsWidthStopsTheRun) {
    const Fixture& f = fixture(kStereo1);
    const Place p = findGranule(
        f,
        [](const FrameRecord&, const GranuleChannelInfo& g) {
            return !switching(g) && mpeg1Slen(g.scalefac_compress, 0) > 0 &&
                   mpeg1Slen(g.scalefac_compress, 1) > 0;
        },
        0);
    const GranuleChannelInfo& g = f.entries[p.frame].record.granuleInfo[p.gr][p.ch];
    const int slen1 = mpeg1Slen(g.scalefac_compress, 0);
    const int slen2 = mpeg1Slen(g.scalefac_compress, 1);
    // Band 3 is written with slen1, band 15 with slen2.
    for (int band : {3, 15}) {
        const int width = band < 11 ? slen1 : slen2;
        SCOPED_TRACE("band " + std::to_string(band));
        FrameRecord bad = f.entries[p.frame].record;
        bad.scalefactors[p.gr][p.ch][band] = static_cast<uint16_t>(1 << width);
        expectRejected(f, p.frame, bad,
                       where(p.frame, p.gr, p.ch) + "scalefactor entry " + std::to_string(band) +
                           " value " + std::to_string(1 << width) + " ",
                       "");
        FrameRecord edge = f.entries[p.frame].record;
        edge.scalefactors[p.gr][p.ch][band] = static_cast<uint16_t>((1 << width) - 1);
        expectWritten(f, p.frame, edge);
    }
}

TEST(Validation, Mpeg1ShortAndMixedBlockScalefactorsAreCheckedInTheirLayout) {
    const Fixture& f = fixture(kShort1);
    const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
        return switching(g) && g.block_type == 2 && g.mixed_block_flag == 0 &&
               mpeg1Slen(g.scalefac_compress, 0) > 0 && mpeg1Slen(g.scalefac_compress, 1) > 0;
    });
    const GranuleChannelInfo& g = f.entries[p.frame].record.granuleInfo[p.gr][p.ch];
    const int slen1 = mpeg1Slen(g.scalefac_compress, 0);
    const int slen2 = mpeg1Slen(g.scalefac_compress, 1);
    {
        // Short blocks: long band entries are not written; band 6 window 2 (entry 59) is,
        // with slen2.
        SCOPED_TRACE("short");
        FrameRecord bad = f.entries[p.frame].record;
        bad.scalefactors[p.gr][p.ch][0] = 999;
        bad.scalefactors[p.gr][p.ch][39 + 3 * 6 + 2] = static_cast<uint16_t>(1 << slen2);
        expectRejected(f, p.frame, bad,
                       where(p.frame, p.gr, p.ch) + "scalefactor entry 59 value " +
                           std::to_string(1 << slen2) + " ",
                       "");
    }
    {
        // Mixed blocks: short bands 0-2 are not written, long band 7 is, with slen1.
        SCOPED_TRACE("mixed");
        FrameRecord bad = f.entries[p.frame].record;
        bad.granuleInfo[p.gr][p.ch].mixed_block_flag = 1;
        bad.scalefactors[p.gr][p.ch][39] = 999;
        bad.scalefactors[p.gr][p.ch][7] = static_cast<uint16_t>(1 << slen1);
        expectRejected(f, p.frame, bad,
                       where(p.frame, p.gr, p.ch) + "scalefactor entry 7 value " +
                           std::to_string(1 << slen1) + " ",
                       "");
    }
}

TEST(Validation, LsfPartitionScalefactorWiderThanItsWidthStopsTheRun) {
    const Fixture& f = fixture(kStereo2);
    // Channel 0 (whose widths never come from the intensity-stereo rule), long blocks,
    // partition 1 written.
    const Place p = findGranule(f, [](const FrameRecord& r, const GranuleChannelInfo& g) {
        const LsfLayout l = lsfLongLayout(g.scalefac_compress);
        return &g == &r.granuleInfo[0][0] && !switching(g) && l.width[1] > 0;
    });
    ASSERT_EQ(p.ch, 0);
    const LsfLayout l =
        lsfLongLayout(f.entries[p.frame].record.granuleInfo[0][0].scalefac_compress);
    // The first entry of partition 1 follows all entries of partition 0.
    const int entry = l.count[0];
    FrameRecord bad = f.entries[p.frame].record;
    bad.scalefactors[0][0][entry] = static_cast<uint16_t>(1 << l.width[1]);
    expectRejected(f, p.frame, bad,
                   where(p.frame, 0, 0) + "scalefactor entry " + std::to_string(entry) +
                       " value " + std::to_string(1 << l.width[1]) + " ",
                   "");
}

// ---------------------------------------------------------------------------------------
// Spectral values that their table or the count1 region cannot hold.

struct ValueCase {
    int table;
    int value;
    bool fits;
};

// Every line zero but line 2 (in region 0), every region coded with the case's table.
void checkValueCases(const std::vector<ValueCase>& cases) {
    const Fixture& f = fixture(kStereo1);
    const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
        return !switching(g) && g.big_values >= 2;
    });
    for (const ValueCase& c : cases) {
        SCOPED_TRACE("table " + std::to_string(c.table) + " value " + std::to_string(c.value));
        FrameRecord altered = f.entries[p.frame].record;
        GranuleChannelInfo& g = altered.granuleInfo[p.gr][p.ch];
        for (auto& t : g.table_select) t = c.table;
        for (auto& v : altered.spectrum[p.gr][p.ch]) v = 0;
        altered.spectrum[p.gr][p.ch][2] = static_cast<int16_t>(c.value);
        if (c.fits)
            expectWritten(f, p.frame, altered);
        else
            expectRejected(f, p.frame, altered,
                           where(p.frame, p.gr, p.ch) + "spectrum line 2 value " +
                               std::to_string(c.value) + " ",
                           "");
    }
}

TEST(Validation, BigValueOutsideItsTableStopsTheRun) {
    // Largest magnitudes: yLen - 1 without escape bits (table 1: 1, 3: 2), 15 + 2^linbits - 1
    // with them (16: 1 bit, 24: 4 bits, 23 and 31: 13 bits).
    checkValueCases({
        {1, 1, true},     {1, 2, false},     {1, -2, false},     {3, 2, true},
        {3, -3, false},   {16, 16, true},    {16, 17, false},    {24, -30, true},
        {24, 31, false},  {23, 8206, true},  {23, 8207, false},  {31, -8207, false},
    });
}

// Tables 13 and 15 hold magnitudes up to 15 and have no escape bits: 16 is not codable.
TEST(Validation, MagnitudeAbove15InATableWithoutEscapeBitsStopsTheRun) {
    checkValueCases({
        {13, 15, true}, {13, 16, false}, {15, -15, true}, {15, -16, false}, {15, 300, false},
    });
}

TEST(Validation, Count1ValueOtherThanMinusOneZeroOrOneStopsTheRun) {
    const Fixture& f = fixture(kStereo1);
    // A granule with a non-zero value in its count1 region: its quadruple is coded.
    int line = -1;
    const Place p = findGranule(f, [&line](const FrameRecord& r, const GranuleChannelInfo& g) {
        const int gr = &g >= &r.granuleInfo[1][0] ? 1 : 0;
        const int ch = static_cast<int>(&g - &r.granuleInfo[gr][0]);
        for (int i = 2 * g.big_values; i < 572; ++i)
            if (r.spectrum[gr][ch][i] != 0) {
                line = i;
                return true;
            }
        return false;
    });
    ASSERT_GE(line, 0);
    for (int value : {2, -2}) {
        SCOPED_TRACE(value);
        FrameRecord bad = f.entries[p.frame].record;
        bad.spectrum[p.gr][p.ch][line] = static_cast<int16_t>(value);
        expectRejected(f, p.frame, bad,
                       where(p.frame, p.gr, p.ch) + "spectrum line " + std::to_string(line) +
                           " value " + std::to_string(value) + " ",
                       "count1");
    }
}

// ---------------------------------------------------------------------------------------
// Values in fields the frame does not use change nothing.

TEST(Validation, FieldsTheFrameDoesNotUseAreNotChecked) {
    {
        SCOPED_TRACE("granule 1 of an MPEG-2 frame");
        const Fixture& f = fixture(kStereo2);
        const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
        FrameRecord altered = f.entries[k].record;
        for (GranuleChannelInfo& g : altered.granuleInfo[1]) {
            g.part2_3_length = -5;
            g.big_values = 9999;
            g.table_select[0] = 4;
            g.scalefac_compress = 100000;
        }
        for (auto& channel : altered.spectrum[1])
            for (auto& v : channel) v = 32767;
        for (auto& channel : altered.scalefactors[1])
            for (auto& v : channel) v = 65535;
        altered.granuleInfo[0][0].preflag = 7;  // not carried by MPEG-2 side information
        for (auto& channel : altered.scfsi)
            for (auto& v : channel) v = 5;  // MPEG-1 only
        expectAccepted(f, k, altered);
    }
    {
        SCOPED_TRACE("channel 1 of a single-channel frame");
        const Fixture& f = fixture(kMono1);
        const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
        FrameRecord altered = f.entries[k].record;
        for (int gr = 0; gr < 2; ++gr) {
            GranuleChannelInfo& g = altered.granuleInfo[gr][1];
            g.part2_3_length = 70000;
            g.big_values = -3;
            g.global_gain = 1000;
            g.table_select[1] = 14;
            for (auto& v : altered.spectrum[gr][1]) v = -32768;
            for (auto& v : altered.scalefactors[gr][1]) v = 65535;
        }
        for (auto& v : altered.scfsi[1]) v = 9;
        expectAccepted(f, k, altered);
    }
    {
        SCOPED_TRACE("branch fields of the other window-switching layout");
        const Fixture& f = fixture(kStereo1);
        const Place s = findGranule(
            f, [](const FrameRecord&, const GranuleChannelInfo& g) { return switching(g); });
        FrameRecord altered = f.entries[s.frame].record;
        GranuleChannelInfo& g = altered.granuleInfo[s.gr][s.ch];
        g.region0_count = 99;
        g.region1_count = -5;
        g.table_select[2] = 14;
        expectAccepted(f, s.frame, altered);

        const Place l = findGranule(
            f, [](const FrameRecord&, const GranuleChannelInfo& gi) { return !switching(gi); });
        altered = f.entries[l.frame].record;
        GranuleChannelInfo& h = altered.granuleInfo[l.gr][l.ch];
        h.block_type = 9;
        h.mixed_block_flag = 7;
        h.subblock_gain[0] = 8;
        h.subblock_gain[1] = -1;
        h.subblock_gain[2] = 100;
        expectAccepted(f, l.frame, altered);
    }
    {
        SCOPED_TRACE("scalefactors of width 0 and of groups granule 1 reuses");
        const Fixture& f = fixture(kStereo1);
        const Place p = findGranule(f, [](const FrameRecord&, const GranuleChannelInfo& g) {
            return !switching(g) && mpeg1Slen(g.scalefac_compress, 0) == 0;
        });
        FrameRecord altered = f.entries[p.frame].record;
        for (int band = 0; band < 11; ++band) altered.scalefactors[p.gr][p.ch][band] = 999;
        // Entries 21-38 and 75-77 belong to no band.
        for (int e = 21; e < 39; ++e) altered.scalefactors[p.gr][p.ch][e] = 999;
        expectAccepted(f, p.frame, altered);

        const Place r = findGranule(
            f,
            [](const FrameRecord& rec, const GranuleChannelInfo& g) {
                return !switching(g) && &g == &rec.granuleInfo[1][0] && rec.scfsi[0][0] != 0;
            },
            1);
        altered = f.entries[r.frame].record;
        for (int band = 0; band < 6; ++band) altered.scalefactors[1][0][band] = 999;
        expectAccepted(f, r.frame, altered);
    }
    {
        SCOPED_TRACE("MPEG-2 partition of width 0");
        const Fixture& f = fixture(kStereo2);
        const Place p = findGranule(f, [](const FrameRecord& r, const GranuleChannelInfo& g) {
            const LsfLayout l = lsfLongLayout(g.scalefac_compress);
            return &g == &r.granuleInfo[0][0] && !switching(g) && l.width[2] == 0 &&
                   l.width[3] == 0;
        });
        ASSERT_EQ(p.ch, 0);
        FrameRecord altered = f.entries[p.frame].record;
        const LsfLayout l = lsfLongLayout(altered.granuleInfo[0][0].scalefac_compress);
        for (int e = l.count[0] + l.count[1]; e < 78; ++e) altered.scalefactors[0][0][e] = 999;
        expectAccepted(f, p.frame, altered);
    }
    {
        SCOPED_TRACE("spectrum past the part2_3_length budget");
        const Fixture& f = fixture(kStereo1);
        // The count1 region ends where the budget runs out; the last quadruple position
        // (572) lies beyond it when the granule's values end earlier.
        const Place p = findGranule(f, [](const FrameRecord& r, const GranuleChannelInfo& g) {
            const int gr = &g >= &r.granuleInfo[1][0] ? 1 : 0;
            const int ch = static_cast<int>(&g - &r.granuleInfo[gr][0]);
            for (int i = 400; i < 576; ++i)
                if (r.spectrum[gr][ch][i] != 0) return false;
            return 2 * g.big_values < 400;
        });
        FrameRecord altered = f.entries[p.frame].record;
        altered.spectrum[p.gr][p.ch][574] = 7;
        expectAccepted(f, p.frame, altered);
    }
    {
        SCOPED_TRACE("working and reserved fields");
        const Fixture& f = fixture(kStereo1);
        const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
        FrameRecord altered = f.entries[k].record;
        altered.placedMainDataBegin = -12345;
        for (auto& granule : altered.granuleInfo)
            for (auto& g : granule) g.reserved = -1;
        expectAccepted(f, k, altered);
    }
}

// ---------------------------------------------------------------------------------------
// The header's sync and layer bits are written as the record gives them.

TEST(Validation, SyncAndLayerBitsPassThrough) {
    for (const char* name : {kStereo1, kMono1}) {
        SCOPED_TRACE(name);
        const Fixture& f = fixture(name);
        const size_t k = findRecord(f, [](const FrameRecord&) { return true; });
        std::vector<RecordEntry> entries(f.entries.begin(), f.entries.begin() + k + 4);
        const Outcome base = assemble(entries, f.ancillary);
        ASSERT_EQ(base.exitCode, 0) << base.err;
        // First byte 0x12; second byte: sync bits 010, version and protection kept, layer
        // bits 11 (the code of Layer I) or 00 (reserved).
        for (uint32_t layer : {3u, 0u}) {
            const uint32_t header = entries[k].record.header;
            const uint32_t second = (((header >> 16) & 0x19) | 0x40 | layer << 1);
            entries[k].record.header = (header & 0xFFFFu) | second << 16 | 0x12u << 24;
            const Outcome r = assemble(entries, f.ancillary);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.err, "");
            std::vector<uint8_t> expected = base.output;
            const size_t at = frameOffset(entries, k);
            expected[at] = 0x12;
            expected[at + 1] = static_cast<uint8_t>(second);
            EXPECT_SAME_BYTES(r.output, expected) << "layer bits " << layer;
            entries[k].record.header = header;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Inputs the fuzzing targets found, replayed through the built programs. Each may be
// refused, but with a message and a documented exit code, and no sanitizer report (the
// sanitizer preset builds the programs with them).

std::vector<std::filesystem::path> findings(const std::string& program) {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(TEST_DATA_DIR) / "regressions" / program;
    if (std::filesystem::exists(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            files.push_back(entry.path());
    return files;
}

void expectCleanExit(const l3test::ProgramResult& r, std::initializer_list<int> codes) {
    EXPECT_NE(std::find(codes.begin(), codes.end(), r.exitCode), codes.end())
        << "exit code " << r.exitCode << "; " << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
}

TEST(FuzzFindings, DisassemblerInputsAreSplitOrRefused) {
    const auto files = findings("disassemble");
    ASSERT_FALSE(files.empty());
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        TempDir dir;
        const l3test::ProgramResult r = l3test::runProgram(
            dir, L3DISASSEMBLE_EXE, "--quiet " + shellQuote(file.string()) + " rec anc");
        expectCleanExit(r, {0, 3, 4});
        if (r.exitCode != 0) {
            EXPECT_EQ(r.err.rfind("l3disassemble: ", 0), 0u) << r.err;
            continue;
        }
        const l3test::ProgramResult a = l3test::runProgram(dir, L3ASSEMBLE_EXE, "rec anc out");
        expectCleanExit(a, {0});
    }
}

// The assembler's inputs are kept as the fuzzing target reads them: a 2-byte
// little-endian ancillary length, the ancillary bytes, then the record file.
TEST(FuzzFindings, AssemblerInputsAreWrittenOrRefused) {
    for (const auto& file : findings("assemble")) {
        SCOPED_TRACE(file.filename().string());
        TempDir dir;
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ASSERT_GE(bytes.size(), 2u);
        const size_t ancillary = std::min<size_t>(bytes[0] | bytes[1] << 8, bytes.size() - 2);
        dir.write("anc", {bytes.begin() + 2, bytes.begin() + 2 + static_cast<std::ptrdiff_t>(ancillary)});
        dir.write("rec", {bytes.begin() + 2 + static_cast<std::ptrdiff_t>(ancillary), bytes.end()});
        expectCleanExit(l3test::runProgram(dir, L3ASSEMBLE_EXE, "rec anc out"), {0, 3, 4});
    }
}
