// fundkernels._ownhorizon: horizonret with each fund on its own rows, for the front ends'
// own calendar. A fund's own rows are its first own row (first[c]: its first NAV, or its
// first value) and every later row holding a value; its result is, bit for bit, what
// horizonret gives for that fund alone on its own values and dates, in one call for the
// whole panel whatever rows each fund skips. first[c] = -1: every row is the column's own
// (a column without a gap, its window starting on or after its first value). The kernels
// are horizonret's own (see own_rows in horizonret/kernels.hpp).
#include "horizonret/horizonret.hpp"

namespace {

py::tuple own_horizons(std::string i_code, fk::f64_array values, fk::i64_array start_idx,
                       fk::i64_array end_idx, fk::i64_array dates, fk::i64_array first_arr) {
    const std::int64_t R = values.ndim() == 2 ? values.shape(0) : 0;
    const std::int64_t N = values.ndim() == 2 ? values.shape(1) : 0;
    const std::int64_t* first = fk::vector_arg(first_arr, "first", N, "columns");
    for (std::int64_t c = 0; c < N; ++c)
        if (first[c] < -1 || first[c] > R)
            throw py::value_error("first row of column " + std::to_string(c) + " is out of range");
    return horizon_results(i_code, values, start_idx, end_idx, dates, first);
}

}  // namespace

PYBIND11_MODULE(_ownhorizon, m) {
    m.def("ownhorizon", &own_horizons, py::arg("horizon"), py::arg("values"), py::arg("start"),
          py::arg("end"), py::arg("dates"), py::arg("first"),
          "horizonret with each column on its own rows: its first row first[c] and every later "
          "row holding a value");
    fk::def_path_functions(m);
}
