// horizonret: per fund, the distribution of its returns over a rolling calendar horizon of
// whole months or years (3M, 1Y, ...): mean, median, share of positive horizons and the
// shares in six return bands.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "datetext.hpp"
#ifdef __AVX__
#include "lanes.hpp"
#endif
#include "frame.hpp"
#include "select.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

constexpr std::int32_t I32_MAX = std::numeric_limits<std::int32_t>::max();

using fk::add_months_ns;
constexpr std::int64_t BEYOND = fk::beyond_ns;

// The period search only needs, of each run of digits, whether it is followed by M or Y
// and its value as an int. Long runs would make the backtracking search recurse once per
// digit (a stack overflow for long texts) and take quadratic time, so each run is
// shortened first to a run with the same value: leading zeros dropped (one kept for a run
// of zeros), and more than ten significant digits cut to eleven, which stays out of range.
std::string shorten_digit_runs(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] < '0' || text[i] > '9') {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        std::size_t first = i;
        while (first + 1 < end && text[first] == '0') ++first;
        out.append(text, first, std::min<std::size_t>(end - first, 11));
        i = end;
    }
    return out;
}

// Period code to a month count: the leftmost digits followed by M or Y, anywhere in the
// text ("3M", "1Y", "x5Yz"; "1Y6M" is 12). A run of digits is taken whole or not at all:
// no shorter run inside it can be followed by a letter.
std::int32_t parse_months(const std::string& i_code) {
    const std::string text = shorten_digit_runs(i_code);
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    while (i < text.size()) {
        if (!digit(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && digit(text[end])) ++end;
        if (end < text.size() && (text[end] == 'M' || text[end] == 'Y')) {
            const std::string run = text.substr(i, end - i);
            const std::int32_t num = std::stoi(run);  // out_of_range "stoi" above 2^31 - 1
            if (text[end] == 'M') return num;
            if (num > I32_MAX / 12)
                throw std::invalid_argument("horizon too long: " + run + "Y is more than " +
                                            std::to_string(I32_MAX) + " months");
            return num * 12;
        }
        i = end;
    }
    throw std::runtime_error("i_code 格式错误");
}

constexpr std::int64_t day_s = 86400;
constexpr std::int64_t day_ns = day_s * fk::ns_per_s;

// Day number of a count of whole seconds, floored.
std::int64_t day_of(std::int64_t s) { return s / day_s - (s % day_s < 0 ? 1 : 0); }

// Days from 1970-01-01 to the first day of the month after month m (0 to 11) of year y.
std::int64_t next_month_day(std::int64_t y, std::int64_t m) {
    return m == 11 ? fk::days_from_civil(y + 1, 1, 1) : fk::days_from_civil(y, m + 2, 1);
}

// Where the horizons from one calendar month of dates end. A horizon from day d of a month
// ends d - 1 days after the one from the month's first day, at the same time of day, as
// long as the month it ends in has d days; from a later day it ends on that month's last
// day, at the same time of day. So one month addition, to the month's first day, serves
// every row of the month, and the next month follows from this one by a step.
struct MonthEnds {
    bool known = false;  // false also where the ends lie too near the int64 limits for this
    // The month (year y, month m from 0) and the month its first day's horizon ends in:
    // first days from 1970-01-01 and lengths in days.
    std::int64_t y = 0, m = 0, first = 0, days = 0;
    std::int64_t end_y = 0, end_m = 0, end_first = 0, end_days = 0;
    // In whole seconds, as the calendar breakdown counts them: rows of [lo_s, lo_s +
    // unclamped) end `shift` nanoseconds after their own time; rows from there to hi_s end
    // on last_day_s plus their time of day.
    std::int64_t lo_s = 0, hi_s = 0, shift = 0, last_day_s = 0;
    std::uint64_t unclamped = 0;

    // Largest first day of an end month whose days all have nanosecond counts to spare.
    static constexpr std::int64_t end_first_max =
        (std::numeric_limits<std::int64_t>::max() - 32 * day_ns) / day_ns;

    void derive() {
        known = end_first <= end_first_max;
        if (!known) return;
        lo_s = first * day_s;
        hi_s = (first + days) * day_s;
        unclamped = static_cast<std::uint64_t>(std::min(days, end_days) * day_s);
        shift = (end_first - first) * day_ns;
        last_day_s = (end_first + end_days - 1) * day_s;
    }

    // On to the following month; its horizons end in the month after this one's.
    void step() {
        first += days;
        end_first += end_days;
        y += m == 11 ? 1 : 0;
        m = m == 11 ? 0 : m + 1;
        end_y += end_m == 11 ? 1 : 0;
        end_m = end_m == 11 ? 0 : end_m + 1;
        days = next_month_day(y, m) - first;
        end_days = next_month_day(end_y, end_m) - end_first;
        derive();
    }

    // The month of the time ns, day number day: one calendar breakdown of it and one
    // month addition to its first day.
    static MonthEnds of(std::int64_t ns, std::int64_t day, std::int32_t months) {
        MonthEnds me;
        std::tm tm{};
        fk::ns_to_tm(ns, tm);
        me.first = day - (tm.tm_mday - 1);
        if (me.first <= std::numeric_limits<std::int64_t>::min() / day_ns + 1) return me;
        std::int64_t e;
        try {
            e = add_months_ns(me.first * day_ns, months);
        } catch (const std::invalid_argument&) {
            return me;  // past the calendar's months: the row's own addition raises, with its date
        }
        if (e == BEYOND) return me;
        std::tm end_tm{};
        fk::ns_to_tm(e, end_tm);
        me.y = std::int64_t{tm.tm_year} + 1900;
        me.m = tm.tm_mon;
        me.days = next_month_day(me.y, me.m) - me.first;
        me.end_y = std::int64_t{end_tm.tm_year} + 1900;
        me.end_m = end_tm.tm_mon;
        me.end_first = e / day_ns;  // e is a midnight: the division is exact
        me.end_days = next_month_day(me.end_y, me.end_m) - me.end_first;
        me.derive();
        return me;
    }

    // End of the horizon from ns (whole seconds s), a row outside the unclamped days of
    // this month: this month's clamped days, the next month's, or a month of its own.
    std::int64_t end_of(std::int64_t ns, std::int64_t s, std::int32_t months) {
        if (known && s >= hi_s) {
            MonthEnds next = *this;
            next.step();
            if (next.known && s < next.hi_s) *this = next;
        }
        if (!known || s < lo_s || s >= hi_s) *this = of(ns, day_of(s), months);
        if (!known) return add_months_ns(ns, months);  // raises for a horizon out of range
        if (static_cast<std::uint64_t>(s - lo_s) < unclamped) return s * fk::ns_per_s + shift;
        return (last_day_s + (s - day_of(s) * day_s)) * fk::ns_per_s;
    }
};

// Forward index: the row at which each row's horizon ends, found by one cursor that only
// moves forward over the (sorted) dates; D - 1 where it ends beyond the last row. The
// calendar breakdown runs about once per month of dates (see MonthEnds), not once per row.
// Also how many rows end on the last row (tail), and whether every horizon ends at or after
// its own row (forward).
struct ForwardIndex {
    std::vector<std::int64_t> fut;
    std::int64_t tail = 0;
    bool forward = true;
};

ForwardIndex forward_index(const std::int64_t* dptr, std::int64_t D, std::int32_t months) {
    ForwardIndex fi;
    fi.fut.resize(static_cast<std::size_t>(D));
    std::int64_t* const fut = fi.fut.data();
    MonthEnds me;
    std::int64_t cur = 0;
    bool forward = true;
    for (std::int64_t i = 0; i < D; ++i) {
        const std::int64_t ns = dptr[i];
        const std::int64_t s = ns / fk::ns_per_s;  // toward zero, as the breakdown takes it
        std::int64_t tgt;
        if (static_cast<std::uint64_t>(s - me.lo_s) < me.unclamped) {
            tgt = s * fk::ns_per_s + me.shift;
        } else {
            tgt = me.end_of(ns, s, months);
            if (tgt == BEYOND) cur = D;  // even a date of BEYOND itself lies before it
        }
        while (cur < D && dptr[cur] < tgt) ++cur;
        const std::int64_t f = std::min(cur, D - 1);
        fut[i] = f;
        forward = forward && f >= i;
    }
    // The cursor never moves back, so the rows that end on the last row come last.
    std::int64_t i = D;
    while (i > 0 && fut[i - 1] == D - 1) --i;
    fi.tail = D - i;
    fi.forward = forward;
    return fi;
}

// The nine result arrays, made before the workers start and filled in place: each worker
// writes only its own columns' slots, through plain pointers, and never touches a Python
// object. Every slot starts as NaN, which a fund without a horizon return keeps.
struct Results {
    py::object arrays[9];  // not array_t: its default constructor makes an empty array
    double *avg, *med, *win, *w0, *w5, *w10, *l0, *l5, *l10;

    explicit Results(std::int64_t n) {
        double* slots[9];
        for (int k = 0; k < 9; ++k) {
            py::array_t<double> a = fk::new_vector<double>(static_cast<std::size_t>(n));
            slots[k] = a.mutable_data();
            arrays[k] = std::move(a);
            std::fill_n(slots[k], n, NaN);
        }
        avg = slots[0], med = slots[1], win = slots[2], w0 = slots[3], w5 = slots[4];
        w10 = slots[5], l0 = slots[6], l5 = slots[7], l10 = slots[8];
    }

    py::tuple tuple() {
        const auto& a = arrays;
        return fk::tuple_of(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
    }
};

// A fund's window of rows, clipped to the matrix (lo > hi when it holds no row).
struct Window {
    std::int64_t lo, hi;
};

Window window_of(std::int64_t start, std::int64_t end, std::int64_t D) {
    return {std::max<std::int64_t>(start, 0), std::min<std::int64_t>(end, D - 1)};
}

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

// Value paths of the block of columns c0 .. c0 + width - 1: path[r * L + j] is column j's
// level at row r. Inside a column's window the level compounds 1 + v from 1.0, and a
// missing return keeps it (before the first valid value, at 1.0); outside the window the
// level is never read. win holds each lane's window, full for lanes without results.
//
// One pass row by row: each row's returns become growth factors (1 + v inside the window
// where v is not NaN, 1.0 elsewhere) and multiply the previous row's levels. A factor of
// 1.0 leaves a level's bits as they were, and the first row's levels are its factors
// (1.0 times a factor is the factor). A row-major block is copied first; a
// matrix whose columns are contiguous is read four rows at a time and transposed; any
// other layout one value at a time. Lanes past the last column repeat it: their levels
// are never read.
template <int L>
void build_paths(const fk::Matrix& m, std::int64_t c0, std::int64_t width, const Window* win,
                 double* path) {
    const std::int64_t D = m.rows;
    const double* col[L];
    for (int j = 0; j < L; ++j) col[j] = m.col(c0 + std::min<std::int64_t>(j, width - 1));
#ifdef __AVX__
    if constexpr (L % 4 == 0) {
        constexpr int V = L / 4;
        const __m256d one = _mm256_set1_pd(1.0);
        __m256d lo[V], hi[V], level[V];
        for (int b = 0; b < V; ++b) {
            lo[b] = _mm256_setr_pd(static_cast<double>(win[4 * b].lo),
                                   static_cast<double>(win[4 * b + 1].lo),
                                   static_cast<double>(win[4 * b + 2].lo),
                                   static_cast<double>(win[4 * b + 3].lo));
            hi[b] = _mm256_setr_pd(static_cast<double>(win[4 * b].hi),
                                   static_cast<double>(win[4 * b + 1].hi),
                                   static_cast<double>(win[4 * b + 2].hi),
                                   static_cast<double>(win[4 * b + 3].hi));
            level[b] = one;
        }
        const auto compound = [&](const __m256d* v, std::int64_t r) {
            const __m256d at = _mm256_set1_pd(static_cast<double>(r));
            for (int b = 0; b < V; ++b) {
                const __m256d vp = _mm256_add_pd(v[b], one);  // NaN only when v is NaN
                const __m256d in = _mm256_and_pd(_mm256_cmp_pd(at, lo[b], _CMP_GE_OQ),
                                                 _mm256_cmp_pd(at, hi[b], _CMP_LE_OQ));
                const __m256d ok = _mm256_and_pd(in, _mm256_cmp_pd(vp, vp, _CMP_ORD_Q));
                level[b] = _mm256_mul_pd(level[b], fk::select(ok, vp, one));
                _mm256_storeu_pd(path + r * L + 4 * b, level[b]);
            }
        };
        std::int64_t r = 0;
        __m256d v[4][V];
        if (m.cs == 1 && width == L) {
            // Copied first and compounded in place: a loop that only copies keeps the
            // loads of many rows in flight, each from a line of its own.
            for (std::int64_t k = 0; k < D; ++k) {
                const double* src = m.data + k * m.rs + c0;
                if (k + ahead < D) __builtin_prefetch(src + ahead * m.rs);
                for (int b = 0; b < V; ++b)
                    _mm256_storeu_pd(path + k * L + 4 * b, _mm256_loadu_pd(src + 4 * b));
            }
            for (; r < D; ++r) {
                for (int b = 0; b < V; ++b) v[0][b] = _mm256_loadu_pd(path + r * L + 4 * b);
                compound(v[0], r);
            }
        } else if (m.rs == 1) {
            for (; r + 4 <= D; r += 4) {
                for (int b = 0; b < V; ++b) {
                    const double* const* c = col + 4 * b;
                    __m256d t[4];
                    fk::transpose4(_mm256_loadu_pd(c[0] + r), _mm256_loadu_pd(c[1] + r),
                                   _mm256_loadu_pd(c[2] + r), _mm256_loadu_pd(c[3] + r), t);
                    for (int i = 0; i < 4; ++i) v[i][b] = t[i];
                }
                for (int i = 0; i < 4; ++i) compound(v[i], r + i);
            }
        }
        for (; r < D; ++r) {
            const std::int64_t o = r * m.rs;
            for (int b = 0; b < V; ++b)
                v[0][b] = _mm256_setr_pd(col[4 * b][o], col[4 * b + 1][o], col[4 * b + 2][o],
                                         col[4 * b + 3][o]);
            compound(v[0], r);
        }
        return;
    }
#endif
    double level[L];
    for (int j = 0; j < L; ++j) level[j] = 1.0;
    for (std::int64_t r = 0; r < D; ++r)
        for (int j = 0; j < L; ++j) {
            const double vp = col[j][r * m.rs] + 1.0;
            const bool ok = r >= win[j].lo && r <= win[j].hi && vp == vp;
            level[j] *= ok ? vp : 1.0;
            path[r * L + j] = level[j];
        }
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
// return from row k to row fut[k], NaN where either row lies outside the column's window
// (lo[j], hi[j]) or the quotient is NaN. Tallies them on the way. Selections only pick
// loaded values or constants, and every operation runs for every lane: the compiler may
// not speculate a floating-point operation that the source runs only under a condition,
// and it would leave such a loop unvectorised.
//
// With forward horizons (fut[k] >= k for every row) the returns may take the paths' place
// (in_place, ret unused): the return of row k needs only rows k and fut[k], which no
// earlier row overwrites.
//
// Rows whose horizon starts and ends inside every lane's window (windowed false) skip the
// window test; the tallies go on from where the rows before left them.
template <int L, bool in_place, bool windowed>
void horizon_returns(double* path, const std::int64_t* fut, std::int64_t k0, std::int64_t k1,
                     const double* lo, const double* hi, double* ret, Tally<L>& t) {
    double kd = static_cast<double>(k0);  // k as a double, counted alongside it
    for (std::int64_t k = k0; k <= k1; ++k, kd += 1.0) {
        const std::int64_t f = fut[k];
        const double fd = static_cast<double>(f);
        double* pk = path + k * L;
        const double* pf = path + f * L;
        double* out = in_place ? pk : ret + k * L;
        for (int j = 0; j < L; ++j) {
            const bool inside = !windowed ||
                                ((kd >= lo[j]) & (kd <= hi[j]) & (fd >= lo[j]) & (fd <= hi[j]));
            const double end = pf[j];
            const double num = inside ? end : NaN;
            const double x = num / pk[j] - 1.0;  // NaN outside the window
            const bool valid = x == x;
            const double one = valid ? 1.0 : 0.0;
            // Adding 0.0 for an invalid row leaves the sum's bits alone: the sum is never
            // -0.0, as no return is (q - 1.0 is +0.0 when q is 1.0).
            const double add = valid ? x : 0.0;
            const double c0 = x > 0.0 ? 1.0 : 0.0;
            const double c5 = x > 0.05 ? 1.0 : 0.0;
            const double c10 = x > 0.1 ? 1.0 : 0.0;
            const double cm5 = x >= -0.05 ? 1.0 : 0.0;
            const double cm10 = x >= -0.1 ? 1.0 : 0.0;
            t.n[j] += one;
            t.sum[j] += add;  // plain running sum in row order
            t.gt0[j] += c0;
            t.gt5[j] += c5;
            t.gt10[j] += c10;
            t.ge_m5[j] += cm5;
            t.ge_m10[j] += cm10;
            out[j] = x;
        }
    }
}

// The returns of rows k0..k1 and their tallies: the rows that every lane's window holds
// together with their horizon ends (all_lo, all_hi) run without the window test.
template <int L, bool in_place>
Tally<L> block_returns(double* path, const std::int64_t* fut, std::int64_t k0, std::int64_t k1,
                       const double* lo, const double* hi, std::int64_t all_lo,
                       std::int64_t all_hi, double* ret) {
    Tally<L> t;
    for (int j = 0; j < L; ++j)
        t.n[j] = t.sum[j] = t.gt0[j] = t.gt5[j] = t.gt10[j] = t.ge_m5[j] = t.ge_m10[j] = 0.0;
    // The horizon ends never decrease (the forward index's cursor never moves back), so
    // those rows run from ka to the first whose end lies past all_hi.
    std::int64_t ka = std::max(k0, all_lo), kb = ka;
    const std::int64_t kl = std::min(k1, all_hi);
    if (ka <= kl && fut[ka] >= all_lo) kb = std::upper_bound(fut + ka, fut + kl + 1, all_hi) - fut;
    if (ka == kb) ka = kb = k1 + 1;  // no such row: all of them take the test
    horizon_returns<L, in_place, true>(path, fut, k0, ka - 1, lo, hi, ret, t);
    horizon_returns<L, in_place, false>(path, fut, ka, kb - 1, lo, hi, ret, t);
    horizon_returns<L, in_place, true>(path, fut, kb, k1, lo, hi, ret, t);
    return t;
}

// A worker's scratch for a block: value paths, returns where they cannot take the paths'
// place, each lane's returns on their own, and the median's buffers.
struct Scratch {
    double* path;
    double* ret;
    double* apart;
    double* sel;
};

// Lane j's values of rows k0 .. k1 of an array of L lanes per row to out[j * D + r]: a
// lane's median then reads its returns side by side, instead of one value from each of
// the cache lines that all L lanes share, once per lane.
template <int L>
void lanes_apart(const double* in, std::int64_t k0, std::int64_t k1, std::int64_t D,
                 double* out) {
    std::int64_t r = k0;
#ifdef __AVX__
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

// One call's shared inputs and results. A worker computes a block of L adjacent columns
// at a time with block<L>: it walks the block's rows once to build the L value paths, takes
// their horizon returns row by row, then each column's median from its returns.
struct Job {
    const fk::Matrix& m;
    const std::int64_t* sptr;
    const std::int64_t* eptr;
    const std::vector<std::int64_t>& fut;
    bool forward;          // every horizon ends at or after its own row
    std::int64_t last;     // the last row whose horizon is counted
    const Results& res;

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
        build_paths<L>(m, c0, width, lane, path);
        std::int64_t all_lo = 0, all_hi = D - 1;  // rows every lane's window holds
        for (int j = 0; j < L; ++j) {
            all_lo = std::max(all_lo, win[j].lo);
            all_hi = std::min(all_hi, win[j].hi);
        }
        const Tally<L> tl =
            forward ? block_returns<L, true>(path, fut.data(), k0, k1, lo, hi, all_lo, all_hi,
                                             nullptr)
                    : block_returns<L, false>(path, fut.data(), k0, k1, lo, hi, all_lo, all_hi,
                                              ret);
        const double* rets = forward ? path : ret;
        if constexpr (L > 1) lanes_apart<L>(rets, k0, k1, D, scratch.apart);
        for (int j = 0; j < width; ++j) {
            if (tl.n[j] == 0.0) continue;  // no horizon: every result stays NaN
            const std::int64_t c = c0 + j;
            const double n = tl.n[j];
            res.avg[c] = tl.sum[j] / n;
            const std::int64_t rows = std::min(win[j].hi, k1) - win[j].lo + 1;
            const double* own = L > 1 ? scratch.apart + j * D : rets;
            res.med[c] = fk::median_of(own + win[j].lo, 1, static_cast<std::size_t>(rows),
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

py::tuple cal_rolling_gain(std::string i_code, fk::f64_array funds_val, fk::i64_array start_idx,
                           fk::i64_array end_idx, fk::i64_array day_arr) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "returns");
    const std::int64_t D = m.rows;
    const std::int64_t N = m.cols;
    const std::int64_t* sptr = fk::vector_arg(start_idx, "start_idx", N, "columns");
    const std::int64_t* eptr = fk::vector_arg(end_idx, "end_idx", N, "columns");
    const std::int64_t* dptr = fk::vector_arg(day_arr, "dates", D, "rows");

    const std::int32_t months = parse_months(i_code);

    const ForwardIndex fi = forward_index(dptr, D, months);
    const std::vector<std::int64_t>& fut = fi.fut;
    const bool forward = fi.forward;  // sorted dates, whole seconds

    Results res(N);
    // Horizons from the last tail + 1 rows are left out: those rows' horizons end on the
    // last row or beyond it, and so does the row just before them.
    const std::int64_t last = D - 2 - fi.tail;
    // Worker t takes the blocks of B adjacent columns t, t + n_th, t + 2 n_th, ... In a
    // row-major matrix they begin on a cache line, and the columns before the first line
    // boundary, if any, make a block of their own (block 0).
    const Job job{m, sptr, eptr, fut, forward, last, res};
    const std::int64_t head = N >= 2 * B ? fk::cols_to_line(m) : 0;
    const std::int64_t blocks = (head > 0 ? 1 : 0) + (N - head + B - 1) / B;
    // A worker's scratch: path and, unless forward, ret of D values per lane; apart of
    // D values per lane when there are several; sel of 3 D values.
    // Narrow matrices walk one lane only.
    const auto Dz = static_cast<std::size_t>(D);
    const std::size_t lanes = N > narrow ? B : 1;
    const std::size_t path_size = Dz * lanes, ret_size = forward ? 0 : Dz * lanes,
                      apart_size = lanes > 1 ? Dz * lanes : 0, sel_size = 3 * Dz;
    fk::fan_out(static_cast<std::uint64_t>(blocks), [&](std::uint64_t t, std::uint64_t n_th) {
        // Scratch is taken when a block first has a horizon to compute, and left
        // uninitialised: every slot is written before it is read, and pages never touched
        // (most of the selection's) cost nothing. It comes from the heap, not the stack:
        // a thread's stack pages beyond the top few are given back when it ends, so a
        // buffer there would fault its pages in anew on every call.
        std::unique_ptr<double[]> heap_path, heap_ret, heap_apart, heap_sel;
        Scratch scratch{};
        const auto take = [&]() -> const Scratch& {
            if (!scratch.path) {
                heap_path.reset(new double[path_size]);
                if (ret_size) heap_ret.reset(new double[ret_size]);
                if (apart_size) heap_apart.reset(new double[apart_size]);
                heap_sel.reset(new double[sel_size]);
                scratch = {heap_path.get(), heap_ret.get(), heap_apart.get(), heap_sel.get()};
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

    return res.tuple();
}

}  // namespace

PYBIND11_MODULE(horizonret, m) {
    m.def("horizonret", &cal_rolling_gain,
          "Fully numpy-consistent C++ implementation of cal_rolling_gain");
}
