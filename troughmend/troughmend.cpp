// troughmend: per fund, the longest run of rows its compounded value spends below the
// running peak (an unrecovered drawdown at the end counts).
#include <cmath>
#include <cstdint>
#include <vector>

#include "frame.hpp"
#define FK_KERNELS "troughmend/kernels.hpp"
#include "each_path.hpp"

namespace {

namespace py = pybind11;

py::array_t<std::int64_t> cal_longest_draw_down_recover(fk::f64_array funds_val) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "the returns matrix");
    std::vector<std::int64_t> result(static_cast<std::size_t>(m.cols), 0);
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j)
            result[c0 + j] = static_cast<std::int64_t>(fk::lane(k.longest, j));
    };
    fk::on_path([&](auto path) { longest_runs(path, m, finish); });
    return fk::to_numpy(result);
}

}  // namespace

PYBIND11_MODULE(troughmend, m) {
    m.def("troughmend", &cal_longest_draw_down_recover,
          "Longest drawdown-recovery days per fund (C++ & thread-parallel)");
    fk::def_path_functions(m);
}
