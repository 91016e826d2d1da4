// fundkernels._ownrows: troughmend, _drawdown, extremeset and streakset with each fund on
// its own rows, the rows of the panel on which it holds a value, for the front ends' own
// calendar. Each fund's result is, bit for bit, what the module gives for that fund alone
// on its own values and dates, in one call for the whole panel whatever rows each fund
// skips: the kernels are the modules' own, in their own-rows variants (Own in each
// kernels.hpp), which walk the panel in place and leave a row without a value out of the
// fund's state. Result rows and dates are the panel's, so they are the fund's own.
//
// Each module's kernels are built once per instruction set in a source file of their own
// (each_path.hpp is read once per file); this one holds troughmend's and the module.
#pragma once

#include <pybind11/pybind11.h>

namespace fk_own {

void def_drawdown(pybind11::module_& m);
void def_extremeset(pybind11::module_& m);
void def_streakset(pybind11::module_& m);

}  // namespace fk_own
