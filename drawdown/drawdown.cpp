// fundkernels._drawdown: where each fund's longest drawdown lies. The drawdown rows are
// exactly those troughmend counts (compounded value from 1.0, NaN returns skipped, rows
// strictly below the running peak, an open drawdown at the end included); this kernel
// also keeps, for the longest of them, the row that set its peak, its first and last row,
// the row of its lowest value and its depth. The recovery row follows from the last one.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "frame.hpp"
#define FK_KERNELS "drawdown/kernels.hpp"
#include "each_path.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Per column: length, peak row, first, last, trough row, depth, recovery row.
py::tuple drawdown(fk::f64_array returns) {
    const fk::Matrix m = fk::matrix_arg(returns, "the returns matrix");
    const auto C = static_cast<std::size_t>(m.cols);
    std::vector<std::int64_t> length(C, 0), peak(C, -1), first(C, -1), last(C, -1),
        trough(C, -1), recovery(C, -1);
    std::vector<double> depth(C, NaN);
    const std::int64_t R = m.rows;
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        using fk::lane;
        for (std::int64_t j = 0; j < width; ++j) {
            const double most = lane(k.longest, j);
            if (most < 1.0) continue;  // no drawdown: the -1, NaN prefill stays
            const auto n = static_cast<std::int64_t>(most);
            const auto end = static_cast<std::int64_t>(lane(k.best_last, j));
            const std::size_t c = static_cast<std::size_t>(c0 + j);
            length[c] = n;
            peak[c] = static_cast<std::int64_t>(lane(k.best_peak_row, j));
            first[c] = end - n + 1;
            last[c] = end;
            trough[c] = static_cast<std::int64_t>(lane(k.best_low_row, j));
            depth[c] = lane(k.best_low, j) / lane(k.best_peak, j) - 1.0;
            // A drawdown ends on the row before the value regains its peak.
            recovery[c] = end + 1 < R ? end + 1 : -1;
        }
    };
    fk::on_path([&](auto path) { drawdowns(path, m, finish); });
    return fk::tuple_of(fk::to_numpy(length), fk::to_numpy(peak), fk::to_numpy(first),
                          fk::to_numpy(last), fk::to_numpy(trough), fk::to_numpy(depth),
                          fk::to_numpy(recovery));
}

}  // namespace

PYBIND11_MODULE(_drawdown, m) {
    m.def("drawdown", &drawdown,
          "Where each fund's longest drawdown lies: (length, peak, first, last, trough, depth, "
          "recovery), rows as int64 (-1 for none), depth as float64 (NaN for none)");
    fk::def_path_functions(m);
}
