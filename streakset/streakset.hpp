// streakset's call, shared by the module and by the front ends' variant that takes each
// fund on its own rows (fundkernels._ownrows). A source file includes this header once.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"
#include "ownrows.hpp"
#define FK_KERNELS "streakset/kernels.hpp"
#include "each_path.hpp"

namespace {

// Own: each fund on its own rows (see longest_run), its run's ends found over them.
template <bool Own>
pybind11::tuple longest_streaks(fk::f64_array a_value, fk::i64_array dates,
                                const std::string& i_code) {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    const fk::Matrix m = fk::matrix_arg(a_value, "a_value");
    const std::int64_t C = m.cols;
    // Only the first and last row of each run are looked up, but every row may be one.
    const std::int64_t* dptr = fk::vector_arg(dates, "dates", m.rows, "rows");

    std::vector<double> r(static_cast<std::size_t>(C), 0.0);
    std::vector<std::string> s(static_cast<std::size_t>(C), "nan");
    std::vector<std::string> e(static_cast<std::size_t>(C), "nan");
    std::vector<std::int64_t> days(static_cast<std::size_t>(C), 0);

    // A column without a run keeps its initial slots and reads no dates.
    const std::int64_t rows = m.rows;
    const auto finish = [&](const auto& k, std::int64_t c0, std::int64_t width) {
        for (std::int64_t j = 0; j < width; ++j) {
            using fk::lane;
            const double cur = lane(k.cur, j), need = lane(k.need, j);
            const double best_end = lane(k.best_end, j);
            const bool open = cur >= need;  // the run through the last row wins
            if (!open && best_end < 0.0) continue;
            const auto len = static_cast<std::int64_t>(open ? cur : need);
            std::int64_t end = open ? rows - 1 : static_cast<std::int64_t>(best_end);
            if (Own) end = fk::own_row_at_or_before(m, c0 + j, end);
            const std::int64_t first = Own ? fk::own_rows_back(m, c0 + j, end, len) : end - len + 1;
            const double base = open ? lane(k.base, j) : lane(k.best_base, j);
            const double last = open ? lane(k.acc, j) : lane(k.best_last, j);
            const auto c = static_cast<std::size_t>(c0 + j);
            // A zero base (of either sign) has no meaningful growth; a NaN base gives NaN anyway.
            r[c] = base == 0.0 ? NaN : last / base - 1.0;
            s[c] = fk::ns2ymd(dptr[first]);
            e[c] = fk::ns2ymd(dptr[end]);
            days[c] = len;
        }
    };
    // Exact and case-sensitive: every other text, the empty one included, inverts.
    const bool invert = i_code != "positive";
    fk::on_path([&](auto path) {
        if (invert)
            longest_runs(path, std::true_type{}, std::bool_constant<Own>{}, m, finish);
        else
            longest_runs(path, std::false_type{}, std::bool_constant<Own>{}, m, finish);
    });

    return fk::tuple_of(fk::to_numpy(r), fk::to_list(s), fk::to_list(e), fk::to_numpy(days));
}

}  // namespace
