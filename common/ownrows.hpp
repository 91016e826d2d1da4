// Each column on its own rows, for the front ends' own calendar: a fund's rows are those of
// the panel on which it holds a value (its first row may be a missing return, its first
// NAV's, which no kernel reads as anything but a row that changes nothing). The kernels'
// own-rows variants walk the panel in place and leave a missing value's row out of their
// state; where they report a row by counting rows back or on from another, these count
// the fund's own rows only.
#pragma once

#include <cstdint>

#include "frame.hpp"

namespace fk {

// Whether column c holds a value on row r.
inline bool owns(const Matrix& m, std::int64_t c, std::int64_t r) {
    const double v = m.data[r * m.rs + c * m.cs];
    return v == v;
}

// The own row n - 1 own rows before own row r of column c (r itself for n = 1): the first
// row of a run of n own rows that ends on r.
inline std::int64_t own_rows_back(const Matrix& m, std::int64_t c, std::int64_t r, std::int64_t n) {
    for (std::int64_t left = n - 1; left > 0;)
        if (owns(m, c, --r)) --left;
    return r;
}

// The last own row of column c on or before row r (-1 when there is none).
inline std::int64_t own_row_at_or_before(const Matrix& m, std::int64_t c, std::int64_t r) {
    while (r >= 0 && !owns(m, c, r)) --r;
    return r;
}

// The first own row of column c after row r (the row count when there is none).
inline std::int64_t own_row_after(const Matrix& m, std::int64_t c, std::int64_t r) {
    ++r;
    while (r < m.rows && !owns(m, c, r)) ++r;
    return r;
}

}  // namespace fk
