// troughmend: per fund, the longest run of rows its compounded value spends below the
// running peak (an unrecovered drawdown at the end counts).
#include "troughmend/troughmend.hpp"

PYBIND11_MODULE(troughmend, m) {
    m.def("troughmend", &longest_drawdowns<false>,
          "Longest drawdown-recovery days per fund (C++ & thread-parallel)");
    fk::def_path_functions(m);
}
