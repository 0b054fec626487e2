#include "edit/tag_frame.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"
#include "format/frame_crc.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

// Offsets in the LAME extension.
constexpr size_t kLameDelayPadding = 21;  // 12 bits delay, 12 bits padding
constexpr int kGaplessMax = 4095;

}  // namespace

LameExtension newLameExtension() {
    LameExtension lame;
    lame.present = true;
    std::memcpy(lame.bytes.data(), kOwnLameEncoder, 9);
    std::memcpy(lame.encoder, kOwnLameEncoder, 9);
    return lame;
}

void setGapless(LameExtension& lame, int delay, int padding) {
    lame.delay = std::clamp(delay, 0, kGaplessMax);
    lame.padding = std::clamp(padding, 0, kGaplessMax);
    uint8_t* p = lame.bytes.data() + kLameDelayPadding;
    p[0] = static_cast<uint8_t>(lame.delay >> 4);
    p[1] = static_cast<uint8_t>((lame.delay & 15) << 4 | lame.padding >> 8);
    p[2] = static_cast<uint8_t>(lame.padding);
}

XingTag resultTag(const XingTag& source, uint32_t streamHeader, bool vbr) {
    if (source.kind == XingKind::vbri) return source;
    XingTag tag;
    if (source.kind == XingKind::xing || source.kind == XingKind::info) tag = source;
    tag.kind = vbr ? XingKind::xing : XingKind::info;
    tag.hasFrames = tag.hasBytes = tag.hasToc = tag.hasQuality = true;
    tag.tagOffset = 4 + static_cast<size_t>(sideInfoBytes(streamHeader));
    return tag;
}

std::vector<uint8_t> makeTagFrame(uint32_t streamHeader, const XingTag& tag, CrcChoice crc) {
    for (uint8_t index = 1; index <= 14; ++index) {
        const uint32_t header = withSize(streamHeader, {0, index, 0}, crc);
        const int32_t length = frameLength(header);
        if (static_cast<size_t>(length) >= xingTagEnd(tag)) {
            std::vector<uint8_t> frame(static_cast<size_t>(length), 0);
            frame[0] = static_cast<uint8_t>(header >> 24);
            frame[1] = static_cast<uint8_t>(header >> 16);
            frame[2] = static_cast<uint8_t>(header >> 8);
            frame[3] = static_cast<uint8_t>(header);
            return frame;
        }
    }
    return {};
}

std::vector<uint8_t> copyTagFrame(const SourceStream& src) {
    const uint8_t* frame = src.input + src.tagFrameOffset;
    return {frame, frame + src.tagFrameBytes};
}

void finishTagFrame(SpillBytes& out, size_t tagFrameAt, size_t tagFrameBytes,
                    XingTag& tag, std::span<const size_t> frameAt, size_t musicEnd) {
    const size_t n = frameAt.size();
    uint8_t* frame = out.data() + tagFrameAt;
    const uint32_t header = loadBe32(frame);
    if (tag.kind == XingKind::vbri) {
        std::vector<uint32_t> frameBytes(n);
        for (size_t k = 0; k < n; ++k)
            frameBytes[k] =
                static_cast<uint32_t>((k + 1 < n ? frameAt[k + 1] : musicEnd) - frameAt[k]);
        writeVbriTag(frame, tagFrameBytes, tag, frameBytes);
        if (hasCrc(header)) storeFrameHeadCrc(frame, header);
        return;
    }
    tag.frames = static_cast<uint32_t>(n);
    tag.bytes = static_cast<uint32_t>(musicEnd - tagFrameAt);
    for (size_t i = 0; i < 100; ++i) {
        const size_t pos = frameAt[i * n / 100] - tagFrameAt;
        tag.toc[i] = static_cast<uint8_t>(std::min<size_t>(255, pos * 256 / tag.bytes));
    }
    const size_t audio = tagFrameAt + tagFrameBytes;
    const uint16_t musicCrc = lameCrc(out.data() + audio, musicEnd - audio);
    // The frame CRC covers the start of the tag (it overlaps the side information of a
    // protected frame) and the tag CRC covers the frame CRC: tag, frame CRC, tag again.
    writeXingTag(frame, tagFrameBytes, tag, tag.bytes, musicCrc);
    if (hasCrc(header)) {
        storeFrameHeadCrc(frame, header);
        writeXingTag(frame, tagFrameBytes, tag, tag.bytes, musicCrc);
    }
}

}  // namespace l3
