// extremeset: per fund, the most extreme compounded growth over a run of consecutive
// positive values, its length in rows and the date texts of its first and last row.
//
// Positive mode compounds the factors 1 + v and looks for the largest growth; inverted mode
// compounds 1 - v over the same runs and looks for the smallest (the deepest fall when the
// values are loss sizes given as positive numbers).
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"
#define FK_KERNELS "extremeset/kernels.hpp"
#include "each_path.hpp"

namespace {

namespace py = pybind11;

py::dict main_cal_largest_one_for_all(fk::f64_array array_value, fk::i64_array dates,
                                      const std::string& i_code) {
    const fk::Matrix m = fk::matrix_arg(array_value, "array_value");
    const std::int64_t C = m.cols;
    // A matrix without rows reads no dates, so it may come with none.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", m.rows, "rows");
    const bool positive = i_code == "positive";  // exact and case-sensitive; anything else inverts

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::int64_t> p(static_cast<std::size_t>(C), 0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> l(static_cast<std::size_t>(C), "nan");
    // No usable quotient at all, or an infinite extreme: the fund has no run to report and
    // keeps its initial slots.
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j) {
            const double extreme = fk::lane(k.extreme, j);
            if (std::isinf(extreme)) continue;
            const auto last = static_cast<std::int64_t>(fk::lane(k.last_idx, j));
            const auto len = static_cast<std::int64_t>(fk::lane(k.best_good, j));
            const std::int64_t first = last - len + 1;
            const auto c = static_cast<std::size_t>(c0 + j);
            r[c] = extreme - 1.0;
            p[c] = len;
            s[c] = fk::ns2ymd(dptr[first]);
            l[c] = fk::ns2ymd(dptr[last]);
        }
    };
    fk::on_path([&](auto path) {
        if (positive)
            largest_moves(path, std::true_type{}, m, finish);
        else
            largest_moves(path, std::false_type{}, m, finish);
    });

    py::dict res = fk::new_dict();
    res["r"] = fk::to_numpy(r);
    res["p"] = fk::to_numpy(p);
    res["s"] = fk::to_list(s);
    res["l"] = fk::to_list(l);
    return res;
}

}  // namespace

PYBIND11_MODULE(extremeset, m) {
    m.def("extremeset", &main_cal_largest_one_for_all, py::arg("array_value"), py::arg("dates"),
          py::arg("i_code") = "positive");
    fk::def_path_functions(m);
}
