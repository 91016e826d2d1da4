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

// Columns per block: one vector of eight on the AVX-512 path, of four on the others.
constexpr int block_width = FK_AVX512 ? 2 * L : L;

// A block's drawdown state, spilled lane by lane.
struct DeepestLanes {
    double acc[block_width], low[block_width], peak_row[block_width], trough[block_width],
        rec[block_width];
};

// Asks for the lines of four rows of a row-major matrix, from `at` on, `reach` values of
// each: they lie a whole row apart, which the hardware's own prefetch does not follow.
inline void ask_ahead(const double* at, std::int64_t rs, std::int64_t reach) {
    for (int i = 0; i < 4; ++i, at += rs) {
        for (std::int64_t j = 0; j < reach; j += 8) __builtin_prefetch(at + j);
        __builtin_prefetch(at + reach - 1);
    }
}

// The block a worker takes next in a row-major matrix, its lines asked for into the
// second-level cache while this block is worked on: its rows lie a whole row apart, which
// the hardware's own prefetch does not follow, and the wait for them is hidden behind
// this block's work rather than paid when it starts. The rows are asked for a few at a
// time through the loop of this block's walk (see Pace), never many at once: those would
// fill the core's buffers for lines in flight and stall it all the same.
struct Next {
    const double* at = nullptr;  // its first row's first value, nullptr for none
    std::int64_t rs = 0, width = 0, rows = 0;
    std::int64_t row = 0;  // the next row to ask for

    void ask(std::int64_t upto) {
        for (upto = std::min(upto, rows); row < upto; ++row) {
            const double* p = at + row * rs;
            for (std::int64_t j = 0; j < width; j += 8) __builtin_prefetch(p + j, 0, 2);
            __builtin_prefetch(p + width - 1, 0, 2);
        }
    }
};

// A share of Next's rows spread evenly over the steps of a loop: step() once per pass.
struct Pace {
    Next* next = nullptr;
    std::int64_t share = 0, steps = 1, due = 0;

    Pace() = default;
    Pace(Next* n, std::int64_t share_, std::int64_t steps_)
        : next(n != nullptr && n->at != nullptr ? n : nullptr), share(share_),
          steps(std::max<std::int64_t>(steps_, 1)) {}

    void step() {
        if (next == nullptr) return;
        due += share;
        if (due >= steps) {
            next->ask(next->row + due / steps);
            due %= steps;
        }
    }
};

#if FK_AVX512
// Deepest over eight columns in one vector of eight lanes, every lane running the same
// operations in the same order (the same bits). A comparison gives a mask, and an
// operation under it leaves the lanes where it fails as they were: where Deepest takes
// the max or min against a row number turned NaN, a masked max or min of the row number
// gives the same lanes in one operation fewer, and a missing return's lane keeps 1.0
// where Deepest adds 0 to it. Every row is divided, with no test before: one of eight
// lanes comes near the deepest drawdown on about one row in six (returns of 1% a day),
// and a branch on that was mispredicted often enough, and settled late enough (after the
// previous row's division), to cost more than the division's own throughput. The rows
// the test would pass over are never deeper, so the results are the same.
struct Deepest8 {
    __m512d acc, top, top_row, low, peak, peak_row, trough, rec;

    Deepest8() {
        const __m512d one = _mm512_set1_pd(1.0), none = _mm512_set1_pd(-1.0);
        acc = top = low = peak = one;
        top_row = peak_row = trough = none;
        rec = _mm512_set1_pd(-2.0);
    }

    void row(__m512d v, __m512d r) {
        const __m512d one = _mm512_set1_pd(1.0);
        const __m512d a =
            _mm512_mul_pd(acc, _mm512_mask_add_pd(one, _mm512_cmp_pd_mask(v, v, _CMP_ORD_Q), v, one));
        top_row = _mm512_mask_max_pd(top_row, _mm512_cmp_pd_mask(a, top, _CMP_GT_OQ), r, top_row);
        top = _mm512_max_pd(a, top);
        rec = _mm512_mask_min_pd(rec, _mm512_cmp_pd_mask(a, peak, _CMP_GE_OQ), r, rec);
        acc = a;
        const __m512d q = _mm512_div_pd(a, top);
        const __mmask8 deeper = _mm512_cmp_pd_mask(q, low, _CMP_LT_OQ);
        low = _mm512_mask_mov_pd(low, deeper, q);
        peak = _mm512_mask_mov_pd(peak, deeper, top);
        peak_row = _mm512_mask_mov_pd(peak_row, deeper, top_row);
        trough = _mm512_mask_mov_pd(trough, deeper, r);
        rec = _mm512_mask_mov_pd(rec, deeper,
                                 _mm512_set1_pd(std::numeric_limits<double>::infinity()));
    }
};

// Four vectors of eight lanes, each holding four values of two columns (q and q + 4, for
// q = 0 .. 3), turned into the four rows of the eight columns, by twelve shuffles: the
// pairs' values interleaved within each 128 bits, then gathered from two of those. The
// same shuffles turn four rows back into the columns side by side.
inline void rows_and_columns(const __m512d* p, __m512d* t) {
    __m512d h[4];
    h[0] = _mm512_unpacklo_pd(p[0], p[1]);
    h[1] = _mm512_unpackhi_pd(p[0], p[1]);
    h[2] = _mm512_unpacklo_pd(p[2], p[3]);
    h[3] = _mm512_unpackhi_pd(p[2], p[3]);
    const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    t[0] = _mm512_permutex2var_pd(h[0], even, h[2]);
    t[1] = _mm512_permutex2var_pd(h[1], even, h[3]);
    t[2] = _mm512_permutex2var_pd(h[0], odd, h[2]);
    t[3] = _mm512_permutex2var_pd(h[1], odd, h[3]);
}

// The walk below over a block of eight columns, their state in one vector of eight lanes:
// eight contiguous columns are read four rows at a time and turned into four rows by
// twelve shuffles, eight adjacent columns of a row-major matrix are one vector per row.
template <bool Store>
void walk(const fk::Matrix& m, std::int64_t c0, std::int64_t width, std::int64_t reach, double* apart,
          DeepestLanes& out, Pace pace = {}) {
    constexpr int B = block_width;
    const std::int64_t D = m.rows;
    Deepest8 s;
    std::int64_t r = 0;
    const __m512d step = _mm512_set1_pd(1.0);
    __m512d rv = _mm512_setzero_pd();  // r, lane by lane
    if (width == B && m.rs == 1) {
        for (; r + 4 <= D; r += 4) {
            vec x[B];
            for (int q = 0; q < B; ++q) {
                x[q] = v::loadu_pd(m.col(c0 + q) + r);
                if (Store) v::storeu_pd(apart + q * D + r, x[q]);
            }
            // Columns q and q + 4 side by side, then turned into four rows.
            __m512d p[4], t[4];
            for (int q = 0; q < 4; ++q)
                p[q] = _mm512_insertf64x4(_mm512_castpd256_pd512(x[q]), x[q + 4], 1);
            rows_and_columns(p, t);
            for (int i = 0; i < 4; ++i) {
                s.row(t[i], rv);
                rv = _mm512_add_pd(rv, step);
            }
        }
    } else if (width == B && m.cs == 1) {
        for (; r + 4 <= D; r += 4) {
            const double* src = m.data + r * m.rs + c0;
            if (r + ahead + 4 <= D) ask_ahead(src + ahead * m.rs, m.rs, reach);
            pace.step();
            __m512d x[4];
            for (int i = 0; i < 4; ++i) {
                x[i] = _mm512_loadu_pd(src + i * m.rs);
                s.row(x[i], rv);
                rv = _mm512_add_pd(rv, step);
            }
            if (Store) {
                // The same eight shuffles as for contiguous columns, the other way: the
                // four rows turn into columns q and q + 4 side by side.
                __m512d t[4];
                rows_and_columns(x, t);
                for (int q = 0; q < 4; ++q) {
                    v::storeu_pd(apart + q * D + r, _mm512_castpd512_pd256(t[q]));
                    v::storeu_pd(apart + (q + 4) * D + r, _mm512_extractf64x4_pd(t[q], 1));
                }
            }
        }
    }
    for (; r < D; ++r) {
        alignas(64) double v[B];
        for (int j = 0; j < B; ++j) {
            v[j] = j < width ? m.data[r * m.rs + (c0 + j) * m.cs] : NaN;
            if (Store) apart[j * D + r] = v[j];
        }
        s.row(_mm512_load_pd(v), rv);
        rv = _mm512_add_pd(rv, step);
    }
    _mm512_storeu_pd(out.acc, s.acc);
    _mm512_storeu_pd(out.low, s.low);
    _mm512_storeu_pd(out.peak_row, s.peak_row);
    _mm512_storeu_pd(out.trough, s.trough);
    _mm512_storeu_pd(out.rec, s.rec);
}
#else

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
          DeepestLanes& out, Pace pace = {}) {
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
            if (r + ahead + 4 <= D) ask_ahead(src + ahead * m.rs, m.rs, reach);
            pace.step();
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
#endif

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

// The running state of totals over one column's values, four at a time.
struct TotalsRun {
    vec s, c, lo, hi, b;
    std::size_t kept;

    TotalsRun() = default;
    explicit TotalsRun(double bound)
        : s(v::setzero_pd()), c(v::setzero_pd()),
          lo(v::set1_pd(std::numeric_limits<double>::infinity())),
          hi(v::set1_pd(-std::numeric_limits<double>::infinity())), b(v::set1_pd(bound)),
          kept(0) {}

    // v: four values; w: the same, padded with a value of x for the extremes.
    void add(vec v, vec w) {
        vec e;
        s = two_sum(s, v, e);
        c = v::add_pd(c, e);
        lo = v::min_pd(w, lo);
        hi = v::max_pd(w, hi);
    }

    // The four values at p, whole.
    void quad(const double* p, double* low) {
        const vec v = v::loadu_pd(p);
        add(v, v);
        const int k = v::movemask_pd(v::cmp_pd(v, b, v::LE_OQ));
#if FK_AVX
        // The kept values of each pair moved to its front, no branch on the data.
        kept += detail::store_kept(low + kept, _mm256_castpd256_pd128(v), k & 3);
        kept += detail::store_kept(low + kept, _mm256_extractf128_pd(v, 1), k >> 2);
#else
        for (int q = 0; q < 4; ++q) {
            low[kept] = p[q];
            kept += static_cast<std::size_t>((k >> q) & 1);
        }
#endif
    }

    // The values x[i .. n) (i a multiple of 4), then the lanes combined.
    Totals finish(const double* x, std::size_t i, std::size_t n, double bound, double* low) {
        for (; i + 4 <= n; i += 4) quad(x + i, low);
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
};

#if FK_AVX512
// Two columns side by side in one vector of eight lanes, the first column's four lanes low
// and the second's high, each lane running the operations of the four-lane run in the
// same order (the same bits in half the instructions).
inline __m512d pair_of(vec a, vec b) { return _mm512_insertf64x4(_mm512_castpd256_pd512(a), b, 1); }
inline __m512d pair_at(const double* a, const double* b) {
    return pair_of(_mm256_loadu_pd(a), _mm256_loadu_pd(b));
}
inline vec first_of(__m512d p) { return _mm512_castpd512_pd256(p); }
inline vec second_of(__m512d p) { return _mm512_extractf64x4_pd(p, 1); }

// TotalsRun of two columns.
struct TotalsPair {
    __m512d s, c, lo, hi, b;
    std::size_t kept[2];

    TotalsPair() = default;
    TotalsPair(const TotalsRun& x, const TotalsRun& y)
        : s(pair_of(x.s, y.s)), c(pair_of(x.c, y.c)), lo(pair_of(x.lo, y.lo)),
          hi(pair_of(x.hi, y.hi)), b(pair_of(x.b, y.b)), kept{x.kept, y.kept} {}

    // Four values of each column, at p and q; the kept ones moved to the front by the
    // compress instruction and stored four at a time (slots past them overwritten).
    void quad(const double* p, const double* q, double* lp, double* lq) {
        const __m512d v = pair_at(p, q);
        const __m512d t = _mm512_add_pd(s, v);
        const __m512d z = _mm512_sub_pd(t, s);
        const __m512d e = _mm512_add_pd(_mm512_sub_pd(s, _mm512_sub_pd(t, z)), _mm512_sub_pd(v, z));
        s = t;
        c = _mm512_add_pd(c, e);
        lo = _mm512_min_pd(v, lo);
        hi = _mm512_max_pd(v, hi);
        // Each column's lanes compared under a mask of its own, so that the masks for the
        // compress instruction come from the comparisons (not from general registers,
        // through a move that takes the shuffle port).
        const __mmask8 kp = _mm512_mask_cmp_pd_mask(0x0f, v, b, _CMP_LE_OQ);
        const __mmask8 kq = _mm512_mask_cmp_pd_mask(0xf0, v, b, _CMP_LE_OQ);
        _mm256_storeu_pd(lp + kept[0], first_of(_mm512_maskz_compress_pd(kp, v)));
        _mm256_storeu_pd(lq + kept[1], first_of(_mm512_maskz_compress_pd(kq, v)));
        kept[0] += detail::ones8(kp);
        kept[1] += detail::ones8(kq);
    }

    void split(TotalsRun& x, TotalsRun& y) const {
        x.s = first_of(s), y.s = second_of(s);
        x.c = first_of(c), y.c = second_of(c);
        x.lo = first_of(lo), y.lo = second_of(lo);
        x.hi = first_of(hi), y.hi = second_of(hi);
        x.kept = kept[0], y.kept = kept[1];
    }
};
#endif

// totals of W columns at once, column j's n[j] values at x[j], its bound and low: their
// chains of additions run side by side over the values all of them have, each column
// then goes on alone. Each column sees its own operations in the same order as alone.
template <int W>
void totals(const double* const* x, const std::size_t* n, const double* bound,
            double* const* low, Totals* out) {
    std::size_t common = n[0];
    for (int j = 1; j < W; ++j) common = std::min(common, n[j]);
    common -= common % 4;
    TotalsRun t[W];
    for (int j = 0; j < W; ++j) t[j] = TotalsRun(bound[j]);
#if FK_AVX512
    if constexpr (W % 2 == 0) {
        TotalsPair p[W / 2];
        for (int j = 0; j < W / 2; ++j) p[j] = TotalsPair(t[2 * j], t[2 * j + 1]);
        // The columns' places in locals of this function: a vector store may write
        // anywhere, as far as the compiler knows, and the caller's arrays would be read
        // again after each.
        const double* xl[W];
        double* ll[W];
        for (int j = 0; j < W; ++j) xl[j] = x[j], ll[j] = low[j];
        for (std::size_t i = 0; i < common; i += 4)
            for (int j = 0; j < W / 2; ++j)
                p[j].quad(xl[2 * j] + i, xl[2 * j + 1] + i, ll[2 * j], ll[2 * j + 1]);
        for (int j = 0; j < W / 2; ++j) p[j].split(t[2 * j], t[2 * j + 1]);
    } else
#endif
    {
        for (std::size_t i = 0; i < common; i += 4)
            for (int j = 0; j < W; ++j) t[j].quad(x[j] + i, low[j]);
    }
    for (int j = 0; j < W; ++j) out[j] = t[j].finish(x[j], common, n[j], bound[j], low[j]);
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

// The running state of powers over one column's values, four at a time.
struct PowersRun {
    vec mu, fv, tv, s1, s2, s3, s4, dn, ts, tc;

    PowersRun() = default;
    PowersRun(double mean, double f, double t)
        : mu(v::set1_pd(mean)), fv(v::set1_pd(f)), tv(v::set1_pd(t)), s1(v::setzero_pd()),
          s2(s1), s3(s1), s4(s1), dn(s1), ts(s1), tc(s1) {}

    // v: four values; w, u: the same where whole, else padded for the shortfall and the
    // tail.
    void add(vec v, vec w, vec u) {
        const vec d = v::sub_pd(v, mu);
        const vec d2 = v::mul_pd(d, d);
        s1 = v::add_pd(s1, d);
        s2 = v::add_pd(s2, d2);
        s3 = v::add_pd(s3, v::mul_pd(d2, d));
        s4 = v::add_pd(s4, v::mul_pd(d2, d2));
        const vec e = v::min_pd(v::sub_pd(w, fv), v::setzero_pd());
        dn = v::add_pd(dn, v::mul_pd(e, e));
        const vec in = v::cmp_pd(u, tv, v::LE_OQ);
        ts = v::add_pd(ts, v::and_pd(in, u));
        tc = v::add_pd(tc, v::and_pd(in, v::set1_pd(1.0)));
    }

    void quad(const double* p) {
        const vec v = v::loadu_pd(p);
        add(v, v, v);
    }

    // The values x[i .. n) (i a multiple of 4), then the lanes combined.
    Powers finish(const double* x, std::size_t i, std::size_t n, double mean, double f) {
        for (; i + 4 <= n; i += 4) quad(x + i);
        // Padding lanes hold the mean and f: their deviations and shortfalls are 0; NaN is
        // never at or below t.
        if (i < n) add(load_part(x, i, n, mean), load_part(x, i, n, f), load_part(x, i, n, NaN));
        return {fold(s1), fold(s2), fold(s3), fold(s4), fold(dn), fold(ts), fold(tc)};
    }
};

#if FK_AVX512
// PowersRun of two columns (see TotalsPair).
struct PowersPair {
    __m512d mu, fv, tv, s1, s2, s3, s4, dn, ts, tc;

    PowersPair() = default;
    PowersPair(const PowersRun& x, const PowersRun& y)
        : mu(pair_of(x.mu, y.mu)), fv(pair_of(x.fv, y.fv)), tv(pair_of(x.tv, y.tv)),
          s1(pair_of(x.s1, y.s1)), s2(pair_of(x.s2, y.s2)), s3(pair_of(x.s3, y.s3)),
          s4(pair_of(x.s4, y.s4)), dn(pair_of(x.dn, y.dn)), ts(pair_of(x.ts, y.ts)),
          tc(pair_of(x.tc, y.tc)) {}

    void quad(const double* p, const double* q) {
        const __m512d v = pair_at(p, q);
        const __m512d d = _mm512_sub_pd(v, mu);
        const __m512d d2 = _mm512_mul_pd(d, d);
        s1 = _mm512_add_pd(s1, d);
        s2 = _mm512_add_pd(s2, d2);
        s3 = _mm512_add_pd(s3, _mm512_mul_pd(d2, d));
        s4 = _mm512_add_pd(s4, _mm512_mul_pd(d2, d2));
        const __m512d e = _mm512_min_pd(_mm512_sub_pd(v, fv), _mm512_setzero_pd());
        dn = _mm512_add_pd(dn, _mm512_mul_pd(e, e));
        // Only the lanes of values in the tail are added to: the others would add +0.0,
        // which leaves a sum as it is unless it is -0.0, and these sums never are (they
        // start at +0.0, and a sum that comes to zero is +0.0).
        const __mmask8 in = _mm512_cmp_pd_mask(v, tv, _CMP_LE_OQ);
        ts = _mm512_mask_add_pd(ts, in, ts, v);
        tc = _mm512_mask_add_pd(tc, in, tc, _mm512_set1_pd(1.0));
    }

    void split(PowersRun& x, PowersRun& y) const {
        x.s1 = first_of(s1), y.s1 = second_of(s1);
        x.s2 = first_of(s2), y.s2 = second_of(s2);
        x.s3 = first_of(s3), y.s3 = second_of(s3);
        x.s4 = first_of(s4), y.s4 = second_of(s4);
        x.dn = first_of(dn), y.dn = second_of(dn);
        x.ts = first_of(ts), y.ts = second_of(ts);
        x.tc = first_of(tc), y.tc = second_of(tc);
    }
};
#endif

// powers of W columns at once (as totals of W columns), column j about mean[j] with the
// tail at or below t[j].
template <int W>
void powers(const double* const* x, const std::size_t* n, const double* mean, double f,
            const double* t, Powers* out) {
    std::size_t common = n[0];
    for (int j = 1; j < W; ++j) common = std::min(common, n[j]);
    common -= common % 4;
    PowersRun p[W];
    for (int j = 0; j < W; ++j) p[j] = PowersRun(mean[j], f, t[j]);
#if FK_AVX512
    if constexpr (W % 2 == 0) {
        PowersPair q[W / 2];
        for (int j = 0; j < W / 2; ++j) q[j] = PowersPair(p[2 * j], p[2 * j + 1]);
        for (std::size_t i = 0; i < common; i += 4)
            for (int j = 0; j < W / 2; ++j) q[j].quad(x[2 * j] + i, x[2 * j + 1] + i);
        for (int j = 0; j < W / 2; ++j) q[j].split(p[2 * j], p[2 * j + 1]);
    } else
#endif
    {
        for (std::size_t i = 0; i < common; i += 4)
            for (int j = 0; j < W; ++j) p[j].quad(x[j] + i);
    }
    for (int j = 0; j < W; ++j) out[j] = p[j].finish(x[j], common, n[j], mean[j], f);
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

// The statistics of the W columns c .. c + W - 1 from their D values each, column j's at
// col + j * step (NaN marks the missing ones), with the drawdown found by the walk, lanes
// j0 .. j0 + W - 1 of dd. The sums of the W columns run side by side (see totals).
// Scratch: xs and lows W D values each (a column's valid values, and those at or below its
// bound), sel 4 D for the selection.
template <int W>
void columns(const double* col, std::int64_t step, std::int64_t D, double f,
             const DeepestLanes& dd, int j0, double* xs, double* lows, double* sel,
             std::size_t c, Results& res) {
    const auto Dz = static_cast<std::size_t>(D);
    const double* x[W];
    double* low[W];
    std::size_t n[W];
    double bound[W];
    for (int j = 0; j < W; ++j) {
        double* const xj = xs + static_cast<std::size_t>(j) * Dz;
        x[j] = xj;
        low[j] = lows + static_cast<std::size_t>(j) * Dz;
        const auto counts = detail::compact(col + j * step, 1, Dz, xj, detail::Valid{},
                                            detail::Above{0.0});
        n[j] = counts.kept;
        res.n[c + j] = static_cast<std::int64_t>(n[j]);
        res.hits[c + j] = static_cast<std::int64_t>(counts.tallied);
        // The selection of the quantile goes on among the values at or below a bound, found
        // on the way of the sum.
        bound[j] = n[j] >= cand_least ? bound_above(xj, n[j], sel) : -HUGE_VAL;
    }
    Totals t[W];
    totals<W>(x, n, bound, low, t);
    double mean[W], q[W];
    bool flat[W];
    for (int j = 0; j < W; ++j) {
        const std::size_t nj = n[j], cj = c + j;
        mean[j] = q[j] = NaN;
        flat[j] = false;
        if (nj == 0) continue;  // NaN and -1 stay
        const int lane = j0 + j;
        res.value[cj] = dd.acc[lane];
        // No row below its peak: no drawdown, a depth of 0 and no dates.
        res.depth[cj] = dd.low[lane] - 1.0;
        if (dd.trough[lane] >= 0.0) {
            const double rec = dd.rec[lane];
            res.peak[cj] = static_cast<std::int64_t>(dd.peak_row[lane]);
            res.trough[cj] = static_cast<std::int64_t>(dd.trough[lane]);
            res.recovery[cj] = rec >= 0.0 && rec < HUGE_VAL ? static_cast<std::int64_t>(rec) : -1;
        }
        // Adding 0.0 makes a zero +0.0: which of equal values of either sign a selection or
        // a running extreme keeps depends on their order, and a result should not.
        const double best = t[j].hi + 0.0, worst = t[j].lo + 0.0;
        res.best[cj] = best;
        res.worst[cj] = worst;
        // Constant returns have no spread at all; their mean is the value itself, however
        // the sum of n copies rounds.
        flat[j] = worst == best;
        mean[j] = flat[j] ? worst : t[j].sum / static_cast<double>(nj);
        res.mean[cj] = mean[j];
        double lo = x[j][0], hi = x[j][0];
        if (nj >= 2) {
            const auto k = static_cast<std::size_t>(std::floor(static_cast<double>(nj - 1) * tail_share));
            // The values at or below the bound are the smallest ones; with k + 2 of them,
            // they hold the two wanted.
            const std::size_t b = t[j].below;
            const Middle mid = b >= k + 2 ? select_kth(low[j], 1, b, b, k + 1, sel, sel + 2 * Dz)
                                          : select_kth(x[j], 1, nj, nj, k + 1, sel, sel + 2 * Dz);
            lo = mid.before;
            hi = mid.kth;
        }
        q[j] = quantile(nj, lo, hi) + 0.0;
        res.var[cj] = q[j];
    }
    Powers pw[W];
    powers<W>(x, n, mean, f, q, pw);
    for (int j = 0; j < W; ++j) {
        const std::size_t nj = n[j], cj = c + j;
        if (nj == 0) continue;
        const Powers& p = pw[j];
        const double nd = static_cast<double>(nj);
        res.cvar[cj] = p.tail / p.in_tail;
        res.downside[cj] = std::sqrt(p.down / nd);
        // Central sums about the exact mean, mean + delta, from the sums about the rounded
        // one.
        const double delta = p.s1 / nd;
        // Rounding may leave the sum of squares a hair below zero; NaN (from infinite
        // returns) goes through.
        const double m2_raw = p.s2 - p.s1 * delta;
        const double m2 = flat[j] || m2_raw < 0.0 ? 0.0 : m2_raw;
        const double m3 =
            flat[j] ? 0.0 : p.s3 - 3.0 * delta * p.s2 + 2.0 * nd * delta * delta * delta;
        const double m4 = flat[j] ? 0.0
                                  : p.s4 - 4.0 * delta * p.s3 + 6.0 * delta * delta * p.s2 -
                                        3.0 * nd * delta * delta * delta * delta;
        // Bias-corrected as the usual sample estimators; a zero spread leaves 0 / 0.
        if (nj >= 2) res.std[cj] = std::sqrt(m2 / (nd - 1.0));
        if (nj >= 3)
            res.skew[cj] = nd * std::sqrt(nd - 1.0) / (nd - 2.0) * (m3 / (m2 * std::sqrt(m2)));
        if (nj >= 4)
            res.kurt[cj] = (nd + 1.0) * nd * (nd - 1.0) * m4 / ((nd - 2.0) * (nd - 3.0) * (m2 * m2)) -
                           3.0 * (nd - 1.0) * (nd - 1.0) / ((nd - 2.0) * (nd - 3.0));
    }
}

// Columns whose sums run side by side: as many as the registers hold the sums of (the
// AVX-512 path has 32 vector registers and pairs two columns to a vector; on the others
// two columns' powers spilled their sixteen, and took 1.12 times as long as one column at a
// time, AVX2, F order).
constexpr int side_by_side = FK_AVX512 ? 4 : 1;

// Every column's statistics into res, on this path.
void run(tag, const fk::Matrix& m, double f, Results& res) {
    const std::int64_t D = m.rows;
    constexpr int B = block_width;
    const std::int64_t blocks = (m.cols + B - 1) / B;
    // The columns of a row-major matrix go to the workers a panel at a time: the lines of
    // its rows its first block asks for serve the others (on another core they would be
    // read from memory again); any other layout's block by block.
    const bool own = m.rs == 1;  // each column contiguous
    const std::int64_t per = own ? 1 : panel / B;
    const std::int64_t units = (blocks + per - 1) / per;
    if (D > 0 && blocks > 0) {
        fk::fan_out(static_cast<std::uint64_t>(units), [&](std::uint64_t t, std::uint64_t n_th) {
            // A worker's scratch, from the heap (see horizonret): the block's columns laid
            // apart, one column's valid values and the selection's buffers.
            const auto Dz = static_cast<std::size_t>(D);
            const std::unique_ptr<double[]> apart(new double[Dz * B]);
            const std::unique_ptr<double[]> x(new double[Dz * side_by_side]);
            const std::unique_ptr<double[]> low(new double[Dz * side_by_side]);
            const std::unique_ptr<double[]> sel(new double[4 * Dz]);
            const auto workers = static_cast<std::int64_t>(n_th);
            for (auto u = static_cast<std::int64_t>(t); u < units; u += workers)
                for (std::int64_t b = u * per; b < std::min(blocks, u * per + per); ++b) {
                    const std::int64_t c0 = b * B;
                    const std::int64_t width = std::min<std::int64_t>(B, m.cols - c0);
                    // The block's columns, one after another: the matrix's own where each
                    // is contiguous, else a copy the walk makes.
                    const double* block = own ? m.col(c0) : apart.get();
                    const std::int64_t step = own ? m.cs : D;
                    DeepestLanes dd;
                    if (own) {
                        walk<false>(m, c0, width, 0, nullptr, dd);
                    } else {
                        const std::int64_t nb =
                            b + 1 < std::min(blocks, u * per + per) ? b + 1 : (u + workers) * per;
                        // A row-major matrix: the worker's next block is asked for through
                        // the walk.
                        Next next;
                        if (nb < blocks) {
                            next.at = m.data + nb * B;
                            next.rs = m.rs;
                            next.width = std::min<std::int64_t>(B, m.cols - nb * B);
                            next.rows = D;
                        }
                        // The worker's first block asks ahead for the lines of its panel.
                        const bool first = b == static_cast<std::int64_t>(t) * per;
                        walk<true>(m, c0, width, first ? std::min(panel, m.cols - c0) : B,
                                   apart.get(), dd, Pace(&next, D, D / 4));
                    }
                    std::int64_t j = 0;
                    if (width == B)
                        for (; j < B; j += side_by_side)
                            columns<side_by_side>(block + j * step, step, D, f, dd, static_cast<int>(j),
                                                  x.get(), low.get(), sel.get(),
                                                  static_cast<std::size_t>(c0 + j), res);
                    for (; j < width; ++j)
                        columns<1>(block + j * step, step, D, f, dd, static_cast<int>(j), x.get(),
                                   low.get(), sel.get(), static_cast<std::size_t>(c0 + j), res);
                }
        }, summary_work * fk::element_reads(m));
    }
}
