// extremeset: per fund, the most extreme compounded growth over a run of consecutive
// positive values, its length in rows and the date texts of its first and last row.
//
// Positive mode compounds the factors 1 + v and looks for the largest growth; inverted mode
// compounds 1 - v over the same runs and looks for the smallest (the deepest fall when the
// values are loss sizes given as positive numbers).
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

constexpr int B = 64;  // columns per block

// The growth of a run at row r is not a product restarted at the run's start but the
// quotient of the running product over all selected rows by that product as it stood just
// before the run began; the rounding of that quotient decides ties between runs, so it is
// reproduced exactly. A quotient of exactly 1.0 counts as no growth at all and, like 0/0
// and inf/inf once the running product has hit 0 or infinity, is unusable: it takes no part
// and, inside a run, cuts the reported run short, since a run is reported from the first
// row of the unbroken stretch of usable quotients that holds the extreme.
//
// The state of B columns, one row at a time: the running product, the divisor of the
// current run, the length of the stretch of usable quotients that ends at the current row,
// and the extreme so far with the row where it was last reached and the length of that
// row's stretch. Ties move the row on: of two runs with the same growth, the later one is
// reported.
//
// Signs of returns are as good as random, so nothing branches on them: every update is
// computed and then selected, which also lets the compiler vectorise across the block.
// Lengths and row numbers are doubles (exact far beyond any row count) for the same reason,
// and the comparisons are the quiet ones, which the compiler may evaluate unconditionally.
//
// An unselected row (NaN, zero or a loss) contributes the factor 1.0, which leaves the
// running product bit for bit as it was (NaN, infinities and signed zeros included); since
// 1 + v exceeds 1.0 only for a selected v, and 1 - v falls below it only for one, the factor
// is picked by comparing it with 1.0 (a tiny v whose factor rounds to 1.0 gives 1.0 either
// way). An unselected row also sets the divisor to the current product, which is where the
// product stands when the next run begins (1.0 for a run that starts at row 0); its quotient
// is then that product divided by itself, 1.0 or NaN, so it is unusable without a test of
// its own.
template <bool Positive, int W = B>
struct largest_move {
    double acc[W], denom[W], good[W], extreme[W], last_idx[W], best_good[W];

    largest_move() {
        for (int j = 0; j < W; ++j) {
            acc[j] = denom[j] = 1.0;
            extreme[j] = Positive ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
            good[j] = last_idx[j] = best_good[j] = 0.0;
        }
    }

    void row(const double* v, std::int64_t r) {
        const double here = static_cast<double>(r);
        for (int j = 0; j < W; ++j) {
            const double f = Positive ? v[j] + 1.0 : 1.0 - v[j];
            const double factor =
                (Positive ? std::isgreater(f, 1.0) : std::isless(f, 1.0)) ? f : 1.0;
            const double a0 = acc[j];
            const double a = a0 * factor;
            const double d = std::isgreater(v[j], 0.0) ? denom[j] : a0;
            const double x = a / d;
            // g1 is never NaN; testing it keeps its addition out of any branch.
            const double g1 = good[j] + 1.0;
            const bool usable = (x == x) & (x != 1.0) & (g1 == g1);
            const bool better = usable & (Positive ? std::isgreaterequal(x, extreme[j])
                                                   : std::islessequal(x, extreme[j]));
            const double g = usable ? g1 : 0.0;
            acc[j] = a;
            denom[j] = d;
            good[j] = g;
            extreme[j] = better ? x : extreme[j];
            last_idx[j] = better ? here : last_idx[j];
            best_good[j] = better ? g : best_good[j];
        }
    }
};

#ifdef __AVX__
// largest_move for run_strips: the same operations in the same order on four lanes per AVX
// vector, the state of 4 * V columns held in registers.
template <bool Positive, int V>
struct largest_move_strip {
    __m256d acc[V], denom[V], good[V], extreme[V], last_idx[V], best_good[V];

    largest_move_strip() {
        for (int b = 0; b < V; ++b) {
            acc[b] = denom[b] = _mm256_set1_pd(1.0);
            extreme[b] = _mm256_set1_pd(Positive ? -std::numeric_limits<double>::infinity()
                                                 : std::numeric_limits<double>::infinity());
            good[b] = last_idx[b] = best_good[b] = _mm256_setzero_pd();
        }
    }

    void row(const __m256d* v, std::int64_t r) {
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        const __m256d here = _mm256_set1_pd(static_cast<double>(r));
        for (int k = 0; k < V; ++k) {
            const __m256d f = Positive ? _mm256_add_pd(v[k], one) : _mm256_sub_pd(one, v[k]);
            const __m256d factor = fk::select(
                _mm256_cmp_pd(f, one, Positive ? _CMP_GT_OQ : _CMP_LT_OQ), f, one);
            const __m256d a0 = acc[k];
            const __m256d a = _mm256_mul_pd(a0, factor);
            const __m256d d = fk::select(_mm256_cmp_pd(v[k], zero, _CMP_GT_OQ), denom[k], a0);
            const __m256d x = _mm256_div_pd(a, d);
            const __m256d g1 = _mm256_add_pd(good[k], one);
            const __m256d usable =
                _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(x, x, _CMP_EQ_OQ),
                                            _mm256_cmp_pd(x, one, _CMP_NEQ_UQ)),
                              _mm256_cmp_pd(g1, g1, _CMP_EQ_OQ));
            const __m256d better = _mm256_and_pd(
                usable, _mm256_cmp_pd(x, extreme[k], Positive ? _CMP_GE_OQ : _CMP_LE_OQ));
            const __m256d g = _mm256_and_pd(usable, g1);  // g1 where usable, else +0.0
            acc[k] = a;
            denom[k] = d;
            good[k] = g;
            if (!_mm256_testz_pd(better, better)) {
                extreme[k] = fk::select(better, x, extreme[k]);
                last_idx[k] = fk::select(better, here, last_idx[k]);
                best_good[k] = fk::select(better, g, best_good[k]);
            }
        }
    }

    largest_move<Positive, 4 * V> lanes() const {
        largest_move<Positive, 4 * V> k;
        fk::spill<V>({acc, denom, good, extreme, last_idx, best_good},
                     {k.acc, k.denom, k.good, k.extreme, k.last_idx, k.best_good});
        return k;
    }
};
#endif

// Columns per strip of the register kernel: two vectors, so that two chains of
// multiplications and divisions overlap; more would spill the state out of the sixteen
// registers.
constexpr int V = 2;

py::dict main_cal_largest_one_for_all(fk::f64_array array_value, fk::i64_array dates,
                                      const std::string& i_code) {
    const fk::Matrix m = fk::matrix_arg(array_value, "array_value");
    const std::int64_t C = m.cols;
    // A matrix without rows reads no dates, so it may come with none.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", m.rows, "rows");
    const bool positive = i_code == "positive";  // exact and case-sensitive; anything else inverts

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::int64_t> p(static_cast<std::size_t>(C), 0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> l(static_cast<std::size_t>(C), "nan");
    // No usable quotient at all, or an infinite extreme: the fund has no run to report and
    // keeps its initial slots.
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j) {
            if (std::isinf(k.extreme[j])) continue;
            const auto last = static_cast<std::int64_t>(k.last_idx[j]);
            const auto len = static_cast<std::int64_t>(k.best_good[j]);
            const std::int64_t first = last - len + 1;
            const auto c = static_cast<std::size_t>(c0 + j);
            r[c] = k.extreme[j] - 1.0;
            p[c] = len;
            s[c] = fk::ns2ymd(dptr[first]);
            l[c] = fk::ns2ymd(dptr[last]);
        }
    };
#ifdef __AVX__
    if (fk::strips_fit<V>(m)) {
        if (positive)
            fk::run_strips<V>(m, [] { return largest_move_strip<true, V>(); }, finish);
        else
            fk::run_strips<V>(m, [] { return largest_move_strip<false, V>(); }, finish);
    } else
#endif
    if (positive) {
        fk::run_blocks_fit<B>(
            m, [](auto lanes) { return largest_move<true, decltype(lanes)::value>(); }, finish);
    } else {
        fk::run_blocks_fit<B>(
            m, [](auto lanes) { return largest_move<false, decltype(lanes)::value>(); }, finish);
    }

    py::dict res = fk::new_dict();
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
