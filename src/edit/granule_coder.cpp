#include "edit/granule_coder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/band_edges.h"
#include "format/frame_header.h"
#include "format/scalefactor_layout.h"
#include "playback/played_values.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr int kPairs = kSpectrumLines / 2;
constexpr int kNoCost = INT_MAX / 4;
// The distinct code books of the big-value tables; an escape table's cost is its book's
// plus linbits per escaped value.
constexpr std::array<int, 15> kBooks = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24};
constexpr int kEscapeBookLow = 16;   // tables 16..23
constexpr int kEscapeBookHigh = 24;  // tables 24..31

// Bits under each code book side by side (book b of kBooks in lane b), so that one vector
// addition or subtraction covers every book.
constexpr size_t kLanes = 16;
static_assert(kBooks.size() <= kLanes);
using BookBits = std::array<int16_t, kLanes>;

// Bits of each pair under each code book, summed from pair 0: cost[p][b] covers pairs
// 0 .. p - 1 (a granule's pairs take at most 288 * 21 bits, well within 16 bits). Escapes
// and the largest magnitude are counted alongside.
struct PairCosts {
    std::array<BookBits, kPairs + 1> cost;
    std::array<int, kPairs + 1> escapes;  // values of magnitude 15 or more, from pair 0
    // least[p]: pairs 0 .. p - 1 each under the cheapest book that holds it, so that
    // least[to] - least[from] is a bound no coding of those pairs goes below.
    std::array<int, kPairs + 1> least;
    // largest[k][p]: the largest magnitude in pairs p .. p + 2^k - 1 (a sparse table, so
    // that any range's largest value takes two lookups).
    std::array<std::array<int, kPairs>, 9> largest;
};

int largestIn(const PairCosts& pc, int from, int to) {
    if (to <= from) return 0;
    const int k = std::bit_width(static_cast<unsigned>(to - from)) - 1;
    return std::max(pc.largest[static_cast<size_t>(k)][static_cast<size_t>(from)],
                    pc.largest[static_cast<size_t>(k)][static_cast<size_t>(to - (1 << k))]);
}

int magnitude(int v) {
    return v < 0 ? -v : v;
}

// The bits of a pair under each book, code word and signs, by min(|x|, 15) * 16 +
// min(|y|, 15); 0 where the book has no such pair. Built once.
struct BookLengths {
    std::array<BookBits, 256> bits{};
    std::array<int, 256> least{};  // the fewest bits of any book that holds the pair
    BookLengths() {
        const CodeTables& code = codeTables();
        for (size_t b = 0; b < kBooks.size(); ++b) {
            const HuffmanTable& table = code.huffman[static_cast<size_t>(kBooks[b])];
            for (int x = 0; x < table.xLen; ++x)
                for (int y = 0; y < table.yLen; ++y) {
                    const int length = table.lengths[x * table.yLen + y];
                    bits[static_cast<size_t>(x * 16 + y)][b] =
                        static_cast<int16_t>(length == 0 ? 0 : length + (x != 0) + (y != 0));
                }
        }
        for (size_t i = 0; i < bits.size(); ++i) {
            int fewest = 0;
            for (size_t b = 0; b < kBooks.size(); ++b)
                if (bits[i][b] > 0 && (fewest == 0 || bits[i][b] < fewest)) fewest = bits[i][b];
            least[i] = fewest;
        }
        least[0] = 0;  // a region of zero pairs takes table 0, which codes nothing
    }
};

const BookLengths& bookLengths() {
    static const BookLengths lengths;
    return lengths;
}

void pairCosts(const int16_t* lines, int pairs, PairCosts& pc) {
    pc.escapes[0] = 0;
    // A pair a book cannot hold counts nothing here (its bits are 0): bestTable only takes
    // a book for a region whose largest value it holds, and then every pair has a code.
    const BookLengths& lengths = bookLengths();
    BookBits sum{};
    pc.cost[0] = sum;
    pc.least[0] = 0;
    for (int p = 0; p < pairs; ++p) {
        const size_t at = static_cast<size_t>(p);
        const int ax = magnitude(lines[2 * p]), ay = magnitude(lines[2 * p + 1]);
        pc.largest[0][at] = std::max(ax, ay);
        pc.escapes[at + 1] = pc.escapes[at] + (ax >= 15) + (ay >= 15);
        const size_t index = static_cast<size_t>(std::min(ax, 15) * 16 + std::min(ay, 15));
        const BookBits& add = lengths.bits[index];
        for (size_t b = 0; b < kLanes; ++b) sum[b] = static_cast<int16_t>(sum[b] + add[b]);
        pc.cost[at + 1] = sum;
        pc.least[at + 1] = pc.least[at] + lengths.least[index];
    }
    for (size_t k = 1; k < pc.largest.size(); ++k)
        for (int p = 0; p + (1 << k) <= pairs; ++p)
            pc.largest[k][static_cast<size_t>(p)] =
                std::max(pc.largest[k - 1][static_cast<size_t>(p)],
                         pc.largest[k - 1][static_cast<size_t>(p + (1 << (k - 1)))]);
}

// Per lane: the book's xLen for a book without escapes (it holds a region whose largest
// magnitude is below it), 0 for the escape books and the spare lane (taken apart).
const BookBits& plainLimits() {
    static const BookBits limits = [] {
        BookBits l{};
        for (size_t b = 0; b < kBooks.size(); ++b)
            if (kBooks[b] != kEscapeBookLow && kBooks[b] != kEscapeBookHigh)
                l[b] = static_cast<int16_t>(tableShapes[static_cast<size_t>(kBooks[b])].xLen);
        return l;
    }();
    return limits;
}

// The narrowest table of each escape family (16..23, 24..31) whose escape width is at
// least w bits, by w (0..13); 0 when none is.
struct EscapeChoice {
    int table[2];
};
static_assert(kBooks[kBooks.size() - 2] == kEscapeBookLow &&
              kBooks[kBooks.size() - 1] == kEscapeBookHigh);

const std::array<EscapeChoice, 14>& escapeChoices() {
    static const std::array<EscapeChoice, 14> choices = [] {
        std::array<EscapeChoice, 14> c{};
        for (int w = 0; w < 14; ++w)
            for (int family = 0; family < 2; ++family) {
                const int first = family == 0 ? kEscapeBookLow : kEscapeBookHigh;
                for (int t = first; t < first + 8; ++t)
                    if (tableShapes[static_cast<size_t>(t)].linbits >= w) {
                        c[static_cast<size_t>(w)].table[family] = t;
                        break;
                    }
            }
        return c;
    }();
    return choices;
}

// The fewest bits for pairs [from, to) and the table that gives them (0 for an all-zero or
// empty region). Ties go to the first book of kBooks, whose escape books come last.
std::pair<int, int> bestTable(const PairCosts& pc, int from, int to) {
    if (from >= to) return {0, 0};
    const int largest = largestIn(pc, from, to);
    if (largest == 0) return {0, 0};
    // Every book's bits at once; a book that cannot hold the largest value costs more
    // than any that can.
    const BookBits& high = pc.cost[static_cast<size_t>(to)];
    const BookBits& low = pc.cost[static_cast<size_t>(from)];
    const BookBits& limits = plainLimits();
    int bestBits = kNoCost, bestTable = 0;
#if defined(__SSE2__)
    // The fewest bits over the lanes, then the first lane that has them.
    const __m128i top = _mm_set1_epi16(static_cast<int16_t>(largest));
    __m128i lanes[2];
    for (int half = 0; half < 2; ++half) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high.data() + 8 * half));
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low.data() + 8 * half));
        const __m128i limit =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(limits.data() + 8 * half));
        const __m128i holds = _mm_cmpgt_epi16(limit, top);  // largest < limit
        lanes[half] = _mm_or_si128(_mm_and_si128(holds, _mm_sub_epi16(h, l)),
                                   _mm_andnot_si128(holds, _mm_set1_epi16(INT16_MAX)));
    }
    __m128i least = _mm_min_epi16(lanes[0], lanes[1]);
    least = _mm_min_epi16(least, _mm_shuffle_epi32(least, 0x4E));
    least = _mm_min_epi16(least, _mm_shuffle_epi32(least, 0xB1));
    least = _mm_min_epi16(least, _mm_shufflelo_epi16(least, 0xB1));
    least = _mm_shuffle_epi32(_mm_shufflelo_epi16(least, 0), 0);
    const int fewest = static_cast<int16_t>(_mm_cvtsi128_si32(least));
    if (fewest != INT16_MAX) {
        const unsigned at =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(lanes[0], least))) |
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(lanes[1], least))) << 16;
        bestBits = fewest;
        bestTable = kBooks[static_cast<size_t>(std::countr_zero(at) / 2)];
    }
#else
    BookBits region;
    for (size_t b = 0; b < kLanes; ++b)
        region[b] = largest < limits[b] ? static_cast<int16_t>(high[b] - low[b]) : INT16_MAX;
    for (size_t b = 0; b < kBooks.size(); ++b) {
        const bool better = region[b] < bestBits;
        bestBits = better ? region[b] : bestBits;
        bestTable = better ? kBooks[b] : bestTable;
    }
    if (bestBits == INT16_MAX) bestBits = kNoCost;
#endif
    // The escape books: the narrowest table of each family that holds the largest value.
    const size_t width =
        largest <= 15 ? 0
                      : static_cast<size_t>(std::bit_width(static_cast<unsigned>(largest - 15)));
    if (width >= escapeChoices().size()) return {bestBits, bestTable};  // beyond every table
    const EscapeChoice& choice = escapeChoices()[width];
    const int escapes = pc.escapes[static_cast<size_t>(to)] - pc.escapes[static_cast<size_t>(from)];
    for (int family = 0; family < 2; ++family) {
        const size_t b = kBooks.size() - 2 + static_cast<size_t>(family);
        const int table = choice.table[family];
        if (table == 0) continue;  // no table of the family is wide enough
        const int bits =
            high[b] - low[b] + escapes * tableShapes[static_cast<size_t>(table)].linbits;
        if (bits < bestBits) {
            bestBits = bits;
            bestTable = table;
        }
    }
    return {bestBits, bestTable};
}

// count1 bits of the quadruples from line `from` up to `end` for each table.
std::pair<int, int> count1Bits(const int16_t* lines, int from, int end) {
    const CodeTables& code = codeTables();
    int a = 0, b = 0;
    for (int i = from; i < end; i += 4) {
        int index = 0, signs = 0;
        for (int k = 0; k < 4; ++k) {
            const int v = i + k < kSpectrumLines ? lines[i + k] : 0;
            index = index << 1 | (v != 0);
            signs += v != 0;
        }
        a += code.huffman[kCount1TableA].lengths[index] + signs;
        b += 4 + signs;
    }
    return {a, b};
}

struct Coding {
    int bits = kNoCost;
    int big_values = 0, region0_count = 0, region1_count = 0, count1table_select = 0;
    int table_select[3] = {0, 0, 0};
};

// The cheapest coding of one granule's spectrum with the given block layout.
Coding bestSpectrumCoding(uint32_t header, const GranuleChannelInfo& info, const int16_t* lines) {
    Coding best;
    // The last nonzero line and the last above 1, the zeros of the top four lines at a time.
    int last = kSpectrumLines - 1;
    static_assert(kSpectrumLines % 4 == 0);
    for (uint64_t four = 0; last >= 3; last -= 4) {
        std::memcpy(&four, lines + last - 3, sizeof four);
        if (four != 0) break;
    }
    while (last >= 0 && lines[last] == 0) --last;
    int lastBig = last;
    while (lastBig >= 0 && magnitude(lines[lastBig]) <= 1) --lastBig;
    // The big values end on an even line after the last value above 1.
    const int firstBigEnd = lastBig < 0 ? 0 : (lastBig + 2) & ~1;
    PairCosts pc;
    pairCosts(lines, std::min(kPairs, firstBigEnd / 2 + 2), pc);
    const bool switching = info.window_switching_flag != 0;
    const auto& edges = longBandEdges[static_cast<size_t>(bandEdgeRow(header))];
    // Region costs by first and last pair: the splits share most regions, whose ends are
    // band edges or the end of the big values (23 edges and the three ends tried).
    std::array<int8_t, kPairs + 1> place;
    place.fill(-1);
    int places = 0;
    auto addPlace = [&](int at) {
        if (place[static_cast<size_t>(at)] < 0)
            place[static_cast<size_t>(at)] = static_cast<int8_t>(places++);
    };
    for (int e = 0; e < 23; ++e)
        addPlace(std::min<int>(edges[static_cast<size_t>(e)], kSpectrumLines) / 2);
    for (int end = firstBigEnd; end <= std::min(firstBigEnd + 4, kSpectrumLines); end += 2)
        addPlace(end / 2);
    constexpr int kPlaces = 26;
    // Filled slots are marked in `known`, so that the slots need no clearing.
    struct Slot {
        int bits, table;  // left unset until known
    };
    std::array<Slot, kPlaces * kPlaces> cache;
    std::array<uint64_t, (kPlaces * kPlaces + 63) / 64> known{};
    auto regionCost = [&](int from, int to) {
        const int a = place[static_cast<size_t>(from)], b = place[static_cast<size_t>(to)];
        if (a < 0 || b < 0) return bestTable(pc, from, to);
        const size_t at = static_cast<size_t>(a * kPlaces + b);
        uint64_t& word = known[at / 64];
        const uint64_t bit = uint64_t{1} << (at % 64);
        if (!(word & bit)) {
            const auto [bits, table] = bestTable(pc, from, to);
            cache[at] = {bits, table};
            word |= bit;
        }
        return std::pair<int, int>{cache[at].bits, cache[at].table};
    };
    // The first end's count1 bits serve the end four lines on, less its first quadruple.
    std::pair<int, int> firstCount1{};
    int firstCount1End = -1;
    for (int bigEnd = firstBigEnd; bigEnd <= std::min(firstBigEnd + 4, kSpectrumLines);
         bigEnd += 2) {
        // Quadruples from bigEnd cover every nonzero line; none may start past line 572.
        int count1End = bigEnd;
        while (count1End <= last) count1End += 4;
        if (count1End > bigEnd && count1End - 4 > kLastQuadLine) continue;
        std::pair<int, int> count1Pair;
        if (bigEnd == firstBigEnd + 4 && count1End == firstCount1End && count1End > firstBigEnd) {
            const std::pair<int, int> quad = count1Bits(lines, firstBigEnd, firstBigEnd + 4);
            count1Pair = {firstCount1.first - quad.first, firstCount1.second - quad.second};
        } else {
            count1Pair = count1Bits(lines, bigEnd, count1End);
        }
        if (bigEnd == firstBigEnd) {
            firstCount1 = count1Pair;
            firstCount1End = count1End;
        }
        const int bitsA = count1Pair.first, bitsB = count1Pair.second;
        const int count1 = std::min(bitsA, bitsB);
        const int bigPairs = bigEnd / 2;
        // Ties never replace the best: the first split weighed at the fewest bits stays.
        auto takeIfFewer = [&](int total, int r0, int r1, const int (&tables)[3]) {
            if (total >= best.bits) return;
            best.bits = total;
            best.big_values = bigPairs;
            best.region0_count = r0;
            best.region1_count = r1;
            std::copy(tables, tables + 3, best.table_select);
            best.count1table_select = bitsB < bitsA;
        };
        if (switching) {  // two regions at their implicit split
            const SwitchingRegions sr = switchingRegions(header, info);
            if (sr.low < sr.high && bigEnd > sr.low) {
                // Decoders start region 1 at different lines: one table for both regions.
                const auto [bits, table] = regionCost(0, bigPairs);
                if (bits < kNoCost)
                    takeIfFewer(count1 + bits, sr.region0_count, kImplicitRegion1Count,
                                {table, table, 0});
                continue;
            }
            const RegionBounds rb =
                regionBounds(header, bigPairs, sr.region0_count, kImplicitRegion1Count);
            const auto [bits0, table0] = regionCost(0, rb.start[1] / 2);
            const auto [bits1, table1] = regionCost(rb.start[1] / 2, rb.start[2] / 2);
            if (bits0 < kNoCost && bits1 < kNoCost)
                takeIfFewer(count1 + bits0 + bits1, sr.region0_count, kImplicitRegion1Count,
                            {table0, table1, 0});
            continue;
        }
        // A boundary at a band edge that decoders place at different lines inside the big
        // values is never chosen.
        auto disputed = [&](int edge) {
            const EdgeLines at = regionEdgeLines(header, edge);
            return at.low < at.high && at.low < bigEnd;
        };
        // Every region0_count and region1_count in turn, region 0 weighed once per
        // region0_count and region 2 once per band edge it starts at.
        auto boundary = [&](int edge) {  // in pairs, within the big values
            return std::min<int>(edges[static_cast<size_t>(edge)], bigEnd) / 2;
        };
        std::array<std::pair<int, int>, 23> tail;
        tail.fill({-1, -1});
        for (int r0 = 0; r0 < 16; ++r0) {
            if (edges[static_cast<size_t>(r0) + 1] > bigEnd && r0 > 0) break;
            if (disputed(r0 + 1)) continue;
            const int start1 = boundary(r0 + 1);
            const auto [bits0, table0] = regionCost(0, start1);
            // No split after this region 0 can do better than every pair after it under
            // its own cheapest book: then none is weighed (ties never replace the best).
            if (bits0 < kNoCost && count1 + bits0 + pc.least[static_cast<size_t>(bigPairs)] -
                                           pc.least[static_cast<size_t>(start1)] >=
                                       best.bits)
                continue;
            for (int r1 = 0; r1 < 8; ++r1) {
                const int edge2 = std::min(r0 + r1 + 2, 22);
                if (disputed(edge2)) {
                    if (edges[static_cast<size_t>(edge2)] >= bigEnd) break;
                    continue;
                }
                const int start2 = boundary(edge2);
                std::pair<int, int>& region2 = tail[static_cast<size_t>(edge2)];
                if (region2.first < 0) region2 = regionCost(start2, bigPairs);
                // Region 1 is weighed only where its pairs, each under its own cheapest
                // book, would not already make the split no better than the best.
                if (bits0 < kNoCost && region2.first < kNoCost &&
                    count1 + bits0 + region2.first + pc.least[static_cast<size_t>(start2)] -
                            pc.least[static_cast<size_t>(start1)] <
                        best.bits) {
                    const auto [bits1, table1] = regionCost(start1, start2);
                    const int total = count1 + bits0 + bits1 + region2.first;
                    if (bits1 < kNoCost) takeIfFewer(total, r0, r1, {table0, table1, region2.second});
                }
                if (edges[static_cast<size_t>(edge2)] >= bigEnd) break;
            }
        }
    }
    return best;
}

// Bits of MPEG-1 scalefactors under scalefac_compress sc, or kNoCost when a value does not
// fit; `skipped` marks the scfsi groups granule 1 leaves out.
int mpeg1ScalefactorBits(const GranuleChannelInfo& info, const uint16_t* sf, int sc,
                         const bool skipped[4]) {
    const int slen1 = mpeg1Slen[0][sc], slen2 = mpeg1Slen[1][sc];
    int bits = 0;
    auto run = [&](int from, int to, int width) {
        for (int i = from; i < to; ++i)
            if (sf[i] >> width) bits = kNoCost;
        if (bits < kNoCost) bits += (to - from) * width;
    };
    if (info.block_type == 2) {
        const bool mixed = info.mixed_block_flag != 0;
        if (mixed) run(0, 8, slen1);
        run(kShortBase + (mixed ? 9 : 0), kShortBase + 18, slen1);
        run(kShortBase + 18, kShortBase + 36, slen2);
    } else {
        for (int group = 0; group < 4; ++group)
            if (!skipped[group])
                run(scfsiGroupStart[group], scfsiGroupStart[group + 1], group < 2 ? slen1 : slen2);
    }
    return bits;
}

// Bits of MPEG-2/2.5 scalefactors under the packed entry, or kNoCost.
int lsfScalefactorBits(const GranuleChannelInfo& info, const uint16_t* sf, uint32_t entry) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const uint8_t* counts = nrOfSfbBlock[partitionRow(entry)][kind];
    int bits = 0, index = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        for (int j = 0; j < counts[p]; ++j)
            if (sf[index + j] >> width) return kNoCost;
        bits += counts[p] * width;
        index += counts[p];
    }
    return bits;
}

// The widths each LSF partition layout needs for these scalefactors: need[row][p] is the
// bit width of the largest value in partition p of partition row `row`.
void lsfWidthsNeeded(const GranuleChannelInfo& info, const uint16_t* sf, int need[6][4]) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    for (int row = 0; row < 6; ++row) {
        const uint8_t* counts = nrOfSfbBlock[row][kind];
        int index = 0;
        for (int p = 0; p < 4; ++p) {
            unsigned largest = 0;
            for (int j = 0; j < counts[p]; ++j) largest |= sf[index + j];
            need[row][p] = std::bit_width(largest);
            index += counts[p];
        }
    }
}

// lsfScalefactorBits from the widths lsfWidthsNeeded found.
int lsfScalefactorBits(const GranuleChannelInfo& info, const int need[6][4], uint32_t entry) {
    const int kind = info.block_type == 2 ? (info.mixed_block_flag ? 2 : 1) : 0;
    const int row = partitionRow(entry);
    const uint8_t* counts = nrOfSfbBlock[row][kind];
    int bits = 0;
    for (int p = 0; p < 4; ++p) {
        const int width = slen(entry, p);
        if (need[row][p] > width) return kNoCost;
        bits += counts[p] * width;
    }
    return bits;
}

int currentScalefactorBits(const FrameRecord& rec, int gr, int ch) {
    const GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
    if (!isMpeg1(rec.header))
        return lsfScalefactorBits(info, rec.scalefactors[0][ch],
                                  lsfScalefacEntry(rec.header, ch, info.scalefac_compress));
    bool skipped[4] = {};
    for (int g = 0; g < 4; ++g) skipped[g] = gr == 1 && rec.scfsi[ch][g] != 0;
    return mpeg1ScalefactorBits(info, rec.scalefactors[gr][ch], info.scalefac_compress, skipped);
}

}  // namespace

void recodeFrame(FrameRecord& rec, unsigned keep) {
    const bool mpeg1 = isMpeg1(rec.header);
    const int channels = channelCount(rec.header);
    const int granules = granuleCount(rec.header);
    const FrameRecord before = rec;

    // scfsi: granule 1 reuses granule 0's scalefactors of every group where they agree and
    // neither granule has short blocks.
    if (mpeg1)
        for (int ch = 0; ch < channels; ++ch) {
            if (keep & keepBit(1, ch)) continue;  // its bits stay, with the scfsi they assume
            const bool longBlocks =
                rec.granuleInfo[0][ch].block_type != 2 && rec.granuleInfo[1][ch].block_type != 2;
            for (int g = 0; g < 4; ++g) {
                bool same = longBlocks;
                for (int b = scfsiGroupStart[g]; same && b < scfsiGroupStart[g + 1]; ++b)
                    same = rec.scalefactors[0][ch][b] == rec.scalefactors[1][ch][b];
                rec.scfsi[ch][g] = same ? 1 : 0;
            }
        }

    auto code = [&](int gr, int ch) {
        if (keep & keepBit(gr, ch)) return;
        GranuleChannelInfo& info = rec.granuleInfo[gr][ch];
        // Scalefactors: the narrowest widths that hold every value.
        int sfBits = kNoCost;
        if (mpeg1) {
            bool skipped[4] = {};
            for (int g = 0; g < 4; ++g) skipped[g] = gr == 1 && rec.scfsi[ch][g] != 0;
            for (int sc = 0; sc < 16; ++sc) {
                const int bits = mpeg1ScalefactorBits(info, rec.scalefactors[gr][ch], sc, skipped);
                if (bits < sfBits) sfBits = bits, info.scalefac_compress = sc;
            }
        } else if (ch == 1 && (modeExtension(rec.header) & 1)) {
            // The right channel of intensity stereo: the widths also set which value
            // means "no intensity position", so they stay.
            sfBits = currentScalefactorBits(rec, gr, ch);
        } else {
            const uint32_t old = lsfScalefacEntry(rec.header, ch, info.scalefac_compress);
            int need[6][4];
            lsfWidthsNeeded(info, rec.scalefactors[0][ch], need);
            for (int sc = 0; sc < 512; ++sc) {
                const uint32_t entry = lsfScalefacTables.lsfScalefac[static_cast<size_t>(sc)];
                if (impliedPreflag(entry) != impliedPreflag(old)) continue;
                const int bits = lsfScalefactorBits(info, need, entry);
                if (bits < sfBits) sfBits = bits, info.scalefac_compress = sc;
            }
        }
        const Coding c = bestSpectrumCoding(rec.header, info, rec.spectrum[gr][ch]);
        const int total = sfBits + c.bits;
        // The old coding stays where the new one is no smaller (it may use a count1
        // region the search does not consider).
        const GranuleChannelInfo& old = before.granuleInfo[gr][ch];
        const int oldSfBits = currentScalefactorBits(before, gr, ch);
        const bool sameScfsi =
            !mpeg1 || gr == 0 || std::equal(before.scfsi[ch], before.scfsi[ch] + 4, rec.scfsi[ch]);
        if (total >= kNoCost || (sameScfsi && old.part2_3_length <= total && oldSfBits < kNoCost)) {
            // Keep the old spectrum coding; where scfsi changed (granule 1 of MPEG-1),
            // with the scalefactor widths just chosen for it.
            const int chosen = info.scalefac_compress;
            info = old;
            if (!sameScfsi) {
                info.scalefac_compress = chosen;
                info.part2_3_length = old.part2_3_length - oldSfBits + sfBits;
                info.rawPart2_3Length = info.part2_3_length;
            }
            return;
        }
        info.big_values = c.big_values;
        info.region0_count = c.region0_count;
        info.region1_count = c.region1_count;
        std::copy(c.table_select, c.table_select + 3, info.table_select);
        info.count1table_select = c.count1table_select;
        info.part2_3_length = total;
        info.rawPart2_3Length = total;
    };
    for (int gr = 0; gr < granules; ++gr)
        for (int ch = 0; ch < channels; ++ch) code(gr, ch);

    // An MPEG-1 granule of length 0 codes nothing, not even the scalefactors scfsi reuses:
    // a granule 1 that would have no bits but reuses scalefactors that are not all zero
    // codes them itself.
    for (int ch = 0; mpeg1 && ch < channels; ++ch) {
        if (rec.granuleInfo[1][ch].part2_3_length != 0 || (keep & keepBit(1, ch))) continue;
        bool reusesValues = false;
        for (int g = 0; g < 4; ++g)
            for (int b = scfsiGroupStart[g]; rec.scfsi[ch][g] && b < scfsiGroupStart[g + 1]; ++b)
                reusesValues = reusesValues || rec.scalefactors[1][ch][b] != 0;
        if (!reusesValues) continue;
        std::fill(rec.scfsi[ch], rec.scfsi[ch] + 4, 0);
        code(1, ch);
    }
}

bool sameGranuleValues(const FrameRecord& a, const FrameRecord& b, int gr, int ch) {
    const GranuleChannelInfo& x = a.granuleInfo[gr][ch];
    const GranuleChannelInfo& y = b.granuleInfo[gr][ch];
    // MPEG-2/2.5 frames keep their one granule's scalefactors at granule 0.
    const int sf = isMpeg1(a.header) ? gr : 0;
    return x.window_switching_flag == y.window_switching_flag && x.block_type == y.block_type &&
           x.mixed_block_flag == y.mixed_block_flag &&
           std::equal(a.spectrum[gr][ch], a.spectrum[gr][ch] + kSpectrumLines,
                      b.spectrum[gr][ch]) &&
           std::equal(a.scalefactors[sf][ch], a.scalefactors[sf][ch] + kScalefactorEntries,
                      b.scalefactors[sf][ch]);
}

}  // namespace l3
