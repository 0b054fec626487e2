// The crafted streams of support/crafted_streams.h: each is what it claims, read back with
// the project's own reader (side information, values, and how each granule's bits end),
// and, where mpg123, ffmpeg and madplay are installed, each decoder plays it as it was found
// to by experiment: the odd stream decodes to the same samples as its plain twin exactly
// where the decoder reads the odd coding as our writer means it.

#include "support/crafted_streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "support/record_file.h"
#include "support/tools.h"

namespace {

using namespace l3test::crafted;

struct ReadFrame {
    l3::FrameRecord record{};
    l3::MainDataEnds ends{};
    const char* problem = nullptr;
};

// Frame f of a crafted stream (equal-sized frames, main_data_begin 0) read back.
ReadFrame readFrame(const std::vector<uint8_t>& stream, int f) {
    ReadFrame out;
    const uint32_t first =
        static_cast<uint32_t>(stream[0]) << 24 | stream[1] << 16 | stream[2] << 8 | stream[3];
    const size_t offset =
        static_cast<size_t>(l3test::referenceFrameLength(first)) * static_cast<size_t>(f);
    l3::readSideInfo(stream.data() + offset, out.record);
    out.problem =
        l3::readMainData(stream.data() + offset + l3test::referenceHeadBytes(out.record.header), 0,
                         out.record, nullptr, &out.ends)
            .why;
    return out;
}

bool sameLines(const int16_t* a, const int16_t* b) {
    return std::equal(a, a + l3::kSpectrumLines, b);
}

TEST(CraftedStreams, SwitchingGranulesChangeTablesAtOurRegionOneStart) {
    struct Case {
        int rate;
        SwitchingKind kind;
        int block_type, mixed, line;
    };
    for (const Case c :
         {Case{44100, SwitchingKind::kStart, 1, 0, 36},
          Case{22050, SwitchingKind::kShort, 2, 0, 36},
          Case{11025, SwitchingKind::kMixed, 2, 1, 36}, Case{8000, SwitchingKind::kMixed, 2, 1, 72},
          Case{8000, SwitchingKind::kStop, 3, 0, 108}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " block type " + std::to_string(c.block_type));
        const CraftedStreams s = switchingBoundary(c.rate, c.kind, 7);
        ASSERT_EQ(s.spots.size(), static_cast<size_t>(kFrames * (c.rate >= 32000 ? 2 : 1)));
        for (const Spot& spot : s.spots) {
            const ReadFrame odd = readFrame(s.odd, spot.frame),
                            plain = readFrame(s.plain, spot.frame);
            ASSERT_EQ(odd.problem, nullptr);
            ASSERT_EQ(plain.problem, nullptr);
            const l3::GranuleChannelInfo& g = odd.record.granuleInfo[spot.granule][0];
            EXPECT_EQ(g.window_switching_flag, 1);
            EXPECT_EQ(g.block_type, c.block_type);
            EXPECT_EQ(g.mixed_block_flag, c.mixed);
            EXPECT_NE(g.table_select[0], g.table_select[1]);
            EXPECT_EQ(plain.record.granuleInfo[spot.granule][0].table_select[1], g.table_select[0]);
            EXPECT_EQ(spot.line, c.line);
            // Values on both sides of the boundary, read the same from both streams.
            const int16_t* lines = odd.record.spectrum[spot.granule][0];
            auto nonzero = [](int16_t v) { return v != 0; };
            EXPECT_TRUE(std::any_of(lines + spot.line - 8, lines + spot.line, nonzero));
            EXPECT_TRUE(std::any_of(lines + spot.line, lines + spot.line + 8, nonzero));
            EXPECT_TRUE(sameLines(lines, plain.record.spectrum[spot.granule][0]));
            EXPECT_TRUE(sameLines(
                lines, s.records[static_cast<size_t>(spot.frame)].spectrum[spot.granule][0]));
        }
    }
}

TEST(CraftedStreams, LongBoundaryLiesAtTheEdge) {
    for (const auto& [rate, edge, line] :
         {std::tuple{24000, 18, 332}, std::tuple{8000, 18, 568}, std::tuple{44100, 5, 20}}) {
        const CraftedStreams s = longBoundary(rate, edge, 3);
        for (const Spot& spot : s.spots) {
            const ReadFrame odd = readFrame(s.odd, spot.frame),
                            plain = readFrame(s.plain, spot.frame);
            ASSERT_EQ(odd.problem, nullptr);
            const l3::GranuleChannelInfo& g = odd.record.granuleInfo[spot.granule][0];
            EXPECT_EQ(g.window_switching_flag, 0);
            EXPECT_EQ(g.region0_count + g.region1_count + 2, edge);
            EXPECT_NE(g.table_select[1], g.table_select[2]);
            EXPECT_EQ(plain.record.granuleInfo[spot.granule][0].table_select[2], g.table_select[1]);
            EXPECT_EQ(spot.line, line);
            EXPECT_GT(2 * g.big_values, line + 2);
            EXPECT_TRUE(sameLines(odd.record.spectrum[spot.granule][0],
                                  plain.record.spectrum[spot.granule][0]));
        }
    }
}

TEST(CraftedStreams, Count1QuadrupleEndsWhereItsCutSays) {
    for (const Cut cut : {Cut::kCodeWord, Cut::kSignBit, Cut::kExact}) {
        const CraftedStreams s = count1Overrun(22050, cut, 5);
        for (const Spot& spot : s.spots) {
            const ReadFrame odd = readFrame(s.odd, spot.frame);
            ASSERT_EQ(odd.problem, nullptr);
            const int kept = odd.record.granuleInfo[spot.granule][0].part2_3_length - spot.bit;
            const uint8_t end = odd.ends.end[spot.granule][0];
            if (cut == Cut::kExact) {
                EXPECT_EQ(end, l3::kEndedWithin);
                EXPECT_EQ(kept, spot.totalBits);
                EXPECT_NE(odd.record.spectrum[spot.granule][0][spot.line + 3] |
                              odd.record.spectrum[spot.granule][0][spot.line + 2] |
                              odd.record.spectrum[spot.granule][0][spot.line + 1] |
                              odd.record.spectrum[spot.granule][0][spot.line],
                          0);
                continue;
            }
            EXPECT_EQ(end, cut == Cut::kSignBit ? l3::kQuadPastEnd | l3::kQuadSignsPastEnd
                                                : l3::kQuadPastEnd);
            EXPECT_EQ(odd.ends.lastQuad[spot.granule][0], spot.line);
            if (cut == Cut::kCodeWord) {
                EXPECT_GT(kept, 0);
                EXPECT_LT(kept, spot.codeBits);
            } else {
                EXPECT_GT(kept, spot.codeBits);  // a sign bit inside, another past the end
                EXPECT_LT(kept, spot.totalBits);
            }
        }
    }
}

TEST(CraftedStreams, BigValuePairsAreCutOffOnlyInTheSpots) {
    for (const Cut cut : {Cut::kCodeWord, Cut::kSignBit, Cut::kExact}) {
        const CraftedStreams s = bigValueOverrun(44100, cut, 2);
        ASSERT_EQ(s.spots.size(), 2u);
        for (int f = 0; f < kFrames; ++f) {
            const ReadFrame odd = readFrame(s.odd, f);
            ASSERT_EQ(odd.problem, nullptr);
            for (int gr = 0; gr < 2; ++gr) {
                const bool spot = (f == 10 || f == 20) && gr == 1;
                const int cutOff = cut == Cut::kExact ? l3::kPairsLeft : l3::kPairsPastEnd;
                EXPECT_EQ(odd.ends.end[gr][0], spot ? cutOff : int{l3::kEndedWithin})
                    << f << " " << gr;
            }
        }
        for (const Spot& spot : s.spots) {
            const ReadFrame odd = readFrame(s.odd, spot.frame);
            const int kept = odd.record.granuleInfo[spot.granule][0].part2_3_length - spot.bit;
            EXPECT_EQ(kept > 0 && kept < spot.codeBits, cut == Cut::kCodeWord);
            EXPECT_EQ(kept == spot.codeBits + 1, cut == Cut::kSignBit);
            EXPECT_EQ(kept == spot.totalBits, cut == Cut::kExact);
            EXPECT_LT(spot.line + 2, 2 * odd.record.granuleInfo[spot.granule][0].big_values);
        }
    }
}

TEST(CraftedStreams, StuffingIsNotFillAndHidesNoValue) {
    for (const Stuffing kind : {Stuffing::kRandomBits, Stuffing::kExtraQuadruple}) {
        const CraftedStreams s = stuffingAfterLine576(32000, kind, 4);
        for (const Spot& spot : s.spots) {
            const ReadFrame odd = readFrame(s.odd, spot.frame),
                            plain = readFrame(s.plain, spot.frame);
            ASSERT_EQ(odd.problem, nullptr);
            EXPECT_EQ(odd.ends.end[spot.granule][0], l3::kBitsAfterLastLine);
            EXPECT_EQ(plain.ends.end[spot.granule][0], l3::kEndedWithin);
            EXPECT_EQ(odd.record.granuleInfo[spot.granule][0].part2_3_length,
                      plain.record.granuleInfo[spot.granule][0].part2_3_length + spot.totalBits);
            EXPECT_NE(odd.record.spectrum[spot.granule][0][572], 0);
            EXPECT_TRUE(sameLines(odd.record.spectrum[spot.granule][0],
                                  plain.record.spectrum[spot.granule][0]));
        }
    }
}

TEST(CraftedStreams, ModesSwitchInRuns) {
    const CraftedStreams s = modeSwitching(22050, 4, true, 8);
    ASSERT_EQ(s.spots.size(), static_cast<size_t>((kFrames - 1) / 4));
    for (int f = 0; f < kFrames; ++f) {
        const ReadFrame odd = readFrame(s.odd, f), plain = readFrame(s.plain, f);
        ASSERT_EQ(odd.problem, nullptr);
        const bool mono = (f / 4) % 2 == 0;
        EXPECT_EQ(l3::channelCount(odd.record.header), mono ? 1 : 2);
        EXPECT_EQ(l3::channelCount(plain.record.header), 2);
        for (int ch = 0; ch < 2; ++ch)
            EXPECT_TRUE(
                sameLines(plain.record.spectrum[0][ch], odd.record.spectrum[0][mono ? 0 : ch]));
    }
}

TEST(CraftedStreams, InvalidSideInformationOnlyInTheSpots) {
    for (const int rate : {44100, 16000}) {
        const bool mpeg1 = rate == 44100;
        for (const Invalid what : {Invalid::kScalefactorsPastEnd, Invalid::kBigValuesAbove288,
                                   Invalid::kTable4, Invalid::kTable14}) {
            const CraftedStreams s = invalidSideInfo(rate, what, 3);
            ASSERT_EQ(s.spots.size(), 2u);
            for (const Spot& spot : s.spots) {
                const ReadFrame odd = readFrame(s.odd, spot.frame);
                const l3::GranuleChannelInfo& g = odd.record.granuleInfo[spot.granule][0];
                EXPECT_EQ(g.scalefac_compress,
                          what == Invalid::kScalefactorsPastEnd ? (mpeg1 ? 15 : 399) : 0);
                EXPECT_EQ(g.big_values, what == Invalid::kBigValuesAbove288     ? 300
                                        : what == Invalid::kScalefactorsPastEnd ? 0
                                                                                : 200);
                EXPECT_EQ(g.table_select[0], what == Invalid::kTable4    ? 4
                                             : what == Invalid::kTable14 ? 14
                                                                         : 15);
                if (what == Invalid::kScalefactorsPastEnd) {
                    ASSERT_EQ(odd.problem, nullptr);
                    EXPECT_EQ(odd.ends.end[spot.granule][0], l3::kScalefactorsPastEnd);
                }
                // The frames before and after are untouched.
                EXPECT_EQ(
                    readFrame(s.odd, spot.frame - 1).record.granuleInfo[spot.granule][0].big_values,
                    200);
                EXPECT_EQ(readFrame(s.odd, spot.frame + 1)
                              .record.granuleInfo[spot.granule][0]
                              .table_select[0],
                          15);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// What the decoders play.

// Each writes raw 16-bit samples on standard output (madplay without dither, so that runs
// repeat exactly; mpg123 without -q, which would hide its error messages), into a pipe:
// mpg123 starts a seekable output afresh at every change of channel count.
struct Decoder {
    const char* program;
    const char* before;  // arguments before the file name
    const char* after;
};
constexpr Decoder kDecoders[] = {{"mpg123", "-s --no-gapless", ""},
                                 {"ffmpeg", "-v error -i", "-f s16le -"},
                                 {"madplay", "-q -d -b 16 -o raw:-", ""}};

class Playback : public ::testing::TestWithParam<Decoder> {
protected:
    void SetUp() override { L3_REQUIRE_TOOL(std::string(GetParam().program)); }

    std::vector<int16_t> decode(const std::vector<uint8_t>& stream) {
        dir_.write("in.mp3", stream);
        const std::string command =
            "set -o pipefail; " + std::string(GetParam().program) + " " + GetParam().before + " " +
            l3test::shellQuote(dir_.path("in.mp3")) + " " + GetParam().after + " | cat";
        const l3test::ProgramResult r =
            l3test::runProgram(dir_, "bash", "-c " + l3test::shellQuote(command));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<int16_t> samples(r.out.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<int16_t>(static_cast<uint8_t>(r.out[2 * i]) |
                                              static_cast<uint8_t>(r.out[2 * i + 1]) << 8);
        return samples;
    }
    bool is(const char* name) const { return std::string(GetParam().program) == name; }

    l3test::TempDir dir_;
};

struct PairCase {
    const char* what;
    std::function<CraftedStreams()> build;
    std::vector<std::string> differ;  // the decoders that play the odd stream differently
};

TEST_P(Playback, OddCodingsPlayLikeTheirTwinsWhereTheDecoderAgrees) {
    const PairCase cases[] = {
        {"44.1 kHz mixed", [] { return switchingBoundary(44100, SwitchingKind::kMixed, 1); }, {}},
        {"48 kHz short", [] { return switchingBoundary(48000, SwitchingKind::kShort, 1); }, {}},
        {"22.05 kHz mixed",
         [] { return switchingBoundary(22050, SwitchingKind::kMixed, 1); },
         {"madplay"}},
        {"24 kHz start", [] { return switchingBoundary(24000, SwitchingKind::kStart, 1); }, {}},
        {"16 kHz short", [] { return switchingBoundary(16000, SwitchingKind::kShort, 1); }, {}},
        {"11.025 kHz mixed",
         [] { return switchingBoundary(11025, SwitchingKind::kMixed, 1); },
         {"mpg123", "madplay"}},
        {"8 kHz mixed",
         [] { return switchingBoundary(8000, SwitchingKind::kMixed, 1); },
         {"mpg123", "madplay"}},
        {"8 kHz stop", [] { return switchingBoundary(8000, SwitchingKind::kStop, 1); }, {}},
        {"24 kHz edge 18", [] { return longBoundary(24000, 18, 1); }, {"ffmpeg"}},
        {"24 kHz edge 19", [] { return longBoundary(24000, 19, 1); }, {}},
        {"22.05 kHz edge 18", [] { return longBoundary(22050, 18, 1); }, {}},
        {"8 kHz edge 18", [] { return longBoundary(8000, 18, 1); }, {}},
        {"count1 code word cut", [] { return count1Overrun(44100, Cut::kCodeWord, 1); }, {}},
        {"count1 sign bit cut", [] { return count1Overrun(44100, Cut::kSignBit, 1); }, {"mpg123"}},
        {"count1 sign bit cut, 8 kHz",
         [] { return count1Overrun(8000, Cut::kSignBit, 1); },
         {"mpg123"}},
        {"count1 exact", [] { return count1Overrun(22050, Cut::kExact, 1); }, {}},
        {"random bits after 576",
         [] { return stuffingAfterLine576(44100, Stuffing::kRandomBits, 1); },
         {}},
        {"a quadruple after 576",
         [] { return stuffingAfterLine576(12000, Stuffing::kExtraQuadruple, 1); },
         {}},
    };
    for (const PairCase& c : cases) {
        SCOPED_TRACE(c.what);
        const CraftedStreams s = c.build();
        const std::vector<int16_t> odd = decode(s.odd), plain = decode(s.plain);
        ASSERT_EQ(plain.size(), static_cast<size_t>(kFrames * s.samplesPerFrame));
        const bool differs =
            std::find(c.differ.begin(), c.differ.end(), GetParam().program) != c.differ.end();
        EXPECT_EQ(odd != plain, differs);
    }
}

TEST_P(Playback, BigValuePairsCutOff) {
    // mpg123 silences the rest of the frame; ffmpeg reads the cut pair on through the
    // following bits; madplay drops the frame when a pair straddles the end.
    for (const Cut cut : {Cut::kCodeWord, Cut::kSignBit, Cut::kExact}) {
        const CraftedStreams s = bigValueOverrun(44100, cut, 6);
        const std::vector<int16_t> odd = decode(s.odd), plain = decode(s.plain);
        if (is("madplay") && cut != Cut::kExact) {
            EXPECT_EQ(odd.size(), plain.size() - 2 * static_cast<size_t>(s.samplesPerFrame));
        } else if (is("mpg123")) {
            ASSERT_EQ(odd.size(), plain.size());
            for (const Spot& spot : s.spots) {
                const auto from = odd.begin() + (2 * spot.frame + spot.granule) * 576;
                EXPECT_TRUE(std::all_of(from, from + 576, [](int16_t v) { return v == 0; }));
            }
            EXPECT_NE(odd, plain);
        } else {
            EXPECT_EQ(odd, plain);
        }
    }
}

TEST_P(Playback, InvalidSideInformation) {
    // mpg123 silences the rest of a frame whose scalefactors overrun, takes big_values above
    // 288 as 288 and a table 4 or 14 as table 0; ffmpeg drops frames with big_values above
    // 288; madplay drops every such frame.
    enum Outcome { kSame, kSilenced, kDropped };
    struct Case {
        Invalid what;
        Outcome mpg123, ffmpeg, madplay;
    };
    for (const Case c : {Case{Invalid::kScalefactorsPastEnd, kSilenced, kSame, kDropped},
                         Case{Invalid::kBigValuesAbove288, kSame, kDropped, kDropped},
                         Case{Invalid::kTable4, kSame, kSame, kDropped},
                         Case{Invalid::kTable14, kSame, kSame, kDropped}}) {
        const CraftedStreams s = invalidSideInfo(44100, c.what, 5);
        const std::vector<int16_t> odd = decode(s.odd), plain = decode(s.plain);
        const Outcome expected = is("mpg123") ? c.mpg123 : is("ffmpeg") ? c.ffmpeg : c.madplay;
        if (expected == kSame) {
            EXPECT_EQ(odd, plain);
        } else if (expected == kDropped) {
            EXPECT_EQ(odd.size(), plain.size() - 2 * static_cast<size_t>(s.samplesPerFrame));
        } else {
            ASSERT_EQ(odd.size(), plain.size());
            for (const Spot& spot : s.spots) {
                const auto from = odd.begin() + (2 * spot.frame + spot.granule) * 576;
                EXPECT_TRUE(std::all_of(from, from + 576, [](int16_t v) { return v == 0; }));
            }
        }
    }
}

TEST_P(Playback, ModeSwitches) {
    // mpg123 and madplay write every frame at its own channel count, ffmpeg at the first
    // frame's.
    for (const bool startMono : {true, false}) {
        const CraftedStreams s = modeSwitching(44100, 5, startMono, 2);
        const std::vector<int16_t> odd = decode(s.odd), plain = decode(s.plain);
        size_t expected = 0;
        for (const l3::FrameRecord& rec : s.records)
            expected += static_cast<size_t>(
                s.samplesPerFrame *
                (is("ffmpeg") ? (startMono ? 1 : 2) : l3::channelCount(rec.header)));
        EXPECT_EQ(odd.size(), expected);
        if (!is("madplay")) continue;
        // madplay: a single-channel frame plays exactly the plain stream's left channel.
        size_t at = 0;
        for (int f = 0; f < kFrames; ++f) {
            const int channels = l3::channelCount(s.records[static_cast<size_t>(f)].header);
            for (int i = 0; channels == 1 && i < s.samplesPerFrame; ++i)
                ASSERT_EQ(odd[at + static_cast<size_t>(i)],
                          plain[2 * (static_cast<size_t>(f * s.samplesPerFrame + i))])
                    << f;
            at += static_cast<size_t>(channels * s.samplesPerFrame);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Decoders, Playback, ::testing::ValuesIn(kDecoders),
                         [](const ::testing::TestParamInfo<Decoder>& p) {
                             return std::string(p.param.program);
                         });

}  // namespace
