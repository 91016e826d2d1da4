// streakset: per fund, the longest run of consecutive strictly positive values (the latest
// of equally long runs), the compounded return over it, the dates of its first and last
// rows and its length in rows.
#include "streakset/streakset.hpp"

PYBIND11_MODULE(streakset, m) {
    m.def("streakset", &longest_streaks<false>,
          "C++ translation of Python main_cal_longest_one_for_all", pybind11::arg("a_value"),
          pybind11::arg("dates"), pybind11::arg("i_code") = "positive");
    fk::def_path_functions(m);
}
