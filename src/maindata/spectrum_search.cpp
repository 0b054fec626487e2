#include "maindata/spectrum_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "l3/band_edges.h"
#include "l3/frame_header.h"
#include "format/region_lines.h"
#include "tables/code_tables.h"

namespace l3 {

namespace {

constexpr int kPairs = kSpectrumLines / 2;

// Every big-value table has a lane of 16 bits, sixteen lanes to a vector; the first vector
// holds table 0, the thirteen tables without escapes and the first of each escape
// family (all a granule whose values stay below 15 can use), the other two the remaining
// escape tables. -1: a spare lane, which holds nothing.
constexpr int kLanes = 32;
constexpr std::array<int8_t, kLanes> kLaneTable = {
    0,  1,  2,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 15, 16, 24,
    17, 18, 19, 20, 21, 22, 23, 25, 26, 27, 28, 29, 30, 31, -1, -1};
constexpr int kNarrow = 1;  // vectors for values below 15
constexpr int kWide = 2;

// "No coding" in a lane: above the bits of any coding of a granule's pairs (288 pairs of at
// most 19 + 2 + 2 * 13 bits), and low enough that adding any such count stays in 16 bits.
constexpr int kInf = 16384;
static_assert(kInf > kPairs * 47 && kInf + kPairs * 47 < 32767);

// Per lane: the bits of a pair (code word, sign bits and escape bits) by min(|x|, 15) * 16 +
// min(|y|, 15) (0 where the table has no such pair), and the largest magnitude the table
// holds. Built once.
struct LaneData {
    alignas(32) int16_t pairBits[256][kLanes];
    alignas(32) int16_t largest[kLanes];
    // The fewest bits of any table for the pair: what no coding of it goes below.
    uint8_t leastBits[256];
    LaneData() {
        const CodeTables& code = codeTables();
        std::memset(pairBits, 0, sizeof pairBits);
        for (int lane = 0; lane < kLanes; ++lane) {
            const int table = kLaneTable[static_cast<size_t>(lane)];
            largest[lane] = static_cast<int16_t>(table < 0 ? -1 : 0);
            if (table <= 0) continue;
            const TableShape shape = tableShapes[static_cast<size_t>(table)];
            const int book = table < 16 ? table : table < 24 ? 16 : 24;
            const HuffmanTable& codes = code.huffman[static_cast<size_t>(book)];
            largest[lane] = static_cast<int16_t>(shape.linbits ? 15 + (1 << shape.linbits) - 1
                                                               : shape.xLen - 1);
            for (int x = 0; x < codes.xLen; ++x)
                for (int y = 0; y < codes.yLen; ++y) {
                    const int escapes = shape.linbits ? (x == 15) + (y == 15) : 0;
                    pairBits[x * 16 + y][lane] =
                        static_cast<int16_t>(codes.lengths[x * codes.yLen + y] + (x != 0) +
                                             (y != 0) + escapes * shape.linbits);
                }
        }
        for (int i = 0; i < 256; ++i) {
            int fewest = i == 0 ? 0 : 255;
            for (int lane = 1; lane < kLanes; ++lane)
                if (pairBits[i][lane] > 0) fewest = std::min<int>(fewest, pairBits[i][lane]);
            leastBits[i] = static_cast<uint8_t>(fewest);
        }
    }
};

const LaneData& laneData() {
    static const LaneData data;
    return data;
}

// V vectors of 16 lanes and the few operations the search needs, in the compiler's vector
// types: one instruction per vector where the processor has 256-bit vectors, two otherwise.
using Vector = int16_t __attribute__((vector_size(32)));
using Half = int16_t __attribute__((vector_size(16)));

template <int V>
struct Lanes {
    Vector v[V];
};

// Inlined into each processor's copy of the sweep, so that they use its vectors.
#define L3_LANES [[gnu::always_inline]] inline
#define L3_LAMBDA __attribute__((always_inline))

template <int V>
L3_LANES Lanes<V> splat(int x) {
    const Vector b = Vector{} + static_cast<int16_t>(x);
    Lanes<V> r;
    // Spelled out: as a loop, compilers build the copies lane by lane.
    r.v[0] = b;
    if constexpr (V > 1) r.v[1] = b;
    static_assert(V <= 2);
    return r;
}

// Loads from a 32-byte aligned row of lanes.
using AlignedVector = int16_t __attribute__((vector_size(32), aligned(32), may_alias));

template <int V>
L3_LANES Lanes<V> load(const int16_t* p) {
    Lanes<V> r;
    for (int i = 0; i < V; ++i) r.v[i] = reinterpret_cast<const AlignedVector*>(p)[i];
    return r;
}

template <int V>
L3_LANES void store(const Lanes<V>& a, int16_t* p) {
    std::memcpy(p, a.v, sizeof a.v);
}

template <int V>
L3_LANES void addTo(Lanes<V>& a, const int16_t* p) {
    Lanes<V> b = load<V>(p);
    for (int i = 0; i < V; ++i) a.v[i] += b.v[i];
}

template <int V>
L3_LANES Lanes<V> sum(const Lanes<V>& a, const Lanes<V>& b) {
    Lanes<V> r;
    for (int i = 0; i < V; ++i) r.v[i] = a.v[i] + b.v[i];
    return r;
}

template <int V>
L3_LANES Lanes<V> difference(const Lanes<V>& a, const Lanes<V>& b) {
    Lanes<V> r;
    for (int i = 0; i < V; ++i) r.v[i] = a.v[i] - b.v[i];
    return r;
}

template <int V>
L3_LANES Lanes<V> lesser(const Lanes<V>& a, const Lanes<V>& b) {
    Lanes<V> r;
    for (int i = 0; i < V; ++i) r.v[i] = a.v[i] < b.v[i] ? a.v[i] : b.v[i];
    return r;
}

// The lanes whose table cannot hold magnitude m become kInf.
template <int V>
L3_LANES void shut(Lanes<V>& a, const Lanes<V>& largest, int m) {
    const Vector top = Vector{} + static_cast<int16_t>(std::min(m, 32767));
    const Vector inf = Vector{} + static_cast<int16_t>(kInf);
    for (int i = 0; i < V; ++i) a.v[i] = largest.v[i] < top ? inf : a.v[i];
}

// The smallest lane, at most kInf.
template <int V>
L3_LANES int least(const Lanes<V>& a) {
    Vector m = a.v[0];
    for (int i = 1; i < V; ++i) m = m < a.v[i] ? m : a.v[i];
    Half h = __builtin_shufflevector(m, m, 0, 1, 2, 3, 4, 5, 6, 7);
    const Half high = __builtin_shufflevector(m, m, 8, 9, 10, 11, 12, 13, 14, 15);
    h = h < high ? h : high;
    Half s = __builtin_shufflevector(h, h, 4, 5, 6, 7, 0, 1, 2, 3);
    h = h < s ? h : s;
    s = __builtin_shufflevector(h, h, 2, 3, 0, 1, 6, 7, 4, 5);
    h = h < s ? h : s;
    s = __builtin_shufflevector(h, h, 1, 0, 3, 2, 5, 4, 7, 6);
    h = h < s ? h : s;
    return std::min<int>(h[0], kInf);
}

int magnitude(int v) {
    return v < 0 ? -v : v;
}

// What the sweep needs of a granule: its layout, and per pair up to the last nonzero one
// its row of bits (min(|x|, 15) * 16 + min(|y|, 15)) and largest magnitude; from pair 0,
// the fewest bits any table gives the pairs; by big-value end, the count1 bits.
struct Granule {
    const int16_t* lines;
    int last;      // the last nonzero line
    int firstEnd;  // the fewest big-value pairs: every value above 1 among them
    int lastEnd;   // the most worth weighing: up to the pair of the last nonzero line
    int top;       // the largest magnitude
    bool switching;
    std::array<int, 23> edges;  // long band edges in pairs
    uint32_t disputed;          // bit k: decoders place long edge k at different lines
    SwitchingRegions regions;   // window switching: where region 1 starts
    std::array<uint8_t, kPairs> index;
    std::array<int16_t, kPairs> pairTop;
    std::array<int, kPairs + 1> least;
    // The count1 bits from each end under table A and B (-1: a quadruple would start past
    // line 572), and after[end]: the fewest bits any end from `end` on adds to the big
    // values' bits so far, its further pairs' least and its count1 bits.
    std::array<int16_t, kPairs + 4> count1A, count1B;
    std::array<int, kPairs + 2> after;
};

// The largest magnitude among pairs [from, to).
int largestIn(const int16_t* lines, int from, int to) {
    int top = 0;
    for (int i = 2 * from; i < 2 * to; ++i) top = std::max(top, magnitude(lines[i]));
    return top;
}

// Bits of a count1 quadruple under table A and B by its nonzero lines (the first at bit 0).
const std::array<std::array<int16_t, 16>, 2>& quadBits() {
    static const std::array<std::array<int16_t, 16>, 2> bits = [] {
        const HuffmanTable& tableA = codeTables().huffman[kCount1TableA];
        std::array<std::array<int16_t, 16>, 2> b{};
        for (int n = 0; n < 16; ++n) {
            const int index = (n & 1) << 3 | (n & 2) << 1 | (n & 4) >> 1 | (n & 8) >> 3;
            const int signs = std::popcount(static_cast<unsigned>(n));
            b[0][static_cast<size_t>(n)] = static_cast<int16_t>(tableA.lengths[index] + signs);
            b[1][static_cast<size_t>(n)] = static_cast<int16_t>(4 + signs);
        }
        return b;
    }();
    return bits;
}

// The pairs' rows, magnitudes and least bits, firstEnd and top (g.lastEnd known).
void pairsOf(Granule& g) {
    const LaneData& data = laneData();
    // In 16 bits throughout, so that the loop runs on vectors; |-32768| stays 32767.
    uint16_t top = 0;
    const int n = g.lastEnd;  // a local bound: the byte stores below may alias any field
    const int16_t* __restrict lines = g.lines;
    uint8_t* __restrict index = g.index.data();
    int16_t* __restrict pairTop = g.pairTop.data();
    for (int p = 0; p < n; ++p) {
        const int16_t a = lines[2 * p], b = lines[2 * p + 1];
        const uint16_t x = static_cast<uint16_t>(a < 0 ? (a == -32768 ? 32767 : -a) : a);
        const uint16_t y = static_cast<uint16_t>(b < 0 ? (b == -32768 ? 32767 : -b) : b);
        const uint16_t cx = x < 15 ? x : 15, cy = y < 15 ? y : 15;
        const uint16_t m = x > y ? x : y;
        index[p] = static_cast<uint8_t>(cx << 4 | cy);
        pairTop[p] = static_cast<int16_t>(m);
        top = m > top ? m : top;
    }
    g.top = top;
    // The first end past every pair above 1, four pairs at a time (magnitudes above 1 are
    // those with a bit set above bit 0).
    g.firstEnd = g.lastEnd;
    for (uint64_t four = 0; g.firstEnd >= 4; g.firstEnd -= 4) {
        std::memcpy(&four, pairTop + g.firstEnd - 4, sizeof four);
        if (four & 0xFFFEFFFEFFFEFFFEull) break;
    }
    while (g.firstEnd > 0 && pairTop[g.firstEnd - 1] <= 1) --g.firstEnd;
    int sum = 0;
    g.least[0] = 0;
    for (int p = 0; p < n; ++p) {
        sum += data.leastBits[index[p]];
        g.least[static_cast<size_t>(p) + 1] = sum;
    }
}

// count1A, count1B and after, from the last end down to the first.
void count1Of(Granule& g) {
    const auto& bits = quadBits();
    for (int i = g.lastEnd; i < g.lastEnd + 4; ++i)
        g.count1A[static_cast<size_t>(i)] = g.count1B[static_cast<size_t>(i)] = 0;
    g.after[static_cast<size_t>(g.lastEnd) + 1] = kNoSpectrumCoding;
    g.after[static_cast<size_t>(g.lastEnd)] = g.least[static_cast<size_t>(g.lastEnd)];
    // Nonzero lines from 2 * firstEnd on, one bit each; lines past 575 are 0.
    uint32_t ahead = 0;  // lines 2i .. 2i + 3 after the step for pair i
    for (int i = g.lastEnd - 1; i >= g.firstEnd; --i) {
        const size_t at = static_cast<size_t>(i);
        const int line = 2 * i;
        ahead = (ahead << 2 | static_cast<uint32_t>(g.lines[line] != 0) |
                 static_cast<uint32_t>(g.lines[line + 1] != 0) << 1) &
                15;
        g.count1A[at] = static_cast<int16_t>(g.count1A[at + 2] + bits[0][ahead]);
        g.count1B[at] = static_cast<int16_t>(g.count1B[at + 2] + bits[1][ahead]);
        g.after[at] = std::min(g.after[at + 1],
                               g.least[at] + std::min<int>(g.count1A[at], g.count1B[at]));
    }
    // No quadruple may start past line 572: with the last nonzero line at 574 or 575, the
    // ends whose quadruples would start at 574 are out.
    if (g.last >= kLastQuadLine + 2) {
        for (int i = g.firstEnd; i < g.lastEnd; ++i)
            if (2 * i + ((g.last - 2 * i) & ~3) > kLastQuadLine)
                g.count1A[static_cast<size_t>(i)] = g.count1B[static_cast<size_t>(i)] = -1;
        for (int i = g.lastEnd - 1; i >= g.firstEnd; --i) {
            const size_t at = static_cast<size_t>(i);
            const int here = g.count1A[at] < 0 ? kNoSpectrumCoding
                                               : g.least[at] + std::min<int>(g.count1A[at], g.count1B[at]);
            g.after[at] = std::min(g.after[at + 1], here);
        }
    }
}

// The best coding found, and what the reconstruction needs to name its regions and tables.
template <int V>
struct Sweep {
    int best = kNoSpectrumCoding;
    int bestEnd = -1;
    int bestCount1 = 0;
    bool count1B = false;
    Lanes<V> bestCost;
    // Per long edge k (or the window-switching region 1 start, as edge 1): the bits of each
    // table from pair 0 up to it, the fewest bits of one region up to it (`one`) and of two
    // regions up to it (`two`); kInf where no such coding is legal.
    std::array<Lanes<V>, 23> edgeCost;
    std::array<int, 23> one, two;
    // Per region-1 start j: one[j] less each table's bits up to j, shut for the largest
    // magnitude since (restLevel); and the largest magnitude of each band.
    std::array<Lanes<V>, 17> rest;
    std::array<int, 17> restLevel;
    std::array<int, 23> bandTop;
};

// The first region count from `from` on whose band edge decoders agree on.
int firstOpen(const Granule& g, int from, int count) {
    for (int r = 0; r < count; ++r)
        if (!(g.disputed >> std::min(from + r, 22) & 1)) return r;
    return 0;
}

// At long edge e (cost: each table's bits up to it; fromZero: the largest magnitude before
// it): the fewest bits of the pairs before it in one region and in two, noted in s; returns
// the fewer, the cost of the regions before a last region starting at e.
template <int V>
L3_LANES int longEdge(const Granule& g, Sweep<V>& s, int e, const Lanes<V>& cost,
                      const Lanes<V>& largest, int fromZero) {
    const size_t at = static_cast<size_t>(e);
    s.edgeCost[at] = cost;
    if (g.disputed >> e & 1) return kInf;
    if (e <= 16) {
        Lanes<V> c = cost;
        shut(c, largest, fromZero);
        const int one = least(c);
        s.one[at] = one;
        if (one < kInf) {
            Lanes<V> r = difference(splat<V>(one), cost);
            shut(r, largest, 0);
            s.rest[at] = r;
            s.restLevel[at] = 0;
        }
    }
    if (e >= 2) {
        Lanes<V> acc = splat<V>(kInf);
        int top = 0;
        for (int j = e - 1; j >= std::max(1, e - 8); --j) {
            const size_t k = static_cast<size_t>(j);
            top = std::max(top, s.bandTop[k]);
            if (j > 16 || s.one[k] >= kInf) continue;
            if (s.restLevel[k] < top) {
                shut(s.rest[k], largest, top);
                s.restLevel[k] = top;
            }
            acc = lesser(acc, s.rest[k]);
        }
        s.two[at] = least(sum(cost, acc));
    }
    return std::min(s.one[at], s.two[at]);
}

template <int V>
L3_LANES SpectrumCoding sweep(const Granule& g) {
    const LaneData& data = laneData();
    const Lanes<V> largest = load<V>(data.largest);
    Sweep<V> s;
    s.one.fill(kInf);
    s.two.fill(kInf);
    s.restLevel.fill(0);
    s.bandTop.fill(0);

    // cost: each table's bits of the pairs so far. q: per table, the fewest bits of a
    // coding of the pairs before a last region's start less that table's bits up to the
    // start, over every start whose last region the table holds: cost + q is each table's
    // best coding with it as the last region's table.
    Lanes<V> cost = splat<V>(0);
    Lanes<V> q = splat<V>(0);  // the start at pair 0: a single region
    shut(q, largest, 0);
    int qLevel = 0;   // q is shut for this magnitude for every start in it
    // The largest magnitude of the pairs so far, of those since q was last shut, and of the
    // current band's.
    int top = 0, pending = 0, band = 0;
    // No coding of the big values up to pair `end` takes fewer than base + least[end] bits.
    int base = 0;
    int k = 1;  // the next long edge
    const int switchStart =
        g.regions.low == g.regions.high ? g.edges[static_cast<size_t>(g.regions.region0_count) + 1]
                                        : -1;  // apart: one table for both regions
    auto shutPending = [&]() L3_LAMBDA {
        if (pending > qLevel) {
            shut(q, largest, pending);
            qLevel = pending;
        }
        pending = 0;
    };

    for (int end = 0;; ++end) {
        int prefix = kInf;  // of a last region starting here
        if (!g.switching) {
            if (k <= 21 && end == g.edges[static_cast<size_t>(k)]) {
                s.bandTop[static_cast<size_t>(k) - 1] = band;
                band = 0;
                prefix = longEdge(g, s, k++, cost, largest, top);
            }
        } else if (end == switchStart) {
            s.edgeCost[1] = cost;
            Lanes<V> c = cost;
            shut(c, largest, top);
            s.one[1] = prefix = least(c);
        }
        if (prefix < kInf) {
            shutPending();
            Lanes<V> start = difference(splat<V>(prefix), cost);
            shut(start, largest, 0);
            q = lesser(q, start);
            qLevel = 0;
        }
        if (end >= g.firstEnd) {
            const size_t at = static_cast<size_t>(end);
            const bool tableB = g.count1B[at] < g.count1A[at];
            const int count1 = tableB ? g.count1B[at] : g.count1A[at];
            const int low = base + g.least[at];
            if (count1 >= 0 && low + count1 < s.best) {
                shutPending();
                const int big = least(sum(cost, q));
                base = big - g.least[at];
                if (big + count1 < s.best) {
                    s.best = big + count1;
                    s.bestEnd = end;
                    s.bestCount1 = count1;
                    s.count1B = tableB;
                    s.bestCost = cost;
                }
            }
            // No later end can do better: each spends at least `base` bits, its pairs'
            // least and its count1 bits.
            if (base + g.after[at + 1] >= s.best) break;
        }
        if (end == g.lastEnd) break;
        // On to the next end that matters: the next edge or, from the first end, each end.
        int next = end < g.firstEnd ? g.firstEnd : end + 1;
        if (!g.switching && k <= 21) next = std::min(next, g.edges[static_cast<size_t>(k)]);
        if (g.switching && switchStart > end) next = std::min(next, switchStart);
        Lanes<V> c = cost;
        int16_t t = 0;
        for (int p = end; p < next; ++p) {
            addTo(c, data.pairBits[g.index[static_cast<size_t>(p)]]);
            t = std::max(t, g.pairTop[static_cast<size_t>(p)]);
        }
        cost = c;
        top = std::max<int>(top, t);
        pending = std::max<int>(pending, t);
        band = std::max<int>(band, t);
        end = next - 1;
    }

    SpectrumCoding out{kNoSpectrumCoding, 0, 0, 0, 0, {0, 0, 0}};
    if (s.bestEnd < 0 || s.best >= kInf) return out;
    out.bits = s.best;
    out.big_values = s.bestEnd;
    out.count1table_select = s.count1B;

    // The regions: find a last region's start and table that give the bits found, then the
    // regions before it.
    int16_t cost16[kLanes], at16[kLanes], from16[kLanes];
    int16_t largest16[kLanes];
    store(s.bestCost, cost16);
    store(largest, largest16);
    const int big = s.best - s.bestCount1;
    // The table of a region whose largest magnitude is `highest` and whose bits (each
    // table's at its end, less those at its start) added to prefix make value; -1 if none.
    auto laneOf = [&](int prefix, int value, const Lanes<V>& at, const Lanes<V>* from,
                      int highest) {
        // Whether any lane gives the value, all lanes at once; then which.
        Lanes<V> bits = from ? difference(at, *from) : at;
        shut(bits, largest, highest);
        if (prefix + least(bits) != value) return -1;
        store(at, at16);
        if (from) store(*from, from16);
        for (int lane = 0; lane < 16 * V; ++lane)
            if (largest16[lane] >= highest &&
                prefix + at16[lane] - (from ? from16[lane] : 0) == value)
                return static_cast<int>(kLaneTable[static_cast<size_t>(lane)]);
        return -1;
    };
    const int end = s.bestEnd;
    // The largest magnitude of long bands [from, to).
    auto bandsTop = [&](int from, int to) {
        return *std::max_element(s.bandTop.begin() + from, s.bandTop.begin() + to);
    };
    std::array<int, 23> start{};  // in pairs, by edge; the window-switching start at 1
    for (int e = 1; e <= 22; ++e)
        start[static_cast<size_t>(e)] =
            g.switching ? (e == 1 ? switchStart : kPairs + 1) : g.edges[static_cast<size_t>(e)];
    const Lanes<V> bestCost = s.bestCost;
    int scanned = end, lastTop = 0;  // the largest magnitude of pairs [scanned, end)
    for (int e = 21; e >= 0; --e) {
        const int from = e == 0 ? 0 : start[static_cast<size_t>(e)];
        const int prefix =
            e == 0 ? 0 : std::min(s.one[static_cast<size_t>(e)], s.two[static_cast<size_t>(e)]);
        if (from > end || prefix >= kInf) continue;
        lastTop = std::max(lastTop, largestIn(g.lines, from, scanned));
        scanned = from;
        const int last = laneOf(prefix, big, bestCost,
                                e == 0 ? nullptr : &s.edgeCost[static_cast<size_t>(e)], lastTop);
        if (last < 0) continue;
        if (g.switching) {
            out.region0_count = g.regions.region0_count;
            out.region1_count = kImplicitRegion1Count;
            const int first =
                e == 0 ? last
                       : laneOf(0, s.one[1], s.edgeCost[1], nullptr, largestIn(g.lines, 0, from));
            out.table_select[0] = first;
            out.table_select[1] = last;
            return out;
        }
        if (e == 0) {  // one region: as two or three with the same table
            out.region0_count = firstOpen(g, 1, 16);
            out.region1_count = firstOpen(g, out.region0_count + 2, 8);
            out.table_select[0] = out.table_select[1] = out.table_select[2] = last;
            return out;
        }
        if (s.one[static_cast<size_t>(e)] == prefix) {  // two regions, split at edge e
            out.region0_count = e - 1;
            out.region1_count = firstOpen(g, e + 1, 8);
            out.table_select[0] =
                laneOf(0, prefix, s.edgeCost[static_cast<size_t>(e)], nullptr, bandsTop(0, e));
            out.table_select[1] = out.table_select[2] = last;
            return out;
        }
        for (int j = e - 1; j >= std::max(1, e - 8); --j) {
            const int one = s.one[static_cast<size_t>(j)];
            if (j > 16 || one >= kInf) continue;
            const int middle =
                laneOf(one, prefix, s.edgeCost[static_cast<size_t>(e)],
                       &s.edgeCost[static_cast<size_t>(j)],
                       bandsTop(j, e));
            if (middle < 0) continue;
            out.region0_count = j - 1;
            out.region1_count = e - j - 1;
            out.table_select[0] =
                laneOf(0, one, s.edgeCost[static_cast<size_t>(j)], nullptr, bandsTop(0, j));
            out.table_select[1] = middle;
            out.table_select[2] = last;
            return out;
        }
    }
    out.bits = kNoSpectrumCoding;  // not reached: the bits found come from one of the starts
    return out;
}

// The long edges decoders place at different lines (bit k for edge k), by band edge row.
uint32_t disputedEdges(uint32_t header) {
    static const std::array<uint32_t, 9> byRow = [] {
        std::array<uint32_t, 9> rows{};
        for (uint32_t row = 0; row < 9; ++row) {
            // A header of the row's version (MPEG-1, 2, 2.5) and sampling frequency.
            const uint32_t version = row < 3 ? 3 : row < 6 ? 2 : 0;
            const uint32_t h = 0xFFE00000u | version << 19 | (row % 3) << 10;
            for (int e = 1; e < 22; ++e) {
                const EdgeLines at = regionEdgeLines(h, e);
                if (at.low < at.high) rows[row] |= 1u << e;
            }
        }
        return rows;
    }();
    return byRow[static_cast<size_t>(bandEdgeRow(header))];
}

// The sweep for the processor at hand: where it has 256-bit vectors a copy built for them is
// chosen at load time. (Not under the thread sanitizer: the choice runs before the sanitizer
// is set up, and crashes.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define L3_SWEEP_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define L3_SWEEP_CLONES
#endif
L3_SWEEP_CLONES SpectrumCoding sweepNarrow(const Granule& g) {
    return sweep<kNarrow>(g);
}
L3_SWEEP_CLONES SpectrumCoding sweepWide(const Granule& g) {
    return sweep<kWide>(g);
}

}  // namespace

SpectrumCoding bestSpectrumCoding(uint32_t header, const GranuleChannelInfo& info,
                                  const int16_t* lines) {
    Granule g;
    g.lines = lines;
    // The last nonzero line, the zeros of the top four lines at a time.
    int last = kSpectrumLines - 1;
    static_assert(kSpectrumLines % 4 == 0);
    for (uint64_t four = 0; last >= 3; last -= 4) {
        std::memcpy(&four, lines + last - 3, sizeof four);
        if (four != 0) break;
    }
    while (last >= 0 && lines[last] == 0) --last;
    if (last < 0) return {0, 0, 0, 0, 0, {0, 0, 0}};
    g.last = last;
    g.lastEnd = (last + 2) / 2;
    pairsOf(g);
    count1Of(g);
    g.switching = info.window_switching_flag != 0;
    const int row = bandEdgeRow(header);
    const auto& edges = longBandEdges[static_cast<size_t>(row)];
    for (int e = 0; e < 23; ++e) g.edges[static_cast<size_t>(e)] = edges[static_cast<size_t>(e)] / 2;
    g.disputed = 0;
    g.regions = {};
    if (g.switching)
        g.regions = switchingRegions(header, info);
    else
        g.disputed = disputedEdges(header);
    return g.top < 15 ? sweepNarrow(g) : sweepWide(g);
}

}  // namespace l3
