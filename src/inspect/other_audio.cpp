#include "inspect/other_audio.h"

#include <algorithm>

#include "format/byte_order.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

// Bit rates in kbit/s by layer (1..3) for MPEG-1, and for MPEG-2/2.5 (Layer I, then II and
// III, which share one row), indexed by the bit rate index.
constexpr int kMpeg1Rates[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
constexpr int kLsfRates[2][16] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};

// The fields one stream keeps: sync, version, layer, sampling rate.
constexpr uint32_t kStreamFields = 0xFFFE0C00u;
// Free-format frames are found by their repeating header; the search looks this far.
constexpr size_t kMaxFreeFrameBytes = 2882;
// Candidate free-format headers tried per junk range, so that a range full of such
// patterns stays a linear scan.
constexpr int kFreeCandidates = 16;

struct Header {
    uint32_t word;
    int version;  // code: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer;    // 1, 2 or 3
    int rateIndex;
    int sampleRate;
};

bool parse(const uint8_t* p, Header& h) {
    h.word = loadBe32(p);
    if ((h.word >> 21) != 0x7FF) return false;
    h.version = static_cast<int>((h.word >> 19) & 3);
    const int layerBits = static_cast<int>((h.word >> 17) & 3);
    h.rateIndex = static_cast<int>((h.word >> 12) & 15);
    const int sampling = static_cast<int>((h.word >> 10) & 3);
    if (h.version == 1 || layerBits == 0 || h.rateIndex == 15 || sampling == 3) return false;
    h.layer = 4 - layerBits;
    h.sampleRate = samplingRateTable[h.version][sampling];
    return true;
}

// The frame length of a Layer I or II header with a bit rate.
size_t lowerLayerLength(const Header& h) {
    const bool mpeg1 = h.version == 3;
    const int kbps = mpeg1 ? kMpeg1Rates[h.layer - 1][h.rateIndex]
                           : kLsfRates[h.layer == 1 ? 0 : 1][h.rateIndex];
    const int padding = static_cast<int>((h.word >> 9) & 1);
    if (h.layer == 1) return static_cast<size_t>((12000 * kbps / h.sampleRate + padding) * 4);
    return static_cast<size_t>(144000 * kbps / h.sampleRate + padding);
}

std::string describe(const Header& h) {
    const char* version = h.version == 3 ? "MPEG-1" : h.version == 2 ? "MPEG-2" : "MPEG-2.5";
    const char* layer = h.layer == 1 ? "Layer I" : h.layer == 2 ? "Layer II" : "Layer III";
    return std::string(h.layer == 3 ? "free-format " : "") + version + " " + layer;
}

}  // namespace

std::string otherMpegAudio(const uint8_t* data, const FrameWalk& walk) {
    for (size_t j = 0; j < walk.junkOffsets.size(); ++j) {
        const size_t from = walk.junkOffsets[j], end = from + walk.junkLengths[j];
        int freeTried = 0;
        for (size_t at = from; at + 4 <= end; ++at) {
            Header h;
            if (data[at] != 0xFF || !parse(data + at, h)) continue;
            Header next;
            if (h.layer != 3 && h.rateIndex != 0) {
                const size_t length = lowerLayerLength(h);
                if (length >= 4 && at + length + 4 <= end && parse(data + at + length, next) &&
                    (next.word & kStreamFields) == (h.word & kStreamFields))
                    return describe(h);
            } else if (h.layer == 3 && h.rateIndex == 0 && freeTried++ < kFreeCandidates) {
                // The same header fields again, padding aside, a frame later.
                const size_t reach = std::min(end, at + kMaxFreeFrameBytes);
                for (size_t k = at + 4; k + 4 <= reach; ++k)
                    if (data[k] == 0xFF && parse(data + k, next) &&
                        (next.word & 0xFFFEFC00u) == (h.word & 0xFFFEFC00u))
                        return describe(h);
            }
        }
    }
    return "";
}

}  // namespace l3
