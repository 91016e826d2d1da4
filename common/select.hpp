// Selection of an order statistic together with the value ranked just before it, which
// an even count's median needs as well, and the median built on it.
//
// The techniques, by their usual names, from the fewest values up:
// - Sorting networks (odd-even transposition sort) for up to network_rows values: fixed
//   compare-exchanges, unrolled, with no branch on the data; crossodds runs four inputs
//   side by side, one per lane of a vector.
// - Quickselect (Hoare's selection) around a median-of-three pivot, partitioning out of
//   place: each round copies only the side that holds the rank into the other buffer, by
//   branch-free stream compaction (four values per comparison, the kept ones moved to the
//   front by a permutation). A pivot that is the smallest value splits off its run of
//   equal values, as a three-way partition would, so ties cannot stall it; after 64 rounds
//   the standard library's introselect (std::nth_element) bounds the worst case.
// - Bucket selection, one distribution round as in a bucket or radix sort: the values'
//   range cut into select_bins equal-width buckets, a byte per value for its bucket, the
//   bucket that holds the rank found by binary search over counts of the bytes below a
//   bound (sixteen bytes at a time), and only that bucket's values kept. A bucket holding
//   most of the values is measured first: equal values settle the rank at once, values
//   that fill little of it are bucketed once more over its own range.
// - Sampling to bracket the rank, as in Floyd and Rivest's selection: two order
//   statistics of an evenly spaced sample bound a range that should hold the rank; one
//   pass counts the values below it and keeps those within.
// Every round hands the values it keeps to the next technique down. The value ranked
// before the k-th is the one before it in the final sorted range, or the largest value
// below everything kept (one more pass). Partitioning is branch-free throughout: values
// are as good as random, so a branch on a comparison would be mispredicted half the time.
//
// The tuned constants say how they were measured: ns per value in bench/select.py (which
// times both median entries over sizes and families of values, its records under
// bench/results/selection/) or in crossodds' same-process A/B.
//
// Read once per instruction set, inside that set's namespace (see each_path.hpp); FK_AVX
// says whether the AVX lines are built, FK_AVX512 whether the AVX-512 ones are.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include <emmintrin.h>  // x86-64 has SSE2 throughout

#include <immintrin.h>

#include "simd.hpp"

// The k-th smallest of a multiset and the largest value ranked before it.
struct Middle {
    double kth;
    double before;
};

namespace detail {

// Value tests of a selection pass, each for one value, for a vector of four (an AVX
// comparison mask) and on the AVX-512 path for a vector of eight (a mask of eight bits).
// NaN fails every test.
enum class Test { below, at_least, above };
template <Test T>
struct Against {  // v < p, v >= p or v > p
    double p;
    bool operator()(double v) const {
        return T == Test::below ? v < p : T == Test::at_least ? v >= p : v > p;
    }
    // The comparison's predicate (ordered, so NaN fails).
    static constexpr int code = T == Test::below      ? _CMP_LT_OQ
                                : T == Test::at_least ? _CMP_GE_OQ
                                                      : _CMP_GT_OQ;
#if FK_AVX
    __m256d operator()(__m256d v) const { return _mm256_cmp_pd(v, _mm256_set1_pd(p), code); }
#endif
#if FK_AVX512
    __mmask8 operator()(__m512d v) const { return _mm512_cmp_pd_mask(v, _mm512_set1_pd(p), code); }
#endif
};
using Below = Against<Test::below>;
using AtLeast = Against<Test::at_least>;
using Above = Against<Test::above>;
struct Valid {  // v is not NaN
    bool operator()(double v) const { return v == v; }
#if FK_AVX
    __m256d operator()(__m256d v) const { return _mm256_cmp_pd(v, v, _CMP_ORD_Q); }
#endif
#if FK_AVX512
    __mmask8 operator()(__m512d v) const { return _mm512_cmp_pd_mask(v, v, _CMP_ORD_Q); }
#endif
};
struct Within {  // lo <= v <= hi
    double lo, hi;
    bool operator()(double v) const { return (v >= lo) & (v <= hi); }
#if FK_AVX
    __m256d operator()(__m256d v) const {
        return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lo), _CMP_GE_OQ),
                             _mm256_cmp_pd(v, _mm256_set1_pd(hi), _CMP_LE_OQ));
    }
#endif
#if FK_AVX512
    __mmask8 operator()(__m512d v) const {
        return _mm512_cmp_pd_mask(v, _mm512_set1_pd(lo), _CMP_GE_OQ) &
               _mm512_cmp_pd_mask(v, _mm512_set1_pd(hi), _CMP_LE_OQ);
    }
#endif
};

// Set bits of a four-bit mask.
inline constexpr unsigned char ones4[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

#if FK_AVX
// Permutations of a pair of doubles that bring the one kept value of the pair to its front
// (mask 2: the second only); every other mask keeps the pair's order.
alignas(16) inline constexpr long long pair_front[4][2] = {{0, 2}, {0, 2}, {2, 2}, {0, 2}};

// Four values from a[0], a[stride], a[2 stride], a[3 stride].
inline __m256d load4(const double* a, std::size_t stride) {
    if (stride == 1) return _mm256_loadu_pd(a);
    return _mm256_set_pd(a[3 * stride], a[2 * stride], a[stride], a[0]);
}

// Stores the values of the pair x that `mask` (two bits) keeps at dst, in order, and
// returns how many: a whole pair is stored, so the slot after the kept ones is
// overwritten.
inline std::size_t store_kept(double* dst, __m128d x, int mask) {
    const __m128i ctl = _mm_load_si128(reinterpret_cast<const __m128i*>(pair_front[mask]));
    _mm_storeu_pd(dst, _mm_permutevar_pd(x, ctl));
    return ones4[mask];
}
#endif

#if FK_AVX512
// The set bits of an eight-bit mask, counted from a 32-bit register. Given the mask itself,
// GCC 12 (with the thread sanitizer's instrumentation) kept it in one byte of a stack slot
// and counted four bytes of that slot, so that stale bytes were counted too.
inline std::size_t ones8(__mmask8 k) {
    return static_cast<std::size_t>(__builtin_popcount(_cvtmask8_u32(k)));
}
#endif

// Counts of a pass: values kept, and values for which the tally test holds.
struct Counts {
    std::size_t kept, tallied;
};

// Copies, in order, the values among a[0], a[stride], ... (rows of them) that `keep`
// accepts to dst, and counts those that `tally` accepts. Four values at a time are
// tested by one comparison and the kept ones moved to the front of each pair by a
// permutation, so that no branch waits on the data. Slots of dst past the kept values may
// be overwritten, up to rows - 1 of them in all: the last few values are taken one by one,
// each written and the count advanced only when kept.
template <class Keep, class Tally>
Counts compact(const double* a, std::size_t stride, std::size_t rows, double* dst, Keep keep,
               Tally tally) {
    std::size_t c = 0, t = 0, i = 0;
#if FK_AVX512
    // Eight contiguous values at a time, the kept ones brought to the front by the compress
    // instruction and stored eight at a time, at most up to the last value's slot.
    if (stride == 1)
        for (; i + 8 <= rows; i += 8) {
            const __m512d v = _mm512_loadu_pd(a + i);
            const __mmask8 k = keep(v);
            t += ones8(tally(v));
            _mm512_storeu_pd(dst + c, _mm512_maskz_compress_pd(k, v));
            c += ones8(k);
        }
#endif
#if FK_AVX
    // Vectors only while more than four values follow, so that the pair stores write
    // below the slots the kept values may need.
    for (; i + 4 < rows; i += 4) {
        const __m256d v = load4(a + i * stride, stride);
        const int k = _mm256_movemask_pd(keep(v));
        t += ones4[_mm256_movemask_pd(tally(v))];
        c += store_kept(dst + c, _mm256_castpd256_pd128(v), k & 3);
        c += store_kept(dst + c, _mm256_extractf128_pd(v, 1), k >> 2);
    }
#endif
    for (; i < rows; ++i) {
        const double v = a[i * stride];
        dst[c] = v;
        c += keep(v) ? 1 : 0;
        t += tally(v) ? 1 : 0;
    }
    return {c, t};
}

// A tally that accepts nothing.
struct Never {
    bool operator()(double) const { return false; }
#if FK_AVX
    __m256d operator()(__m256d) const { return _mm256_setzero_pd(); }
#endif
#if FK_AVX512
    __mmask8 operator()(__m512d) const { return 0; }
#endif
};

// How many of a[0 .. n) `test` accepts.
template <class Pred>
std::size_t count(const double* a, std::size_t n, Pred test) {
    std::size_t c = 0, i = 0;
#if FK_AVX
    for (; i + 4 <= n; i += 4) c += ones4[_mm256_movemask_pd(test(_mm256_loadu_pd(a + i)))];
#endif
    for (; i < n; ++i) c += test(a[i]) ? 1 : 0;
    return c;
}

// The largest of a[0], a[stride], ... (rows of them) below p, -inf if none.
inline double max_below(const double* a, std::size_t stride, std::size_t rows, double p) {
    double top = -std::numeric_limits<double>::infinity();
    std::size_t i = 0;
#if FK_AVX
    const __m256d none = _mm256_set1_pd(top);
    __m256d tops = none;
    for (; i + 4 <= rows; i += 4) {
        const __m256d v = load4(a + i * stride, stride);
        tops = _mm256_max_pd(select(Below{p}(v), v, none), tops);
    }
    alignas(32) double t[4];
    _mm256_store_pd(t, tops);
    for (const double x : t) top = x > top ? x : top;
#endif
    for (; i < rows; ++i) {
        const double v = a[i * stride];
        top = v < p && v > top ? v : top;
    }
    return top;
}

}  // namespace detail

// Number of valid (not NaN) values among a[0 .. n).
inline std::size_t count_valid(const double* a, std::size_t n) {
    return detail::count(a, n, detail::Valid{});
}

// Rows up to which a median is taken by a sorting network rather than a selection: for a
// few values the selection's copy rounds and calls cost several times the comparisons
// themselves (crossodds spent about 270 instructions per date on a group of three before
// the networks). Not swept, and worth a sweep: in the selection benchmark's record of
// 2026-12-09 (Xeon, loaded machine) a median of 16 values through the scalar network took
// 10.8 ns per value, one of 17 through a binning round 3.4 (crossodds' small groups run
// the network four inputs at a time instead).
constexpr std::size_t network_rows = 16;

// The compare-exchange of a sorting network: the smaller and the larger of two values that
// are not NaN (the standard library's choice between equal ones). Each lane of a vector of
// four is sorted on its own, with the same choices as the scalar network.
inline double net_lo(double a, double b) { return std::min(a, b); }
inline double net_hi(double a, double b) { return std::max(a, b); }
#if FK_AVX
inline __m256d net_lo(__m256d a, __m256d b) { return _mm256_min_pd(b, a); }
inline __m256d net_hi(__m256d a, __m256d b) { return _mm256_max_pd(b, a); }
#endif

// Sorts s[0 .. R), no NaN among them: odd-even transposition, R rounds of compare-exchanges
// of neighbours, unrolled for a fixed R with no branch on the data.
template <std::size_t R, class V>
void sort_network(V* s) {
    static_assert(R >= 1 && R <= network_rows, "a network for a few values only");
    for (std::size_t round = 0; round < R; ++round)
        for (std::size_t i = round % 2; i + 1 < R; i += 2) {
            const V lo = net_lo(s[i], s[i + 1]);
            s[i + 1] = net_hi(s[i], s[i + 1]);
            s[i] = lo;
        }
}

// Median of the n valid values among s[0 .. R), in which every missing value has been
// replaced by +inf; NaN when n is 0. Sorts s. The n smallest of the R are then exactly the
// valid values in order (+inf ones included), since every stand-in is at least as large
// as any of them.
template <std::size_t R>
double network_median(double* s, std::size_t n) {
    sort_network<R>(s);
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t k = n / 2;
    return n % 2 == 1 ? s[k] : (s[k - 1] + s[k]) * 0.5;
}

// f<R> at index R - 1 for R = 1 .. network_rows: a table to pick a network's instance by a
// count known only at run time.
template <template <std::size_t> class F, std::size_t... R>
constexpr auto network_table(std::index_sequence<R...>) {
    return std::array<decltype(&F<1>::run), sizeof...(R)>{&F<R + 1>::run...};
}
template <template <std::size_t> class F>
inline constexpr auto networks = network_table<F>(std::make_index_sequence<network_rows>{});

namespace detail {

// sort_network<R> over the first R values of an array, for networks<>.
template <std::size_t R>
struct SortPrefix {
    static void run(double* s) { sort_network<R>(s); }
};

}  // namespace detail

// Selection of the k-th smallest of a[0..n), 0 < k < n, no NaN; `a` and `b` are scratch of
// n values each and both are overwritten. Quickselect around a median of three: each
// round counts the values below the pivot and copies only the side that holds the k-th
// into the other buffer. The value ranked before k is the previous one in the final
// sorted range, unless k sits at that range's front: then it is the largest of the values
// last left behind below it, all of which are smaller than what stays. When a round
// leaves nothing below the pivot, the run of values equal to the pivot is split off, so
// that ties cannot stall the selection; the standard library's selection takes over
// should the pivots keep coming out badly anyway.
inline Middle select_middle(double* a, double* b, std::size_t n, std::size_t k) {
    double* src = a;
    double* dst = b;
    double before = std::numeric_limits<double>::quiet_NaN();  // valid once k reaches 0
    // Not tuned: 64 rounds is a guard that the ties' split never needs in practice, and
    // eight values or fewer go to the network of their count.
    for (int budget = 64; n > 8; --budget) {
        if (budget == 0) {
            std::nth_element(src, src + k, src + n);
            if (k > 0) before = *std::max_element(src, src + k);
            return {src[k], before};
        }
        const double x = src[0], y = src[n / 2], z = src[n - 1];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        const std::size_t below = detail::count(src, n, detail::Below{pivot});
        if (k < below) {
            detail::compact(src, 1, n, dst, detail::Below{pivot}, detail::Never{});
            n = below;
        } else if (below > 0) {
            if (k == below) before = detail::max_below(src, 1, n, pivot);
            detail::compact(src, 1, n, dst, detail::AtLeast{pivot}, detail::Never{});
            n -= below;
            k -= below;
        } else {
            // The pivot is the smallest value of the range: take off the run equal to it.
            const std::size_t above =
                detail::compact(src, 1, n, dst, detail::Above{pivot}, detail::Never{}).kept;
            const std::size_t equal = n - above;
            if (k < equal) return {pivot, k > 0 ? pivot : before};
            before = pivot;
            n = above;
            k -= equal;
        }
        std::swap(src, dst);
    }
    // Short range: a sorting network, whose compare-exchanges do not branch on the data.
    networks<detail::SortPrefix>[n - 1](src);
    return {src[k], k > 0 ? src[k - 1] : before};
}

// Bins of a binning round: a part's number and NaN's fit a byte (at most 253 parts). In a
// same-process A/B of the selection benchmark, 64 parts ran 0.87 to 1.06 of 128's time on
// ordinary, 10% NaN and five-valued data from 17 to 10000 values (a loaded machine: no
// difference beyond noise); more were not tried.
constexpr std::size_t select_bins = 128;
// The fewest values worth a binning round: from the first count too large for a sorting
// network on, a round costs less than a plain selection (measured down to 17 values in the
// selection benchmark: about half; crossodds A/B 0.76-0.88 for groups of 500, 0.64-0.80
// for groups of 25 to 100).
constexpr std::size_t min_binned = network_rows + 1;
// A part that holds most of the values is split once more when they fill less than this
// share of its width. Measured by its effect, not swept: against no second round, medians
// of 90% stale zeros took 0.67-0.71 of the time, of a group with one far value 0.48, of 60%
// stale zeros 1.15 (the measuring pass); ordinary data unchanged (crossodds A/B 0.99-1.00).
constexpr double narrow_below = 1.0 / 16;

Middle select_kth(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                  std::size_t k, double* m, double* b);

namespace detail {

// The smallest and the largest valid value among a[0], a[stride], ... (rows of them);
// +inf and -inf when there is none.
struct Range {
    double lo, hi;
};
#if FK_AVX
// The smallest of the four lanes of l and the largest of those of h (lanes start at +inf
// and -inf, so that a lane that saw no value changes nothing).
inline Range fold(__m256d l, __m256d h) {
    alignas(32) double ls[4], hs[4];
    _mm256_store_pd(ls, l);
    _mm256_store_pd(hs, h);
    Range r{ls[0], hs[0]};
    for (int q = 1; q < 4; ++q) {
        r.lo = std::min(r.lo, ls[q]);
        r.hi = std::max(r.hi, hs[q]);
    }
    return r;
}
#endif

inline Range range_of(const double* a, std::size_t stride, std::size_t rows) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    std::size_t i = 0;
#if FK_AVX
    // Two pairs of running bounds, so that each waits on every other vector only. The
    // minimum and maximum of AVX return their second operand when the first is NaN.
    __m256d l0 = _mm256_set1_pd(lo), l1 = l0, h0 = _mm256_set1_pd(hi), h1 = h0;
    for (; i + 8 <= rows; i += 8) {
        const __m256d v = load4(a + i * stride, stride), w = load4(a + (i + 4) * stride, stride);
        l0 = _mm256_min_pd(v, l0);
        h0 = _mm256_max_pd(v, h0);
        l1 = _mm256_min_pd(w, l1);
        h1 = _mm256_max_pd(w, h1);
    }
    const Range r = fold(_mm256_min_pd(l0, l1), _mm256_max_pd(h0, h1));
    lo = r.lo;
    hi = r.hi;
#endif
    for (; i < rows; ++i) {
        const double v = a[i * stride];
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    return {lo, hi};
}

// Equal parts of a range of values, numbered 0 .. select_bins from its smallest value:
// the part of v is (v - lo) scale rounded down, with scale = select_bins / (hi - lo), and
// NaN falls in part select_bins + 1. Rounding never reverses the order of two values, so
// every value of a lower part is smaller than every value of a higher one.
struct Bins {
    double lo, scale;
    static constexpr unsigned nan_bin = select_bins + 1;
    static constexpr std::uint8_t no_part = 0xff;  // a part number no value has
    unsigned operator()(double v) const {
        return v == v ? static_cast<unsigned>((v - lo) * scale) : nan_bin;
    }
#if FK_AVX
    // NaN converts to INT_MIN, which the unsigned minimum moves to nan_bin.
    __m128i operator()(__m256d v) const {
        const __m256d x = _mm256_mul_pd(_mm256_sub_pd(v, _mm256_set1_pd(lo)),
                                        _mm256_set1_pd(scale));
        return _mm_min_epu32(_mm256_cvttpd_epi32(x), _mm_set1_epi32(nan_bin));
    }
#endif
};

// How many of the bytes p[0 .. len) are below t (1 <= t < 256; len a multiple of 16):
// sixteen at a time, each lane's count in a byte, summed before a byte could overflow.
inline std::size_t count_below(const std::uint8_t* p, std::size_t len, unsigned t) {
    const __m128i top = _mm_set1_epi8(static_cast<char>(t - 1));  // x < t: min(x, t - 1) == x
    std::size_t total = 0;
    for (std::size_t i = 0; i < len;) {
        const std::size_t end = std::min(len, i + 255 * 16);
        __m128i in = _mm_setzero_si128();
        for (; i < end; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            in = _mm_sub_epi8(in, _mm_cmpeq_epi8(_mm_min_epu8(x, top), x));
        }
        const __m128i sums = _mm_sad_epu8(in, _mm_setzero_si128());
        total += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    return total;
}

// Splits the range r into select_bins equal parts; false when it cannot be split: no two
// distinct values, or a width or a scale that is not finite. The bounds themselves are
// compared: with subnormal results flushed to zero (a mode some libraries set for the whole
// process), the width of a range of subnormal values is 0 as well, and its scale then
// infinite.
inline bool split(const Range& r, Bins& bins) {
    if (!(r.lo < r.hi)) return false;
    const double width = r.hi - r.lo;
    const double scale = static_cast<double>(select_bins) / width;
    if (!(width < std::numeric_limits<double>::infinity()) ||
        !(scale < std::numeric_limits<double>::infinity()))
        return false;
    bins = {r.lo, scale};
    return true;
}

// The range of the values in part j of the parts' bytes (see write_parts).
inline Range range_of_part(const double* a, std::size_t stride, std::size_t rows,
                           const std::uint8_t* parts, unsigned j) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    std::size_t i = 0;
#if FK_AVX
    // The values of other parts become NaN, which the minimum and maximum pass over (they
    // return their second operand when the first is NaN).
    const __m128i want = _mm_set1_epi8(static_cast<char>(j));
    const __m256d none = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
    __m256d l = _mm256_set1_pd(lo), h = _mm256_set1_pd(hi);
    for (; i + 4 <= rows; i += 4) {
        std::int32_t four;
        std::memcpy(&four, parts + i, sizeof four);
        const __m128i in = _mm_cvtepi8_epi32(_mm_cmpeq_epi8(_mm_cvtsi32_si128(four), want));
        const __m256d mask = _mm256_castsi256_pd(_mm256_insertf128_si256(
            _mm256_castsi128_si256(_mm_unpacklo_epi32(in, in)), _mm_unpackhi_epi32(in, in), 1));
        const __m256d v = select(mask, load4(a + i * stride, stride), none);
        l = _mm256_min_pd(v, l);
        h = _mm256_max_pd(v, h);
    }
    const Range r = fold(l, h);
    lo = r.lo;
    hi = r.hi;
#endif
    for (; i < rows; ++i) {
        const double v = a[i * stride];
        const bool in = parts[i] == j;
        lo = in && v < lo ? v : lo;
        hi = in && v > hi ? v : hi;
    }
    return {lo, hi};
}

// The parts of rows values a[0], a[stride], ... (NaN marks the missing ones), one byte per
// value in m beyond its first rows values (which a round's copy may write), padded to a
// multiple of sixteen with a part no value has; returns the number of bytes. Counting
// bytes against a bound, with no branch and no store, costs less than adding each value
// to a count of its part, whose increments wait on one another when values share a part.
// Narrowing, the bytes hold a round's parts already, and only the values of its part j
// get a part of the new range (which is that part's); every other value is taken out with
// the part of NaN.
template <bool Narrow>
std::size_t write_parts(const double* a, std::size_t stride, std::size_t rows, double* m,
                        const Bins& bins, unsigned j) {
    auto* const parts = reinterpret_cast<std::uint8_t*>(m + rows);
    std::size_t i = 0;
#if FK_AVX
    const __m128i kept = _mm_set1_epi8(static_cast<char>(j));
    const __m128i out = _mm_set1_epi8(static_cast<char>(Bins::nan_bin));
    for (; i + 8 <= rows; i += 8) {
        const __m128i w = _mm_packus_epi32(bins(load4(a + i * stride, stride)),
                                           bins(load4(a + (i + 4) * stride, stride)));
        __m128i p = _mm_packus_epi16(w, w);
        if (Narrow) {
            const __m128i was = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(parts + i));
            const __m128i in = _mm_cmpeq_epi8(was, kept);
            p = _mm_or_si128(_mm_and_si128(in, p), _mm_andnot_si128(in, out));
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(parts + i), p);
    }
#endif
    // A value outside the range is never converted: its part would not fit an integer.
    for (; i < rows; ++i)
        parts[i] = static_cast<std::uint8_t>(!Narrow || parts[i] == j ? bins(a[i * stride])
                                                                       : Bins::nan_bin);
    for (; i % 16 != 0; ++i) parts[i] = Bins::no_part;
    return i;
}

// The first passes of a binning round (see binned): the range r of the values, then their
// parts (write_parts). Returns the number of bytes, or 0 when the range cannot be split
// (the selection then goes by comparisons).
inline std::size_t part_bytes(const double* a, std::size_t stride, std::size_t rows, double* m,
                              Range& r, Bins& bins) {
    r = range_of(a, stride, rows);
    return split(r, bins) ? write_parts<false>(a, stride, rows, m, bins, 0) : 0;
}

// The valid values among the len part bytes that part_bytes left in m.
inline std::size_t valid_parts(const double* m, std::size_t rows, std::size_t len) {
    return count_below(reinterpret_cast<const std::uint8_t*>(m + rows), len, Bins::nan_bin);
}

template <bool Again = true>
Middle from_parts(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                  std::size_t k, double* m, double* b, std::size_t len, double scale);

// More than half of the n values lie in part j (of a round split by `scale` parts per unit
// of value), the k-th not the smallest of them: either many equal values (stale prices) or
// a few far values that stretch the range (one wrong price in a group of returns is
// enough). Equal values need no more work. Values that fill little of their part are
// split again in one more round (Again) over that part's own range, with the other values
// taken out; only when that does not shrink them either are they left to the plain
// selection, so that rounds always shrink. Values that fill their part (ties among values
// spread as widely as the others) go to it at once. True with the result in out when
// settled here. Seldom taken, so kept out of line, away from the common path's registers.
template <bool Again>
[[gnu::noinline]] bool crowded(const double* a, std::size_t stride, std::size_t rows,
                               std::size_t n, std::size_t k, double* m, double* b, double scale,
                               unsigned j, Middle& out) {
    const Range own = range_of_part(a, stride, rows, reinterpret_cast<std::uint8_t*>(m + rows), j);
    if (own.lo == own.hi) {
        out = {own.lo, own.lo};
        return true;
    }
    Bins within{};
    if (!Again || !((own.hi - own.lo) * scale < narrow_below) || !split(own, within)) return false;
    out = from_parts<false>(a, stride, rows, n, k, m, b,
                            write_parts<true>(a, stride, rows, m, within, j), within.scale);
    return true;
}

// The rest of a binning round, from the len part bytes that part_bytes left in m, split
// by `scale` parts per unit of value: the k-th smallest of the n valid values and the
// value before it. A round may narrow once more (Again; see crowded).
template <bool Again>
Middle from_parts(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                  std::size_t k, double* m, double* b, std::size_t len, double scale) {
    const auto* const parts = reinterpret_cast<const std::uint8_t*>(m + rows);
    // Part j holds the k-th: below(j) <= k < below(j + 1), with below(0) = 0 and
    // below(nan_bin) = n, NaN being the only part past the values'.
    unsigned j = 0, up = Bins::nan_bin;
    std::size_t below = 0, upto = n;
    while (up - j > 1) {
        const unsigned mid = (j + up) / 2;
        const std::size_t under = count_below(parts, len, mid);
        if (under <= k) {
            j = mid;
            below = under;
        } else {
            up = mid;
            upto = under;
        }
    }
    const std::size_t c = upto - below, kk = k - below;  // part j's values, the k-th's rank
    Middle out{};
    if (2 * c > n && kk > 0 && c > network_rows &&
        crowded<Again>(a, stride, rows, c, kk, m, b, scale, j, out))
        return out;
    std::size_t kept = 0;
    const __m128i want = _mm_set1_epi8(static_cast<char>(j));
    for (std::size_t i = 0; i < rows; i += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(parts + i));
        for (unsigned hit = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(p, want)));
             hit != 0; hit &= hit - 1)
            m[kept++] = a[(i + static_cast<unsigned>(__builtin_ctz(hit))) * stride];
    }
    if (kk == 0) {
        // The k-th is the smallest of its part; the one before it the largest below it.
        const double kth = *std::min_element(m, m + c);
        return {kth, max_below(a, stride, rows, kth)};
    }
    if (c <= network_rows) {
        networks<SortPrefix>[c - 1](m);
        return {m[kk], m[kk - 1]};
    }
    return 2 * c <= n ? select_kth(m, 1, c, c, kk, m + c, b) : select_middle(m, b, c, kk);
}

// One binning round for the k-th smallest of the n valid values among rows values
// a[0], a[stride], ... (NaN marks the others): one pass finds their range, one works out
// which of select_bins equal parts of it each value falls in, a byte per value; the part
// that holds the k-th is then found by halving the parts, counting the bytes below a part
// sixteen at a time, and its values are copied to m. The selection goes on within that
// part only. Each value is read three times; the only branch on the values is the one per
// value copied. False when the range or its scale is not finite (the selection then goes
// by comparisons). Scratch as for select_kth.
inline bool binned(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                   std::size_t k, double* m, double* b, Middle& out) {
    Range r;
    Bins bins{};
    const std::size_t len = part_bytes(a, stride, rows, m, r, bins);
    if (len > 0) {
        out = from_parts(a, stride, rows, n, k, m, b, len, bins.scale);
        return true;
    }
    if (r.lo != r.hi) return false;
    out = {r.lo, r.lo};  // all values equal
    return true;
}

}  // namespace detail

// Values drawn to bracket a selection, how far (in ranks of that sample) the bracket
// reaches to either side of where the wanted rank falls in it, and the fewest values
// worth a bracketing round: below that, counting all values into parts costs less than
// one pass that copies a fifth of them. The sample lives in the scratch of n values.
// The sample and its reach are not swept (a bracket that misses the rank costs its pass,
// and the binning round follows).
// min_bracket was measured when binning took over below it, ns per value: 500 values 3.1
// (bracket) -> 2.4 (binning), 1500: 2.8 -> 2.1; above it the bracket, its range then
// binned: 2457 values 1.46 -> 1.27, 10000: 1.8 -> 1.36. Bracketing from 1024 values on
// instead (same-process A/B, 1024 to 2047 values) took 1.1 to 2.5 times as long on
// ordinary, 10% NaN and five-valued data, half as long with 60% stale values.
constexpr std::size_t bracket_sample = 64;
constexpr double bracket_spread = 7.0;
constexpr std::size_t min_bracket = 2048;
static_assert(min_bracket >= 3 * bracket_sample, "the sample's scratch is one of n values");

namespace detail {

// One bracketing round for the k-th smallest of the n valid values among rows values
// a[0], a[stride], ... (NaN marks the others): two order statistics of an evenly spaced
// sample bound a range that should hold the k-th value; one pass counts the values
// below the range and copies those within it to m, and the selection goes on within
// that range only. False when the range misses the k-th value or the sample has too few
// values. Scratch as for select_kth.
inline bool bracketed(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                      std::size_t k, double* m, double* b, Middle& out) {
    constexpr std::size_t S = bracket_sample;
    double* smp = b;
    std::size_t s = 0;
    for (std::size_t i = 0; i < S; ++i) {
        const double v = a[(2 * i + 1) * rows / (2 * S) * stride];
        smp[s] = v;
        s += v == v ? 1 : 0;
    }
    if (s < S / 2) return false;
    const double at =
        (static_cast<double>(k) + 0.5) * static_cast<double>(s) / static_cast<double>(n);
    const double top = static_cast<double>(s - 2);
    const auto rl = static_cast<std::size_t>(std::clamp(at - bracket_spread, 1.0, top));
    const auto rh = static_cast<std::size_t>(std::clamp(at + bracket_spread, 1.0, top));
    // A selection leaves only part of the sample in its first buffer: a fresh copy each.
    std::copy(smp, smp + s, b + S);
    const double lo = select_middle(b + S, b + 2 * S, s, rl).kth;
    const double hi = select_middle(smp, b + 2 * S, s, rh).kth;
    // NaN fails every test.
    const auto [c, below] = compact(a, stride, rows, m, Within{lo, hi}, Below{lo});
    if (k < below || k - below >= c) return false;
    const std::size_t kk = k - below;
    if (kk > 0) {
        // A range no smaller than half of the values (ties) goes to the plain selection,
        // so that rounds always shrink.
        out = 2 * c <= n ? select_kth(m, 1, c, c, kk, m + c, b) : select_middle(m, b, c, kk);
        return true;
    }
    // The k-th is the smallest in the range; the one before it the largest below it.
    out.kth = *std::min_element(m, m + c);
    out.before = max_below(a, stride, rows, lo);
    return true;
}

}  // namespace detail

// The k-th smallest (0 < k < n) of the n valid values among rows values a[0], a[stride],
// ... (NaN marks the others), and the value ranked before it. m is scratch of 2 rows
// values, b of n; `a` is only read. Many values are first narrowed to a sampled range
// around the k-th (see detail::bracketed), fewer to one part of their range (see
// detail::binned), the rest selected exactly.
inline Middle select_kth(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                         std::size_t k, double* m, double* b) {
    Middle out{};
    if (n >= min_bracket && detail::bracketed(a, stride, rows, n, k, m, b, out)) return out;
    if (n >= min_binned && detail::binned(a, stride, rows, n, k, m, b, out)) return out;
    detail::compact(a, stride, rows, m, detail::Valid{}, detail::Never{});
    return select_middle(m, b, n, k);
}


namespace detail {

// network_median of R values a[0], a[stride], ... (NaN marks the missing ones).
template <std::size_t R>
struct StridedNetwork {
    static double run(const double* a, std::size_t stride, std::size_t n) {
        double s[R];
        for (std::size_t i = 0; i < R; ++i) {
            const double v = a[i * stride];
            s[i] = v == v ? v : std::numeric_limits<double>::infinity();
        }
        return network_median<R>(s, n);
    }
};

}  // namespace detail

// Median of the n valid values among the rows values a[0], a[stride], ... (NaN marks the
// others), NaN when there is none: the middle value, or for an even count the two middle
// values added, then halved (two huge values give an infinite median, inf with -inf NaN).
// Scratch as for select_kth (not touched for up to network_rows values). Equal values may
// differ only in the sign of a zero, so any exact selection gives the value a full sort
// would, up to that sign.
inline double median_of(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                        double* m, double* b) {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    if (rows <= network_rows) return networks<detail::StridedNetwork>[rows - 1](a, stride, n);
    if (n == 1) {
        std::size_t i = 0;
        while (a[i * stride] != a[i * stride]) ++i;
        return a[i * stride];
    }
    const Middle mid = select_kth(a, stride, rows, n, n / 2, m, b);
    return n % 2 == 1 ? mid.kth : (mid.kth + mid.before) * 0.5;
}

// Median of the valid values among a[0 .. rows) (NaN marks the others), as above, when
// their count is not known beforehand: a binning round finds it among the values' parts,
// where a pass of its own would otherwise count it. Scratch: m of 2 rows values, b of rows.
inline double median_of(const double* a, std::size_t rows, double* m, double* b) {
    if (rows >= min_binned && rows < min_bracket) {
        detail::Range r;
        detail::Bins bins{};
        const std::size_t len = detail::part_bytes(a, 1, rows, m, r, bins);
        if (len > 0) {
            const std::size_t n = detail::valid_parts(m, rows, len);
            const Middle mid = detail::from_parts(a, 1, rows, n, n / 2, m, b, len, bins.scale);
            return n % 2 == 1 ? mid.kth : (mid.kth + mid.before) * 0.5;
        }
    }
    return median_of(a, 1, rows, count_valid(a, rows), m, b);
}
