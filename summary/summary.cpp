// fundkernels._summary: the classic statistics of every fund, over its valid returns, in
// one read of the matrix.
//
// A worker takes a block of eight adjacent columns at a time and walks its rows once. On
// the way, the compounded value and its deepest drawdown are followed for the eight
// columns side by side (their state lives in AVX registers), and the block's values are
// laid apart, column by column, into a buffer of the worker that stays in cache. (A
// row-major matrix is first gathered that way a panel of several blocks at a time, whole
// stretches of rows read in order, and its blocks are walked from the buffer.) Each
// column's remaining statistics then come from its own values there: they are compacted
// (missing values left out, positive ones counted), summed with compensation for the
// mean, summed again as deviations from that mean for the spread, skew, kurtosis and
// downside, and the 5% quantile is selected by the shared selection. Every column runs the
// same operations in the same order whatever the layout, the block it falls in or the
// thread that takes it, so results are the same bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "fanout.hpp"
#include "frame.hpp"
#include "select.hpp"
#include "summary_lanes.hpp"

using v::vec;

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Columns per block: two vectors of four.
constexpr int L = 8;
constexpr int V = L / 4;

// Rows ahead whose stretch of a row-major block is asked for while a row is read: the
// stretches lie a whole row apart, which the hardware's own prefetch does not follow.
constexpr std::int64_t ahead = 32;

// Work per element, in single passes, for the worker count: the read and the walk, the
// values laid apart and compacted, the two sums, and the selection's share.
constexpr std::uint64_t summary_work = 4;

// The quantile of the value at risk.
constexpr double tail_share = 0.05;

// --- the deepest drawdown, four columns per vector ----------------------------------------

// The value compounded from 1.0 (a missing return keeps it), its running peak (raised only
// by a strictly greater value, the starting 1.0 at row -1) and the deepest drawdown so
// far: the lowest value / peak of any row, the earliest of equal ones, with the row that
// set its peak, its own row and the first later row whose value regains that peak. Rows
// are doubles (exact for any row count): -1 for none. The recovery row is -2 while there
// is no drawdown and -1 while the deepest one is open.
struct Deepest {
    vec acc, top, top_row, low, peak, peak_row, trough, rec;

    Deepest() {
        const vec one = v::set1_pd(1.0), none = v::set1_pd(-1.0);
        acc = top = low = peak = one;
        top_row = peak_row = trough = none;
        rec = v::set1_pd(-2.0);
    }

    void row(vec v, vec r) {
        const vec one = v::set1_pd(1.0);
        const vec vp = v::add_pd(v, one);  // NaN only where v is
        const vec a = v::mul_pd(acc, v::select(v::cmp_pd(vp, vp, v::ORD_Q), vp, one));
        const vec higher = v::cmp_pd(a, top, v::GT_OQ);
        top = v::select(higher, a, top);
        top_row = v::select(higher, r, top_row);
        // A deeper row is below its peak, so it never recovers on the row it sets; the
        // recovery is settled with the peak held before this row (a row that regains it
        // cannot be deeper).
        const vec open = v::cmp_pd(rec, v::set1_pd(-1.0), v::EQ_OQ);
        const vec back = v::and_pd(open, v::cmp_pd(a, peak, v::GE_OQ));
        rec = v::select(back, r, rec);
        acc = a;
        // a / top < low only where a lies below low * top, give or take a few roundings: a
        // division (costlier than the rest of the row together) is needed only for rows
        // that come near the deepest drawdown so far, and those are few. The margin, 2^-50
        // of the product and a tiny absolute one, covers the roundings of the product and
        // of the quotient; a NaN or infinite bound leaves the row to the division.
        const vec bound = v::mul_pd(low, top);
        const vec sign = v::set1_pd(-0.0);
        const vec margin = v::add_pd(v::mul_pd(v::andnot_pd(sign, bound),
                                                           v::set1_pd(0x1p-50)),
                                             v::set1_pd(0x1p-1000));
        const vec near = v::andnot_pd(
            v::cmp_pd(a, v::add_pd(bound, margin), v::GT_OQ),
            v::cmp_pd(a, top, v::LT_OQ));
        if (v::movemask_pd(near) == 0) return;
        const vec q = v::div_pd(a, top);
        const vec deeper = v::cmp_pd(q, low, v::LT_OQ);
        low = v::select(deeper, q, low);
        peak = v::select(deeper, top, peak);
        peak_row = v::select(deeper, top_row, peak_row);
        trough = v::select(deeper, r, trough);
        rec = v::select(deeper, v::set1_pd(-1.0), rec);
    }
};

// A block's drawdown state, spilled lane by lane.
struct DeepestLanes {
    double acc[L], low[L], peak_row[L], trough[L], rec[L];
};

// --- a worker's block: one walk over its rows ---------------------------------------------

// Walks the rows of the block of columns c0 .. c0 + width - 1 once and feeds every row to
// the drawdown state; Store: also writes column j's values to apart[j * D .. j * D + D).
// Lanes beyond the matrix read NaN. A block of contiguous columns is read four rows at a
// time and turned by 4 x 4 transposes; any other layout value by value.
template <bool Store>
void walk(const fk::Matrix& m, std::int64_t c0, std::int64_t width, double* apart,
          DeepestLanes& out) {
    const std::int64_t D = m.rows;
    Deepest s[V];
    std::int64_t r = 0;
    if (width == L && m.rs == 1) {
        const vec step = v::set1_pd(1.0);
        vec rv = v::setzero_pd();
        for (; r + 4 <= D; r += 4) {
            for (int b = 0; b < V; ++b) {
                vec x[4], t[4];
                for (int q = 0; q < 4; ++q) {
                    x[q] = v::loadu_pd(m.col(c0 + 4 * b + q) + r);
                    if (Store) v::storeu_pd(apart + (4 * b + q) * D + r, x[q]);
                }
                v::transpose4(x[0], x[1], x[2], x[3], t);
                vec ri = rv;
                for (int i = 0; i < 4; ++i) {
                    s[b].row(t[i], ri);
                    ri = v::add_pd(ri, step);
                }
            }
            rv = v::add_pd(rv, v::set1_pd(4.0));
        }
    }
    double rd = static_cast<double>(r);  // r as a double, counted beside it
    for (; r < D; ++r, rd += 1.0) {
        alignas(32) double v[L];
        for (int j = 0; j < L; ++j) {
            v[j] = j < width ? m.data[r * m.rs + (c0 + j) * m.cs] : NaN;
            if (Store) apart[j * D + r] = v[j];
        }
        const vec at = v::set1_pd(rd);
        for (int b = 0; b < V; ++b) s[b].row(v::load_pd(v + 4 * b), at);
    }
    for (int b = 0; b < V; ++b) {
        v::storeu_pd(out.acc + 4 * b, s[b].acc);
        v::storeu_pd(out.low + 4 * b, s[b].low);
        v::storeu_pd(out.peak_row + 4 * b, s[b].peak_row);
        v::storeu_pd(out.trough + 4 * b, s[b].trough);
        v::storeu_pd(out.rec + 4 * b, s[b].rec);
    }
}

// Bytes of a worker's buffer for the columns of a row-major panel: the panel stays in the
// second-level cache while its columns are walked and summarised.
constexpr std::int64_t panel_bytes = 1 << 20;

// Copies the columns c0 .. c0 + width - 1 of a row-major matrix to apart, column j at
// apart[j * D]: whole rows of the panel are read in order (the hardware prefetch is asked
// for the rows further on, which lie a whole row apart), four rows by four columns at a
// time turned by 4 x 4 transposes.
void gather_rows(const fk::Matrix& m, std::int64_t c0, std::int64_t width, double* apart) {
    const std::int64_t D = m.rows;
    const std::int64_t wide = width / 4 * 4;
    std::int64_t r = 0;
    for (; r + 4 <= D; r += 4) {
        const double* src = m.data + r * m.rs + c0;
        if (r + ahead + 4 <= D)
            for (int i = 0; i < 4; ++i)
                for (std::int64_t j = 0; j < width; j += 8)
                    __builtin_prefetch(src + (ahead + i) * m.rs + j);
        for (std::int64_t j = 0; j < wide; j += 4) {
            vec t[4];
            v::transpose4(v::loadu_pd(src + j), v::loadu_pd(src + m.rs + j),
                           v::loadu_pd(src + 2 * m.rs + j), v::loadu_pd(src + 3 * m.rs + j), t);
            for (int q = 0; q < 4; ++q) v::storeu_pd(apart + (j + q) * D + r, t[q]);
        }
        for (std::int64_t j = wide; j < width; ++j)
            for (int i = 0; i < 4; ++i) apart[j * D + r + i] = src[i * m.rs + j];
    }
    for (; r < D; ++r)
        for (std::int64_t j = 0; j < width; ++j) apart[j * D + r] = m.data[r * m.rs + c0 + j];
}

// --- one column's statistics from its compacted values ------------------------------------

// s + x as a rounded sum and its exact rounding error (branch-free: no test of which
// operand is larger).
inline vec two_sum(vec s, vec x, vec& err) {
    const vec t = v::add_pd(s, x);
    const vec z = v::sub_pd(t, s);
    err = v::add_pd(v::sub_pd(s, v::sub_pd(t, z)), v::sub_pd(x, z));
    return t;
}

inline double two_sum(double s, double x, double& err) {
    const double t = s + x;
    const double z = t - s;
    err = (s - (t - z)) + (x - z);
    return t;
}

// The four lanes of a, combined in a fixed order: (a0 + a1) + (a2 + a3).
inline double fold(vec a) {
    alignas(32) double l[4];
    v::store_pd(l, a);
    return (l[0] + l[1]) + (l[2] + l[3]);
}

// Four values of x from i on, lanes past n as `pad` (i < n).
inline vec load_part(const double* x, std::size_t i, std::size_t n, double pad) {
    alignas(32) double v[4] = {pad, pad, pad, pad};
    for (std::size_t q = 0; q < 4 && i + q < n; ++q) v[q] = x[i + q];
    return v::load_pd(v);
}

// Sum of x[0 .. n) in four lanes (lane q takes the values i = q mod 4, in order), each
// carrying its rounding errors beside it, and the smallest and largest value. The lanes'
// sums and errors meet as two-sums in a fixed order: the sum is good to about one rounding
// of the result, however much its terms cancel.
struct Totals {
    double sum, lo, hi;
};

Totals totals(const double* x, std::size_t n) {
    vec s = v::setzero_pd(), c = s;
    vec lo = v::set1_pd(std::numeric_limits<double>::infinity());
    vec hi = v::set1_pd(-std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < n; i += 4) {
        const vec v = i + 4 <= n ? v::loadu_pd(x + i) : load_part(x, i, n, 0.0);
        vec e;
        s = two_sum(s, v, e);
        c = v::add_pd(c, e);
        const vec w = i + 4 <= n ? v : load_part(x, i, n, x[0]);
        lo = v::min_pd(w, lo);
        hi = v::max_pd(w, hi);
    }
    alignas(32) double sl[4], cl[4], ll[4], hl[4];
    v::store_pd(sl, s);
    v::store_pd(cl, c);
    v::store_pd(ll, lo);
    v::store_pd(hl, hi);
    double e01, e23, e;
    const double s01 = two_sum(sl[0], sl[1], e01);
    const double s23 = two_sum(sl[2], sl[3], e23);
    const double top = two_sum(s01, s23, e);
    const double err = e + ((cl[0] + cl[1] + e01) + (cl[2] + cl[3] + e23));
    double least = ll[0], most = hl[0];
    for (int q = 1; q < 4; ++q) {
        least = std::min(least, ll[q]);
        most = std::max(most, hl[q]);
    }
    return {top + err, least, most};
}

// Sums of the powers 1 to 4 of the deviations d = x - mean, and of min(x - f, 0)^2, in four
// lanes (as in totals), lanes combined as in fold.
struct Powers {
    double s1, s2, s3, s4, down;
};

Powers powers(const double* x, std::size_t n, double mean, double f) {
    const vec mu = v::set1_pd(mean), fv = v::set1_pd(f);
    const vec zero = v::setzero_pd();
    vec s1 = zero, s2 = zero, s3 = zero, s4 = zero, dn = zero;
    for (std::size_t i = 0; i < n; i += 4) {
        // Padding lanes hold the mean and f: their deviations and shortfalls are 0.
        const vec v = i + 4 <= n ? v::loadu_pd(x + i) : load_part(x, i, n, mean);
        const vec d = v::sub_pd(v, mu);
        const vec d2 = v::mul_pd(d, d);
        s1 = v::add_pd(s1, d);
        s2 = v::add_pd(s2, d2);
        s3 = v::add_pd(s3, v::mul_pd(d2, d));
        s4 = v::add_pd(s4, v::mul_pd(d2, d2));
        const vec w = i + 4 <= n ? v : load_part(x, i, n, f);
        const vec e = v::min_pd(v::sub_pd(w, fv), zero);
        dn = v::add_pd(dn, v::mul_pd(e, e));
    }
    return {fold(s1), fold(s2), fold(s3), fold(s4), fold(dn)};
}

// Sum and count of the values of x[0 .. n) at or below t, lanes as in powers.
struct Tail {
    double sum, count;
};

Tail tail(const double* x, std::size_t n, double t) {
    const vec tv = v::set1_pd(t), zero = v::setzero_pd(), one = v::set1_pd(1.0);
    vec s = zero, c = zero;
    for (std::size_t i = 0; i < n; i += 4) {
        // Padding lanes are NaN: never at or below t.
        const vec v = i + 4 <= n ? v::loadu_pd(x + i) : load_part(x, i, n, NaN);
        const vec in = v::cmp_pd(v, tv, v::LE_OQ);
        s = v::add_pd(s, v::and_pd(in, v));
        c = v::add_pd(c, v::and_pd(in, one));
    }
    return {fold(s), fold(c)};
}

// The results of all columns.
struct Results {
    std::vector<std::int64_t> n, hits, peak, trough, recovery;
    std::vector<double> value, mean, std, skew, kurt, downside, best, worst, depth, var, cvar;

    explicit Results(std::size_t C)
        : n(C, 0), hits(C, 0), peak(C, -1), trough(C, -1), recovery(C, -1), value(C, NaN),
          mean(C, NaN), std(C, NaN), skew(C, NaN), kurt(C, NaN), downside(C, NaN), best(C, NaN),
          worst(C, NaN), depth(C, NaN), var(C, NaN), cvar(C, NaN) {}
};

// The 5% quantile of the n sorted values whose k-th and (k + 1)-th smallest are lo and hi
// (k = floor((n - 1) 0.05); for one value both are it), interpolated linearly as NumPy's
// default does it: from the nearer end.
double quantile(std::size_t n, double lo, double hi) {
    const double at = static_cast<double>(n - 1) * tail_share;
    // A single value is the last one, which NumPy reaches with a weight of 1 from it.
    const double g = n == 1 ? 1.0 : at - std::floor(at);
    const double diff = hi - lo;
    return g >= 0.5 ? hi - diff * (1.0 - g) : lo + diff * g;
}

// Column c's statistics from its D values in col (NaN marks the missing ones), with the
// drawdown found by the walk. x: scratch of D values, sel: 3 D for the selection.
void column(const double* col, std::int64_t D, double f, double low, double peak_row,
            double trough, double rec, double value, double* x, double* sel, std::size_t c,
            Results& res) {
    const auto counts = fk::detail::compact(col, 1, static_cast<std::size_t>(D), x,
                                            fk::detail::Valid{}, fk::detail::Above{0.0});
    const std::size_t n = counts.kept;
    res.n[c] = static_cast<std::int64_t>(n);
    res.hits[c] = static_cast<std::int64_t>(counts.tallied);
    if (n == 0) return;  // NaN and -1 stay
    const double nd = static_cast<double>(n);
    res.value[c] = value;
    // No row below its peak: no drawdown, a depth of 0 and no dates.
    res.depth[c] = low - 1.0;
    if (trough >= 0.0) {
        res.peak[c] = static_cast<std::int64_t>(peak_row);
        res.trough[c] = static_cast<std::int64_t>(trough);
        res.recovery[c] = rec >= 0.0 ? static_cast<std::int64_t>(rec) : -1;
    }
    // Adding 0.0 makes a zero +0.0: which of equal values of either sign a selection or a
    // running extreme keeps depends on their order, and a result should not.
    const Totals t = totals(x, n);
    const double best = t.hi + 0.0, worst = t.lo + 0.0;
    res.best[c] = best;
    res.worst[c] = worst;
    // Constant returns have no spread at all; their mean is the value itself, however the
    // sum of n copies rounds.
    const bool flat = worst == best;
    const double mean = flat ? worst : t.sum / nd;
    res.mean[c] = mean;
    const Powers p = powers(x, n, mean, f);
    res.downside[c] = std::sqrt(p.down / nd);
    // Central sums about the exact mean, mean + delta, from the sums about the rounded one.
    const double delta = p.s1 / nd;
    // Rounding may leave the sum of squares a hair below zero; NaN (from infinite
    // returns) goes through.
    const double m2_raw = p.s2 - p.s1 * delta;
    const double m2 = flat || m2_raw < 0.0 ? 0.0 : m2_raw;
    const double m3 = flat ? 0.0 : p.s3 - 3.0 * delta * p.s2 + 2.0 * nd * delta * delta * delta;
    const double m4 = flat ? 0.0
                           : p.s4 - 4.0 * delta * p.s3 + 6.0 * delta * delta * p.s2 -
                                 3.0 * nd * delta * delta * delta * delta;
    // Bias-corrected as the usual sample estimators; a zero spread leaves 0 / 0.
    if (n >= 2) res.std[c] = std::sqrt(m2 / (nd - 1.0));
    if (n >= 3) res.skew[c] = nd * std::sqrt(nd - 1.0) / (nd - 2.0) * (m3 / (m2 * std::sqrt(m2)));
    if (n >= 4)
        res.kurt[c] = (nd + 1.0) * nd * (nd - 1.0) * m4 / ((nd - 2.0) * (nd - 3.0) * (m2 * m2)) -
                      3.0 * (nd - 1.0) * (nd - 1.0) / ((nd - 2.0) * (nd - 3.0));
    double lo = x[0], hi = x[0];
    if (n >= 2) {
        const std::size_t k = static_cast<std::size_t>(std::floor(static_cast<double>(n - 1) * tail_share));
        const fk::Middle mid = fk::select_kth(x, 1, n, n, k + 1, sel, sel + 2 * n);
        lo = mid.before;
        hi = mid.kth;
    }
    const double q = quantile(n, lo, hi) + 0.0;
    res.var[c] = q;
    const Tail tl = tail(x, n, q);
    res.cvar[c] = tl.sum / tl.count;
}

py::tuple summary(fk::f64_array returns, double f) {
    const fk::Matrix m = fk::matrix_arg(returns, "the returns matrix");
    const auto C = static_cast<std::size_t>(m.cols);
    const std::int64_t D = m.rows;
    Results res(C);
    const std::int64_t blocks = (m.cols + L - 1) / L;
    // A row-major matrix goes to the workers in panels of adjacent blocks, each gathered
    // into the worker's buffer first; any other, block by block.
    const bool rows_first = m.cs == 1 && m.rs != 1;
    const std::int64_t per =
        rows_first ? std::clamp<std::int64_t>(panel_bytes / (8 * L * std::max<std::int64_t>(D, 1)), 1, 16) : 1;
    const std::int64_t panels = (blocks + per - 1) / per;
    if (D > 0 && blocks > 0) {
        fk::fan_out(static_cast<std::uint64_t>(panels), [&](std::uint64_t t, std::uint64_t n_th) {
            // A worker's scratch, from the heap (see horizonret): the panel's columns laid
            // apart, one column's valid values and the selection's buffers.
            const auto Dz = static_cast<std::size_t>(D);
            const std::unique_ptr<double[]> apart(new double[Dz * static_cast<std::size_t>(L * per)]);
            const std::unique_ptr<double[]> x(new double[Dz]);
            const std::unique_ptr<double[]> sel(new double[3 * Dz]);
            for (auto p = static_cast<std::int64_t>(t); p < panels; p += static_cast<std::int64_t>(n_th)) {
                const std::int64_t p0 = p * per * L;
                const std::int64_t p_width = std::min<std::int64_t>(per * L, m.cols - p0);
                if (rows_first) gather_rows(m, p0, p_width, apart.get());
                const fk::Matrix own{apart.get(), D, p_width, 1, D};
                for (std::int64_t c0 = p0; c0 < p0 + p_width; c0 += L) {
                    const std::int64_t width = std::min<std::int64_t>(L, m.cols - c0);
                    double* block = apart.get() + (c0 - p0) * D;
                    DeepestLanes dd;
                    if (rows_first)
                        walk<false>(own, c0 - p0, width, nullptr, dd);
                    else
                        walk<true>(m, c0, width, block, dd);
                    for (std::int64_t j = 0; j < width; ++j)
                        column(block + j * D, D, f, dd.low[j], dd.peak_row[j], dd.trough[j],
                               dd.rec[j], dd.acc[j], x.get(), sel.get(),
                               static_cast<std::size_t>(c0 + j), res);
                }
            }
        }, summary_work * fk::element_reads(m));
    }
    return fk::tuple_of(fk::to_numpy(res.n), fk::to_numpy(res.value), fk::to_numpy(res.mean),
                        fk::to_numpy(res.std), fk::to_numpy(res.skew), fk::to_numpy(res.kurt),
                        fk::to_numpy(res.downside), fk::to_numpy(res.best),
                        fk::to_numpy(res.worst), fk::to_numpy(res.hits),
                        fk::to_numpy(res.depth), fk::to_numpy(res.peak),
                        fk::to_numpy(res.trough), fk::to_numpy(res.recovery),
                        fk::to_numpy(res.var), fk::to_numpy(res.cvar));
}

}  // namespace

PYBIND11_MODULE(_summary, m) {
    m.def("summary", &summary, py::arg("returns"), py::arg("risk_free"),
          "The statistics of every fund over its valid returns, given the risk-free return "
          "per period: (periods, value, mean, std, skew, kurtosis, downside, best, worst, hits, "
          "depth, peak, trough, recovery, var, cvar)");
}
