#pragma once
// Test helpers for l3assemble: building frame records and record files, an independent
// most-significant-bit-first bit writer, an independent model of the stream that raw
// records (and records without coded main data) must produce, temporary directories and
// a runner for the built programs.
//
// Everything that computes an expected value here is written from the stream and record
// formats alone; it shares no code with the program, so a fault in the program's bit
// positions, tables or reservoir shows up as a mismatch.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "l3/frame_record.h"

namespace l3test {

// A 32-bit draw (std::mt19937 hands out its 32 bits in a wider type).
inline uint32_t draw(std::mt19937& rng) {
    return static_cast<uint32_t>(rng());
}

// ---------------------------------------------------------------------------------------
// Header words. Bit 31 is the first bit of the frame; the sync word and layer III bits are
// always set here.

enum Version : uint32_t { kMpeg25 = 0, kVersionReserved = 1, kMpeg2 = 2, kMpeg1 = 3 };
enum Mode : uint32_t { kStereo = 0, kJointStereo = 1, kDualChannel = 2, kSingleChannel = 3 };

inline uint32_t makeHeader(uint32_t version, uint32_t bitrateIndex, uint32_t samplingIndex,
                           bool crc = false, uint32_t padding = 0, uint32_t mode = kStereo,
                           uint32_t modeExtension = 0) {
    return 0xFFE00000u | version << 19 | 1u << 17 | (crc ? 0u : 1u) << 16 | bitrateIndex << 12 |
           samplingIndex << 10 | padding << 9 | mode << 6 | modeExtension << 4;
}

// Bit rates (bit/s) and sampling rates (Hz) as the stream format defines them.
inline int32_t referenceBitrate(uint32_t header) {
    static const int32_t lsf[16] = {0,     8000,  16000, 24000,  32000,  40000,  48000,  56000,
                                    64000, 80000, 96000, 112000, 128000, 144000, 160000, 0};
    static const int32_t mpeg1[16] = {0,      32000,  40000,  48000,  56000,  64000,  80000,  96000,
                                      112000, 128000, 160000, 192000, 224000, 256000, 320000, 0};
    const uint32_t index = (header >> 12) & 15;
    return (header >> 19) & 1 ? mpeg1[index] : lsf[index];
}

inline int32_t referenceSamplingRate(uint32_t header) {
    static const int32_t rates[4][3] = {
        {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const uint32_t index = (header >> 10) & 3;
    return index == 3 ? 0 : rates[(header >> 19) & 3][index];
}

inline bool referenceIsMpeg1(uint32_t header) {
    return (header >> 19) & 1;
}
inline int referenceChannels(uint32_t header) {
    return ((header >> 6) & 3) == 3 ? 1 : 2;
}
inline bool referenceHasCrc(uint32_t header) {
    return ((header >> 16) & 1) == 0;
}

// Frame length in bytes: the number of slots a frame of this bit rate and sampling rate
// takes, plus the padding byte.
inline int32_t referenceFrameLength(uint32_t header) {
    const int64_t slots = referenceIsMpeg1(header) ? 144 : 72;
    return static_cast<int32_t>(slots * referenceBitrate(header) / referenceSamplingRate(header)) +
           static_cast<int32_t>((header >> 9) & 1);
}

inline int32_t referenceSideInfoBytes(uint32_t header) {
    if (referenceIsMpeg1(header)) return referenceChannels(header) == 1 ? 17 : 32;
    return referenceChannels(header) == 1 ? 9 : 17;
}

inline int32_t referenceHeadBytes(uint32_t header) {
    return 4 + (referenceHasCrc(header) ? 2 : 0) + referenceSideInfoBytes(header);
}

// ---------------------------------------------------------------------------------------
// A plain most-significant-bit-first bit writer over a growing byte vector.

class BitWriter {
public:
    void put(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) putBit((value >> i) & 1);
    }
    void putBit(int bit) {
        if (bits_ % 8 == 0) bytes_.push_back(0);
        if (bit) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
        ++bits_;
    }
    size_t bitCount() const { return bits_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t bits_ = 0;
};

// The frame CRC-16, bit by bit: polynomial 0x8005, register 0xFFFF, no reflection.
inline uint16_t referenceCrc(const uint8_t* bytes, size_t count) {
    uint32_t reg = 0xFFFF;
    for (size_t i = 0; i < count; ++i)
        for (int b = 7; b >= 0; --b) {
            const uint32_t bit = (bytes[i] >> b) & 1;
            const uint32_t top = (reg >> 15) & 1;
            reg = (reg << 1) & 0xFFFF;
            if (bit != top) reg ^= 0x8005;
        }
    return static_cast<uint16_t>(reg);
}

// ---------------------------------------------------------------------------------------
// Records.

// A record with every field zero except the header; rawMainData as given.
inline l3::FrameRecord makeRecord(uint32_t header, bool raw = true) {
    l3::FrameRecord record{};
    record.header = header;
    record.rawMainData = raw ? 1 : 0;
    return record;
}

struct RecordEntry {
    l3::FrameRecord record;
    int32_t ancillaryBits = 0;
};

// Fills every side-information field that the header's layout writes with a random value
// that fits its width (window switching chosen at random per granule and channel).
inline void randomSideInfo(l3::FrameRecord& r, std::mt19937& rng) {
    auto bits = [&rng](int width) { return static_cast<int32_t>(rng() & ((1u << width) - 1)); };
    const bool mpeg1 = referenceIsMpeg1(r.header);
    r.main_data_begin = bits(mpeg1 ? 9 : 8);
    r.private_bits = bits(mpeg1 ? (referenceChannels(r.header) == 1 ? 5 : 3)
                                : (referenceChannels(r.header) == 1 ? 1 : 2));
    for (auto& channel : r.scfsi)
        for (auto& group : channel) group = bits(1);
    for (auto& granule : r.granuleInfo)
        for (auto& info : granule) {
            info.rawPart2_3Length = bits(12);
            info.part2_3_length = bits(12);
            info.big_values = static_cast<int32_t>(rng() % 289);  // at most 576 lines
            info.global_gain = bits(8);
            info.scalefac_compress = bits(mpeg1 ? 4 : 9);
            info.window_switching_flag = bits(1);
            info.block_type = bits(2);
            info.mixed_block_flag = bits(1);
            for (auto& t : info.table_select) t = bits(5);
            for (auto& g : info.subblock_gain) g = bits(3);
            info.region0_count = bits(4);
            info.region1_count = bits(3);
            info.preflag = bits(1);
            info.scalefac_scale = bits(1);
            info.count1table_select = bits(1);
        }
}

// The head bytes of a frame (header, CRC-16 if the header asks for one, side information),
// laid out element by element in stream order from the record as the file holds it.
inline std::vector<uint8_t> referenceHead(const l3::FrameRecord& r) {
    const uint32_t header = r.header;
    const bool mpeg1 = referenceIsMpeg1(header);
    const int channels = referenceChannels(header);
    BitWriter w;
    w.put(header, 32);
    if (referenceHasCrc(header)) w.put(0, 16);
    w.put(static_cast<uint32_t>(r.main_data_begin), mpeg1 ? 9 : 8);
    w.put(static_cast<uint32_t>(r.private_bits),
          mpeg1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));
    if (mpeg1)
        for (int ch = 0; ch < channels; ++ch)
            for (int g = 0; g < 4; ++g) w.put(static_cast<uint32_t>(r.scfsi[ch][g]), 1);
    for (int gr = 0; gr < (mpeg1 ? 2 : 1); ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            const l3::GranuleChannelInfo& g = r.granuleInfo[gr][ch];
            auto put = [&w](int32_t v, int width) { w.put(static_cast<uint32_t>(v), width); };
            put(r.rawMainData ? g.rawPart2_3Length : g.part2_3_length, 12);
            put(g.big_values, 9);
            put(g.global_gain, 8);
            put(g.scalefac_compress, mpeg1 ? 4 : 9);
            put(g.window_switching_flag, 1);
            if (g.window_switching_flag) {
                put(g.block_type, 2);
                put(g.mixed_block_flag, 1);
                put(g.table_select[0], 5);
                put(g.table_select[1], 5);
                for (int k = 0; k < 3; ++k) put(g.subblock_gain[k], 3);
            } else {
                for (int k = 0; k < 3; ++k) put(g.table_select[k], 5);
                put(g.region0_count, 4);
                put(g.region1_count, 3);
            }
            if (mpeg1) put(g.preflag, 1);
            put(g.scalefac_scale, 1);
            put(g.count1table_select, 1);
        }
    std::vector<uint8_t> head = w.bytes();
    if (head.size() != static_cast<size_t>(referenceHeadBytes(header)))
        throw std::logic_error("side information does not fill its size");
    if (referenceHasCrc(header)) {
        // The CRC covers the last two header bytes and the side information.
        std::vector<uint8_t> covered{head[2], head[3]};
        covered.insert(covered.end(), head.begin() + 6, head.end());
        const uint16_t crc = referenceCrc(covered.data(), covered.size());
        head[4] = static_cast<uint8_t>(crc >> 8);
        head[5] = static_cast<uint8_t>(crc);
    }
    return head;
}

// ---------------------------------------------------------------------------------------
// Record files: a 12-byte head, then per frame the 5610-byte record and its ancillary bit
// count, all little-endian. Encoded here field by field at the documented offsets.

inline void putLe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline std::vector<uint8_t> recordBytes(const l3::FrameRecord& r) {
    std::vector<uint8_t> out(5610, 0);
    auto i32 = [&out](size_t at, int32_t v) { putLe32(out, at, static_cast<uint32_t>(v)); };
    putLe32(out, 0, r.header);
    i32(6, r.main_data_begin);
    i32(10, r.placedMainDataBegin);
    i32(14, r.private_bits);
    for (int ch = 0; ch < 2; ++ch)
        for (int g = 0; g < 4; ++g) i32(18 + 16 * ch + 4 * g, r.scfsi[ch][g]);
    i32(54, r.rawMainData);
    for (int gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < 2; ++ch) {
            const l3::GranuleChannelInfo& g = r.granuleInfo[gr][ch];
            const int32_t fields[20] = {g.reserved,
                                        g.rawPart2_3Length,
                                        g.part2_3_length,
                                        g.big_values,
                                        g.global_gain,
                                        g.scalefac_compress,
                                        g.window_switching_flag,
                                        g.block_type,
                                        g.mixed_block_flag,
                                        g.table_select[0],
                                        g.table_select[1],
                                        g.table_select[2],
                                        g.subblock_gain[0],
                                        g.subblock_gain[1],
                                        g.subblock_gain[2],
                                        g.region0_count,
                                        g.region1_count,
                                        g.preflag,
                                        g.scalefac_scale,
                                        g.count1table_select};
            for (int f = 0; f < 20; ++f) i32(58 + 160 * gr + 80 * ch + 4 * f, fields[f]);
            for (int e = 0; e < 78; ++e) {
                const size_t at = 378 + 312 * gr + 156 * ch + 2 * e;
                out[at] = static_cast<uint8_t>(r.scalefactors[gr][ch][e]);
                out[at + 1] = static_cast<uint8_t>(r.scalefactors[gr][ch][e] >> 8);
            }
            for (int k = 0; k < 576; ++k) {
                const size_t at = 1002 + 2304 * gr + 1152 * ch + 2 * k;
                const auto v = static_cast<uint16_t>(r.spectrum[gr][ch][k]);
                out[at] = static_cast<uint8_t>(v);
                out[at + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
    return out;
}

inline std::vector<uint8_t> recordFile(int32_t frameCount, int32_t outputLimit,
                                       const std::vector<RecordEntry>& entries) {
    std::vector<uint8_t> out(12, 0);
    putLe32(out, 0, static_cast<uint32_t>(frameCount));
    putLe32(out, 4, 0xDEADBEEF);  // not interpreted
    putLe32(out, 8, static_cast<uint32_t>(outputLimit));
    for (const RecordEntry& e : entries) {
        const std::vector<uint8_t> record = recordBytes(e.record);
        out.insert(out.end(), record.begin(), record.end());
        const size_t at = out.size();
        out.resize(at + 4);
        putLe32(out, at, static_cast<uint32_t>(e.ancillaryBits));
    }
    return out;
}

// A record file whose head counts all its entries and lets every byte through.
inline std::vector<uint8_t> recordFile(const std::vector<RecordEntry>& entries) {
    return recordFile(static_cast<int32_t>(entries.size()), -1, entries);
}

// ---------------------------------------------------------------------------------------
// The stream that a run over records without coded main data must produce: raw records, and
// records whose part2_3_length values are all 0 (MPEG-1) so that no main data bit is coded.
//
// Each frame's main-data area is frame length minus head bytes; the areas follow one
// another as one main-data stream. A frame's ancillary bits end where its main data begins:
// main_data_begin bytes before its own area (0 for the first frame of the run), or, for a
// raw record, right at the start of its own area, i.e. before its header in the output.
// Bits that would land before the first area are never sent. After the last record its
// ancillary bits are placed once more, as the last bits of the last area.
//
// The ancillary file is read as the run does it: each record with a positive bit count
// takes min(bits, 1024) bytes into a buffer that starts zeroed and keeps whatever a short
// read does not replace. What is left of the file is appended when appendLeftover is set.
struct ModelRun {
    std::vector<uint8_t> output;
    int32_t framesWritten = 0;
    size_t ancillaryShortfall = 0;
};

inline ModelRun modelRun(const std::vector<RecordEntry>& entries,
                         const std::vector<uint8_t>& ancillary, uint32_t outputLimit,
                         bool appendLeftover = true) {
    std::vector<std::vector<uint8_t>> heads;
    std::vector<int64_t> areaStart;  // byte offset of each area in the main-data stream
    int64_t total = 0;
    for (const RecordEntry& e : entries) {
        heads.push_back(referenceHead(e.record));
        areaStart.push_back(total);
        total += referenceFrameLength(e.record.header) - static_cast<int64_t>(heads.back().size());
    }
    std::vector<uint8_t> mainStream(static_cast<size_t>(total), 0);
    auto place = [&mainStream](const std::vector<uint8_t>& buffer, int32_t bits, int64_t endBit) {
        for (int32_t i = 0; i < bits; ++i) {
            const int64_t at = endBit - bits + i;  // stream bit offset, first bit highest
            const int bit = (buffer[i / 8] >> (7 - i % 8)) & 1;
            if (at >= 0 && bit) mainStream[at / 8] |= static_cast<uint8_t>(0x80 >> (at % 8));
        }
    };

    ModelRun run;
    std::vector<uint8_t> buffer(4096, 0);
    size_t cursor = 0;
    for (size_t k = 0; k < entries.size(); ++k) {
        const RecordEntry& e = entries[k];
        if (e.ancillaryBits > 0) {
            const size_t want = static_cast<size_t>(std::min(e.ancillaryBits, 1024));
            const size_t got = std::min(want, ancillary.size() - cursor);
            std::copy_n(ancillary.begin() + static_cast<std::ptrdiff_t>(cursor), got,
                        buffer.begin());
            cursor += got;
            run.ancillaryShortfall += want - got;
            const int64_t back = (e.record.rawMainData || k == 0) ? 0 : e.record.main_data_begin;
            place(buffer, e.ancillaryBits, 8 * (areaStart[k] - back));
        }
    }
    if (!entries.empty() && entries.back().ancillaryBits > 0)
        place(buffer, entries.back().ancillaryBits, 8 * total);

    uint32_t limit = outputLimit;
    auto send = [&run, &limit](uint8_t byte) {
        if (limit == 0) return;
        run.output.push_back(byte);
        --limit;
    };
    for (size_t k = 0; k < entries.size(); ++k) {
        for (uint8_t b : heads[k]) send(b);
        const int64_t end = k + 1 < entries.size() ? areaStart[k + 1] : total;
        for (int64_t i = areaStart[k]; i < end; ++i) send(mainStream[static_cast<size_t>(i)]);
        ++run.framesWritten;
    }
    if (appendLeftover)
        run.output.insert(run.output.end(), ancillary.begin() + static_cast<std::ptrdiff_t>(cursor),
                          ancillary.end());
    return run;
}

// Empty when the byte vectors are equal; otherwise their sizes and the first difference,
// for a readable test failure.
inline std::string describeDifference(const std::vector<uint8_t>& actual,
                                      const std::vector<uint8_t>& expected) {
    if (actual == expected) return "";
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    std::string text = "sizes " + std::to_string(actual.size()) + " and " +
                       std::to_string(expected.size()) + ", first difference at byte " +
                       std::to_string(i);
    if (i < actual.size() && i < expected.size())
        text += ": " + std::to_string(actual[i]) + " instead of " + std::to_string(expected[i]);
    return text;
}

// ---------------------------------------------------------------------------------------
// Files and programs.

inline std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// A fresh directory under the test temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "l3test_XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return (path_ / name).string(); }

    void write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string readText(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

private:
    std::filesystem::path path_;
};

inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct ProgramResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `program args` through the shell in dir, with stdout and stderr captured into files
// of dir. args is shell text: quote file names with shellQuote.
inline ProgramResult runProgram(const TempDir& dir, const std::string& program,
                                const std::string& args) {
    const std::string command = "cd " + shellQuote(dir.path("")) + " && " + shellQuote(program) +
                                " " + args + " >" + shellQuote(dir.path(".stdout")) + " 2>" +
                                shellQuote(dir.path(".stderr"));
    const int status = std::system(command.c_str());
    ProgramResult result;
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = dir.readText(".stdout");
    result.err = dir.readText(".stderr");
    return result;
}

}  // namespace l3test
