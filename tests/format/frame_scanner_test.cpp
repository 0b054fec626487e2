// The frame scanner's two rule sets on real streams with damage put in at known places:
// what each takes as frames, junk and trailing bytes; and a stream shown in pieces scans as
// the whole does.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "support/frame_scans.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFixture(const char* name) {
    std::ifstream in(std::filesystem::path(TEST_DATA_DIR) / "lame" / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

l3test::FrameScan scanWalked(const Bytes& b, size_t window = 0) {
    return l3test::scanWith(l3::kWalkedRules, b.data(), b.size(), 0, window);
}

struct Expected {
    size_t frames;
    std::vector<l3::JunkRange> skipped;
    size_t trailingOffset;
    int32_t truncatedLength;  // of the last frame; 0 when it is whole
};

void expectScan(const l3test::FrameScan& s, const Expected& e, const char* rules) {
    SCOPED_TRACE(rules);
    EXPECT_EQ(s.frames.size(), e.frames);
    EXPECT_EQ(s.skipped, e.skipped);
    EXPECT_EQ(s.trailingOffset, e.trailingOffset);
    ASSERT_FALSE(s.frames.empty());
    EXPECT_EQ(s.frames.back().truncated, e.truncatedLength > 0);
    if (e.truncatedLength > 0) {
        EXPECT_EQ(s.frames.back().length, e.truncatedLength);
    }
}

TEST(FrameScanner, EachRuleSetPlacesFramesJunkAndTrailingBytes) {
    const Bytes clean = readFixture("m1_44k_joint_cbr128.mp3");
    const Bytes other = readFixture("m2_22k_joint_vbr5.mp3");  // MPEG-2: another stream
    const auto f = l3test::scanCarried(clean.data(), clean.size()).frames;
    const size_t n = f.size(), m = scanWalked(other).frames.size();
    ASSERT_GT(n, 10u);
    ASSERT_GT(m, 10u);
    ASSERT_EQ(scanWalked(clean).frames.size(), n);
    const size_t size = clean.size(), at4 = f[4].offset, last = f[n - 1].offset;
    const size_t len3 = static_cast<size_t>(f[3].length);
    struct Case {
        const char* what;
        std::function<Bytes()> make;
        Expected carried, walked;
    };
    const std::vector<Case> cases = {
        // A frame followed by junk is not proven: the disassembler skips it with the junk;
        // the walk, in sync, takes it and names the junk alone.
        {"junk between frames 3 and 4",
         [&] {
             Bytes b = clean;
             b.insert(b.begin() + static_cast<ptrdiff_t>(at4), 5, 0);
             return b;
         },
         {n - 1, {{f[3].offset, len3 + 5}}, size + 5, 0},
         {n, {{at4, 5}}, size + 5, 0}},
        {"last frame cut short",
         [&] { return Bytes(clean.begin(), clean.begin() + static_cast<ptrdiff_t>(last + 100)); },
         {n - 1, {}, last, 0},
         {n, {}, last + 100, 100}},
        // The last whole frame of the stream is carried though junk follows it.
        {"junk after the last frame",
         [&] {
             Bytes b = clean;
             b.insert(b.end(), 50, 0x55);
             return b;
         },
         {n, {}, size, 0},
         {n, {}, size, 0}},
        // Another stream after the first: its frames are trailing bytes to the disassembler,
        // frames to the walk.
        {"an MPEG-2 stream after an MPEG-1 one",
         [&] {
             Bytes b = clean;
             b.insert(b.end(), other.begin(), other.end());
             return b;
         },
         {n, {}, size, 0},
         {n + m, {}, size + other.size(), 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes b = c.make();
        expectScan(l3test::scanCarried(b.data(), b.size()), c.carried, "carried");
        expectScan(scanWalked(b), c.walked, "walked");
    }
}

TEST(FrameScanner, AStreamShownInPiecesScansAsTheWhole) {
    for (const char* name : {"m1_44k_mono_id3v1v2.mp3", "m2_22k_joint_vbr5.mp3",
                             "m25_8k_mono_cbr8.mp3", "m1_48k_stereo_cbr320_crc.mp3"}) {
        Bytes b = readFixture(name);
        ASSERT_GT(b.size(), 1000u) << name;
        // Junk in the middle, a false sync in it, and a cut last frame.
        b.insert(b.begin() + static_cast<ptrdiff_t>(b.size() / 2), {0xFF, 0xFB, 0x90, 0, 7, 7});
        b.erase(b.end() - 100, b.end());
        const auto carried = l3test::scanCarried(b.data(), b.size());
        const auto walked = scanWalked(b);
        for (size_t window : {1, 3, 700, 5000}) {
            SCOPED_TRACE(testing::Message() << name << ", window " << window);
            const auto c = l3test::scanCarried(b.data(), b.size(), window);
            const auto w = scanWalked(b, window);
            for (const auto& [whole, pieces] : {std::pair{&carried, &c}, std::pair{&walked, &w}}) {
                ASSERT_EQ(pieces->frames.size(), whole->frames.size());
                for (size_t k = 0; k < whole->frames.size(); ++k) {
                    const l3::WalkFrame &x = whole->frames[k], &y = pieces->frames[k];
                    EXPECT_TRUE(x.offset == y.offset && x.length == y.length &&
                                x.header == y.header && x.resync == y.resync &&
                                x.truncated == y.truncated)
                        << "frame " << k;
                }
                EXPECT_EQ(pieces->skipped, whole->skipped);
                EXPECT_EQ(pieces->trailingOffset, whole->trailingOffset);
            }
        }
    }
}

// The leading tag's claim: l3 info and the edits want a version below 0xFF, the
// disassembler only the magic and the size; a claim may run past the bytes present.
TEST(TagFinder, Id3v2ClaimsFollowEachCallersRule) {
    struct Case {
        Bytes head;
        size_t strict, lenient;
    };
    const std::vector<Case> cases = {
        {{'I', 'D', '3', 3, 0, 0x00, 0, 0, 2, 1}, 10 + 257, 10 + 257},
        {{'I', 'D', '3', 4, 0, 0x10, 0, 1, 0, 0}, 10 + 16384 + 10, 10 + 16384 + 10},
        {{'I', 'D', '3', 0xFF, 0, 0x00, 0, 0, 0, 5}, 0, 15},
        {{'I', 'D', '3', 3, 0, 0x00, 0, 0x80, 0, 5}, 0, 0},  // not a 7-bit size
        {{'I', 'D', '2', 3, 0, 0x00, 0, 0, 0, 5}, 0, 0},
        {{'I', 'D', '3', 3, 0, 0x00, 0, 0, 0}, 0, 0},  // shorter than a tag head
    };
    for (const Case& c : cases) {
        EXPECT_EQ(l3::id3v2Claim(c.head.data(), c.head.size(), true), c.strict);
        EXPECT_EQ(l3::id3v2Claim(c.head.data(), c.head.size(), false), c.lenient);
    }
}

}  // namespace
