// streakset: per fund, the longest run of consecutive strictly positive values (the latest
// of equally long runs), the compounded return over it, the dates of its first and last
// rows and its length in rows.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "blocks.hpp"
#include "datetext.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

constexpr int B = 64;  // columns per block

// The return of a run is P(end) / P(start - 1) - 1, where P(r) is the running product of
// the factors (1 + v), or (1 - v) when `Invert`, over rows 0..r of the whole column with
// NaN rows skipped, and P(-1) = 1.0: a run that opens the column is measured from the
// start value 1.0. The scan and the product share one pass, row by row for a block of B
// columns. The first row of a run takes the product so far as the run's base; the row
// after a run's last one compares the finished run with the best so far and, if it is at
// least as long, keeps its length, last row, base and the product through its last row.
// A run still open after the last row is judged in the finish. The multiplications are
// those of compounding the whole column first, in the same order, so the result is the
// same bits.
//
// A run is a run of values > 0 in either mode: NaN, 0.0 and -0.0 break it, +inf extends
// it. Ties in length go to the later run (>=). `need` is the length a run must reach to
// become the best, max(best length, 1).
//
// Signs of returns are a coin toss, so nothing branches on them: every update is computed
// and then selected, which also lets the compiler vectorise across the block. Run lengths
// and row numbers are doubles (exact far beyond any row count) for the same reason, and the
// comparisons are the quiet ones, which the compiler may evaluate unconditionally. A best
// run is recorded only where a run ends, not on every row of a long run: the compiler
// stores those updates under a mask that it skips while no column of four has one, so
// they stay rare even for funds that never fall.
template <bool Invert, int W = B>
struct longest_run {
    double acc[W], base[W], cur[W], need[W], best_end[W], best_base[W], best_last[W];

    longest_run() {
        for (int j = 0; j < W; ++j) {
            acc[j] = base[j] = best_base[j] = best_last[j] = 1.0;
            cur[j] = 0.0;
            need[j] = 1.0;
            best_end[j] = -1.0;  // no run yet
        }
    }

    void row(const double* v, std::int64_t r) {
        const double prev = static_cast<double>(r) - 1.0;
        for (int j = 0; j < W; ++j) {
            const double f = Invert ? 1.0 - v[j] : 1.0 + v[j];
            // NaN exactly when v is: the factor 1.0 then leaves the product as it was.
            const double factor = f == f ? f : 1.0;
            const double c0 = cur[j];
            // c1 is never NaN; testing it keeps its addition out of any branch.
            const double c1 = c0 + 1.0;
            const bool pos = std::isgreater(v[j], 0.0) & (c1 == c1);
            // The run that ended on the row before, if it is at least as long as the best.
            const bool better = !pos & std::isgreaterequal(c0, need[j]);
            const double b = c0 == 0.0 ? acc[j] : base[j];
            const double a0 = acc[j];
            const double a = a0 * factor;
            acc[j] = a;
            base[j] = b;
            cur[j] = pos ? c1 : 0.0;
            need[j] = better ? c0 : need[j];
            best_end[j] = better ? prev : best_end[j];
            best_base[j] = better ? b : best_base[j];
            best_last[j] = better ? a0 : best_last[j];
        }
    }
};

#ifdef __AVX__
// longest_run for run_strips: the same operations in the same order on four lanes per AVX
// vector, the state of 4 * V columns held in registers.
template <bool Invert, int V>
struct longest_run_strip {
    __m256d acc[V], base[V], cur[V], need[V], best_end[V], best_base[V], best_last[V];

    longest_run_strip() {
        for (int b = 0; b < V; ++b) {
            acc[b] = base[b] = best_base[b] = best_last[b] = need[b] = _mm256_set1_pd(1.0);
            cur[b] = _mm256_setzero_pd();
            best_end[b] = _mm256_set1_pd(-1.0);
        }
    }

    void row(const __m256d* v, std::int64_t r) {
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        const __m256d prev = _mm256_set1_pd(static_cast<double>(r) - 1.0);
        for (int k = 0; k < V; ++k) {
            const __m256d f = Invert ? _mm256_sub_pd(one, v[k]) : _mm256_add_pd(one, v[k]);
            const __m256d factor = fk::select(_mm256_cmp_pd(f, f, _CMP_EQ_OQ), f, one);
            const __m256d c0 = cur[k];
            const __m256d c1 = _mm256_add_pd(c0, one);
            const __m256d pos = _mm256_and_pd(_mm256_cmp_pd(v[k], zero, _CMP_GT_OQ),
                                              _mm256_cmp_pd(c1, c1, _CMP_EQ_OQ));
            const __m256d better =
                _mm256_andnot_pd(pos, _mm256_cmp_pd(c0, need[k], _CMP_GE_OQ));
            const __m256d b = fk::select(_mm256_cmp_pd(c0, zero, _CMP_EQ_OQ), acc[k], base[k]);
            const __m256d a0 = acc[k];
            acc[k] = _mm256_mul_pd(a0, factor);
            base[k] = b;
            cur[k] = _mm256_and_pd(pos, c1);  // c1 where the run goes on, else +0.0
            if (!_mm256_testz_pd(better, better)) {
                need[k] = fk::select(better, c0, need[k]);
                best_end[k] = fk::select(better, prev, best_end[k]);
                best_base[k] = fk::select(better, b, best_base[k]);
                best_last[k] = fk::select(better, a0, best_last[k]);
            }
        }
    }

    longest_run<Invert, 4 * V> lanes() const {
        longest_run<Invert, 4 * V> k;
        fk::spill<V>({acc, base, cur, need, best_end, best_base, best_last},
                     {k.acc, k.base, k.cur, k.need, k.best_end, k.best_base, k.best_last});
        return k;
    }
};
#endif

// Columns per strip of the register kernel: two vectors, so that two chains of
// multiplications overlap. One measured 1.5 times as slow, three 1.2 times, its state
// no longer held in the sixteen registers.
constexpr int V = 2;

py::tuple main_cal_longest_one_for_all(fk::f64_array a_value, fk::i64_array dates,
                                       const std::string& i_code) {
    const fk::Matrix m = fk::matrix_arg(a_value, "a_value");
    const std::int64_t C = m.cols;
    // Only the first and last row of each run are looked up, but every row may be one.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", m.rows, "rows");

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> e(static_cast<std::size_t>(C), "nan");
    std::vector<std::int64_t> days(static_cast<std::size_t>(C), 0);

    // A column without a run keeps its initial slots and reads no dates.
    const std::int64_t rows = m.rows;
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j) {
            const bool open = k.cur[j] >= k.need[j];  // the run through the last row wins
            if (!open && k.best_end[j] < 0.0) continue;
            const auto len = static_cast<std::int64_t>(open ? k.cur[j] : k.need[j]);
            const std::int64_t end = open ? rows - 1 : static_cast<std::int64_t>(k.best_end[j]);
            const double base = open ? k.base[j] : k.best_base[j];
            const double last = open ? k.acc[j] : k.best_last[j];
            const auto c = static_cast<std::size_t>(c0 + j);
            // A zero base (of either sign) has no meaningful growth; a NaN base gives NaN anyway.
            r[c] = base == 0.0 ? NaN : last / base - 1.0;
            s[c] = fk::ns2ymd(dptr[end - len + 1]);
            e[c] = fk::ns2ymd(dptr[end]);
            days[c] = len;
        }
    };
    // Exact and case-sensitive: every other text, the empty one included, inverts.
    const bool invert = i_code != "positive";
#ifdef __AVX__
    if (fk::strips_fit<V>(m)) {
        if (invert)
            fk::run_strips<V>(m, [] { return longest_run_strip<true, V>(); }, finish);
        else
            fk::run_strips<V>(m, [] { return longest_run_strip<false, V>(); }, finish);
    } else
#endif
    if (invert) {
        fk::run_blocks_fit<B>(
            m, [](auto lanes) { return longest_run<true, decltype(lanes)::value>(); }, finish);
    } else {
        fk::run_blocks_fit<B>(
            m, [](auto lanes) { return longest_run<false, decltype(lanes)::value>(); }, finish);
    }

    return fk::tuple_of(fk::to_numpy(r), fk::to_list(s), fk::to_list(e), fk::to_numpy(days));
}

}  // namespace

PYBIND11_MODULE(streakset, m) {
    m.def("streakset", &main_cal_longest_one_for_all,
          "C++ translation of Python main_cal_longest_one_for_all", py::arg("a_value"),
          py::arg("dates"), py::arg("i_code") = "positive");
}
