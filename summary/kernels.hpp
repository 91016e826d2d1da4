// The summary's kernels, read once per instruction set (common/each_path.hpp) inside the
// path's namespace: the four-lane vectors, the shared selection and the walk over a block.
#include "select.hpp"
#include "summary_lanes.hpp"

using v::vec;

// --- the deepest drawdown, four columns per vector ----------------------------------------

// The value compounded from 1.0 (a missing return keeps it), its running peak (raised only
// by a strictly greater value, the starting 1.0 at row -1) and the deepest drawdown so
// far: the lowest value / peak of any row, the earliest of equal ones, with the row that
// set its peak, its own row and the first later row whose value regains that peak. Rows
// are doubles (exact for any row count): -1 for none. The recovery row is -2 while there
// is no drawdown and +inf while the deepest one is open.
//
// Most rows only compound the value and follow the peak, in a few operations each: a
// lane's running extremes and rows are kept by max and min, which return their second
// operand when the first is NaN, against a row number turned NaN (all bits set) where the
// condition fails, and rows only increase. A division is needed only for rows that come
// near the deepest drawdown so far, and those are few (see near).
struct Deepest {
    vec acc, top, top_row, low, low_up, peak, peak_row, trough, rec;

    Deepest() {
        const vec one = v::set1_pd(1.0), none = v::set1_pd(-1.0);
        acc = top = low = low_up = peak = one;
        top_row = peak_row = trough = none;
        rec = v::set1_pd(-2.0);
    }

    void row(vec v, vec r) {
        // A missing return becomes 0, whose 1 + 0 keeps the value as it is.
        const vec a = v::mul_pd(acc, v::add_pd(v::and_pd(v::cmp_pd(v, v, v::ORD_Q), v),
                                               v::set1_pd(1.0)));
        top_row = v::max_pd(v::or_pd(v::cmp_pd(a, top, v::NGT_UQ), r), top_row);
        top = v::max_pd(a, top);
        // The first row that regains the peak of an open drawdown (+inf): min keeps an
        // earlier recovery, and -2 while there is none. A deeper row is below its peak, so
        // it never recovers on the row it sets; the recovery is settled with the peak held
        // before this row (a row that regains it cannot be deeper).
        rec = v::min_pd(v::or_pd(v::cmp_pd(a, peak, v::NGE_UQ), r), rec);
        acc = a;
        // a / top < low (rounded) implies a < top * low exactly, and then a <= top *
        // low_up as rounded, low_up being low raised by 2^-48 of itself and 2^-1000 (more
        // than the roundings of the raise and of the product; top >= 1). Rows that pass
        // are few, and only they pay for a division. A NaN value passes no test, an
        // infinite one (or peak) leaves the row to the division.
        if (v::movemask_pd(v::cmp_pd(a, v::mul_pd(top, low_up), v::LE_OQ)) == 0) return;
        const vec q = v::div_pd(a, top);
        const vec deeper = v::cmp_pd(q, low, v::LT_OQ);
        low = v::select(deeper, q, low);
        peak = v::select(deeper, top, peak);
        peak_row = v::select(deeper, top_row, peak_row);
        trough = v::select(deeper, r, trough);
        rec = v::select(deeper, v::set1_pd(std::numeric_limits<double>::infinity()), rec);
        const vec size = v::andnot_pd(v::set1_pd(-0.0), low);
        low_up = v::add_pd(low, v::add_pd(v::mul_pd(size, v::set1_pd(0x1p-48)),
                                          v::set1_pd(0x1p-1000)));
    }
};

// A block's drawdown state, spilled lane by lane.
struct DeepestLanes {
    double acc[L], low[L], peak_row[L], trough[L], rec[L];
};

// --- a worker's block: one walk over its rows ---------------------------------------------

// Walks the rows of the block of columns c0 .. c0 + width - 1 once and feeds every row to
// the drawdown state, whose four lanes stay in registers; Store: also writes column j's
// values to apart[j * D .. j * D + D). Lanes beyond the matrix read NaN. Four contiguous
// columns are read four rows at a time and turned by a 4 x 4 transpose; four adjacent
// columns of a row-major matrix are one vector per row (the copy apart turned by the
// transpose), the rows further on asked for ahead across `reach` columns from c0, as they
// lie a whole row apart, which the hardware's own prefetch does not follow; any other
// layout is read value by value.
template <bool Store>
void walk(const fk::Matrix& m, std::int64_t c0, std::int64_t width, std::int64_t reach, double* apart,
          DeepestLanes& out) {
    const std::int64_t D = m.rows;
    Deepest s;
    std::int64_t r = 0;
    const vec step = v::set1_pd(1.0);
    vec rv = v::setzero_pd();  // r, lane by lane
    if (width == L && m.rs == 1) {
        for (; r + 4 <= D; r += 4) {
            vec x[4], t[4];
            for (int q = 0; q < 4; ++q) {
                x[q] = v::loadu_pd(m.col(c0 + q) + r);
                if (Store) v::storeu_pd(apart + q * D + r, x[q]);
            }
            v::transpose4(x[0], x[1], x[2], x[3], t);
            for (int i = 0; i < 4; ++i) {
                s.row(t[i], rv);
                rv = v::add_pd(rv, step);
            }
        }
    } else if (width == L && m.cs == 1) {
        for (; r + 4 <= D; r += 4) {
            const double* src = m.data + r * m.rs + c0;
            if (r + ahead + 4 <= D)
                for (int i = 0; i < 4; ++i) {
                    const double* at = src + (ahead + i) * m.rs;
                    for (std::int64_t j = 0; j < reach; j += 8) __builtin_prefetch(at + j);
                    __builtin_prefetch(at + reach - 1);
                }
            vec x[4];
            for (int i = 0; i < 4; ++i) {
                x[i] = v::loadu_pd(src + i * m.rs);
                s.row(x[i], rv);
                rv = v::add_pd(rv, step);
            }
            if (Store) {
                vec t[4];
                v::transpose4(x[0], x[1], x[2], x[3], t);
                for (int q = 0; q < 4; ++q) v::storeu_pd(apart + q * D + r, t[q]);
            }
        }
    }
    for (; r < D; ++r) {
        alignas(32) double v[L];
        for (int j = 0; j < L; ++j) {
            v[j] = j < width ? m.data[r * m.rs + (c0 + j) * m.cs] : NaN;
            if (Store) apart[j * D + r] = v[j];
        }
        s.row(v::load_pd(v), rv);
        rv = v::add_pd(rv, step);
    }
    v::storeu_pd(out.acc, s.acc);
    v::storeu_pd(out.low, s.low);
    v::storeu_pd(out.peak_row, s.peak_row);
    v::storeu_pd(out.trough, s.trough);
    v::storeu_pd(out.rec, s.rec);
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
// of the result, however much its terms cancel. On the way, the values at or below
// `bound` are copied to low, in order (slots past them may be overwritten, up to n in
// all), and counted.
struct Totals {
    double sum, lo, hi;
    std::size_t below;
};

Totals totals(const double* x, std::size_t n, double bound, double* low) {
    vec s = v::setzero_pd(), c = s;
    vec lo = v::set1_pd(std::numeric_limits<double>::infinity());
    vec hi = v::set1_pd(-std::numeric_limits<double>::infinity());
    const vec b = v::set1_pd(bound);
    std::size_t kept = 0, i = 0;
    // v: four values; w: the same, padded with a value of x for the extremes.
    const auto add = [&](vec v, vec w) {
        vec e;
        s = two_sum(s, v, e);
        c = v::add_pd(c, e);
        lo = v::min_pd(w, lo);
        hi = v::max_pd(w, hi);
    };
    for (; i + 4 <= n; i += 4) {
        const vec v = v::loadu_pd(x + i);
        add(v, v);
        const int k = v::movemask_pd(v::cmp_pd(v, b, v::LE_OQ));
#if FK_AVX
        // The kept values of each pair moved to its front, no branch on the data.
        kept += detail::store_kept(low + kept, _mm256_castpd256_pd128(v), k & 3);
        kept += detail::store_kept(low + kept, _mm256_extractf128_pd(v, 1), k >> 2);
#else
        for (int q = 0; q < 4; ++q) {
            low[kept] = x[i + q];
            kept += static_cast<std::size_t>((k >> q) & 1);
        }
#endif
    }
    if (i < n) {
        add(load_part(x, i, n, 0.0), load_part(x, i, n, x[0]));
        for (; i < n; ++i) {
            low[kept] = x[i];
            kept += x[i] <= bound ? 1 : 0;
        }
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
    return {top + err, least, most, kept};
}

// A bound at or above the k-th smallest of the n values x (none missing), for
// cand_sample <= n, as good as certain: the cand_rank-th smallest of cand_sample evenly
// spaced values. The values at or below it are about cand_rank / cand_sample of all;
// fewer than k + 2 of them (for the 5% quantile about 1 in 2000 columns of independent
// values) leave the selection to all values. s: scratch of 2 cand_sample.
constexpr std::size_t cand_sample = 64, cand_rank = 9, cand_least = 512;

double bound_above(const double* x, std::size_t n, double* s) {
    for (std::size_t i = 0; i < cand_sample; ++i) s[i] = x[(2 * i + 1) * n / (2 * cand_sample)];
    return select_middle(s, s + cand_sample, cand_sample, cand_rank).kth;
}

// Sums of the powers 1 to 4 of the deviations d = x - mean, of min(x - f, 0)^2, and of the
// values at or below t with their count, in four lanes (as in totals), lanes combined as
// in fold. One pass: the sums' chains of additions run side by side.
struct Powers {
    double s1, s2, s3, s4, down, tail, in_tail;
};

Powers powers(const double* x, std::size_t n, double mean, double f, double t) {
    const vec mu = v::set1_pd(mean), fv = v::set1_pd(f), tv = v::set1_pd(t);
    const vec zero = v::setzero_pd(), one = v::set1_pd(1.0);
    vec s1 = zero, s2 = zero, s3 = zero, s4 = zero, dn = zero, ts = zero, tc = zero;
    // v: four values; w, u: the same where whole, else padded for the shortfall and the
    // tail.
    const auto add = [&](vec v, vec w, vec u) {
        const vec d = v::sub_pd(v, mu);
        const vec d2 = v::mul_pd(d, d);
        s1 = v::add_pd(s1, d);
        s2 = v::add_pd(s2, d2);
        s3 = v::add_pd(s3, v::mul_pd(d2, d));
        s4 = v::add_pd(s4, v::mul_pd(d2, d2));
        const vec e = v::min_pd(v::sub_pd(w, fv), zero);
        dn = v::add_pd(dn, v::mul_pd(e, e));
        const vec in = v::cmp_pd(u, tv, v::LE_OQ);
        ts = v::add_pd(ts, v::and_pd(in, u));
        tc = v::add_pd(tc, v::and_pd(in, one));
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const vec v = v::loadu_pd(x + i);
        add(v, v, v);
    }
    // Padding lanes hold the mean and f: their deviations and shortfalls are 0; NaN is
    // never at or below t.
    if (i < n) add(load_part(x, i, n, mean), load_part(x, i, n, f), load_part(x, i, n, NaN));
    return {fold(s1), fold(s2), fold(s3), fold(s4), fold(dn), fold(ts), fold(tc)};
}

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
// drawdown found by the walk. x: scratch of D values, sel: 4 D for the selection.
void column(const double* col, std::int64_t D, double f, double low, double peak_row,
            double trough, double rec, double value, double* x, double* sel, std::size_t c,
            Results& res) {
    const auto counts = detail::compact(col, 1, static_cast<std::size_t>(D), x,
                                            detail::Valid{}, detail::Above{0.0});
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
        res.recovery[c] = rec >= 0.0 && rec < HUGE_VAL ? static_cast<std::int64_t>(rec) : -1;
    }
    // Adding 0.0 makes a zero +0.0: which of equal values of either sign a selection or a
    // running extreme keeps depends on their order, and a result should not.
    // The selection of the quantile goes on among the values at or below a bound, found
    // on the way of the sum.
    const double bound = n >= cand_least ? bound_above(x, n, sel) : -HUGE_VAL;
    double* const smallest = sel;
    const Totals t = totals(x, n, bound, smallest);
    const double best = t.hi + 0.0, worst = t.lo + 0.0;
    res.best[c] = best;
    res.worst[c] = worst;
    // Constant returns have no spread at all; their mean is the value itself, however the
    // sum of n copies rounds.
    const bool flat = worst == best;
    const double mean = flat ? worst : t.sum / nd;
    res.mean[c] = mean;
    double lo = x[0], hi = x[0];
    if (n >= 2) {
        const std::size_t k = static_cast<std::size_t>(std::floor(static_cast<double>(n - 1) * tail_share));
        // The values at or below the bound are the smallest ones; with k + 2 of them, they
        // hold the two wanted.
        const std::size_t c = t.below;
        const Middle mid = c >= k + 2 ? select_kth(smallest, 1, c, c, k + 1, sel + n, sel + 3 * n)
                                          : select_kth(x, 1, n, n, k + 1, sel, sel + 2 * n);
        lo = mid.before;
        hi = mid.kth;
    }
    const double q = quantile(n, lo, hi) + 0.0;
    res.var[c] = q;
    const Powers p = powers(x, n, mean, f, q);
    res.cvar[c] = p.tail / p.in_tail;
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
}

// Every column's statistics into res, on this path.
void run(tag, const fk::Matrix& m, double f, Results& res) {
    const std::int64_t D = m.rows;
    const std::int64_t blocks = (m.cols + L - 1) / L;
    // The columns of a row-major matrix go to the workers a panel at a time: the lines of
    // its rows its first block asks for serve the others (on another core they would be
    // read from memory again); any other layout's block by block.
    const bool own = m.rs == 1;  // each column contiguous
    const std::int64_t per = own ? 1 : panel / L;
    const std::int64_t units = (blocks + per - 1) / per;
    if (D > 0 && blocks > 0) {
        fk::fan_out(static_cast<std::uint64_t>(units), [&](std::uint64_t t, std::uint64_t n_th) {
            // A worker's scratch, from the heap (see horizonret): the block's columns laid
            // apart, one column's valid values and the selection's buffers.
            const auto Dz = static_cast<std::size_t>(D);
            const std::unique_ptr<double[]> apart(new double[Dz * L]);
            const std::unique_ptr<double[]> x(new double[Dz]);
            const std::unique_ptr<double[]> sel(new double[4 * Dz]);
            for (auto u = static_cast<std::int64_t>(t); u < units; u += static_cast<std::int64_t>(n_th))
                for (std::int64_t b = u * per; b < std::min(blocks, u * per + per); ++b) {
                    const std::int64_t c0 = b * L;
                    const std::int64_t width = std::min<std::int64_t>(L, m.cols - c0);
                    // The block's columns, one after another: the matrix's own where each
                    // is contiguous, else a copy the walk makes.
                    const double* block = own ? m.col(c0) : apart.get();
                    const std::int64_t step = own ? m.cs : D;
                    DeepestLanes dd;
                    if (own)
                        walk<false>(m, c0, width, 0, nullptr, dd);
                    else
                        walk<true>(m, c0, width, b == u * per ? std::min(panel, m.cols - c0) : L,
                                   apart.get(), dd);
                    for (std::int64_t j = 0; j < width; ++j)
                        column(block + j * step, D, f, dd.low[j], dd.peak_row[j], dd.trough[j],
                               dd.rec[j], dd.acc[j], x.get(), sel.get(),
                               static_cast<std::size_t>(c0 + j), res);
                }
        }, summary_work * fk::element_reads(m));
    }
}
