// extremeset: per fund, the most extreme compounded growth over a run of consecutive
// positive values, its length in rows and the date texts of its first and last row.
//
// Positive mode compounds the factors 1 + v and looks for the largest growth; inverted mode
// compounds 1 - v over the same runs and looks for the smallest (the deepest fall when the
// values are loss sizes given as positive numbers).
#include "extremeset/extremeset.hpp"

PYBIND11_MODULE(extremeset, m) {
    m.def("extremeset", &largest_moves_of<false>, pybind11::arg("array_value"),
          pybind11::arg("dates"), pybind11::arg("i_code") = "positive");
    fk::def_path_functions(m);
}
