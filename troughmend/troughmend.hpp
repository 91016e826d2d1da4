// troughmend's call, shared by the module and by the front ends' variant that takes each
// fund on its own rows (fundkernels._ownrows). A source file includes this header once.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "frame.hpp"
#define FK_KERNELS "troughmend/kernels.hpp"
#include "each_path.hpp"

namespace {

// Own: each fund on its own rows (see longest_segment_len).
template <bool Own>
pybind11::array_t<std::int64_t> longest_drawdowns(fk::f64_array funds_val) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "the returns matrix");
    std::vector<std::int64_t> result(static_cast<std::size_t>(m.cols), 0);
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j)
            result[c0 + j] = static_cast<std::int64_t>(fk::lane(k.longest, j));
    };
    fk::on_path([&](auto path) { longest_runs(path, std::bool_constant<Own>{}, m, finish); });
    return fk::to_numpy(result);
}

}  // namespace
