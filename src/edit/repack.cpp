#include "edit/repack.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "assemble/run_driver.h"
#include "disassemble/main_data_reader.h"
#include "disassemble/side_info_reader.h"
#include "disassemble/stream_scanner.h"
#include "edit/frame_head.h"
#include "edit/granule_coder.h"
#include "edit/layout_plan.h"
#include "format/byte_order.h"
#include "format/frame_crc.h"
#include "format/frame_length.h"
#include "format/xing_tag.h"
#include "framewriter/frame_writer_state.h"
#include "framewriter/head_writer.h"
#include "inspect/frame_walk.h"
#include "maindata/main_data_state.h"
#include "maindata/main_data_writer.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr int kMaxBackMpeg1 = 511;
constexpr int kMaxBackLsf = 255;
constexpr uint32_t kBitrateMask = 0xF000;
constexpr uint32_t kPaddingMask = 0x0200;
constexpr uint32_t kProtectionMask = 0x10000;  // set: no CRC

// One audio frame of the input: where its head and main data lie.
struct SourceFrame {
    size_t offset;
    uint32_t header;
    int64_t mainStart;  // bit offset into the input's main-data stream
    int32_t mainBits;
    bool fromRecord = false;   // its head is written from recodedHeads (--huffman, an edit)
    bool recoded = false;      // its main data is the recoded one
    int64_t recodedStart = 0;  // when recoded: bit offset into the recoded main data
    int32_t recodedBits = 0;
};

// The input taken apart: tags around the frames, the tag frame, the audio frames and the
// main-data stream (every frame's bytes after its head, one after another).
struct SourceStream {
    size_t leadingBytes = 0;       // tags before the frames, kept
    size_t trailingTagOffset = 0;  // tags from here to the end, kept
    XingTag xing;
    bool tagFrame = false;  // the first frame is a Xing/Info (or VBRI) frame, not audio
    std::vector<SourceFrame> frames;
    std::vector<uint8_t> mainData;
    // The recoded frames' main data (each from a byte boundary, at frames[k].recodedStart
    // bits) and, per frame written from a record, its side information.
    std::vector<uint8_t> recoded;
    std::vector<SideInformation> recodedHeads;
    // The edits' values, per audio frame (null: none); decoded values are compared with them.
    std::vector<const FrameRecord*> edited;
};

std::string at(size_t frame, size_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "frame %zu (offset %zu)", frame, offset);
    return text;
}

// Copies count bits from src at bit srcPos to dst from its first bit on; the bits after
// them in the last byte are zero.
void copyBits(uint8_t* dst, const uint8_t* src, int64_t srcPos, int64_t count) {
    const uint8_t* s = src + (srcPos >> 3);
    const int shift = static_cast<int>(srcPos & 7);
    const int64_t bytes = (count + 7) >> 3;
    if (shift == 0) {
        std::memcpy(dst, s, static_cast<size_t>(bytes));
    } else {
        for (int64_t i = 0; i < bytes; ++i)
            dst[i] = static_cast<uint8_t>(s[i] << shift | s[i + 1] >> (8 - shift));
    }
    if (count & 7) dst[bytes - 1] &= static_cast<uint8_t>(0xFF00 >> (count & 7));
}

// Codes record's main data with the assembler's writers and appends it to out from a byte
// boundary; returns its first bit.
int64_t appendMainData(MainDataState& scratch, const FrameRecord& record,
                       std::vector<uint8_t>& out) {
    const int32_t bits = writeMainDataAlone(scratch, record);
    const BitStore& store = scratch.store;
    constexpr int32_t kTopByte = kScratchTopByte;
    const int64_t start = 8 * static_cast<int64_t>(out.size());
    const size_t bytes = static_cast<size_t>((bits + 7) / 8);
    // Store bytes leave from the top down; the bits past the end are zero.
    for (size_t i = 0; i < bytes; ++i)
        out.push_back(store.storeBytes[static_cast<size_t>(kTopByte) - 1 - i]);
    if (bits & 7) out.back() &= static_cast<uint8_t>(0xFF00 >> (bits & 7));
    return start;
}

// A granule coded from values that differ from the frame's gets this part2_3_length before
// recodeFrame, so that its old coding, made for other values, is never kept; one left with
// it (or with any length out of range) had values that no coding holds.
constexpr int32_t kUncoded = 1 << 20;
constexpr int32_t kMaxPart2_3Length = 4095;

// Marks in edit the granules whose values (spectrum, scalefactors, block type and flags)
// differ from the decoded ones; true when there is one.
bool markChangedGranules(const FrameRecord& decoded, FrameRecord& edit) {
    bool any = false;
    for (int gr = 0; gr < granuleCount(decoded.header); ++gr)
        for (int ch = 0; ch < channelCount(decoded.header); ++ch) {
            if (!sameGranuleValues(decoded, edit, gr, ch)) {
                edit.granuleInfo[gr][ch].part2_3_length = kUncoded;
                any = true;
            }
        }
    return any;
}

// The first scalefactor of a granule that is largest: what no width could hold.
RecordProblem scalefactorProblem(const FrameRecord& rec, int gr, int ch) {
    const uint16_t* sf = rec.scalefactors[isMpeg1(rec.header) ? gr : 0][ch];
    const uint16_t* top = std::max_element(sf, sf + kScalefactorEntries);
    return recordProblem("scalefactor", *top, "does not fit any scalefactor width of its granule",
                         gr, ch, static_cast<int>(top - sf));
}

// A granule left with a length out of range after recodeFrame: the value that no coding
// holds, or the length itself when the values need more bits than a granule has.
RecordProblem uncodedProblem(const FrameRecord& rec, int gr, int ch) {
    const HuffmanTable& widest = codeTables().huffman[31];
    const int largest = 15 + (1 << widest.linbits) - 1;
    const int16_t* lines = rec.spectrum[gr][ch];
    for (int i = 0; i < kSpectrumLines; ++i)
        if (lines[i] > largest || lines[i] < -largest)
            return recordProblem("spectrum", lines[i],
                                 "is beyond the largest magnitude a code table holds", gr, ch, i);
    const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
    if (length > kMaxPart2_3Length && length < kUncoded / 2)
        return recordProblem("part2_3_length", length,
                             "is above 4095: the granule's values need more bits than it holds", gr,
                             ch);
    return scalefactorProblem(rec, gr, ch);
}

// One part's decoding: its frames' recoded main data (with --huffman) and its first failure.
struct DecodedPart {
    std::vector<uint8_t> recoded;
    std::string message;  // empty while every frame decodes (and every edit codes)
    int status = kRepackBadFrame;
};

// Codes a recoded frame's main data into the part's and notes where it lies in s; false
// (with the part's status and message set) when a value cannot be coded.
bool codeRecoded(MainDataState& scratch, const FrameRecord& rec, size_t frame, SourceFrame& s,
                 DecodedPart& part) {
    RecordProblem problem;
    s.recodedBits = 0;
    for (int gr = 0; gr < granuleCount(rec.header) && !problem.field; ++gr)
        for (int ch = 0; ch < channelCount(rec.header) && !problem.field; ++ch) {
            const int32_t length = rec.granuleInfo[gr][ch].part2_3_length;
            if (length < 0 || length > kMaxPart2_3Length) problem = uncodedProblem(rec, gr, ch);
            s.recodedBits += length;
        }
    if (!problem.field) {
        s.recodedStart = appendMainData(scratch, rec, part.recoded);
        problem = scratch.problem;
    }
    if (!problem.field) return true;
    part.status = kRepackBadValue;
    part.message = describeProblem(static_cast<int32_t>(frame), problem);
    return false;
}

enum class Pass { layout, decode, recode };

// Frames a thread takes at the least: fewer are not worth starting one for.
constexpr size_t kFramesPerThread = 1000;

// Runs work(from, to, part) over [0, n) in contiguous parts on up to `threads` threads at
// once (this one included) and returns the parts in order.
template <typename Part, typename Work>
std::vector<Part> inParts(size_t n, int threads, const Work& work) {
    const size_t parts = std::max<size_t>(
        1, std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), n / kFramesPerThread));
    std::vector<Part> out(parts);
    std::vector<std::thread> helpers;
    for (size_t p = 1; p < parts; ++p)
        helpers.emplace_back([&, p] { work(n * p / parts, n * (p + 1) / parts, out[p]); });
    work(0, n / parts, out[0]);
    for (std::thread& t : helpers) t.join();
    return out;
}

// Reads the input into its parts; fails on what cannot be carried over losslessly.
bool readSource(const uint8_t* input, size_t size, Pass pass, int threads, const FrameEdits* edits,
                SourceStream& src, RepackResult& result) {
    const bool decode = pass != Pass::layout;
    const FrameWalk walk = walkFrames(input, size);
    src.leadingBytes = walk.tags.audioStart;
    src.trailingTagOffset = walk.tags.audioEnd;
    for (size_t j = 0; j < walk.junkOffsets.size(); ++j) {
        char text[96];
        std::snprintf(text, sizeof text, "dropped %zu bytes of junk at offset %zu",
                      walk.junkLengths[j], walk.junkOffsets[j]);
        result.notes.push_back(text);
    }
    std::vector<FrameSpan> frames;
    for (const WalkFrame& f : walk.frames) {
        if (f.truncated) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "dropped a last frame cut short (%d bytes at offset %zu)", f.length,
                          f.offset);
            result.notes.push_back(text);
        } else {
            frames.push_back({f.offset, f.length, f.header});
        }
    }
    if (frames.empty()) {
        result.status = kRepackNotLayer3;
        result.message = "no Layer III frame found (free format and Layer I/II are not handled)";
        return false;
    }

    size_t first = 0;
    const FrameSpan& f0 = frames[0];
    src.xing = readXingTag(input + f0.offset, static_cast<size_t>(f0.length));
    if (src.xing.kind != XingKind::none) {
        src.tagFrame = true;
        first = 1;
    }

    const uint32_t reference = frames[first < frames.size() ? first : 0].header;
    for (size_t k = 0; k < frames.size(); ++k) {
        const FrameSpan& f = frames[k];
        const int32_t head = headByteCount(f.header);
        const int64_t areaStart = 8 * static_cast<int64_t>(src.mainData.size());
        src.mainData.insert(src.mainData.end(), input + f.offset + head,
                            input + f.offset + f.length);
        if (k < first) continue;
        // One frame size table serves the whole stream: version and sampling rate stay.
        if (versionCode(f.header) != versionCode(reference) ||
            samplingIndex(f.header) != samplingIndex(reference)) {
            result.status = kRepackBadFrame;
            result.message = at(k, f.offset) +
                             ": header_changed: its version or sampling rate "
                             "differs from the first audio frame's";
            return false;
        }
        const MainDataExtent extent = readMainDataExtent(input + f.offset);
        const int32_t bits = extent.bits;
        const int64_t mainStart = areaStart - 8 * int64_t{extent.mainDataBegin};
        const char* kind = nullptr;
        const char* why = nullptr;
        if (mainStart < 0) {
            kind = "reservoir_underflow";
            why = "main_data_begin reaches before the stream";
        } else if (mainStart + bits > 8 * static_cast<int64_t>(src.mainData.size())) {
            kind = "huffman_error";
            why = "its main data runs past the end of its frame";
        }
        src.frames.push_back({f.offset, f.header, mainStart, bits});
        if (kind) {
            result.status = kRepackBadFrame;
            result.message = at(k, f.offset) + ": " + kind + ": " + why;
            return false;
        }
    }
    // Decoded values are checked once all areas are in: a frame's main data may only
    // reach back, so each is complete here. Frames decode independently, in parts at once.
    src.mainData.resize(src.mainData.size() + 8, 0);
    if (!decode) return true;
    if (pass == Pass::recode || edits) src.recodedHeads.resize(src.frames.size());
    if (edits) src.edited.assign(src.frames.size(), nullptr);
    auto decodeFrames = [&](size_t from, size_t to, DecodedPart& part) {
        auto record = std::make_unique<FrameRecord>();
        std::unique_ptr<FrameRecord> edit;
        std::unique_ptr<MainDataState> scratch;
        if (pass == Pass::recode || edits) {
            edit = std::make_unique<FrameRecord>();
            scratch = std::make_unique<MainDataState>();
            initBitStore(scratch->store);
        }
        for (size_t i = from; i < to; ++i) {
            SourceFrame& s = src.frames[i];
            readSideInfo(input + s.offset, *record);
            if (const char* why = readMainData(src.mainData.data(), s.mainStart, *record)) {
                const bool sideInfo = std::strstr(why, "big_values") || std::strstr(why, "table 4");
                part.message = at(i + first, s.offset) + ": " +
                               (sideInfo ? "side_info_invalid: " : "huffman_error: ") + why;
                return;
            }
            const FrameRecord* values =
                edits && i < edits->records.size() ? edits->records[i] : nullptr;
            if (values) {
                src.edited[i] = values;
                *edit = *values;
                s.recoded = markChangedGranules(*record, *edit);
                if (s.recoded) recodeFrame(*edit);
                s.fromRecord = true;
            } else if (pass == Pass::recode) {
                *edit = *record;
                recodeFrame(*edit);
                s.fromRecord = s.recoded = true;
            } else {
                continue;
            }
            if (s.recoded && !codeRecoded(*scratch, *edit, i + first, s, part)) return;
            src.recodedHeads[i] = sideInformationOf(*edit);
        }
    };
    const std::vector<DecodedPart> parts =
        inParts<DecodedPart>(src.frames.size(), threads, decodeFrames);
    const size_t count = src.frames.size();
    for (size_t p = 0; p < parts.size(); ++p) {
        if (!parts[p].message.empty()) {
            result.status = parts[p].status;
            result.message = parts[p].message;
            return false;
        }
        // Each part's recoded main data starts on a byte: its frames move by what came before.
        const int64_t shift = 8 * static_cast<int64_t>(src.recoded.size());
        for (size_t i = count * p / parts.size(); i < count * (p + 1) / parts.size(); ++i)
            src.frames[i].recodedStart += shift;
        src.recoded.insert(src.recoded.end(), parts[p].recoded.begin(), parts[p].recoded.end());
    }
    src.recoded.resize(src.recoded.size() + 8, 0);
    return true;
}

uint32_t withSize(uint32_t header, const FrameSize& size, CrcChoice crc) {
    header = (header & ~(kBitrateMask | kPaddingMask)) |
             static_cast<uint32_t>(size.bitrateIndex) << 12 |
             static_cast<uint32_t>(size.padding) << 9;
    if (crc == CrcChoice::add) header &= ~kProtectionMask;
    if (crc == CrcChoice::drop) header |= kProtectionMask;
    return header;
}

// The frame sizes the options allow for frames of this header.
std::vector<FrameSize> allowedSizes(uint32_t header, const RepackOptions& options, int bitrate) {
    std::vector<FrameSize> sizes;
    for (uint8_t index = 1; index <= 14; ++index) {
        const int kbps = bitrateTable[isMpeg1(header)][index] / 1000;
        if (kbps < options.minBitrate) continue;
        if (bitrate > 0 && kbps != bitrate) continue;
        for (uint8_t padding = 0; padding <= 1; ++padding) {
            const FrameSize size{0, index, padding};
            sizes.push_back({frameLength(withSize(header, size, CrcChoice::keep)), index, padding});
        }
    }
    return sizes;
}

void putHead(std::vector<uint8_t>& out, const uint8_t* sourceFrame, uint32_t header,
             int32_t mainDataBegin) {
    const int32_t side = sideInfoBytes(header);
    uint8_t head[6 + 32];
    head[0] = static_cast<uint8_t>(header >> 24);
    head[1] = static_cast<uint8_t>(header >> 16);
    head[2] = static_cast<uint8_t>(header >> 8);
    head[3] = static_cast<uint8_t>(header);
    const uint32_t sourceHeader = loadBe32(sourceFrame);
    uint8_t* sideOut = head + (hasCrc(header) ? 6 : 4);
    std::memcpy(sideOut, sourceFrame + (hasCrc(sourceHeader) ? 6 : 4), static_cast<size_t>(side));
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

// The tag the result's first frame carries: the input's Xing/Info tag (its LAME extension
// above all) with every field present, or a new one. Counts and TOC are filled in later.
XingTag resultTag(const XingTag& source, uint32_t streamHeader, bool vbr) {
    XingTag tag;
    if (source.kind == XingKind::xing || source.kind == XingKind::info) tag = source;
    tag.kind = vbr ? XingKind::xing : XingKind::info;
    tag.hasFrames = tag.hasBytes = tag.hasToc = tag.hasQuality = true;
    tag.tagOffset = 4 + static_cast<size_t>(sideInfoBytes(streamHeader));
    return tag;
}

// The tag frame: the stream's header at the smallest rate whose frame holds the tag.
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

}  // namespace

namespace {

constexpr uint32_t kLayoutBits = kBitrateMask | kPaddingMask | kProtectionMask;

// A frame whose main data was kept, against the input's: the header but for its size and
// CRC bits, the side information but for main_data_begin, and the main data bit for bit
// (which fix every decoded value).
std::string sameCoding(const uint8_t* input, const SourceFrame& fa, const SourceStream& a,
                       const uint8_t* output, const SourceFrame& fb, const SourceStream& b,
                       std::vector<uint8_t>& x, std::vector<uint8_t>& y) {
    if ((fa.header & ~kLayoutBits) != (fb.header & ~kLayoutBits)) return "its header differs";
    const int32_t side = sideInfoBytes(fa.header);
    const uint8_t* sa = input + fa.offset + (hasCrc(fa.header) ? 6 : 4);
    const uint8_t* sb = output + fb.offset + (hasCrc(fb.header) ? 6 : 4);
    const int skip = isMpeg1(fa.header) ? 9 : 8;  // main_data_begin
    for (int bit = skip; bit < 8 * side; ++bit)
        if (((sa[bit >> 3] >> (7 - (bit & 7))) & 1) != ((sb[bit >> 3] >> (7 - (bit & 7))) & 1))
            return "its side information differs";
    if (fa.mainBits != fb.mainBits) return "its main data length differs";
    const size_t bytes = static_cast<size_t>((fa.mainBits + 7) / 8);
    x.assign(bytes + 1, 0);
    y.assign(bytes + 1, 0);
    copyBits(x.data(), a.mainData.data(), fa.mainStart, fa.mainBits);
    copyBits(y.data(), b.mainData.data(), fb.mainStart, fb.mainBits);
    return x == y ? "" : "its main data differs";
}

// A frame written from a record (its bits may differ) decoded, against the values it was
// to carry, with the side information that decides how they sound.
std::string sameValues(const FrameRecord& x, const FrameRecord& y) {
    if ((x.header & ~kLayoutBits) != (y.header & ~kLayoutBits)) return "its header differs";
    for (int gr = 0; gr < granuleCount(x.header); ++gr)
        for (int ch = 0; ch < channelCount(x.header); ++ch) {
            const GranuleChannelInfo& p = x.granuleInfo[gr][ch];
            const GranuleChannelInfo& q = y.granuleInfo[gr][ch];
            if (p.global_gain != q.global_gain || p.block_type != q.block_type ||
                p.mixed_block_flag != q.mixed_block_flag ||
                p.window_switching_flag != q.window_switching_flag || p.preflag != q.preflag ||
                p.scalefac_scale != q.scalefac_scale ||
                !std::equal(p.subblock_gain, p.subblock_gain + 3, q.subblock_gain))
                return "its side information differs";
            if (!std::equal(x.spectrum[gr][ch], x.spectrum[gr][ch] + kSpectrumLines,
                            y.spectrum[gr][ch]))
                return "its spectrum differs";
            if (!std::equal(x.scalefactors[gr][ch], x.scalefactors[gr][ch] + kScalefactorEntries,
                            y.scalefactors[gr][ch]))
                return "its scalefactors differ";
        }
    return "";
}

// Frames [from, to) of the result against the input's (or, for an edited frame, against its
// edit): the first difference.
std::string compareFrames(const uint8_t* input, const SourceStream& a, const uint8_t* output,
                          const SourceStream& b, size_t from, size_t to) {
    std::vector<uint8_t> x, y;
    auto want = std::make_unique<FrameRecord>();
    auto got = std::make_unique<FrameRecord>();
    for (size_t k = from; k < to; ++k) {
        const SourceFrame& fa = a.frames[k];
        const SourceFrame& fb = b.frames[k];
        std::string mismatch;
        if (!fa.fromRecord) {
            mismatch = sameCoding(input, fa, a, output, fb, b, x, y);
        } else {
            readSideInfo(output + fb.offset, *got);
            const FrameRecord* edit = a.edited.empty() ? nullptr : a.edited[k];
            if (!edit) {
                readSideInfo(input + fa.offset, *want);
                if (readMainData(a.mainData.data(), fa.mainStart, *want))
                    mismatch = "its main data does not decode";
                edit = want.get();
            }
            if (readMainData(b.mainData.data(), fb.mainStart, *got))
                mismatch = "its main data does not decode";
            if (mismatch.empty()) mismatch = sameValues(*edit, *got);
        }
        if (!mismatch.empty()) return "frame " + std::to_string(k) + " of the result: " + mismatch;
    }
    return "";
}

// Every audio frame of the result against the input's, in parts at once; the encoder delay
// and padding.
std::string compareStreams(const uint8_t* input, const SourceStream& a, const uint8_t* output,
                           const SourceStream& b, int threads) {
    if (a.frames.size() != b.frames.size()) return "the result has a different frame count";
    if (a.xing.lame.present != b.xing.lame.present ||
        (a.xing.lame.present &&
         (a.xing.lame.delay != b.xing.lame.delay || a.xing.lame.padding != b.xing.lame.padding)))
        return "the result's encoder delay or padding differs";
    const std::vector<std::string> parts = inParts<std::string>(
        a.frames.size(), threads, [&](size_t from, size_t to, std::string& mismatch) {
            mismatch = compareFrames(input, a, output, b, from, to);
        });
    for (const std::string& mismatch : parts)
        if (!mismatch.empty()) return mismatch;
    return "";
}

}  // namespace

RepackResult repackStream(const uint8_t* input, size_t size, const RepackOptions& options,
                          const FrameEdits* edits) {
    RepackResult result;
    SourceStream src;
    if (!readSource(input, size, options.huffman ? Pass::recode : Pass::decode, options.threads,
                    edits, src, result))
        return result;
    const size_t n = src.frames.size();
    // Where each frame's main data comes from: the input's, or its recoded main data.
    auto mainSourceOf = [&](size_t k) {
        return src.frames[k].recoded ? src.recoded.data() : src.mainData.data();
    };
    auto mainStartOf = [&](size_t k) {
        return src.frames[k].recoded ? src.frames[k].recodedStart : src.frames[k].mainStart;
    };
    auto mainBitsOf = [&](size_t k) {
        return src.frames[k].recoded ? src.frames[k].recodedBits : src.frames[k].mainBits;
    };
    result.frames = n;
    if (n == 0) {
        result.status = kRepackNotLayer3;
        result.message = "the stream has no audio frame";
        return result;
    }
    const uint32_t reference = src.frames[0].header;
    const int maxBack = isMpeg1(reference) ? kMaxBackMpeg1 : kMaxBackLsf;

    std::vector<LayoutFrame> layoutFrames(n);
    for (size_t k = 0; k < n; ++k)
        layoutFrames[k] = {(mainBitsOf(k) + 7) / 8,
                           headByteCount(withSize(src.frames[k].header, {0, 1, 0}, options.crc))};

    // One plan per allowed single rate (--cbr min tries them from the smallest up).
    auto planFor = [&](int bitrate) {
        return planLayout(layoutFrames, allowedSizes(reference, options, bitrate), maxBack);
    };
    std::vector<FrameSize> sizes;
    LayoutPlan plan;
    if (options.cbrBitrate == 0) {
        sizes = allowedSizes(reference, options, 0);
        plan = planLayout(layoutFrames, sizes, maxBack);
    } else {
        int smallestFit = 0;
        for (uint8_t index = 1; index <= 14 && smallestFit == 0; ++index) {
            const int kbps = bitrateTable[isMpeg1(reference)][index] / 1000;
            if (kbps < options.minBitrate || kbps < options.cbrBitrate) continue;
            if (planFor(kbps).ok) smallestFit = kbps;
        }
        const int wanted = options.cbrBitrate > 0 ? options.cbrBitrate : smallestFit;
        sizes = allowedSizes(reference, options, wanted);
        plan = wanted > 0 ? planLayout(layoutFrames, sizes, maxBack) : LayoutPlan{};
        if (!plan.ok) {
            result.status = kRepackCannotFit;
            char text[200];
            if (sizes.empty() && options.cbrBitrate > 0) {
                std::snprintf(text, sizeof text, "%d kbit/s is not a bit rate of this stream",
                              options.cbrBitrate);
            } else if (smallestFit > 0) {
                std::snprintf(text, sizeof text,
                              "frame %zu cannot fit at %d kbit/s; the smallest single rate that "
                              "fits is %d kbit/s",
                              plan.failedFrame + (src.tagFrame ? 1 : 0), wanted, smallestFit);
            } else {
                std::snprintf(text, sizeof text, "no single bit rate fits every frame");
            }
            result.message = text;
            return result;
        }
    }
    if (!plan.ok) {
        result.status = kRepackCannotFit;
        result.message = "frame " + std::to_string(plan.failedFrame + (src.tagFrame ? 1 : 0)) +
                         " cannot fit at any rate";
        return result;
    }

    for (size_t k = 1; k < n; ++k)
        if (sizes[plan.size[k]].bitrateIndex != sizes[plan.size[0]].bitrateIndex) result.vbr = true;

    // The main-data stream of the result, each frame's main data where the plan puts it.
    std::vector<int64_t> areaStart(n + 1, 0);
    for (size_t k = 0; k < n; ++k)
        areaStart[k + 1] =
            areaStart[k] + sizes[plan.size[k]].frameBytes - layoutFrames[k].headBytes;
    std::vector<uint8_t> mainData(static_cast<size_t>(areaStart[n]) + 8, 0);
    for (size_t k = 0; k < n; ++k)
        copyBits(mainData.data() + areaStart[k] - plan.mainDataBegin[k], mainSourceOf(k),
                 mainStartOf(k), mainBitsOf(k));

    std::vector<uint8_t>& out = result.output;
    out.reserve(static_cast<size_t>(plan.totalBytes) + size / 8 + 2048);
    out.insert(out.end(), input, input + src.leadingBytes);
    // A stream without a tag frame gets none: a decoder that finds one trims its start as
    // for a gapless stream, and the samples played would change.
    const bool tagFrame = src.tagFrame;
    const size_t tagFrameAt = out.size();
    std::vector<uint8_t> tagBytes;
    XingTag tag = resultTag(src.xing, reference, result.vbr);
    if (tagFrame) {
        tagBytes = makeTagFrame(withSize(reference, {0, 1, 0}, options.crc), tag, options.crc);
        out.insert(out.end(), tagBytes.begin(), tagBytes.end());
    }
    std::unique_ptr<FrameWriterState> headWriter;
    if (!src.recodedHeads.empty()) {
        headWriter = std::make_unique<FrameWriterState>();
        initBitStore(headWriter->store);
        initFrameRing(headWriter->ring);
    }
    std::vector<size_t> frameAt(n);
    for (size_t k = 0; k < n; ++k) {
        frameAt[k] = out.size();
        const uint32_t header = withSize(src.frames[k].header, sizes[plan.size[k]], options.crc);
        if (src.frames[k].fromRecord) {
            uint8_t head[kMaxHeadBytes];
            const int32_t count = writeFrameHead(*headWriter, src.recodedHeads[k], header,
                                                 plan.mainDataBegin[k], head);
            out.insert(out.end(), head, head + count);
        } else {
            putHead(out, input + src.frames[k].offset, header, plan.mainDataBegin[k]);
        }
        out.insert(out.end(), mainData.begin() + areaStart[k], mainData.begin() + areaStart[k + 1]);
    }
    const size_t musicEnd = out.size();
    out.insert(out.end(), input + src.trailingTagOffset, input + size);

    if (tagFrame) {
        tag.frames = static_cast<uint32_t>(n);
        tag.bytes = static_cast<uint32_t>(musicEnd - tagFrameAt);
        for (size_t i = 0; i < 100; ++i) {
            const size_t pos = frameAt[i * n / 100] - tagFrameAt;
            tag.toc[i] = static_cast<uint8_t>(std::min<size_t>(255, pos * 256 / tag.bytes));
        }
        const size_t audio = tagFrameAt + tagBytes.size();
        const uint16_t musicCrc = lameCrc(out.data() + audio, musicEnd - audio);
        // The frame CRC covers the start of the tag (it overlaps the side information of a
        // protected frame) and the tag CRC covers the frame CRC: tag, frame CRC, tag again.
        uint8_t* frame = out.data() + tagFrameAt;
        writeXingTag(frame, tagBytes.size(), tag, tag.bytes, musicCrc);
        const uint32_t header = loadBe32(frame);
        if (hasCrc(header)) {
            storeFrameHeadCrc(frame, header);
            writeXingTag(frame, tagBytes.size(), tag, tag.bytes, musicCrc);
        }
    }

    // Read back and compare before anything is handed out.
    SourceStream check;
    RepackResult readBack;
    std::string mismatch;
    if (!readSource(out.data(), out.size(), Pass::layout, 1, nullptr, check, readBack))
        mismatch = "the result cannot be read back: " + readBack.message;
    else
        mismatch = compareStreams(input, src, out.data(), check, options.threads);
    if (mismatch.empty() && !std::equal(input, input + src.leadingBytes, out.begin()))
        mismatch = "the leading tag changed";
    if (!mismatch.empty()) {
        result.status = kRepackVerify;
        result.message =
            "verification failed: " + mismatch + " (an internal fault: please report it)";
        result.output.clear();
    }
    return result;
}

}  // namespace l3
