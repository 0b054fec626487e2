// Reading a stream into values: the frame walk, then side information and main data of
// every frame straight into the caller's records.
#include <cstring>

#include "disassemble/side_info_reader.h"
#include "l3/values.h"
#include "l3/frame_length.h"
#include "l3/xing_tag.h"
#include "inspect/frame_walk.h"
#include "playback/played_values.h"

namespace l3 {

void scanValueStream(ValueStream& stream) {
    const FrameWalk walk = walkFrames(stream.bytes.data(), stream.bytes.size());
    stream.frames.clear();
    stream.frames.reserve(walk.frames.size());
    stream.audioStart = walk.tags.audioStart;
    stream.audioEnd = walk.tags.audioEnd;
    size_t audio = 0;
    for (const WalkFrame& f : walk.frames) {
        if (f.truncated) continue;
        // Only a stream's first frame may be its Xing/Info frame, as repack and gain see it.
        const bool tag =
            stream.frames.empty() &&
            readXingTag(stream.bytes.data() + f.offset, static_cast<size_t>(f.length)).kind !=
                XingKind::none;
        stream.frames.push_back({f.offset, f.length, f.header, tag, nullptr, tag ? 0 : audio});
        if (!tag) ++audio;
    }
}

void decodeValueStream(ValueStream& stream, FrameRecord* records) {
    // The main-data stream: every frame's bytes after its head, one after another, with
    // zeros after the last for the reader's look-ahead.
    std::vector<uint8_t> mainData;
    mainData.reserve(stream.bytes.size() + 8);
    std::vector<int64_t> areaStart(stream.frames.size());
    for (size_t k = 0; k < stream.frames.size(); ++k) {
        const ValueFrame& f = stream.frames[k];
        const uint8_t* frame = stream.bytes.data() + f.offset;
        areaStart[k] = 8 * static_cast<int64_t>(mainData.size());
        mainData.insert(mainData.end(), frame + headByteCount(f.header), frame + f.length);
    }
    const int64_t available = 8 * static_cast<int64_t>(mainData.size());
    mainData.resize(mainData.size() + 8, 0);

    for (size_t k = 0; k < stream.frames.size(); ++k) {
        ValueFrame& f = stream.frames[k];
        FrameRecord& record = records[k];
        readSideInfo(stream.bytes.data() + f.offset, record);
        f.problem = nullptr;
        if (f.tag) {
            std::memset(record.granuleInfo, 0, sizeof record.granuleInfo);
            record.main_data_begin = 0;
        }
        int64_t bits = 0;
        for (int gr = 0; gr < granuleCount(f.header); ++gr)
            for (int ch = 0; ch < channelCount(f.header); ++ch)
                bits += record.granuleInfo[gr][ch].part2_3_length;
        const int64_t mainStart = areaStart[k] - 8 * int64_t{record.main_data_begin};
        if (f.tag) {
            // Its main-data area is the tag, not coded values.
        } else if (mainStart < 0) {
            f.problem = "main_data_begin reaches before the stream";
        } else if (mainStart + bits > available) {
            f.problem = "its main data runs past the end of the stream";
        } else {
            setPlayedRegions(record);
            PlayedFrame played;
            f.problem = readPlayedValues(mainData.data(), mainStart, record, played).why;
        }
        if (f.tag || f.problem) {
            std::memset(record.scalefactors, 0, sizeof record.scalefactors);
            std::memset(record.spectrum, 0, sizeof record.spectrum);
        }
    }
}

}  // namespace l3
