// The inspection library on real streams and on copies damaged one way each: every fault
// kind is named at the frame that holds it, clean streams have none, and the tags, the
// Xing/Info frame and the LAME extension are read as the encoder wrote them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "damage.h"
#include "disassemble/side_info_reader.h"
#include "l3/frame_record.h"
#include "inspect/side_info_check.h"
#include "l3/inspect.h"
#include "l3/tag_finder.h"

namespace {

using namespace l3;
using l3test::frameOffset;
using l3test::lameFixture;

constexpr const char* kPlain = "m1_44k_msforced_cbr96_notag.mp3";  // no tag frame, no CRC
constexpr const char* kLame = "m1_44k_joint_cbr128.mp3";           // Info frame, LAME extension
constexpr const char* kCrc = "m1_44k_joint_cbr128_crc.mp3";

bool hasFault(const StreamReport& r, FaultKind kind, int64_t frame) {
    return std::any_of(r.faults.begin(), r.faults.end(), [&](const Fault& f) {
        return f.kind == kind && (frame == kNoFrame || f.frame == frame);
    });
}

// A granule of frame k whose scalefactors take at least two bits.
int granuleWithScalefactors(const std::vector<uint8_t>& bytes, size_t frame) {
    FrameRecord rec;
    readSideInfo(bytes.data() + frame, rec);
    for (int gr = 0; gr < 2; ++gr)
        if (scalefactorBits(rec, gr, 0) >= 2 && rec.granuleInfo[gr][0].part2_3_length > 2)
            return gr;
    return -1;
}

struct DamageCase {
    const char* name;
    const char* fixture;
    std::function<void(std::vector<uint8_t>&)> damage;
    FaultKind kind;
    int64_t frame;  // where the fault must be named; kNoFrame: anywhere
};

const DamageCase kDamageCases[] = {
    {"side information bit under CRC", kCrc, [](auto& b) { b[frameOffset(b, 6) + 9] ^= 0x10; },
     FaultKind::crc_mismatch, 6},
    {"last frame cut", kPlain, [](auto& b) { b.erase(b.end() - 40, b.end()); },
     FaultKind::truncated_frame, kNoFrame},
    {"last frame running into the ID3v1 tag", "m1_44k_mono_id3v1.mp3",
     [](auto& b) { b.erase(b.end() - 128 - 50, b.end() - 128); }, FaultKind::truncated_frame,
     kNoFrame},
    {"junk between frames", kPlain,
     [](auto& b) { b.insert(b.begin() + static_cast<long>(frameOffset(b, 10)), 100, 0x55); },
     FaultKind::junk, kNoFrame},
    {"main_data_begin raised", kPlain,
     [](auto& b) { l3test::setBits(b, 8 * (frameOffset(b, 1) + 4), 9, 511); },
     FaultKind::reservoir_underflow, 1},
    {"big_values past 288", kPlain,
     [](auto& b) {
         l3test::setBits(b, l3test::firstGranuleBit(b, frameOffset(b, 8)) + 12, 9, 300);
     },
     FaultKind::side_info_invalid, 8},
    {"window switching with block type 0", kPlain,
     [](auto& b) {
         const size_t g = l3test::firstGranuleBit(b, frameOffset(b, 9));
         l3test::setBits(b, g + 12 + 9 + 8 + 4, 1 + 2, 0b100);
     },
     FaultKind::side_info_invalid, 9},
    {"part2_3_length shorter than the scalefactors", kPlain,
     [](auto& b) {
         const size_t f = frameOffset(b, 12);
         const int gr = granuleWithScalefactors(b, f);
         ASSERT_GE(gr, 0);
         l3test::setBits(b, l3test::firstGranuleBit(b, f) + static_cast<size_t>(59 * 2 * gr), 12,
                         1);
     },
     FaultKind::huffman_error, 12},
    {"Xing frame count changed", kLame,
     [](auto& b) {
         b[36 + 8 + 3] ^= 1;
         l3test::fixLameTagCrc(b);
     },
     FaultKind::xing_mismatch, 0},
    {"LAME extension byte changed", kLame,
     [](auto& b) { b[l3test::lameExtensionOffset(b) + 10] ^= 1; }, FaultKind::lame_tag_crc, 0},
    {"main-data bit flipped", kLame, [](auto& b) { b[frameOffset(b, 20) + 200] ^= 0x04; },
     FaultKind::music_crc, kNoFrame},
    {"streams of different sampling rates joined", kPlain,
     [](auto& b) {
         const auto other = lameFixture("m1_48k_stereo_clicks_cbr256.mp3");
         b.insert(b.end(), other.begin(), other.end());
     },
     FaultKind::header_changed, kNoFrame},
};

class DamagedStream : public testing::TestWithParam<DamageCase> {};

TEST_P(DamagedStream, NamesTheFault) {
    const DamageCase& c = GetParam();
    std::vector<uint8_t> bytes = lameFixture(c.fixture);
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(inspectStream(bytes.data(), bytes.size()).faults.empty()) << "clean " << c.fixture;
    c.damage(bytes);
    const StreamReport r = inspectStream(bytes.data(), bytes.size());
    std::string named;
    for (const Fault& f : r.faults)
        named += std::string(faultKindName(f.kind)) + "@" + std::to_string(f.frame) + " ";
    EXPECT_TRUE(hasFault(r, c.kind, c.frame))
        << "expected " << faultKindName(c.kind) << " at " << c.frame << ", got " << named;
}

INSTANTIATE_TEST_SUITE_P(EachKind, DamagedStream, testing::ValuesIn(kDamageCases),
                         [](const auto& param) {
                             std::string n = param.param.name;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

// Only the damaged frame and what depends on it: the frames that follow a junk range reach
// back across it only as far as their main_data_begin says.
TEST(Inspect, JunkIsMeasuredAndTheStreamGoesOn) {
    std::vector<uint8_t> bytes = lameFixture(kPlain);
    const size_t at = frameOffset(bytes, 10);
    bytes.insert(bytes.begin() + static_cast<long>(at), 77, 0x00);
    const StreamReport r = inspectStream(bytes.data(), bytes.size());
    ASSERT_FALSE(r.faults.empty());
    EXPECT_EQ(r.faults[0].kind, FaultKind::junk);
    EXPECT_EQ(r.faults[0].offset, at);
    EXPECT_NE(r.faults[0].message.find("77 bytes"), std::string::npos);
    EXPECT_EQ(r.frameCount,
              inspectStream(lameFixture(kPlain).data(), lameFixture(kPlain).size()).frameCount);
}

// The main data is read through a window that moves on as the frames go by: a stream of
// many copies of one (each starting with an empty reservoir) reads as that many copies,
// its notes at the same frames of each copy, however far into the stream.
TEST(Inspect, ManyCopiesOfAStreamReadAsEachCopy) {
    for (const char* name :
         {kPlain, "m1_44k_joint_vbr5_notag.mp3", "m25_11k_joint_cbr32_crc_notag.mp3",
          "m2_16k_joint_silence_abr96_notag.mp3",
          "../regressions/disassemble/empty_region_names_table_4.mp3"}) {  // one noted frame
        SCOPED_TRACE(name);
        const std::vector<uint8_t> one = lameFixture(name);
        const StreamReport single = inspectStream(one.data(), one.size());
        const size_t copies = (size_t{256} << 10) / one.size() + 1;
        std::vector<uint8_t> many;
        for (size_t i = 0; i < copies; ++i) many.insert(many.end(), one.begin(), one.end());
        const StreamReport r = inspectStream(many.data(), many.size());
        EXPECT_EQ(r.frameCount, copies * single.frameCount);
        EXPECT_EQ(r.faults.size(), copies * single.faults.size());
        ASSERT_EQ(r.notes.size(), copies * single.notes.size());
        for (size_t i = 0; i < r.notes.size(); ++i) {
            const Note& want = single.notes[i % single.notes.size()];
            EXPECT_EQ(r.notes[i].kind, want.kind);
            EXPECT_EQ(r.notes[i].frame % static_cast<int64_t>(single.frameCount), want.frame);
        }
    }
}

TEST(Inspect, LameExtensionAndGaplessCount) {
    const std::vector<uint8_t> bytes = lameFixture("m1_44k_mono_id3v1v2.mp3");
    const StreamReport r = inspectStream(bytes.data(), bytes.size());
    ASSERT_EQ(r.xing.kind, XingKind::info);
    ASSERT_TRUE(r.xing.lame.present);
    EXPECT_EQ(std::string(r.xing.lame.encoder).substr(0, 4), "LAME");
    EXPECT_EQ(r.xing.frames, audioFrameCount(r));
    EXPECT_EQ(r.xing.lame.tagCrc, r.xing.lame.computedTagCrc);
    EXPECT_EQ(r.xing.lame.musicCrc, r.musicCrc);
    const StreamSummary s = summarize(r);
    EXPECT_EQ(s.rawSamples, 1152 * static_cast<int64_t>(audioFrameCount(r)));
    EXPECT_EQ(s.gaplessSamples, s.rawSamples - r.xing.lame.delay - r.xing.lame.padding);
    EXPECT_EQ(s.gaplessSamples, 44100);  // the fixtures hold one second of sound
    ASSERT_EQ(r.tags.tags.size(), 2u);
    EXPECT_EQ(r.tags.tags[0].kind, TagKind::id3v2);
    EXPECT_EQ(r.tags.tags[1].kind, TagKind::id3v1);
    EXPECT_EQ(r.tags.tags[1].offset + 128, bytes.size());
}

TEST(Inspect, RateKindFromFramesAndLameMethod) {
    const struct {
        const char* file;
        RateKind rate;
    } cases[] = {
        {"m1_44k_joint_cbr128.mp3", RateKind::cbr},
        {"m2_22k_joint_vbr5.mp3", RateKind::vbr},
        {"m1_44k_joint_abr96.mp3", RateKind::abr},
    };
    for (const auto& c : cases) {
        const auto bytes = lameFixture(c.file);
        EXPECT_EQ(summarize(inspectStream(bytes.data(), bytes.size())).rate, c.rate) << c.file;
    }
}

// Trailing tags in any order, each found by its own framing.
TEST(TagScan, TrailingTagsPeeledFromTheEnd) {
    std::vector<uint8_t> audio(500, 0x11);
    std::vector<uint8_t> ape(32 + 20, 0);  // footer-only APEv2: 20 bytes of items
    std::memcpy(ape.data() + 20, "APETAGEX", 8);
    storeLe32(ape.data() + 20 + 12, 52);
    std::string lyrics = "LYRICSBEGINsome words";
    char size[8];
    std::snprintf(size, sizeof size, "%06zu", lyrics.size());
    lyrics += std::string(size) + "LYRICS200";
    std::vector<uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAG", 3);
    std::vector<uint8_t> file = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 6, 1, 2, 3, 4, 5, 6};
    file.insert(file.end(), audio.begin(), audio.end());
    file.insert(file.end(), ape.begin(), ape.end());
    file.insert(file.end(), lyrics.begin(), lyrics.end());
    file.insert(file.end(), id3v1.begin(), id3v1.end());

    const TagLayout t = findTags(file.data(), file.size());
    ASSERT_EQ(t.tags.size(), 4u);
    EXPECT_EQ(t.tags[0].kind, TagKind::id3v2);
    EXPECT_EQ(t.tags[0].length, 16u);
    EXPECT_EQ(t.tags[1].kind, TagKind::apev2);
    EXPECT_EQ(t.tags[1].length, ape.size());
    EXPECT_EQ(t.tags[2].kind, TagKind::lyrics3);
    EXPECT_EQ(t.tags[2].length, lyrics.size());
    EXPECT_EQ(t.tags[3].kind, TagKind::id3v1);
    EXPECT_EQ(t.audioStart, 16u);
    EXPECT_EQ(t.audioEnd, 16u + audio.size());

    // A size that points outside the file is no tag: the bytes stay with the audio.
    storeLe32(file.data() + 16 + audio.size() + 20 + 12, 100000);
    const TagLayout broken = findTags(file.data(), file.size());
    EXPECT_EQ(broken.audioEnd, file.size() - 128 - lyrics.size());
}

// The other framings: an ID3v2 tag with a footer counts 10 more bytes; Lyrics3 version 1
// runs from LYRICSBEGIN to LYRICSEND.
TEST(TagScan, Id3v2FooterAndLyrics3Version1) {
    std::vector<uint8_t> file = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0, 2, 7, 7};
    file.insert(file.end(), {'3', 'D', 'I', 4, 0, 0x10, 0, 0, 0, 2});
    file.insert(file.end(), 300, 0x22);
    const std::string lyrics = "LYRICSBEGIN[00:01]words LYRICSEND";
    file.insert(file.end(), lyrics.begin(), lyrics.end());
    const TagLayout t = findTags(file.data(), file.size());
    ASSERT_EQ(t.tags.size(), 2u);
    EXPECT_EQ(t.tags[0].length, 22u);
    EXPECT_EQ(t.tags[1].kind, TagKind::lyrics3);
    EXPECT_EQ(t.tags[1].length, lyrics.size());
    EXPECT_EQ(t.audioEnd - t.audioStart, 300u);
}

TEST(LameCrc, CheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(lameCrc(reinterpret_cast<const uint8_t*>(text), 9), 0xBB3D);
}

}  // namespace

namespace {

// A file of tags alone has nothing to play: damaged, though no byte of it is wrong.
TEST(Inspect, AFileWithoutAudioFramesIsDamaged) {
    std::vector<uint8_t> tagOnly = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 100};
    tagOnly.resize(110, 0);
    const StreamReport r = inspectStream(tagOnly.data(), tagOnly.size());
    ASSERT_EQ(r.faults.size(), 1u);
    EXPECT_EQ(r.faults[0].kind, FaultKind::no_audio);
    EXPECT_EQ(r.faults[0].frame, kNoFrame);
}

// The shared real-world streams: the clean conformance streams check ok, the damaged ones
// are damaged with the kinds their history explains (cut files, streams cut out of the
// middle of a longer one, corrupted side information, Xing/Info frames of other files).
TEST(SharedVectors, VerdictsAndKinds) {
    const std::filesystem::path root = L3_VECTORS_DIR;
    if (!std::filesystem::exists(root / "iso")) GTEST_SKIP() << "no vectors at " << root;
    using F = FaultKind;
    using N = NoteKind;
    const struct {
        const char* file;
        std::vector<FaultKind> faults;  // every kind named, in enumeration order
        std::vector<NoteKind> notes;
        Verdict verdict = Verdict::ok;
    } cases[] = {
        {"iso/ILL2_layer3.bit", {}, {}},
        {"iso/M2L3_bitrate_16_all.bit", {}, {}},
        {"iso/M2L3_compl24.bit", {}, {}},
        {"iso/l3-he_48khz.bit", {}, {}},
        {"iso/l3-hecommon.bit", {}, {}},
        {"iso/l3-si.bit", {}, {}},
        {"iso/l3-si_block.bit", {}, {}},
        // Granule 1 of frame 11 has big values and no bits, but every region takes table 0.
        {"iso/l3-si_huff.bit", {}, {}},
        {"iso/l3-test45.bit", {}, {}},
        {"iso/l3-compl.bit", {F::truncated_frame}, {}, Verdict::damaged},
        // Zeros before the first frame, which its main data reaches back into.
        {"iso/l3-sin1k0db.bit",
         {F::truncated_frame, F::reservoir_underflow},
         {N::outside_bytes},
         Verdict::damaged},
        {"nonstandard/l3-nonstandard-compl-sideinfo-bigvalues.bit",
         {F::truncated_frame, F::side_info_invalid},
         {},
         Verdict::damaged},
        {"nonstandard/l3-nonstandard-compl-sideinfo-blocktype.bit",
         {F::truncated_frame, F::side_info_invalid},
         {},
         Verdict::damaged},
        {"nonstandard/l3-nonstandard-id3v1-apetag.bit", {}, {}},
        {"nonstandard/l3-nonstandard-sin1k0db_lame_vbrtag.bit", {}, {}},
        {"nonstandard/l3-nonstandard-small.bit", {F::no_audio}, {N::outside_bytes},
         Verdict::damaged},
        {"nonstandard/l3-nonstandard-id3v2-only.bit", {F::no_audio}, {}, Verdict::damaged},
        {"nonstandard/l3-nonstandard-vbrtag-corrupted.bit",
         {F::xing_mismatch, F::lame_tag_crc, F::no_audio},
         {},
         Verdict::damaged},
        {"performance/MEANDR_PHASE90.mp3", {}, {}},
        {"realworld/gomp3__mpeg2.mp3", {}, {}},
        {"realworld/taglib__xing.mp3", {F::truncated_frame}, {}, Verdict::damaged},
        {"realworld/taglib__lame_cbr.mp3",
         {F::truncated_frame, F::xing_mismatch, F::music_crc},
         {},
         Verdict::damaged},
        {"free_format/l3-he_free.bit", {}, {N::outside_bytes}, Verdict::unsupported},
        {"free_format/l3-nonstandard-big-iscf.bit", {}, {N::outside_bytes}, Verdict::unsupported},
    };
    auto kindsOf = [](const auto& items) {
        std::vector<decltype(items.front().kind)> kinds;
        for (const auto& f : items) kinds.push_back(f.kind);
        std::sort(kinds.begin(), kinds.end());
        kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
        return kinds;
    };
    for (const auto& c : cases) {
        std::ifstream in(root / c.file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ASSERT_FALSE(bytes.empty()) << c.file;
        const StreamReport r = inspectStream(bytes.data(), bytes.size());
        EXPECT_EQ(kindsOf(r.faults), c.faults) << c.file;
        EXPECT_EQ(kindsOf(r.notes), c.notes) << c.file;
        EXPECT_EQ(verdictOf(r), c.verdict) << c.file;
    }
}

}  // namespace
