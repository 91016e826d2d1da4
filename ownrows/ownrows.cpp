// fundkernels._ownrows (see ownrows.hpp): the module, and troughmend's variant.
#include "ownrows/ownrows.hpp"
#include "troughmend/troughmend.hpp"

PYBIND11_MODULE(_ownrows, m) {
    m.def("troughmend", &longest_drawdowns<true>, pybind11::arg("returns"),
          "troughmend with each column on its own rows, those holding a value");
    fk_own::def_drawdown(m);
    fk_own::def_extremeset(m);
    fk_own::def_streakset(m);
    fk::def_path_functions(m);
}
