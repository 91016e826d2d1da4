// Selection of an order statistic together with the value ranked just before it, which
// an even count's median needs as well, and the median built on it. Branch-free
// partitioning: values are as good as random, so a branch on a comparison would be
// mispredicted half the time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <utility>

#ifdef __AVX__
#include <immintrin.h>
#endif

namespace fk {

// The k-th smallest of a multiset and the largest value ranked before it.
struct Middle {
    double kth;
    double before;
};

// Copies src[lo..hi) into dst[lo..hi): the values that `keep_front` accepts to the front,
// the others to the back, and returns where the others begin. Neither a branch nor a load
// waits for the comparison: every value is written to both ends, and the next value simply
// overwrites the wrong one.
template <class Pred>
std::size_t split_copy(const double* src, double* dst, std::size_t lo, std::size_t hi,
                       Pred keep_front) {
    std::size_t n_front = 0;
    for (std::size_t j = 0; j < hi - lo; ++j) {
        const double v = src[lo + j];
        dst[lo + n_front] = v;
        dst[hi - 1 - j + n_front] = v;
        n_front += keep_front(v) ? 1 : 0;
    }
    return lo + n_front;
}

// Selection of the k-th smallest of a[0..n), 0 < k < n, no NaN; `a` and `b` are scratch of
// n values each and both are overwritten. Quickselect around a median of three, each round
// copying the live range from one buffer into the other. The value ranked before k is the
// previous one in the final sorted range, unless k sits at that range's front: then it is
// the largest of the values last left behind below it, all of which are smaller than what
// stays. When a round leaves nothing below the pivot, the run of values equal to the pivot
// is split off, so that ties cannot stall the selection; the standard library's selection
// takes over should the pivots keep coming out badly anyway.
inline Middle select_middle(double* a, double* b, std::size_t n, std::size_t k) {
    double* src = a;
    double* dst = b;
    std::size_t lo = 0, hi = n;  // the k-th smallest lies in src[lo..hi)
    double before = std::numeric_limits<double>::quiet_NaN();     // valid once k == lo
    for (int budget = 64; hi - lo > 16; --budget) {
        if (budget == 0) {
            std::nth_element(src + lo, src + k, src + hi);
            if (k > lo) before = *std::max_element(src + lo, src + k);
            return {src[k], before};
        }
        const double x = src[lo], y = src[lo + (hi - lo) / 2], z = src[hi - 1];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        const std::size_t mid =
            split_copy(src, dst, lo, hi, [pivot](double v) { return v < pivot; });
        std::swap(src, dst);
        if (k < mid) {
            hi = mid;
            continue;
        }
        if (mid > lo) {
            if (k == mid) before = *std::max_element(src + lo, src + mid);
            lo = mid;
            continue;
        }
        // The pivot is the smallest value of the range: take off the run equal to it.
        const std::size_t above =
            split_copy(src, dst, lo, hi, [pivot](double v) { return !(pivot < v); });
        std::swap(src, dst);
        if (k < above) return {pivot, k > lo ? pivot : before};
        before = pivot;
        lo = above;
    }
    // Short range: insertion sort.
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const double v = src[i];
        std::size_t j = i;
        for (; j > lo && v < src[j - 1]; --j) src[j] = src[j - 1];
        src[j] = v;
    }
    return {src[k], k > lo ? src[k - 1] : before};
}

// Values drawn to bracket a selection, how far (in ranks of that sample) the bracket
// reaches to either side of where the wanted rank falls in it, and the fewest values
// worth a bracketing round.
constexpr std::size_t bracket_sample = 64;
constexpr double bracket_spread = 7.0;
constexpr std::size_t min_bracket = 4 * bracket_sample;

Middle select_kth(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                  std::size_t k, double* m, double* b);

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
    // Every value is written to m, and only those within [lo, hi] advance the count: no
    // branch waits on a comparison. NaN fails every test.
    std::size_t below = 0, c = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const double v = a[i * stride];
        m[c] = v;
        c += ((v >= lo) & (v <= hi)) ? 1 : 0;
        below += v < lo ? 1 : 0;
    }
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
    out.before = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < rows; ++i) {
        const double v = a[i * stride];
        out.before = v < lo && v > out.before ? v : out.before;
    }
    return true;
}

}  // namespace detail

// The k-th smallest (0 < k < n) of the n valid values among rows values a[0], a[stride],
// ... (NaN marks the others), and the value ranked before it. m is scratch of 2 rows
// values, b of max(n, 3 bracket_sample); `a` is only read. Many values are first narrowed
// to a bracket around the k-th (see detail::bracketed), the rest selected exactly.
inline Middle select_kth(const double* a, std::size_t stride, std::size_t rows, std::size_t n,
                         std::size_t k, double* m, double* b) {
    Middle out{};
    if (n >= min_bracket && detail::bracketed(a, stride, rows, n, k, m, b, out)) return out;
    std::size_t c = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const double v = a[i * stride];
        m[c] = v;
        c += v == v ? 1 : 0;
    }
    return select_middle(m, b, n, k);
}

// Rows up to which a median is taken by a sorting network rather than a selection: for a
// few values the selection's copy rounds, insertion sort and calls cost several times
// the comparisons themselves.
constexpr std::size_t network_rows = 16;

// The compare-exchange of a sorting network: the smaller and the larger of two values that
// are not NaN (the standard library's choice between equal ones). Each lane of a vector of
// four is sorted on its own, with the same choices as the scalar network.
inline double net_lo(double a, double b) { return std::min(a, b); }
inline double net_hi(double a, double b) { return std::max(a, b); }
#ifdef __AVX__
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

}  // namespace fk
