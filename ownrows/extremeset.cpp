// extremeset's variant with each column on its own rows (see ownrows.hpp).
#include "extremeset/extremeset.hpp"
#include "ownrows/ownrows.hpp"

void fk_own::def_extremeset(pybind11::module_& m) {
    m.def("extremeset", &largest_moves_of<true>, pybind11::arg("array_value"),
          pybind11::arg("dates"), pybind11::arg("i_code") = "positive",
          "extremeset with each column on its own rows, those holding a value");
}
