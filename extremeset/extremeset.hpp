// extremeset's call, shared by the module and by the front ends' variant that takes each
// fund on its own rows (fundkernels._ownrows). A source file includes this header once.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"
#include "ownrows.hpp"
#define FK_KERNELS "extremeset/kernels.hpp"
#include "each_path.hpp"

namespace {

// Own: each fund on its own rows (see largest_move), its run counted back over them.
template <bool Own>
pybind11::dict largest_moves_of(fk::f64_array array_value, fk::i64_array dates,
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
            const std::int64_t first = Own ? fk::own_rows_back(m, c0 + j, last, len) : last - len + 1;
            const auto c = static_cast<std::size_t>(c0 + j);
            r[c] = extreme - 1.0;
            p[c] = len;
            s[c] = fk::ns2ymd(dptr[first]);
            l[c] = fk::ns2ymd(dptr[last]);
        }
    };
    fk::on_path([&](auto path) {
        if (positive)
            largest_moves(path, std::true_type{}, std::bool_constant<Own>{}, m, finish);
        else
            largest_moves(path, std::false_type{}, std::bool_constant<Own>{}, m, finish);
    });

    pybind11::dict res = fk::new_dict();
    res["r"] = fk::to_numpy(r);
    res["p"] = fk::to_numpy(p);
    res["s"] = fk::to_list(s);
    res["l"] = fk::to_list(l);
    return res;
}

}  // namespace
