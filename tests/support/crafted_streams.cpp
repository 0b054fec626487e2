#include "support/crafted_streams.h"

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <string>

#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "l3/assemble.h"
#include "support/record_file.h"
#include "tables/code_tables.h"

namespace l3test::crafted {

namespace {

using l3::FrameRecord;
using l3::GranuleChannelInfo;

constexpr int kGain = 165;
// Tables without escape values whose codes differ: any pair read with the other one
// throws the rest of the granule out of step.
constexpr int kTableBefore = 15;
constexpr int kTableAfter = 13;

struct RateCode {
    int rate;
    uint32_t version;
    uint32_t samplingIndex;
};
constexpr RateCode kRates[] = {{44100, kMpeg1, 0},  {48000, kMpeg1, 1},  {32000, kMpeg1, 2},
                               {22050, kMpeg2, 0},  {24000, kMpeg2, 1},  {16000, kMpeg2, 2},
                               {11025, kMpeg25, 0}, {12000, kMpeg25, 1}, {8000, kMpeg25, 2}};

// A big value of moderate size: magnitudes 0..7 with falling weights (in percent).
int16_t moderateValue(std::mt19937& rng) {
    static constexpr int kWeights[8] = {30, 25, 15, 10, 7, 5, 4, 4};
    int pick = static_cast<int>(rng() % 100), magnitude = 0;
    while (pick >= kWeights[magnitude]) pick -= kWeights[magnitude++];
    return static_cast<int16_t>(rng() & 1 ? -magnitude : magnitude);
}

int16_t count1Value(std::mt19937& rng) {
    static constexpr int16_t kValues[4] = {-1, 0, 0, 1};
    return kValues[rng() % 4];
}

void fillLines(int16_t* lines, int from, int to, std::mt19937& rng, bool count1) {
    for (int i = from; i < to; ++i) lines[i] = count1 ? count1Value(rng) : moderateValue(rng);
}

int magnitude(int v) {
    return v < 0 ? -v : v;
}

// One coded item of a granule's spectrum: a big-value pair or a count1 quadruple.
struct Item {
    int line;
    int32_t start;  // first bit, counted from the granule's first main-data bit
    int codeBits;
    int totalBits;
};

// Where the writer puts each item of a granule whose scalefactors take no bits, until the
// last nonzero count1 line: big-value pairs by regions (window-switching granules with the
// implicit region 0), then count1 quadruples.
std::vector<Item> layoutGranule(uint32_t header, const GranuleChannelInfo& info,
                                const int16_t* lines) {
    const l3::CodeTables& code = l3::codeTables();
    const bool switching = info.window_switching_flag != 0;
    const int region0 = switching ? l3::implicitRegion0Count(l3::isMpeg1(header), info.block_type)
                                  : info.region0_count;
    const int region1 = switching ? l3::kImplicitRegion1Count : info.region1_count;
    const l3::RegionBounds bounds = l3::regionBounds(header, info.big_values, region0, region1);
    std::vector<Item> items;
    int32_t at = 0;
    for (int region = 0; region < 3; ++region) {
        const int t = switching && region == 2 ? 0 : info.table_select[region];
        if (t == 0) continue;
        const l3::HuffmanTable& table = code.huffman[static_cast<size_t>(t)];
        for (int i = bounds.start[region]; i < bounds.start[region + 1]; i += 2) {
            int bits = 0, codeIndex = 0;
            for (int k = 0; k < 2; ++k) {
                const int a = magnitude(lines[i + k]);
                const bool escaped = table.linbits && a >= 15;
                if ((table.linbits ? std::min(a, 15) : a) >= table.xLen ||
                    (escaped && a - 15 >= (1 << table.linbits)))
                    throw std::invalid_argument("value " + std::to_string(lines[i + k]) +
                                                " does not fit table " + std::to_string(t));
                codeIndex = codeIndex * table.yLen + std::min(a, 15);
                bits += (escaped ? table.linbits : 0) + (a != 0);
            }
            const int codeBits = table.lengths[codeIndex];
            items.push_back({i, at, codeBits, codeBits + bits});
            at += codeBits + bits;
        }
    }
    int last = l3::kSpectrumLines - 1;
    while (last >= 0 && lines[last] == 0) --last;
    const l3::HuffmanTable& quads =
        code.huffman[static_cast<size_t>(l3::kCount1TableA + info.count1table_select)];
    for (int i = bounds.start[3]; i <= l3::kLastQuadLine && i <= last; i += 4) {
        int index = 0, signs = 0;
        for (int k = 0; k < 4; ++k) {
            if (magnitude(lines[i + k]) > 1)
                throw std::invalid_argument("count1 value " + std::to_string(lines[i + k]));
            index = index * 2 + magnitude(lines[i + k]);
            signs += lines[i + k] != 0;
        }
        items.push_back({i, at, quads.lengths[index], quads.lengths[index] + signs});
        at += quads.lengths[index] + signs;
    }
    return items;
}

int32_t naturalBits(const std::vector<Item>& items) {
    return items.empty() ? 0 : items.back().start + items.back().totalBits;
}

// Sets part2_3_length of granule (gr, ch) to exactly what its values take; returns the
// layout.
std::vector<Item> codeWhole(FrameRecord& rec, int gr, int ch) {
    GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    std::vector<Item> items = layoutGranule(rec.header, info, rec.spectrum[gr][ch]);
    info.part2_3_length = naturalBits(items);
    return items;
}

Item itemAt(const std::vector<Item>& items, int line) {
    for (const Item& item : items)
        if (item.line == line) return item;
    throw std::logic_error("no item at line " + std::to_string(line));
}

GranuleChannelInfo longInfo(int bigValues, int table0, int table1, int table2, int region0,
                            int region1, std::mt19937& rng) {
    GranuleChannelInfo info{};
    info.big_values = bigValues;
    info.global_gain = kGain;
    info.table_select[0] = table0;
    info.table_select[1] = table1;
    info.table_select[2] = table2;
    info.region0_count = region0;
    info.region1_count = region1;
    info.count1table_select = static_cast<int32_t>(rng() & 1);
    return info;
}

// Redraws the pair at line until its code differs between the two tables (so that reading
// it with the other one cannot give the same values).
void distinctPair(int16_t* lines, int line, std::mt19937& rng) {
    const l3::CodeTables& code = l3::codeTables();
    const l3::HuffmanTable& a = code.huffman[kTableBefore];
    const l3::HuffmanTable& b = code.huffman[kTableAfter];
    for (;;) {
        const int k = magnitude(lines[line]) * 16 + magnitude(lines[line + 1]);
        if (a.lengths[k] != b.lengths[k] || a.codes[k] != b.codes[k]) return;
        lines[line] = moderateValue(rng);
        lines[line + 1] = moderateValue(rng);
    }
}

int samplesPerFrame(uint32_t header) {
    return l3::isMpeg1(header) ? 1152 : 576;
}

std::vector<uint8_t> assemble(const std::vector<FrameRecord>& records) {
    std::vector<RecordEntry> entries;
    for (const FrameRecord& rec : records) {
        int32_t bits = 0;
        for (int gr = 0; gr < l3::granuleCount(rec.header); ++gr)
            for (int ch = 0; ch < l3::channelCount(rec.header); ++ch)
                bits += rec.granuleInfo[gr][ch].part2_3_length;
        if (bits > 8 * (referenceFrameLength(rec.header) - referenceHeadBytes(rec.header)))
            throw std::invalid_argument("the values do not fit one frame");
        entries.push_back({rec, 0});
    }
    const std::vector<uint8_t> file = recordFile(entries);
    std::vector<uint8_t> out;
    const l3::AssembleResult result =
        l3::assembleRecords(file.data(), file.size(), nullptr, 0, out);
    if (result.status != l3::Status::ok) throw std::runtime_error("crafted records: " + result.message);
    return out;
}

// The first main-data bit of granule (gr, ch) of frame f in a stream of equal-sized frames
// with main_data_begin 0.
int64_t granuleStartBit(const std::vector<FrameRecord>& records, int f, int gr, int ch) {
    const FrameRecord& rec = records[static_cast<size_t>(f)];
    int64_t bit =
        8 * (int64_t{referenceFrameLength(rec.header)} * f + referenceHeadBytes(rec.header));
    for (int g = 0; g < l3::granuleCount(rec.header); ++g)
        for (int c = 0; c < l3::channelCount(rec.header); ++c) {
            if (g == gr && c == ch) return bit;
            bit += rec.granuleInfo[g][c].part2_3_length;
        }
    return bit;
}

void putBits(std::vector<uint8_t>& stream, int64_t at, const std::vector<int>& bits) {
    for (int bit : bits) {
        const auto mask = static_cast<uint8_t>(0x80 >> (at % 8));
        uint8_t& byte = stream[static_cast<size_t>(at / 8)];
        byte = static_cast<uint8_t>(bit ? byte | mask : byte & ~mask);
        ++at;
    }
}

// The first bit of granule (gr, ch)'s side information in a frame without CRC.
int64_t sideInfoBit(uint32_t header, int gr, int ch) {
    const bool mpeg1 = l3::isMpeg1(header);
    const int channels = l3::channelCount(header);
    const int common = mpeg1 ? 9 + (channels == 1 ? 5 : 3) + 4 * channels : 8 + channels;
    return 32 + common + (gr * channels + ch) * (mpeg1 ? 59 : 63);
}

void putField(std::vector<uint8_t>& stream, int64_t at, uint32_t value, int width) {
    std::vector<int> bits;
    for (int i = width - 1; i >= 0; --i) bits.push_back(static_cast<int>((value >> i) & 1));
    putBits(stream, at, bits);
}

// The bits of a code word of `length` bits, first bit first.
void appendCode(std::vector<int>& bits, uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) bits.push_back(static_cast<int>((code >> i) & 1));
}

// The pair a decoder reads at a cut pair of table t when the bits after the first `kept`
// of the pair are all zero (tables without escape values).
std::array<int16_t, 2> readThroughZeros(int t, int x, int y, int kept) {
    const l3::HuffmanTable& table = l3::codeTables().huffman[static_cast<size_t>(t)];
    const int k = magnitude(x) * table.yLen + magnitude(y);
    std::vector<int> bits;
    appendCode(bits, table.codes[k], table.lengths[k]);
    if (x) bits.push_back(x < 0);
    if (y) bits.push_back(y < 0);
    bits.resize(static_cast<size_t>(kept));
    bits.resize(64, 0);
    for (int e = 0; e < table.xLen * table.yLen; ++e) {
        const int n = table.lengths[e];
        std::vector<int> codeBits;
        appendCode(codeBits, table.codes[e], n);
        if (!std::equal(codeBits.begin(), codeBits.end(), bits.begin())) continue;
        int at = n;
        auto signedValue = [&](int m) {
            return static_cast<int16_t>(m && bits[static_cast<size_t>(at++)] ? -m : m);
        };
        const int16_t a = signedValue(e / table.yLen);
        const int16_t b = signedValue(e % table.yLen);
        return {a, b};
    }
    throw std::logic_error("no code word matches");
}

CraftedStreams finish(const std::vector<FrameRecord>& odd, const std::vector<FrameRecord>& plain,
                      std::vector<Spot> spots) {
    CraftedStreams out;
    out.odd = assemble(odd);
    out.plain = assemble(plain);
    out.records = odd;
    out.spots = std::move(spots);
    out.samplesPerFrame = samplesPerFrame(odd.front().header);
    return out;
}

// One granule of a single-channel stream being built: the odd record, its plain twin, where
// it is, and the spot list.
struct Granule {
    FrameRecord& odd;
    FrameRecord& plain;
    int f, gr;
    std::vector<Spot>& spots;

    GranuleChannelInfo& info() { return odd.granuleInfo[gr][0]; }
    int16_t* lines() { return odd.spectrum[gr][0]; }
    // Makes the twin a copy of the odd granule as it stands: side information and values.
    void copyToTwin() {
        plain.granuleInfo[gr][0] = info();
        std::copy(lines(), lines() + l3::kSpectrumLines, plain.spectrum[gr][0]);
    }
    GranuleChannelInfo& twinInfo() { return plain.granuleInfo[gr][0]; }
    int16_t* twinLines() { return plain.spectrum[gr][0]; }
    void spot(const Item& item) {
        spots.push_back({f, gr, 0, item.line, item.start, item.codeBits, item.totalBits});
    }
};

// kFrames single-channel frames at header, each granule made by make(Granule): it fills the
// odd granule, then its twin (copyToTwin, changes, codeWhole on the plain record).
template <class Make>
CraftedStreams buildSingleChannel(uint32_t header, Make&& make) {
    std::vector<FrameRecord> odd(kFrames, makeRecord(header, false)), plain = odd;
    std::vector<Spot> spots;
    for (size_t f = 0; f < odd.size(); ++f)
        for (int gr = 0; gr < l3::granuleCount(header); ++gr)
            make(Granule{odd[f], plain[f], static_cast<int>(f), gr, spots});
    return finish(odd, plain, std::move(spots));
}

// The odd granule's tables change from kTableBefore to kTableAfter at line, where region
// `after` starts: the pairs on either side are made to code differently in the two tables,
// the granule is coded, the spot noted, and the twin keeps kTableBefore in that region.
void tablesChangeAt(Granule& g, int line, int after, std::mt19937& rng) {
    distinctPair(g.lines(), line - 2, rng);
    distinctPair(g.lines(), line, rng);
    g.spot(itemAt(codeWhole(g.odd, g.gr, 0), line));
    g.copyToTwin();
    g.twinInfo().table_select[after] = kTableBefore;
    codeWhole(g.plain, g.gr, 0);
}

}  // namespace

uint32_t headerFor(int sampleRate, uint32_t mode, uint32_t bitrateIndex) {
    for (const RateCode& r : kRates)
        if (r.rate == sampleRate)
            return makeHeader(r.version, bitrateIndex, r.samplingIndex, false, 0, mode);
    throw std::invalid_argument("no Layer III sampling rate " + std::to_string(sampleRate));
}

CraftedStreams switchingBoundary(int sampleRate, SwitchingKind kind, uint32_t seed) {
    std::mt19937 rng(seed);
    return buildSingleChannel(headerFor(sampleRate), [&](Granule g) {
        GranuleChannelInfo& info = g.info();
        info = longInfo(200, kTableBefore, kTableAfter, 0, 0, 0, rng);
        info.window_switching_flag = 1;
        info.block_type = kind == SwitchingKind::kStart ? 1 : kind == SwitchingKind::kStop ? 3 : 2;
        info.mixed_block_flag = kind == SwitchingKind::kMixed;
        int16_t* lines = g.lines();
        fillLines(lines, 0, 400, rng, false);
        fillLines(lines, 400, 480, rng, true);
        const bool mpeg1 = l3::isMpeg1(g.odd.header);
        const int boundary = l3::regionBounds(g.odd.header, info.big_values,
                                              l3::implicitRegion0Count(mpeg1, info.block_type),
                                              l3::kImplicitRegion1Count)
                                 .start[1];
        tablesChangeAt(g, boundary, 1, rng);
    });
}

CraftedStreams longBoundary(int sampleRate, int edge, uint32_t seed) {
    if (edge < 2 || edge > 21) throw std::invalid_argument("edge " + std::to_string(edge));
    const uint32_t header = headerFor(sampleRate);
    const auto& edges = l3::longBandEdges[static_cast<size_t>(l3::bandEdgeRow(header))];
    const int region0 = std::max(0, edge - 9);
    const int region1 = edge - 2 - region0;
    const int bigValues = std::min(288, edges[static_cast<size_t>(std::min(edge + 2, 22))] / 2);
    const int line = edges[static_cast<size_t>(edge)];
    std::mt19937 rng(seed);
    return buildSingleChannel(header, [&](Granule g) {
        g.info() =
            longInfo(bigValues, kTableBefore, kTableBefore, kTableAfter, region0, region1, rng);
        int16_t* lines = g.lines();
        fillLines(lines, 0, 2 * bigValues, rng, false);
        fillLines(lines, 2 * bigValues, std::min(2 * bigValues + 80, l3::kSpectrumLines), rng,
                  true);
        tablesChangeAt(g, line, 2, rng);
    });
}

CraftedStreams count1Overrun(int sampleRate, Cut cut, uint32_t seed) {
    std::mt19937 rng(seed);
    return buildSingleChannel(headerFor(sampleRate), [&](Granule g) {
        GranuleChannelInfo& info = g.info();
        info = longInfo(100, kTableBefore, kTableAfter, kTableBefore, 7, 7, rng);
        int16_t* lines = g.lines();
        fillLines(lines, 0, 200, rng, false);
        // The quadruple to cut: the first at or after line 300 with two nonzero values.
        int quad = 0;
        while (quad == 0) {
            fillLines(lines, 200, 400, rng, true);
            for (int i = 300; i < 400 && quad == 0; i += 4)
                if ((lines[i] != 0) + (lines[i + 1] != 0) + (lines[i + 2] != 0) +
                        (lines[i + 3] != 0) >=
                    2)
                    quad = i;
        }
        std::fill(lines + quad + 4, lines + l3::kSpectrumLines, int16_t{0});
        const Item q = itemAt(codeWhole(g.odd, g.gr, 0), quad);
        const auto signs = static_cast<unsigned>(q.totalBits - q.codeBits);
        const int kept = cut == Cut::kCodeWord
                             ? 1 + static_cast<int>(rng() % static_cast<unsigned>(q.codeBits - 1))
                         : cut == Cut::kSignBit
                             ? q.codeBits + 1 + static_cast<int>(rng() % (signs - 1))
                             : q.totalBits;
        info.part2_3_length = q.start + kept;
        g.spot(q);
        g.copyToTwin();
        if (cut != Cut::kExact)
            std::fill(g.twinLines() + quad, g.twinLines() + quad + 4, int16_t{0});
        codeWhole(g.plain, g.gr, 0);
    });
}

CraftedStreams bigValueOverrun(int sampleRate, Cut cut, uint32_t seed) {
    const uint32_t header = headerFor(sampleRate);
    const int lastGranule = l3::granuleCount(header) - 1;
    std::mt19937 rng(seed);
    return buildSingleChannel(header, [&](Granule g) {
        GranuleChannelInfo& info = g.info();
        info = longInfo(200, kTableBefore, kTableAfter, kTableBefore, 7, 7, rng);
        int16_t* lines = g.lines();
        fillLines(lines, 0, 400, rng, false);
        fillLines(lines, 400, 480, rng, true);
        const std::vector<Item> items = codeWhole(g.odd, g.gr, 0);
        if ((g.f != 10 && g.f != 20) || g.gr != lastGranule) {
            g.copyToTwin();
            return;
        }
        auto cuttable = [&](const Item& item) {
            return item.line >= 150 && item.codeBits >= 2 &&
                   (cut != Cut::kSignBit || (lines[item.line] && lines[item.line + 1]));
        };
        const auto pair = std::find_if(items.begin(), items.end(), cuttable);
        if (pair == items.end()) throw std::logic_error("no pair to cut");
        const int kept =
            cut == Cut::kCodeWord
                ? 1 + static_cast<int>(rng() % static_cast<unsigned>(pair->codeBits - 1))
            : cut == Cut::kSignBit ? pair->codeBits + 1
                                   : pair->totalBits;
        info.part2_3_length = pair->start + kept;
        g.spot(*pair);
        const l3::RegionBounds bounds = l3::regionBounds(header, info.big_values, 7, 7);
        const int table = info.table_select[pair->line < bounds.start[1]   ? 0
                                            : pair->line < bounds.start[2] ? 1
                                                                           : 2];
        std::fill(lines + pair->line + 2, lines + l3::kSpectrumLines, int16_t{0});
        g.copyToTwin();
        int16_t* twin = g.twinLines();
        if (cut != Cut::kExact) {
            const auto read =
                readThroughZeros(table, lines[pair->line], lines[pair->line + 1], kept);
            twin[pair->line] = read[0];
            twin[pair->line + 1] = read[1];
        }
        codeWhole(g.plain, g.gr, 0);
    });
}

CraftedStreams stuffingAfterLine576(int sampleRate, Stuffing kind, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<int>> extra;
    const l3::CodeTables& code = l3::codeTables();
    CraftedStreams out = buildSingleChannel(headerFor(sampleRate), [&](Granule g) {
        GranuleChannelInfo& info = g.info();
        info = longInfo(100, kTableBefore, kTableAfter, kTableBefore, 7, 7, rng);
        int16_t* lines = g.lines();
        fillLines(lines, 0, 200, rng, false);
        fillLines(lines, 200, l3::kSpectrumLines, rng, true);
        lines[572] = 1;
        codeWhole(g.odd, g.gr, 0);
        g.copyToTwin();
        std::vector<int> bits;
        if (kind == Stuffing::kExtraQuadruple) {
            int v[4] = {};
            while (!(v[0] | v[1] | v[2] | v[3]))
                for (int& value : v) value = count1Value(rng);
            const l3::HuffmanTable& quads =
                code.huffman[static_cast<size_t>(l3::kCount1TableA + info.count1table_select)];
            const int index =
                8 * magnitude(v[0]) + 4 * magnitude(v[1]) + 2 * magnitude(v[2]) + magnitude(v[3]);
            appendCode(bits, quads.codes[index], quads.lengths[index]);
            for (int value : v)
                if (value) bits.push_back(value < 0);
        }
        const int count = 8 + static_cast<int>(rng() % 23);
        while (static_cast<int>(bits.size()) < count) bits.push_back(static_cast<int>(rng() & 1));
        if (std::all_of(bits.begin(), bits.end(), [](int b) { return b == 1; })) bits.back() = 0;
        g.spots.push_back({g.f, g.gr, 0, l3::kSpectrumLines, info.part2_3_length, 0,
                           static_cast<int>(bits.size())});
        info.part2_3_length += static_cast<int32_t>(bits.size());
        extra.push_back(std::move(bits));
    });
    // The writer fills the extra bits with ones; they are replaced in the stream.
    for (size_t k = 0; k < out.spots.size(); ++k) {
        const Spot& s = out.spots[k];
        putBits(out.odd, granuleStartBit(out.records, s.frame, s.granule, s.channel) + s.bit,
                extra[k]);
    }
    return out;
}

CraftedStreams modeSwitching(int sampleRate, int run, bool startMono, uint32_t seed) {
    if (run < 1) throw std::invalid_argument("run " + std::to_string(run));
    std::mt19937 rng(seed);
    std::vector<FrameRecord> odd, plain;
    std::vector<Spot> spots;
    for (int f = 0; f < kFrames; ++f) {
        const bool mono = ((f / run) % 2 == 0) == startMono;
        odd.push_back(makeRecord(headerFor(sampleRate, mono ? kSingleChannel : kStereo), false));
        plain.push_back(makeRecord(headerFor(sampleRate, kStereo), false));
        if (f > 0 && f % run == 0) spots.push_back({f, 0, 0, 0, 0, 0, 0});
        FrameRecord& rec = odd.back();
        FrameRecord& twin = plain.back();
        for (int gr = 0; gr < l3::granuleCount(rec.header); ++gr)
            for (int ch = 0; ch < 2; ++ch) {
                GranuleChannelInfo info =
                    longInfo(150, kTableBefore, kTableAfter, kTableBefore, 7, 3, rng);
                if (ch == 0 || !mono) {
                    int16_t* lines = rec.spectrum[gr][ch];
                    fillLines(lines, 0, 300, rng, false);
                    fillLines(lines, 300, 400, rng, true);
                    rec.granuleInfo[gr][ch] = info;
                    codeWhole(rec, gr, ch);
                }
                twin.granuleInfo[gr][ch] = rec.granuleInfo[gr][mono ? 0 : ch];
                std::copy(rec.spectrum[gr][mono ? 0 : ch],
                          rec.spectrum[gr][mono ? 0 : ch] + l3::kSpectrumLines,
                          twin.spectrum[gr][ch]);
            }
    }
    return finish(odd, plain, std::move(spots));
}

CraftedStreams invalidSideInfo(int sampleRate, Invalid what, uint32_t seed) {
    const uint32_t header = headerFor(sampleRate);
    const int lastGranule = l3::granuleCount(header) - 1;
    const bool mpeg1 = l3::isMpeg1(header);
    std::mt19937 rng(seed);
    CraftedStreams out = buildSingleChannel(header, [&](Granule g) {
        const bool spot = (g.f == 10 || g.f == 20) && g.gr == lastGranule;
        const bool allBig = spot && what == Invalid::kBigValuesAbove288;
        const bool region0Empty = spot && (what == Invalid::kTable4 || what == Invalid::kTable14);
        GranuleChannelInfo& info = g.info();
        info = longInfo(allBig ? 288 : 200, region0Empty ? 0 : kTableBefore, kTableAfter,
                        kTableBefore, 7, 7, rng);
        int16_t* lines = g.lines();
        fillLines(lines, 0, allBig ? l3::kSpectrumLines : 400, rng, false);
        if (!allBig) fillLines(lines, 400, 480, rng, true);
        if (region0Empty)
            std::fill(lines, lines + l3::regionBounds(header, 200, 7, 7).start[1], int16_t{0});
        if (spot && what == Invalid::kScalefactorsPastEnd) {
            info.big_values = 0;
            std::fill(lines, lines + l3::kSpectrumLines, int16_t{0});
        }
        codeWhole(g.odd, g.gr, 0);
        g.copyToTwin();
        if (!spot) return;
        g.spots.push_back({g.f, g.gr, 0, 0, 0, 0, 0});
        // Fill bits (ones) where the scalefactors would be; the twin plays silence.
        if (what == Invalid::kScalefactorsPastEnd) info.part2_3_length = 40;
    });
    for (const Spot& s : out.spots) {
        const int64_t at = sideInfoBit(header, s.granule, s.channel);
        const int64_t frame = 8 * int64_t{referenceFrameLength(header)} * s.frame;
        l3::FrameRecord& rec = out.records[static_cast<size_t>(s.frame)];
        l3::GranuleChannelInfo& info = rec.granuleInfo[s.granule][s.channel];
        switch (what) {
            case Invalid::kScalefactorsPastEnd:
                // The largest scalefactor widths: 74 bits of MPEG-1 long-block scalefactors,
                // 9-bit LSF scalefac_compress 399 (slen 4, 4, 3, 3).
                info.scalefac_compress = mpeg1 ? 15 : 399;
                putField(out.odd, frame + at + 29, static_cast<uint32_t>(info.scalefac_compress),
                         mpeg1 ? 4 : 9);
                break;
            case Invalid::kBigValuesAbove288:
                info.big_values = 300;
                putField(out.odd, frame + at + 12, 300, 9);
                break;
            case Invalid::kTable4:
            case Invalid::kTable14:
                info.table_select[0] = what == Invalid::kTable4 ? 4 : 14;
                putField(out.odd, frame + at + 29 + (mpeg1 ? 4 : 9) + 1,
                         static_cast<uint32_t>(info.table_select[0]), 5);
                break;
        }
    }
    return out;
}

}  // namespace l3test::crafted
