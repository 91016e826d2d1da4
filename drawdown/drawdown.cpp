// fundkernels._drawdown: where each fund's longest drawdown lies. The drawdown rows are
// exactly those troughmend counts (compounded value from 1.0, NaN returns skipped, rows
// strictly below the running peak, an open drawdown at the end included); this kernel
// also keeps, for the longest of them, the row that set its peak, its first and last row,
// the row of its lowest value and its depth. The recovery row follows from the last one.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "blocks.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Columns per block, as in troughmend: from 16 on GCC vectorises the row loop itself.
constexpr int B = 32;

// The state of W columns (B, or fewer for a narrow matrix). Besides troughmend's compounded value, peak and run counters it
// follows the current drawdown (its peak, the row that set it, its lowest value and that
// value's row) and keeps a copy of that state for the longest drawdown so far. Rows are
// held as doubles (exact far beyond any row count; -1 for none) and every update is a
// select on a comparison, so that the compiler vectorises across the block.
template <int W = B>
struct drawdown_rows {
    double acc[W], run_max[W], max_row[W];         // compounded value, its peak, peak row
    double cur[W], longest[W];                     // current and longest run, in rows
    double peak[W], peak_row[W], low[W], low_row[W];  // the current drawdown
    double best_last[W], best_peak[W], best_peak_row[W], best_low[W], best_low_row[W];

    drawdown_rows() {
        for (int j = 0; j < W; ++j) {
            acc[j] = run_max[j] = peak[j] = best_peak[j] = 1.0;
            max_row[j] = peak_row[j] = low_row[j] = -1.0;
            best_last[j] = best_peak_row[j] = best_low_row[j] = -1.0;
            cur[j] = 0.0;
            longest[j] = 0.5;
            low[j] = best_low[j] = NaN;
        }
    }

    void row(const double* v, std::int64_t r) {
        const double rd = static_cast<double>(r);
        for (int j = 0; j < W; ++j) {
            // Every new value is computed before the first store. Where a select that
            // keeps the longest drawdown follows a store, GCC turns it into a masked
            // store, which costs several times a blend on some processors.
            const double run = cur[j], most = longest[j], old_low = low[j];
            const double b_last = best_last[j], b_peak = best_peak[j];
            const double b_peak_row = best_peak_row[j], b_low = best_low[j];
            const double b_low_row = best_low_row[j];
            // Compounding, peak and run length: the same operations as troughmend's.
            const double vp = v[j] + 1.0;
            const double f = vp == vp ? vp : 1.0;
            const double a = acc[j] * f;
            const bool higher = std::isgreater(a, run_max[j]);
            const double top = higher ? a : run_max[j];
            const double top_row = higher ? rd : max_row[j];
            const double c1 = run + 1.0;
            const double c = ((a - top) != 0.0) & (c1 == c1) ? c1 : 0.0;
            // A drawdown is measured from the peak in force on its first row, and its
            // low starts at that row's value. (Whether a drawdown starts is taken from the
            // run before this row rather than from c, which the compiler would split into
            // branches.) The lowest value is the earliest of equal lows. A value lost to
            // NaN (0 x inf) stays NaN to the end of the column and never starts a
            // drawdown (the row before is at its finite peak), so it never becomes the low.
            const bool start = run == 0.0;
            const double p = start ? top : peak[j];
            const double pr = start ? top_row : peak_row[j];
            const double l0 = start ? a : old_low;
            const double r0 = start ? rd : low_row[j];
            const bool lower = a < l0;
            const double lo = lower ? a : l0;
            const double lr = lower ? rd : r0;
            // The longest drawdown so far: of equally long ones the latest, so a run that
            // reaches the longest length takes over. `longest` starts at 0.5, so that a
            // row outside any drawdown (run 0) never takes over.
            const bool best = c >= most;
            const double n_most = best ? c : most, n_last = best ? rd : b_last,
                         n_peak = best ? p : b_peak, n_peak_row = best ? pr : b_peak_row,
                         n_low = best ? lo : b_low, n_low_row = best ? lr : b_low_row;
            acc[j] = a;
            run_max[j] = top;
            max_row[j] = top_row;
            cur[j] = c;
            peak[j] = p;
            peak_row[j] = pr;
            low[j] = lo;
            low_row[j] = lr;
            longest[j] = n_most;
            best_last[j] = n_last;
            best_peak[j] = n_peak;
            best_peak_row[j] = n_peak_row;
            best_low[j] = n_low;
            best_low_row[j] = n_low_row;
        }
    }
};

// Per column: length, peak row, first, last, trough row, depth, recovery row.
py::tuple drawdown(fk::f64_array returns) {
    const fk::Matrix m = fk::matrix_arg(returns, "the returns matrix");
    const auto C = static_cast<std::size_t>(m.cols);
    std::vector<std::int64_t> length(C, 0), peak(C, -1), first(C, -1), last(C, -1),
        trough(C, -1), recovery(C, -1);
    std::vector<double> depth(C, NaN);
    const std::int64_t R = m.rows;
    fk::run_blocks_fit<B>(
        m, [](auto lanes) { return drawdown_rows<decltype(lanes)::value>(); },
        [&](const auto& k, std::int64_t c0, std::int64_t width) {
            for (std::int64_t j = 0; j < width; ++j) {
                if (k.longest[j] < 1.0) continue;  // no drawdown: the -1, NaN prefill stays
                const auto n = static_cast<std::int64_t>(k.longest[j]);
                const auto end = static_cast<std::int64_t>(k.best_last[j]);
                const std::size_t c = static_cast<std::size_t>(c0 + j);
                length[c] = n;
                peak[c] = static_cast<std::int64_t>(k.best_peak_row[j]);
                first[c] = end - n + 1;
                last[c] = end;
                trough[c] = static_cast<std::int64_t>(k.best_low_row[j]);
                depth[c] = k.best_low[j] / k.best_peak[j] - 1.0;
                // A drawdown ends on the row before the value regains its peak.
                recovery[c] = end + 1 < R ? end + 1 : -1;
            }
        });
    return fk::tuple_of(fk::to_numpy(length), fk::to_numpy(peak), fk::to_numpy(first),
                          fk::to_numpy(last), fk::to_numpy(trough), fk::to_numpy(depth),
                          fk::to_numpy(recovery));
}

}  // namespace

PYBIND11_MODULE(_drawdown, m) {
    m.def("drawdown", &drawdown,
          "Where each fund's longest drawdown lies: (length, peak, first, last, trough, depth, "
          "recovery), rows as int64 (-1 for none), depth as float64 (NaN for none)");
}
