// horizonret's kernels, read once per instruction set (see each_path.hpp).

#include "select.hpp"

// Adjacent columns walked together. A block of the last columns that few (a matrix of one
// or two funds) is walked one column at a time instead: eight lanes for one column would
// do eight times the work.
constexpr int B = 8;
constexpr int narrow = 2;

// Work per element, in single passes, for the worker count: the paths, the returns and
// their tallies, each lane's returns laid apart, and the median's share.
constexpr std::uint64_t horizon_work = 4;

// Rows ahead whose stretch of a row-major block is asked for while a row is read: the
// stretches lie a whole row apart, which the hardware's own prefetch does not follow.
constexpr std::int64_t ahead = 32;

// Value paths of rows r0 .. r1 of the block of columns c0 .. c0 + width - 1: path[r * L + j]
// is column j's level at row r. Inside a column's window the level compounds 1 + v from
// 1.0, and a missing return keeps it (before the first valid value, at 1.0); outside the
// window the level is never read. win holds each lane's window, full for lanes without
// results. level[j] is lane j's level before row r0 (1.0 before row 0) and becomes its
// level at row r1, so that the rows may be built a stretch at a time.
//
// Row by row: each row's returns become growth factors (1 + v inside the window where v is
// not NaN, 1.0 elsewhere) and multiply the previous row's levels. A factor of 1.0 leaves a
// level's bits as they were, and the first row's levels are its factors (1.0 times a factor
// is the factor). A row-major block is read a row at a time, the rows `ahead` asked for
// first, or, when all its rows are built at once, copied first (copy_first); a matrix whose
// columns are contiguous is read four rows at a time and transposed; any other layout one
// value at a time. Lanes past the last column repeat it: their levels are never read.
template <int L>
void build_paths(const fk::Matrix& m, std::int64_t c0, std::int64_t width, const Window* win,
                 std::int64_t r0, std::int64_t r1, bool copy_first, double* level, double* path) {
    using W = LanesFor<L>;
    constexpr int S = W::size, V = L / S;
    static_assert(L % S == 0, "whole vectors of lanes");
    const std::int64_t D = m.rows;
    const double* col[L];
    double lo_at[L], hi_at[L];
    for (int j = 0; j < L; ++j) {
        col[j] = m.col(c0 + std::min<std::int64_t>(j, width - 1));
        lo_at[j] = static_cast<double>(win[j].lo);
        hi_at[j] = static_cast<double>(win[j].hi);
    }
    const W one(1.0);
    W lo[V], hi[V], lv[V];
    for (int b = 0; b < V; ++b) {
        lo[b] = W::load(lo_at + b * S);
        hi[b] = W::load(hi_at + b * S);
        lv[b] = W::load(level + b * S);
    }
    const auto compound = [&](const W* v, std::int64_t r) {
        const W at(static_cast<double>(r));
        for (int b = 0; b < V; ++b) {
            const W vp = v[b] + one;  // NaN only when v is NaN
            lv[b] = lv[b] * select((at >= lo[b]) & (at <= hi[b]) & (vp == vp), vp, one);
            lv[b].store(path + r * L + b * S);
        }
    };
    std::int64_t r = r0;
    W v[4][V];
    const bool rows_whole = m.cs == 1 && width == L;  // a row-major block: rows of L values
    if (rows_whole && copy_first) {
        // Copied first and compounded in place: a loop that only copies keeps the loads of
        // many rows in flight, each from a line of its own.
        for (std::int64_t k = r0; k <= r1; ++k) {
            const double* src = m.data + k * m.rs + c0;
            if (k + ahead < D) __builtin_prefetch(src + ahead * m.rs);
            for (int b = 0; b < V; ++b) W::load(src + b * S).store(path + k * L + b * S);
        }
        for (; r <= r1; ++r) {
            for (int b = 0; b < V; ++b) v[0][b] = W::load(path + r * L + b * S);
            compound(v[0], r);
        }
    } else if (rows_whole) {
        for (; r <= r1; ++r) {
            const double* src = m.data + r * m.rs + c0;
            // Into the second-level cache: the nearest one holds the paths being returned.
            if (r + ahead < D) __builtin_prefetch(src + ahead * m.rs, 0, 1);
            for (int b = 0; b < V; ++b) v[0][b] = W::load(src + b * S);
            compound(v[0], r);
        }
    } else if (m.rs == 1) {
        for (; r + 3 <= r1; r += 4) {
            for (int b = 0; b < V; ++b) {
                W t[4];
                fk::rows4(col + b * S, r, t);
                for (int i = 0; i < 4; ++i) v[i][b] = t[i];
            }
            for (int i = 0; i < 4; ++i) compound(v[i], r + i);
        }
    }
    for (; r <= r1; ++r) {
        double at[L];
        for (int j = 0; j < L; ++j) at[j] = col[j][r * m.rs];
        for (int b = 0; b < V; ++b) v[0][b] = W::load(at + b * S);
        compound(v[0], r);
    }
    for (int b = 0; b < V; ++b) lv[b].store(level + b * S);
}

// Counts of a block's valid horizon returns, and their running sums in row order. The six
// bands come from five thresholds: w0 = gt0 - gt5, w5 = gt5 - gt10, w10 = gt10,
// l0 = ge_m5 - gt0, l5 = ge_m10 - ge_m5, l10 = n - ge_m10. Counts are doubles, exact far
// beyond any row count, so that the loop vectorises.
template <int L>
struct Tally {
    double n[L], sum[L], gt0[L], gt5[L], gt10[L], ge_m5[L], ge_m10[L];
};

// Horizon returns of rows k0..k1 of a block from its paths: ret[k * L + j] is column j's
// return from row k to row fut[k], the level of end[fut[k] * L + j] over that of
// path[k * L + j], minus 1 (end is path itself but for the own-rows variant), NaN where
// either row lies outside the column's window (lo[j], hi[j]) or the quotient is NaN.
// Tallies them on the way, in vectors of lanes held in registers over the rows: a tally kept
// in memory would make each row wait for the previous row's store. Selections only pick
// computed values or constants, and every operation runs for every lane.
//
// With forward horizons (fut[k] >= k for every row) the returns may take the paths' place
// (in_place, ret unused): the return of row k needs only rows k and fut[k], which no
// earlier row overwrites.
//
// Rows whose horizon starts and ends inside every lane's window (windowed false) skip the
// window test; the tallies go on from where the rows before left them.
template <int L, bool in_place, bool windowed>
void horizon_returns(double* path, const double* end_path, const std::int64_t* fut,
                     std::int64_t k0, std::int64_t k1, const double* lo, const double* hi,
                     double* ret, Tally<L>& t) {
    using W = LanesFor<L>;
    constexpr int S = W::size, V = L / S;
    static_assert(L % S == 0, "whole vectors of lanes");
    const W one(1.0), zero(0.0), nan(NaN), p5(0.05), p10(0.1), m5(-0.05), m10(-0.1);
    // One vector of lanes after the other over the rows, so that its seven tallies, and
    // not the other vectors' too, fill the registers (sixteen on the narrower paths).
    for (int b = 0; b < V; ++b) {
        const std::int64_t o = b * S;
        W n = W::load(t.n + o), sum = W::load(t.sum + o), gt0 = W::load(t.gt0 + o),
          gt5 = W::load(t.gt5 + o), gt10 = W::load(t.gt10 + o), ge_m5 = W::load(t.ge_m5 + o),
          ge_m10 = W::load(t.ge_m10 + o);
        const W lov = W::load(lo + o), hiv = W::load(hi + o);
        double kd = static_cast<double>(k0);  // k as a double, counted alongside it
        for (std::int64_t k = k0; k <= k1; ++k, kd += 1.0) {
            const std::int64_t f = fut[k];
            double* pk = path + k * L + o;
            double* out = (in_place ? pk : ret + k * L + o);
            W num = W::load(end_path + f * L + o);
            if constexpr (windowed) {
                const W kv(kd), fv(static_cast<double>(f));
                num = select((kv >= lov) & (kv <= hiv) & (fv >= lov) & (fv <= hiv), num, nan);
            }
            const W x = num / W::load(pk) - one;  // NaN outside the window
            const auto valid = x == x;
            n = n + select(valid, one, zero);
            // Adding 0.0 for an invalid row leaves the sum's bits alone: the sum is never
            // -0.0, as no return is (q - 1.0 is +0.0 when q is 1.0).
            sum = sum + select(valid, x, zero);  // plain running sum in row order
            gt0 = gt0 + select(x > zero, one, zero);
            gt5 = gt5 + select(x > p5, one, zero);
            gt10 = gt10 + select(x > p10, one, zero);
            ge_m5 = ge_m5 + select(x >= m5, one, zero);
            ge_m10 = ge_m10 + select(x >= m10, one, zero);
            x.store(out);
        }
        n.store(t.n + o);
        sum.store(t.sum + o);
        gt0.store(t.gt0 + o);
        gt5.store(t.gt5 + o);
        gt10.store(t.gt10 + o);
        ge_m5.store(t.ge_m5 + o);
        ge_m10.store(t.ge_m10 + o);
    }
}

// Lane j's values of rows k0 .. k1 of an array of L lanes per row to out[j * D + r]: a
// lane's median then reads its returns side by side, instead of one value from each of
// the cache lines that all L lanes share, once per lane.
template <int L>
void lanes_apart(const double* in, std::int64_t k0, std::int64_t k1, std::int64_t D,
                 double* out) {
    std::int64_t r = k0;
#if FK_AVX
    static_assert(L % 4 == 0, "whole vectors of lanes");
    for (; r + 3 <= k1; r += 4)
        for (int h = 0; h < L; h += 4) {
            const double* at = in + r * L + h;
            __m256d t[4];
            fk::transpose4(_mm256_loadu_pd(at), _mm256_loadu_pd(at + L),
                           _mm256_loadu_pd(at + 2 * L), _mm256_loadu_pd(at + 3 * L), t);
            for (int i = 0; i < 4; ++i) _mm256_storeu_pd(out + (h + i) * D + r, t[i]);
        }
#endif
    for (; r <= k1; ++r)
        for (int j = 0; j < L; ++j) out[j * D + r] = in[r * L + j];
}

// The rows ka .. kb - 1 of k0 .. k1 that every lane's window holds together with their
// horizon ends (all_lo, all_hi), which skip the window test; ka = kb = k1 + 1 when there
// are none. The horizon ends never decrease (the forward index's cursor never moves back),
// so those rows run from ka to the first whose end lies past all_hi.
struct Unwindowed {
    std::int64_t ka, kb;
};

inline Unwindowed unwindowed(const std::int64_t* fut, std::int64_t k0, std::int64_t k1,
                             std::int64_t all_lo, std::int64_t all_hi) {
    std::int64_t ka = std::max(k0, all_lo), kb = ka;
    const std::int64_t kl = std::min(k1, all_hi);
    if (ka <= kl && fut[ka] >= all_lo) kb = std::upper_bound(fut + ka, fut + kl + 1, all_hi) - fut;
    if (ka == kb) ka = kb = k1 + 1;  // no such row: all of them take the test
    return {ka, kb};
}

// The returns of rows k0..k1, added to the tallies t: the rows of u without the window test.
template <int L, bool in_place>
void returns_of(double* path, const double* end_path, const std::int64_t* fut, std::int64_t k0,
                std::int64_t k1, const double* lo, const double* hi, Unwindowed u, double* ret,
                Tally<L>& t) {
    const std::int64_t a = std::clamp(u.ka, k0, k1 + 1), b = std::clamp(u.kb, k0, k1 + 1);
    // Only the parts that hold rows: each call moves the tallies in and out of registers.
    if (k0 < a) horizon_returns<L, in_place, true>(path, end_path, fut, k0, a - 1, lo, hi, ret, t);
    if (a < b) horizon_returns<L, in_place, false>(path, end_path, fut, a, b - 1, lo, hi, ret, t);
    if (b <= k1) horizon_returns<L, in_place, true>(path, end_path, fut, b, k1, lo, hi, ret, t);
}

template <int L>
Tally<L> no_tally() {
    Tally<L> t;
    for (int j = 0; j < L; ++j)
        t.n[j] = t.sum[j] = t.gt0[j] = t.gt5[j] = t.gt10[j] = t.ge_m5[j] = t.ge_m10[j] = 0.0;
    return t;
}

// Rows built at a time when paths and returns are taken in one walk.
constexpr std::int64_t stretch = 16;

// Forward horizons of the module's own calendar: the paths, the returns (in their place)
// and, with several lanes, each lane's returns apart (see lanes_apart) in one walk down the
// rows, a stretch at a time. The returns whose ends the stretch reaches follow it while its
// rows are at hand, and the reads of the rows ahead are in flight meanwhile, which a walk
// of their own would have waited for; the returns are laid apart, four rows at a time,
// while they are still in the nearest cache.
template <int L>
Tally<L> paths_and_returns(const fk::Matrix& m, std::int64_t c0, std::int64_t width,
                           const Window* win, const std::int64_t* fut, std::int64_t k0,
                           std::int64_t k1, const double* lo, const double* hi, Unwindowed u,
                           double* path, double* apart) {
    const std::int64_t D = m.rows;
    Tally<L> t = no_tally<L>();
    double level[L];
    for (int j = 0; j < L; ++j) level[j] = 1.0;
    std::int64_t k = k0, k_apart = k0;  // the next row to return, and to lay apart
    for (std::int64_t r0 = 0; r0 < D; r0 += stretch) {
        const std::int64_t r1 = std::min(D - 1, r0 + stretch - 1);
        build_paths<L>(m, c0, width, win, r0, r1, false, level, path);
        std::int64_t k_end = k;  // the rows from k whose ends are built (fut[k] >= k)
        while (k_end <= k1 && fut[k_end] <= r1) ++k_end;
        returns_of<L, true>(path, path, fut, k, k_end - 1, lo, hi, u, nullptr, t);
        k = k_end;
        if constexpr (L > 1) {
            const std::int64_t upto = k - (k - k_apart) % 4;
            lanes_apart<L>(path, k_apart, upto - 1, D, apart);
            k_apart = upto;
        }
    }
    if constexpr (L > 1) lanes_apart<L>(path, k_apart, k1, D, apart);
    return t;
}

// A worker's scratch for a block: value paths, returns where they cannot take the paths'
// place, each lane's returns on their own, and the median's buffers.
struct Scratch {
    double* path;
    double* ret;
    double* apart;
    double* sel;
    double* end;  // the own-rows variant's end levels (see own_rows)
};

// The own-rows variant: each fund on its own rows, its first own row (own_first[c], a
// fund's first NAV, or its first value) and every later row holding a value, as if it
// were alone with its own dates. The levels of the panel's paths already are the fund's
// own (a missing value keeps the level), and each panel row's horizon ends on the first
// panel row on or after its calendar end, so the fund's own horizon from an own row ends
// on its first own row at or after that row (on its last own row when there is none).
// Per lane, end[r * L + j] becomes the level of the first own row at or after row r, NaN
// when that lies outside the window or there is none; and path[k * L + j] stays the
// level of row k only where row k starts a horizon the fund counts alone: an own row
// inside the window, before the fund's own tail (its own rows whose horizons end on its
// last own row or beyond it, and the own row just before them, as the module leaves out
// the last rows of its dates), NaN elsewhere. Lanes past the last column hold no start.
// own_first[c] < 0: every row is the column's own (a column without a gap whose window
// starts on or after its first value), which gives the module's own results.
template <int L>
void own_rows(const fk::Matrix& m, std::int64_t c0, std::int64_t width,
              const std::int64_t* own_first, const Window* win, const std::int64_t* fut,
              double* path, double* end) {
    const std::int64_t D = m.rows;
    for (int j = 0; j < L; ++j) {
        if (j >= width) {
            for (std::int64_t r = 0; r < D; ++r) path[r * L + j] = end[r * L + j] = NaN;
            continue;
        }
        const std::int64_t c = c0 + j, f = own_first[c], lo = win[j].lo, hi = win[j].hi;
        const double* col = m.col(c);
        const bool every = f < 0;
        const auto own = [&](std::int64_t r) {
            return every || r == f || (r > f && col[r * m.rs] == col[r * m.rs]);
        };
        // The last two own rows, found from the last row up.
        std::int64_t last = -1, before_last = -1;
        for (std::int64_t r = D - 1; r >= 0 && before_last < 0; --r)
            if (own(r)) (last < 0 ? last : before_last) = r;
        // From the last row up, in one pass: the level of the next own row (NaN outside the
        // window), and each row's start level. An own row's horizon ends on the last own
        // row, or past it, when its panel end lies after the own row before the last; those
        // rows come last (the ends never decrease), and they and the own row just before
        // them start no counted horizon.
        std::int64_t next = -1;
        double next_level = NaN;
        bool counting = false;
        int skipped = 0;
        for (std::int64_t r = D - 1; r >= 0; --r) {
            const bool o = own(r);
            const double level = path[r * L + j];
            if (o) {
                next = r;
                next_level = level;
                if (!counting && fut[r] <= before_last && skipped++ > 0) counting = true;
            }
            end[r * L + j] = next >= lo && next <= hi && next >= 0 ? next_level : NaN;
            path[r * L + j] = counting && o && r >= lo && r <= hi ? level : NaN;
        }
    }
}

// One call's shared inputs and results. A worker computes a block of L adjacent columns
// at a time with block<L>: it builds the L value paths and takes their horizon returns row
// by row (in one walk for the module's forward horizons, see paths_and_returns), then each
// column's median from its returns.
struct Job {
    const fk::Matrix& m;
    const std::int64_t* sptr;
    const std::int64_t* eptr;
    const std::vector<std::int64_t>& fut;
    bool forward;          // every horizon ends at or after its own row
    std::int64_t last;     // the last row whose horizon is counted
    const Results& res;
    const std::int64_t* own_first;  // the own-rows variant's first own rows, else nullptr

    // Columns c0 .. c0 + width - 1 (width <= L). take() hands out the scratch (see
    // Scratch), for L lanes at least, once there is a horizon to compute.
    template <int L, class Take>
    void block(std::int64_t c0, std::int64_t width, const Take& take) const {
        const std::int64_t D = m.rows;
        Window win[L], lane[L];
        double lo[L], hi[L];
        std::int64_t k0 = D, k1 = -1;  // rows any window of the block holds
        for (int j = 0; j < L; ++j) {
            win[j] = j < width ? window_of(sptr[c0 + j], eptr[c0 + j], D) : Window{0, -1};
            lo[j] = static_cast<double>(win[j].lo);
            hi[j] = static_cast<double>(win[j].hi);
            const bool empty = win[j].lo > win[j].hi;
            lane[j] = empty ? Window{0, D - 1} : win[j];
            if (!empty) {
                k0 = std::min(k0, win[j].lo);
                k1 = std::max(k1, win[j].hi);
            }
        }
        k1 = std::min(k1, last);
        if (k0 > k1) return;  // no horizon in any column: all results stay NaN
        const Scratch& scratch = take();
        double* const path = scratch.path;
        double* const ret = scratch.ret;
        double* const sel = scratch.sel;
        std::int64_t all_lo = 0, all_hi = D - 1;  // rows every lane's window holds
        for (int j = 0; j < L; ++j) {
            all_lo = std::max(all_lo, win[j].lo);
            all_hi = std::min(all_hi, win[j].hi);
        }
        bool own = false;  // whether a lane of the block skips rows of the panel
        for (int j = 0; own_first && j < width; ++j) own = own || own_first[c0 + j] >= 0;
        Tally<L> tl;
        const double* rets = forward ? path : ret;
        if (forward && !own) {
            tl = paths_and_returns<L>(m, c0, width, lane, fut.data(), k0, k1, lo, hi,
                                      unwindowed(fut.data(), k0, k1, all_lo, all_hi), path,
                                      scratch.apart);
        } else {
            double level[L];
            for (int j = 0; j < L; ++j) level[j] = 1.0;
            build_paths<L>(m, c0, width, lane, 0, D - 1, true, level, path);
            const double* end_path = path;
            if (own) {
                // The windows are in the start and end levels: no row takes the window test.
                own_rows<L>(m, c0, width, own_first, win, fut.data(), path, scratch.end);
                end_path = scratch.end;
                all_lo = 0;
                all_hi = D - 1;
            }
            const Unwindowed u = unwindowed(fut.data(), k0, k1, all_lo, all_hi);
            tl = no_tally<L>();
            if (forward)
                returns_of<L, true>(path, end_path, fut.data(), k0, k1, lo, hi, u, nullptr, tl);
            else
                returns_of<L, false>(path, end_path, fut.data(), k0, k1, lo, hi, u, ret, tl);
            if constexpr (L > 1) lanes_apart<L>(rets, k0, k1, D, scratch.apart);
        }
        for (int j = 0; j < width; ++j) {
            if (tl.n[j] == 0.0) continue;  // no horizon: every result stays NaN
            const std::int64_t c = c0 + j;
            const double n = tl.n[j];
            res.avg[c] = tl.sum[j] / n;
            const std::int64_t rows = std::min(win[j].hi, k1) - win[j].lo + 1;
            const double* own = L > 1 ? scratch.apart + j * D : rets;
            res.med[c] = median_of(own + win[j].lo, 1, static_cast<std::size_t>(rows),
                                       static_cast<std::size_t>(n), sel, sel + 2 * D);
            res.win[c] = tl.gt0[j] / n;
            res.w0[c] = (tl.gt0[j] - tl.gt5[j]) / n;
            res.w5[c] = (tl.gt5[j] - tl.gt10[j]) / n;
            res.w10[c] = tl.gt10[j] / n;
            res.l0[c] = (tl.ge_m5[j] - tl.gt0[j]) / n;
            res.l5[c] = (tl.ge_m10[j] - tl.ge_m5[j]) / n;
            res.l10[c] = (n - tl.ge_m10[j]) / n;
        }
    }
};

// Every block's horizon returns and results, the blocks shared out among the workers.
void horizons(tag, const Matrix& m, const std::int64_t* sptr, const std::int64_t* eptr,
              const ForwardIndex& fi, Results& res, const std::int64_t* own_first) {
    const std::int64_t D = m.rows;
    const std::int64_t N = m.cols;
    const std::vector<std::int64_t>& fut = fi.fut;
    const bool forward = fi.forward;  // sorted dates, whole seconds
    // Horizons from the last tail + 1 rows are left out: those rows' horizons end on the
    // last row or beyond it, and so does the row just before them.
    const std::int64_t last = D - 2 - fi.tail;
    // Worker t takes the blocks of B adjacent columns t, t + n_th, t + 2 n_th, ... In a
    // row-major matrix they begin on a cache line, and the columns before the first line
    // boundary, if any, make a block of their own (block 0).
    const Job job{m, sptr, eptr, fut, forward, last, res, own_first};
    const std::int64_t head = N >= 2 * B ? fk::cols_to_line(m) : 0;
    const std::int64_t blocks = (head > 0 ? 1 : 0) + (N - head + B - 1) / B;
    // A worker's scratch: path and, unless forward, ret of D values per lane; apart of
    // D values per lane when there are several; sel of 3 D values.
    // Narrow matrices walk one lane only.
    const auto Dz = static_cast<std::size_t>(D);
    const std::size_t lanes = N > narrow ? B : 1;
    const std::size_t path_size = Dz * lanes, ret_size = forward ? 0 : Dz * lanes,
                      apart_size = lanes > 1 ? Dz * lanes : 0, sel_size = 3 * Dz,
                      end_size = own_first ? Dz * lanes : 0;
    fk::fan_out(static_cast<std::uint64_t>(blocks), [&](std::uint64_t t, std::uint64_t n_th) {
        // Scratch is taken when a block first has a horizon to compute, and left
        // uninitialised: every slot is written before it is read, and pages never touched
        // (most of the selection's) cost nothing. It comes from the heap, not the stack:
        // a thread's stack pages beyond the top few are given back when it ends, so a
        // buffer there would fault its pages in anew on every call.
        std::unique_ptr<double[]> heap_path, heap_ret, heap_apart, heap_sel, heap_end;
        Scratch scratch{};
        const auto take = [&]() -> const Scratch& {
            if (!scratch.path) {
                heap_path.reset(new double[path_size]);
                if (ret_size) heap_ret.reset(new double[ret_size]);
                if (apart_size) heap_apart.reset(new double[apart_size]);
                heap_sel.reset(new double[sel_size]);
                if (end_size) heap_end.reset(new double[end_size]);
                scratch = {heap_path.get(), heap_ret.get(), heap_apart.get(), heap_sel.get(),
                           heap_end.get()};
            }
            return scratch;
        };
        const auto step = static_cast<std::int64_t>(n_th);
        for (auto b = static_cast<std::int64_t>(t); b < blocks; b += step) {
            const std::int64_t c0 = head == 0 ? b * B : b == 0 ? 0 : head + (b - 1) * B;
            const std::int64_t width = std::min(b == 0 && head > 0 ? head : B, N - c0);
            if (width > narrow) {
                job.block<B>(c0, width, take);
                continue;
            }
            for (std::int64_t c = c0; c < c0 + width; ++c) job.block<1>(c, 1, take);
        }
    }, horizon_work * fk::element_reads(m));
}
