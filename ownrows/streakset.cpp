// streakset's variant with each column on its own rows (see ownrows.hpp).
#include "ownrows/ownrows.hpp"
#include "streakset/streakset.hpp"

void fk_own::def_streakset(pybind11::module_& m) {
    m.def("streakset", &longest_streaks<true>, pybind11::arg("a_value"), pybind11::arg("dates"),
          pybind11::arg("i_code") = "positive",
          "streakset with each column on its own rows, those holding a value");
}
