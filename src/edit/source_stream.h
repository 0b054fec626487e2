#pragma once
// An edit's input taken apart: the tags around the frames, the Xing/Info frame, and for
// each audio frame where its head lies and where its main data lies in the main-data
// stream (every frame's bytes after its head, one after another). The edits (repack, cut,
// split, join) read their inputs, and read back their results, through this one reader,
// and compare frames with compareFrame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/frame_record.h"
#include "format/xing_tag.h"

namespace l3 {

// Exit codes shared by the edit commands.
enum EditStatus : int {
    kEditOk = 0,
    kEditUsage = 1,
    kEditIo = 2,
    kEditNotLayer3 = 3,
    kEditBadFrame = 4,  // a frame whose main data cannot be decoded
    kEditVerify = 6,    // the result does not match the input (an internal fault)
};

// One audio frame of a stream: where its head and main data lie.
struct SourceFrame {
    size_t offset;
    uint32_t header;
    int64_t mainStart;  // bit offset into the stream's main-data stream
    int32_t mainBits;
    int64_t recodedStart = 0;  // when recoded: bit offset into the recoded main data
    int32_t recodedBits = 0;
};

// What a frame's head is written from, without the values (a record is 5.6 KB).
struct SideInformation {
    uint32_t header;
    int32_t private_bits;
    int32_t scfsi[2][4];
    GranuleChannelInfo granuleInfo[2][2];
};

struct SourceStream {
    const uint8_t* input = nullptr;  // the bytes read; not owned
    size_t size = 0;
    size_t leadingBytes = 0;       // tags before the frames, kept
    size_t trailingTagOffset = 0;  // tags from here to the end, kept
    XingTag xing;
    bool tagFrame = false;  // the first frame is a Xing/Info (or VBRI) frame, not audio
    std::vector<SourceFrame> frames;
    std::vector<uint8_t> mainData;
    // When recoded: each frame's recoded main data (from a byte boundary, at
    // frames[k].recodedStart bits) and side information.
    std::vector<uint8_t> recoded;
    std::vector<SideInformation> recodedHeads;
};

// layout: frames and main-data positions only; decode: every frame's main data is also
// decoded, so that one that does not decode is refused; recode: and re-coded for the
// fewest bits (see granule_coder.h).
enum class SourcePass { layout, decode, recode };

struct SourceProblem {
    int status = kEditOk;
    std::string message;             // why it failed
    std::vector<std::string> notes;  // what was dropped (junk, a cut last frame)
};

// Reads input into src; fails (kEditNotLayer3, kEditBadFrame) on what cannot be carried
// over losslessly. src keeps a pointer to input. Up to `threads` threads decode (and
// recode) the frames at once.
bool readSource(const uint8_t* input, size_t size, SourcePass pass, int threads, SourceStream& src,
                SourceProblem& problem);

// Copies count bits from src at bit srcPos to dst from its first bit on; the bits after
// them in the last byte are zero.
void copyBits(uint8_t* dst, const uint8_t* src, int64_t srcPos, int64_t count);

// Frame b.frames[kb] against a.frames[ka]: the header but for its size and CRC bits, the
// side information but for main_data_begin, and the main data bit for bit (which fix every
// decoded value). Empty when they agree, else what differs.
std::string compareFrame(const SourceStream& a, size_t ka, const SourceStream& b, size_t kb);

// The message of a result that did not read back as it should: an internal fault.
std::string verificationFailure(const std::string& mismatch);

// "frame K (offset O)"
std::string frameAt(size_t frame, size_t offset);

}  // namespace l3
