// _drawdown's variant with each column on its own rows (see ownrows.hpp).
#include "drawdown/drawdown.hpp"
#include "ownrows/ownrows.hpp"

void fk_own::def_drawdown(pybind11::module_& m) {
    m.def("drawdown", &drawdown_places<true>, pybind11::arg("returns"),
          "_drawdown with each column on its own rows, those holding a value");
}
