// fundkernels._summary: the classic statistics of every fund, over its valid returns, in
// one read of the matrix.
//
// A worker takes a block of adjacent columns at a time (four, eight on the AVX-512 path)
// and walks its rows once. On the way, the compounded value and its deepest drawdown are
// followed for the block's columns side by side (their state lives in vector registers).
// Each column's remaining statistics then come from its own values: the matrix's column
// where it is contiguous, else a copy the walk lays apart into a buffer of the worker that
// stays in cache. They are compacted (missing values left out, positive ones counted),
// summed with compensation for the mean, summed again as deviations from that mean for the
// spread, skew, kurtosis and downside, a few columns' sums side by side, and the 5%
// quantile is selected by the shared selection. Every column runs the same operations in
// the same order whatever the layout, the block it falls in, the instruction set or the
// thread that takes it, so results are the same bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "fanout.hpp"
#include "frame.hpp"
#include "paths.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Columns to a vector of the walk and of the sums (the AVX-512 path puts two such vectors
// side by side in one of its own).
constexpr int L = 4;

// Rows ahead whose stretch of a row-major block is asked for while a row is read: the
// stretches lie a whole row apart, which the hardware's own prefetch does not follow.
constexpr std::int64_t ahead = 64;

// Columns of a row-major matrix that go to a worker together (blocks of four share lines),
// whose rows a worker's first block asks for ahead; every block asks for its successor's
// while it is walked (see Next), so the blocks after it find them in the second-level cache.
constexpr std::int64_t panel = 32;

// Work per element, in single passes, for the worker count: the read and the walk, the
// values laid apart and compacted, the two sums, and the selection's share.
constexpr std::uint64_t summary_work = 4;

// The quantile of the value at risk.
constexpr double tail_share = 0.05;

// The results of all columns.
struct Results {
    std::vector<std::int64_t> n, hits, peak, trough, recovery;
    std::vector<double> value, mean, std, skew, kurt, downside, best, worst, depth, var, cvar;

    explicit Results(std::size_t C)
        : n(C, 0), hits(C, 0), peak(C, -1), trough(C, -1), recovery(C, -1), value(C, NaN),
          mean(C, NaN), std(C, NaN), skew(C, NaN), kurt(C, NaN), downside(C, NaN), best(C, NaN),
          worst(C, NaN), depth(C, NaN), var(C, NaN), cvar(C, NaN) {}
};

}  // namespace

#define FK_KERNELS "summary/kernels.hpp"
#include "each_path.hpp"

namespace {

py::tuple summary(fk::f64_array returns, double f) {
    const fk::Matrix m = fk::matrix_arg(returns, "the returns matrix");
    const auto C = static_cast<std::size_t>(m.cols);
    Results res(C);
    if (m.rows > 0 && m.cols > 0) fk::on_path([&](auto path) { run(path, m, f, res); });
    return fk::tuple_of(fk::to_numpy(res.n), fk::to_numpy(res.value), fk::to_numpy(res.mean),
                        fk::to_numpy(res.std), fk::to_numpy(res.skew), fk::to_numpy(res.kurt),
                        fk::to_numpy(res.downside), fk::to_numpy(res.best),
                        fk::to_numpy(res.worst), fk::to_numpy(res.hits),
                        fk::to_numpy(res.depth), fk::to_numpy(res.peak),
                        fk::to_numpy(res.trough), fk::to_numpy(res.recovery),
                        fk::to_numpy(res.var), fk::to_numpy(res.cvar));
}

}  // namespace

PYBIND11_MODULE(_summary, m) {
    m.def("summary", &summary, py::arg("returns"), py::arg("risk_free"),
          "The statistics of every fund over its valid returns, given the risk-free return "
          "per period: (periods, value, mean, std, skew, kurtosis, downside, best, worst, hits, "
          "depth, peak, trough, recovery, var, cvar)");
    fk::def_path_functions(m);
}
