// troughmend: per fund, the longest run of rows its compounded value spends below the
// running peak (an unrecovered drawdown at the end counts).
#include <cmath>
#include <cstdint>
#include <vector>

#include "blocks.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

// Columns per block. With as few as 8, GCC unrolls the row loop completely and then fails
// to vectorise what is left; from 16 on it vectorises the loop itself.
constexpr int B = 32;

// The state of W columns (B, or fewer for a narrow matrix): compounded value, running peak, current and longest run. Per
// row and column: skip a NaN return, compound, raise the peak on a strictly greater
// value, take the drawdown against the peak; a non-zero drawdown (NaN included) extends
// the run. Written without branches so that the compiler vectorises across the block;
// counters are doubles (exact far beyond any row count) for the same reason.
template <int W = B>
struct longest_segment_len {
    double acc[W], run_max[W], cur[W], longest[W];

    longest_segment_len() {
        for (int j = 0; j < W; ++j) acc[j] = run_max[j] = 1.0, cur[j] = longest[j] = 0.0;
    }

    void row(const double* v, std::int64_t) {
        for (int j = 0; j < W; ++j) {
            const double vp = v[j] + 1.0;
            // NaN only when v is NaN; the factor 1.0 then leaves acc exactly as it was.
            const double f = vp == vp ? vp : 1.0;
            const double a = acc[j] * f;
            const double peak = std::isgreater(a, run_max[j]) ? a : run_max[j];
            // The drawdown (a - peak) / peak is zero exactly when a - peak is: the peak is
            // at least 1.0, so a non-zero difference never underflows in the division,
            // and an infinite peak gives NaN either way. c1 is never NaN; testing it keeps
            // its addition out of any branch, which would stop the vectorisation.
            const double c1 = cur[j] + 1.0;
            const double c = ((a - peak) != 0.0) & (c1 == c1) ? c1 : 0.0;
            acc[j] = a;
            run_max[j] = peak;
            cur[j] = c;
            longest[j] = std::isgreater(c, longest[j]) ? c : longest[j];
        }
    }
};

#ifdef __AVX__
// longest_segment_len for run_strips: the same operations in the same order on four lanes
// per AVX vector, the state of 4 * V columns held in registers.
template <int V>
struct longest_segment_strip {
    __m256d acc[V], run_max[V], cur[V], longest[V];

    longest_segment_strip() {
        for (int b = 0; b < V; ++b) {
            acc[b] = run_max[b] = _mm256_set1_pd(1.0);
            cur[b] = longest[b] = _mm256_setzero_pd();
        }
    }

    void row(const __m256d* v, std::int64_t) {
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        for (int k = 0; k < V; ++k) {
            const __m256d vp = _mm256_add_pd(v[k], one);
            const __m256d f = fk::select(_mm256_cmp_pd(vp, vp, _CMP_EQ_OQ), vp, one);
            const __m256d a = _mm256_mul_pd(acc[k], f);
            const __m256d peak = fk::select(_mm256_cmp_pd(a, run_max[k], _CMP_GT_OQ), a, run_max[k]);
            const __m256d c1 = _mm256_add_pd(cur[k], one);
            const __m256d c = _mm256_and_pd(
                _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(a, peak), zero, _CMP_NEQ_UQ),
                              _mm256_cmp_pd(c1, c1, _CMP_EQ_OQ)),
                c1);  // c1 where the drawdown goes on, else +0.0
            acc[k] = a;
            run_max[k] = peak;
            cur[k] = c;
            longest[k] = fk::select(_mm256_cmp_pd(c, longest[k], _CMP_GT_OQ), c, longest[k]);
        }
    }

    longest_segment_len<4 * V> lanes() const {
        longest_segment_len<4 * V> k;
        fk::spill<V>({acc, run_max, cur, longest},
                     {k.acc, k.run_max, k.cur, k.longest});
        return k;
    }
};
#endif

// Columns per strip of the register kernel: two vectors, so that two chains of
// multiplications overlap. Three measured 7 to 17% slower, four 15 to 20%.
constexpr int V = 2;

py::array_t<std::int64_t> cal_longest_draw_down_recover(fk::f64_array funds_val) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "the returns matrix");
    std::vector<std::int64_t> result(static_cast<std::size_t>(m.cols), 0);
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j)
            result[c0 + j] = static_cast<std::int64_t>(k.longest[j]);
    };
#ifdef __AVX__
    if (fk::strips_fit<V>(m))
        fk::run_strips<V>(m, [] { return longest_segment_strip<V>(); }, finish);
    else
#endif
        fk::run_blocks_fit<B>(
            m, [](auto lanes) { return longest_segment_len<decltype(lanes)::value>(); }, finish);
    return fk::to_numpy(result);
}

}  // namespace

PYBIND11_MODULE(troughmend, m) {
    m.def("troughmend", &cal_longest_draw_down_recover,
          "Longest drawdown-recovery days per fund (C++ & thread-parallel)");
}
