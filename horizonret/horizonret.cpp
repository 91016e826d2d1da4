// horizonret: per fund, the distribution of its returns over a rolling calendar horizon of
// whole months or years (3M, 1Y, ...): mean, median, share of positive horizons and the
// shares in six return bands.
#include "horizonret/horizonret.hpp"

namespace {

py::tuple cal_rolling_gain(std::string i_code, fk::f64_array funds_val, fk::i64_array start_idx,
                           fk::i64_array end_idx, fk::i64_array day_arr) {
    return horizon_results(i_code, funds_val, start_idx, end_idx, day_arr, nullptr);
}

}  // namespace

PYBIND11_MODULE(horizonret, m) {
    m.def("horizonret", &cal_rolling_gain,
          "Fully numpy-consistent C++ implementation of cal_rolling_gain");
    fk::def_path_functions(m);
}
