// troughmend: per fund, the longest run of rows its compounded value spends below the
// running peak (an unrecovered drawdown at the end counts).
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// One column, read from `col` at `stride` elements per row. The compounded value and the
// scan over it are fused into one pass: the operations per row are the same, in the same
// order, as compounding the whole column first and scanning afterwards.
std::int64_t longest_segment_len(const double* col, std::int64_t rows, std::int64_t stride) {
    double acc = 1.0;
    double run_max = 1.0;
    std::int64_t cur = 0;
    std::int64_t longest = 0;
    for (std::int64_t r = 0; r < rows; ++r) {
        const double v = col[r * stride];
        if (!std::isnan(v)) acc = acc * (v + 1.0);
        // A new peak needs a strictly greater value; NaN never sets one.
        if (acc > run_max) run_max = acc;
        const double dd = (acc - run_max) / run_max;
        // NaN drawdowns (infinite peak, NaN value) count as drawdown rows.
        if (dd != 0.0) {
            ++cur;
            if (cur > longest) longest = cur;
        } else {
            cur = 0;
        }
    }
    return longest;
}

py::array_t<std::int64_t> cal_longest_draw_down_recover(fk::f64_array funds_val) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "the returns matrix");
    const std::int64_t C = m.cols;
    std::vector<std::int64_t> result(static_cast<std::size_t>(C), 0);
    fk::for_each_item(static_cast<std::uint64_t>(C), [&](std::uint64_t c) {
        const auto ci = static_cast<std::int64_t>(c);
        result[c] = longest_segment_len(m.col(ci), m.rows, m.rs);
    });
    return fk::to_numpy(result);
}

}  // namespace

PYBIND11_MODULE(troughmend, m) {
    m.def("troughmend", &cal_longest_draw_down_recover,
          "Longest drawdown-recovery days per fund (C++ & thread-parallel)");
}
