// horizonret's calendar (the period code, where each row's horizon ends, the result
// arrays, the windows) and its kernels, shared by the module and by the front ends' private
// variant that takes each fund on its own rows (fundkernels._ownhorizon). A source file
// includes this header once.
#pragma once

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
#include "frame.hpp"

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

}  // namespace

#define FK_KERNELS "horizonret/kernels.hpp"
#include "each_path.hpp"

namespace {

// The results of a call: one block of columns after another on the widest path the CPU
// runs. own_first: nullptr for the module itself; for the own-rows variant, each column's
// first own row (see own_rows in kernels.hpp).
py::tuple horizon_results(const std::string& i_code, fk::f64_array& funds_val,
                          fk::i64_array& start_idx, fk::i64_array& end_idx, fk::i64_array& day_arr,
                          const std::int64_t* own_first) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "returns");
    const std::int64_t D = m.rows;
    const std::int64_t N = m.cols;
    const std::int64_t* sptr = fk::vector_arg(start_idx, "start_idx", N, "columns");
    const std::int64_t* eptr = fk::vector_arg(end_idx, "end_idx", N, "columns");
    const std::int64_t* dptr = fk::vector_arg(day_arr, "dates", D, "rows");

    const std::int32_t months = parse_months(i_code);

    const ForwardIndex fi = forward_index(dptr, D, months);
    Results res(N);
    fk::on_path([&](auto path) { horizons(path, m, sptr, eptr, fi, res, own_first); });
    return res.tuple();
}

}  // namespace
