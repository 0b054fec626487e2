// The value stream under the Python module, here so that the sanitizer builds (which leave
// the module out) run its reader and writer: unchanged streams come back byte for byte, a
// gain change is l3 gain's, a changed spectrum reads back as written, and a value that
// cannot be coded is refused with its place.

#include "l3/values.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "l3/edit.h"
#include "l3/frame_header.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> fixture(const std::string& name) {
    std::ifstream in(fs::path(TEST_DATA_DIR) / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A stream read into values: the original ones and a copy to change.
struct Values {
    l3::ValueStream stream;
    std::unique_ptr<l3::FrameRecord[]> original, current;

    explicit Values(std::vector<uint8_t> bytes) {
        stream.bytes = std::move(bytes);
        l3::scanValueStream(stream);
        const size_t n = stream.frames.size();
        original.reset(new l3::FrameRecord[n + 1]());
        current.reset(new l3::FrameRecord[n + 1]());
        l3::decodeValueStream(stream, original.get());
        std::copy(original.get(), original.get() + n, current.get());
    }
    l3::ValueWriteResult write() const {
        return l3::writeValueStream(stream, original.get(), current.get());
    }
};

const char* const kStreams[] = {
    "lame/m1_44k_joint_cbr128_crc.mp3", "lame/m1_44k_mono_id3v1v2.mp3",
    "lame/m2_22k_joint_vbr5.mp3",       "lame/m25_11k_joint_cbr32_crc_notag.mp3",
    "vectors/l3-sin1k0db.bit",          "vectors/l3-nonstandard-id3v1-apetag.bit",
};

TEST(ValueStream, UnchangedStreamsComeBackByteForByte) {
    for (const char* name : kStreams) {
        SCOPED_TRACE(name);
        const Values v(fixture(name));
        ASSERT_FALSE(v.stream.frames.empty());
        const l3::ValueWriteResult r = v.write();
        ASSERT_EQ(r.status, l3::Status::ok) << r.message;
        EXPECT_TRUE(r.output == v.stream.bytes);
    }
}

TEST(ValueStream, GainChangeIsL3Gains) {
    for (const char* name : kStreams) {
        SCOPED_TRACE(name);
        Values v(fixture(name));
        for (size_t k = 0; k < v.stream.frames.size(); ++k)
            if (!v.stream.frames[k].tag)
                for (auto& granule : v.current[k].granuleInfo)
                    for (l3::GranuleChannelInfo& info : granule) info.global_gain -= 1;
        const l3::ValueWriteResult r = v.write();
        ASSERT_EQ(r.status, l3::Status::ok) << r.message;
        const l3::GainResult gain =
            l3::applyGain(v.stream.bytes.data(), v.stream.bytes.size(), {-1, -1, false});
        EXPECT_TRUE(r.output == gain.output);
    }
}

TEST(ValueStream, ChangedSpectrumReadsBackAsWritten) {
    Values v(fixture("lame/m1_44k_joint_cbr128_crc.mp3"));
    const size_t k = 6;
    for (int i = 0; i < 64; ++i)
        v.current[k].spectrum[1][0][i] = static_cast<int16_t>(i * 37 - 900);
    const l3::ValueWriteResult r = v.write();
    ASSERT_EQ(r.status, l3::Status::ok) << r.message;
    const Values back(r.output);
    ASSERT_EQ(back.stream.frames.size(), v.stream.frames.size());
    for (size_t j = 0; j < back.stream.frames.size(); ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(back.stream.frames[j].problem, nullptr);
        EXPECT_TRUE(std::equal(&back.original[j].spectrum[0][0][0],
                               &back.original[j].spectrum[0][0][0] + 4 * l3::kSpectrumLines,
                               &v.current[j].spectrum[0][0][0]));
    }
}

TEST(ValueStream, AValueThatCannotBeCodedNamesItsPlace) {
    Values v(fixture("lame/m1_44k_joint_cbr128_crc.mp3"));
    v.current[4].spectrum[0][1][100] = -9000;
    const l3::ValueWriteResult r = v.write();
    EXPECT_EQ(r.status, l3::Status::badValue);
    EXPECT_EQ(r.message,
              "frame 4, granule 0, channel 1: spectrum line 100 value -9000 is beyond the largest "
              "magnitude a code table holds");
    EXPECT_TRUE(r.output.empty());
}

}  // namespace
