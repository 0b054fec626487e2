#include "edit/frame_head.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"
#include "format/frame_crc.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/xing_tag.h"
#include "framewriter/frame_writer_state.h"
#include "framewriter/head_writer.h"
#include "l3/tag_finder.h"

namespace l3 {

uint32_t withSize(uint32_t header, const FrameSize& size, CrcChoice crc) {
    header = (header & ~(kBitrateMask | kPaddingMask)) |
             static_cast<uint32_t>(size.bitrateIndex) << 12 |
             static_cast<uint32_t>(size.padding) << 9;
    if (crc == CrcChoice::add) header &= ~kProtectionMask;
    if (crc == CrcChoice::drop) header |= kProtectionMask;
    return header;
}

std::vector<FrameSize> allowedSizes(uint32_t header, int minBitrate, int bitrate) {
    std::vector<FrameSize> sizes;
    for (uint8_t index = 1; index <= 14; ++index) {
        const int kbps = bitrateTable[isMpeg1(header)][index] / 1000;
        if (kbps < minBitrate) continue;
        if (bitrate > 0 && kbps != bitrate) continue;
        for (uint8_t padding = 0; padding <= 1; ++padding) {
            const FrameSize size{0, index, padding};
            sizes.push_back({frameLength(withSize(header, size, CrcChoice::keep)), index, padding});
        }
    }
    return sizes;
}

void putHead(SpillBytes& out, const uint8_t* sourceFrame, uint32_t header,
             int32_t mainDataBegin) {
    putHead(out, header, sourceFrame + sideInfoOffset(loadBe32(sourceFrame)), mainDataBegin);
}

void putHead(SpillBytes& out, uint32_t header, const uint8_t* sideBytes,
             int32_t mainDataBegin) {
    const int32_t side = sideInfoBytes(header);
    uint8_t head[6 + 32];
    head[0] = static_cast<uint8_t>(header >> 24);
    head[1] = static_cast<uint8_t>(header >> 16);
    head[2] = static_cast<uint8_t>(header >> 8);
    head[3] = static_cast<uint8_t>(header);
    uint8_t* sideOut = head + sideInfoOffset(header);
    std::memcpy(sideOut, sideBytes, static_cast<size_t>(side));
    // main_data_begin is the first 9 bits (MPEG-1) or 8 bits of the side information.
    if (isMpeg1(header)) {
        sideOut[0] = static_cast<uint8_t>(mainDataBegin >> 1);
        sideOut[1] = static_cast<uint8_t>((sideOut[1] & 0x7F) | (mainDataBegin & 1) << 7);
    } else {
        sideOut[0] = static_cast<uint8_t>(mainDataBegin);
    }
    if (hasCrc(header)) storeFrameHeadCrc(head, header);
    out.insert(out.end(), head, head + headByteCount(header));
}

SideInformation sideInformationOf(const FrameRecord& record) {
    SideInformation side{record.header, record.private_bits, {}, {}};
    std::memcpy(side.scfsi, record.scfsi, sizeof side.scfsi);
    std::memcpy(side.granuleInfo, record.granuleInfo, sizeof side.granuleInfo);
    return side;
}

int32_t writeFrameHead(FrameWriterState& writer, const SideInformation& side, uint32_t header,
                       int32_t mainDataBegin, uint8_t (&out)[kMaxHeadBytes]) {
    FrameRecord& rec = writer.record;
    rec.header = header;
    rec.main_data_begin = mainDataBegin;
    rec.private_bits = side.private_bits;
    rec.rawMainData = 0;
    std::memcpy(rec.scfsi, side.scfsi, sizeof rec.scfsi);
    std::memcpy(rec.granuleInfo, side.granuleInfo, sizeof rec.granuleInfo);
    writer.firstFrame = 0;
    writer.store.writePos = kInitialWritePos;
    writeHead(writer);
    const FrameSlot& slot = writer.ring.slots[static_cast<size_t>(writeSlot(writer.ring))];
    std::memcpy(out, slot.headBytes, static_cast<size_t>(slot.headCount));
    return slot.headCount;
}

size_t largerLastSize(const std::vector<FrameSize>& sizes, size_t s) {
    const FrameSize& now = sizes[s];
    size_t best = s;
    for (size_t k = 0; k < sizes.size(); ++k) {
        const FrameSize& c = sizes[k];
        if (c.bitrateIndex == now.bitrateIndex && now.padding == 0 && c.padding == 1) return k;
        if (c.bitrateIndex > now.bitrateIndex && c.padding == 0 &&
            (best == s || sizes[best].bitrateIndex > c.bitrateIndex))
            best = k;
    }
    return best;
}

bool startReadsAsTag(std::span<const uint8_t> out, size_t first) {
    if (first + 4 > out.size()) return false;
    const size_t length = std::min<size_t>(
        static_cast<size_t>(frameLength(loadBe32(out.data() + first))), out.size() - first);
    return readXingTag(out.data() + first, length).kind != XingKind::none;
}

bool endReadsAsTag(std::span<const uint8_t> out, size_t musicEnd) {
    return findTags(out.data(), out.size()).audioEnd < musicEnd;
}

const char* const kEndReadsAsTagMessage =
    "the result's frames would end in bytes of their own that read as a tag (such as \"TAG\" "
    "128 bytes before the end: an ID3v1 tag), which every player would take them for, losing "
    "the frames they lie in, and the last frame cannot be made larger (it is kept as it is, "
    "or at the largest size)";

bool enlargeLastFrameForTags(std::span<const uint8_t> out, size_t musicEnd,
                             const std::vector<FrameSize>& sizes, uint8_t& lastSize) {
    if (!endReadsAsTag(out, musicEnd)) return false;
    const size_t larger = largerLastSize(sizes, lastSize);
    if (larger == lastSize) return false;
    lastSize = static_cast<uint8_t>(larger);
    return true;
}

}  // namespace l3
