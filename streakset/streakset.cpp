// streakset: per fund, the longest run of consecutive strictly positive values (the latest
// of equally long runs), the compounded return over it, the dates of its first and last
// rows and its length in rows.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// What one column reports; a column without a run keeps these initial values.
struct ColRes {
    double r = 0.0;
    std::string s = "nan";
    std::string e = "nan";
    std::int64_t days = 0;
};

double double_of(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

std::uint64_t bits_of(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// The report of one column from its scan: the best run ends at row `end` (-1: no run) and
// is `len` rows long; `base` is the running product before its first row, `last` the
// running product through its last row.
ColRes finish(std::int64_t len, std::int64_t end, double base, double last,
              const std::int64_t* dates) {
    ColRes res;
    if (end < 0) return res;  // no run: dates are not read
    // A zero base (of either sign) has no meaningful growth; a NaN base gives NaN anyway.
    res.r = base == 0.0 ? NaN : last / base - 1.0;
    res.s = fk::ns2ymd(dates[end - len + 1]);
    res.e = fk::ns2ymd(dates[end]);
    res.days = len;
    return res;
}

// W neighbouring columns scanned side by side, row by row: column k of the block starts at
// p[k * cs] and moves rs elements per row. Results go to out[0 .. W-1].
//
// The return of a run is P(end) / P(start - 1) - 1, where P(r) is the running product of
// the factors (1 + v), or (1 - v) when `Invert`, over rows 0..r of the whole column with
// NaN rows skipped, and P(-1) = 1.0: a run that opens the column is measured from the
// start value 1.0. The scan and the product share one pass: when a run opens, the product
// before its first row is its base; whenever it becomes the best run so far, its base and
// the product through its current row are kept. The multiplications are those of
// compounding the whole column first, in the same order, so the result is the same bits.
//
// A run is a run of values > 0 in either mode: NaN, 0.0 and -0.0 break it, +inf extends
// it. Ties in length go to the later run (>=).
//
// Signs of returns are a coin toss, so nothing may branch on them: the run length is
// masked to zero, and the base is picked by a conditional move on its bit pattern. The
// only branch, a new best run, is rare after the first rows. `need` is the length a run
// must reach to become the best, max(best length, 1), which folds "is in a run" into the
// one comparison. Lanes never interact, so a column gives the same result in a block as
// alone (W = 1); interleaving them hides the latency of each column's product chain.
template <bool Invert, int W>
void calc_col(const double* p, std::int64_t rs, std::int64_t cs, std::int64_t R,
              const std::int64_t* dates, ColRes* out) {
    double acc[W], best_last[W];
    std::uint64_t run_base[W], best_base[W];
    std::int64_t cur[W], need[W], best_end[W];
    for (int k = 0; k < W; ++k) {
        acc[k] = best_last[k] = 1.0;
        run_base[k] = best_base[k] = bits_of(1.0);
        cur[k] = 0;
        need[k] = 1;
        best_end[k] = -1;
    }
    for (std::int64_t row = 0; row < R; ++row) {
        const double* x_row = p + row * rs;
        for (int k = 0; k < W; ++k) {
            const double x = x_row[k * cs];
            const std::uint64_t before = bits_of(acc[k]);
            run_base[k] = cur[k] == 0 ? before : run_base[k];
            if (!std::isnan(x)) acc[k] = acc[k] * (Invert ? 1.0 - x : 1.0 + x);
            cur[k] = (cur[k] + 1) & -static_cast<std::int64_t>(x > 0.0);
            if (cur[k] >= need[k]) {
                need[k] = cur[k];
                best_end[k] = row;
                best_base[k] = run_base[k];
                best_last[k] = acc[k];
            }
        }
    }
    for (int k = 0; k < W; ++k)
        out[k] = finish(need[k], best_end[k], double_of(best_base[k]), best_last[k], dates);
}

py::tuple main_cal_longest_one_for_all(fk::f64_array a_value, fk::i64_array dates,
                                       const std::string& i_code) {
    const fk::Matrix m = fk::matrix_arg(a_value, "a_value");
    const std::int64_t R = m.rows;
    const std::int64_t C = m.cols;
    // Only the first and last row of each run are looked up, but every row may be one.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", R, "rows");

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> e(static_cast<std::size_t>(C), "nan");
    std::vector<std::int64_t> days(static_cast<std::size_t>(C), 0);

    // Exact and case-sensitive: every other text, the empty one included, inverts.
    const bool positive_mode = i_code == "positive";

    // Columns go to the workers in blocks of kBlock neighbours; the columns of a short
    // last block are scanned one by one.
    constexpr std::int64_t kBlock = 8;
    const std::int64_t blocks = (C + kBlock - 1) / kBlock;
    fk::for_each_item(static_cast<std::uint64_t>(blocks), [&](std::uint64_t b) {
        const std::int64_t c0 = static_cast<std::int64_t>(b) * kBlock;
        const std::int64_t n = std::min(kBlock, C - c0);
        ColRes res[kBlock];
        if (n == kBlock) {
            if (positive_mode)
                calc_col<false, kBlock>(m.col(c0), m.rs, m.cs, R, dptr, res);
            else
                calc_col<true, kBlock>(m.col(c0), m.rs, m.cs, R, dptr, res);
        } else {
            for (std::int64_t k = 0; k < n; ++k) {
                if (positive_mode)
                    calc_col<false, 1>(m.col(c0 + k), m.rs, m.cs, R, dptr, res + k);
                else
                    calc_col<true, 1>(m.col(c0 + k), m.rs, m.cs, R, dptr, res + k);
            }
        }
        for (std::int64_t k = 0; k < n; ++k) {
            const auto c = static_cast<std::size_t>(c0 + k);
            r[c] = res[k].r;
            s[c] = std::move(res[k].s);
            e[c] = std::move(res[k].e);
            days[c] = res[k].days;
        }
    });

    return py::make_tuple(fk::to_numpy(r), fk::to_list(s), fk::to_list(e), fk::to_numpy(days));
}

}  // namespace

PYBIND11_MODULE(streakset, m) {
    m.def("streakset", &main_cal_longest_one_for_all,
          "C++ translation of Python main_cal_longest_one_for_all", py::arg("a_value"),
          py::arg("dates"), py::arg("i_code") = "positive");
}
