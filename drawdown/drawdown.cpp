// fundkernels._drawdown: where each fund's longest drawdown lies. The drawdown rows are
// exactly those troughmend counts (compounded value from 1.0, NaN returns skipped, rows
// strictly below the running peak, an open drawdown at the end included); this kernel
// also keeps, for the longest of them, the row that set its peak, its first and last row,
// the row of its lowest value and its depth. The recovery row follows from the last one.
#include "drawdown/drawdown.hpp"

PYBIND11_MODULE(_drawdown, m) {
    m.def("drawdown", &drawdown_places<false>,
          "Where each fund's longest drawdown lies: (length, peak, first, last, trough, depth, "
          "recovery), rows as int64 (-1 for none), depth as float64 (NaN for none)");
    fk::def_path_functions(m);
}
