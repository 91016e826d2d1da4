// _drawdown's call, shared by the module and by the front ends' variant that takes each
// fund on its own rows (fundkernels._ownrows). A source file includes this header once.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "frame.hpp"
#include "ownrows.hpp"
#define FK_KERNELS "drawdown/kernels.hpp"
#include "each_path.hpp"

namespace {

// Per column: length, peak row, first, last, trough row, depth, recovery row. Own: each
// fund on its own rows (see drawdown_rows), its first row followed by the kernel and its
// recovery on its next own row.
template <bool Own>
pybind11::tuple drawdown_places(fk::f64_array returns) {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
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
            first[c] = Own ? static_cast<std::int64_t>(lane(k.best_first, j)) : end - n + 1;
            last[c] = end;
            trough[c] = static_cast<std::int64_t>(lane(k.best_low_row, j));
            depth[c] = lane(k.best_low, j) / lane(k.best_peak, j) - 1.0;
            // A drawdown ends on the row before the value regains its peak.
            const std::int64_t next = Own ? fk::own_row_after(m, c0 + j, end) : end + 1;
            recovery[c] = next < R ? next : -1;
        }
    };
    fk::on_path([&](auto path) { drawdowns(path, std::bool_constant<Own>{}, m, finish); });
    return fk::tuple_of(fk::to_numpy(length), fk::to_numpy(peak), fk::to_numpy(first),
                        fk::to_numpy(last), fk::to_numpy(trough), fk::to_numpy(depth),
                        fk::to_numpy(recovery));
}

}  // namespace
