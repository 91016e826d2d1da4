// extremeset: per fund, the most extreme compounded growth over a run of consecutive
// positive values, its length in rows and the date texts of its first and last row.
//
// Positive mode compounds the factors 1 + v and looks for the largest growth; inverted mode
// compounds 1 - v over the same runs and looks for the smallest (the deepest fall when the
// values are loss sizes given as positive numbers).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

struct ColRes {
    double r = 0.0;         // compounded return of the extreme run
    std::int64_t p = 0;     // its length in rows
    std::string s = "nan";  // date text of its first row
    std::string l = "nan";  // date text of its last row
};

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// All ones when c holds, else zero: selections as bit operations, which the compiler keeps
// free of branches.
std::uint64_t mask(bool c) { return -static_cast<std::uint64_t>(c); }

// The growth of a run at row r is not a product restarted at the run's start but the
// quotient of the running product over all selected rows by that product as it stood just
// before the run began; the rounding of that quotient decides ties between runs, so it is
// reproduced exactly. A quotient of exactly 1.0 counts as no growth at all and, like 0/0
// and inf/inf once the running product has hit 0 or infinity, is unusable: it takes no part
// and, inside a run, cuts the reported run short.
//
// One pass computes every row's quotient into `ratio` (NaN where unusable), the extreme
// and its latest row; the run's first row is then found by walking back over `ratio`. The
// pass has no data-dependent branches, because the signs of returns are as good as random
// and mispredicted branches on them (or on NaN-ness) would cost more than the arithmetic.
// An unselected row contributes the factor 1 +- 0.0 = 1.0, which leaves the running product
// bit for bit as it was (NaN, infinities and signed zeros included), and it sets the divisor
// to the current product, which is where the product stands when the next run begins (1.0
// for a run that starts at row 0).
template <bool Positive>
ColRes extreme_run(const double* col_ptr, std::int64_t rows, std::int64_t stride,
                   const std::int64_t* dates, double* ratio) {
    double acc = 1.0;
    std::uint64_t denom = bits(1.0);
    double extreme = Positive ? -std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::infinity();
    std::int64_t last_idx = 0;
    for (std::int64_t r = 0; r < rows; ++r) {
        const double v = col_ptr[r * stride];
        const std::uint64_t sel = mask(v > 0.0);  // false for NaN: gaps, zeros, losses end a run
        const double gain = from_bits(bits(v) & sel);
        denom = (denom & sel) | (bits(acc) & ~sel);
        acc = acc * (Positive ? gain + 1.0 : 1.0 - gain);
        const double x = acc / from_bits(denom);
        const std::uint64_t use = sel & mask(x != 1.0);  // 0/0 and inf/inf stay NaN
        const double q = from_bits((bits(x) & use) | (bits(NaN) & ~use));
        ratio[r] = q;
        // NaN never compares true, so unusable rows leave the extreme alone. Ties move the
        // row on: of two runs with the same growth, the later one is reported.
        const bool better = Positive ? q >= extreme : q <= extreme;
        extreme = better ? q : extreme;
        last_idx = better ? r : last_idx;
    }
    ColRes res;
    // No usable quotient at all, or an infinite extreme: the fund has no run to report.
    if (std::isinf(extreme)) return res;
    std::int64_t first_idx = last_idx;
    while (first_idx > 0 && !std::isnan(ratio[first_idx - 1])) --first_idx;
    res.r = extreme - 1.0;
    res.p = last_idx - first_idx + 1;
    res.s = fk::ns2ymd(dates[first_idx]);
    res.l = fk::ns2ymd(dates[last_idx]);
    return res;
}

// One column: its value in row r is col_ptr[r * stride]; only the dates of the reported
// run's first and last row are read. `ratio` is scratch of at least `rows` elements.
ColRes process_col(const double* col_ptr, std::int64_t rows, std::int64_t stride,
                   const std::int64_t* dates, bool positive, double* ratio) {
    return positive ? extreme_run<true>(col_ptr, rows, stride, dates, ratio)
                    : extreme_run<false>(col_ptr, rows, stride, dates, ratio);
}

py::dict main_cal_largest_one_for_all(fk::f64_array array_value, fk::i64_array dates,
                                      const std::string& i_code) {
    const fk::Matrix m = fk::matrix_arg(array_value, "array_value");
    const std::int64_t R = m.rows;
    const std::int64_t C = m.cols;
    // A matrix without rows reads no dates, so it may come with none.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", R, "rows");
    const bool positive = i_code == "positive";  // exact and case-sensitive; anything else inverts

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::int64_t> p(static_cast<std::size_t>(C), 0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> l(static_cast<std::size_t>(C), "nan");
    fk::fan_out(static_cast<std::uint64_t>(C), [&](std::uint64_t t, std::uint64_t n) {
        std::vector<double> ratio(static_cast<std::size_t>(R));  // reused for every column
        for (std::uint64_t c = t; c < static_cast<std::uint64_t>(C); c += n) {
            ColRes res = process_col(m.col(static_cast<std::int64_t>(c)), R, m.rs, dptr,
                                     positive, ratio.data());
            r[c] = res.r;
            p[c] = res.p;
            s[c] = std::move(res.s);
            l[c] = std::move(res.l);
        }
    });

    py::dict res;
    res["r"] = fk::to_numpy(r);
    res["p"] = fk::to_numpy(p);
    res["s"] = fk::to_list(s);
    res["l"] = fk::to_list(l);
    return res;
}

}  // namespace

PYBIND11_MODULE(extremeset, m) {
    m.def("extremeset", &main_cal_largest_one_for_all, py::arg("array_value"), py::arg("dates"),
          py::arg("i_code") = "positive");
}
