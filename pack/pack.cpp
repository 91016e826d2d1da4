// fundkernels._pack: each fund's own rows (the dates on which it has a value), found and
// packed for the front ends' own calendar where no kernel walks them in place (the
// summary's spacing of dates, an indicator without an own-rows variant).
//
// Missing values before a fund's first value change no indicator, while missing values
// inside its data or after its last value do (a missing row inside a drawdown counts as a
// drawdown row). A column whose values run without a gap from its first row to the matrix's
// last is therefore already its fund's own calendar, padded at the top. Any other column is
// "moved": its own values are packed to the bottom of a column of the same height (NaN
// above them), where the indicators see exactly the fund's own rows. The rows a moved column
// skips between its first row and the last row of the matrix (its holes) map the packed rows
// back to the matrix's rows.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include <emmintrin.h>

#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Work per element of a pass: the scan reads each value once; packing reads and writes it.
constexpr std::uint64_t scan_work = 1, pack_work = 2;

// Valid values (not NaN) among n contiguous ones: four lanes, counted as doubles (exact far
// beyond any row count) so that the loop vectorises.
std::int64_t count_valid(const double* a, std::int64_t n) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::int64_t r = 0;
    for (; r + 8 <= n; r += 8)
        for (int j = 0; j < 8; ++j) lanes[j] += a[r + j] == a[r + j] ? 1.0 : 0.0;
    double total = 0.0;
    for (int j = 0; j < 8; ++j) total += lanes[j];
    for (; r < n; ++r) total += a[r] == a[r] ? 1.0 : 0.0;
    return static_cast<std::int64_t>(total);
}

// Whether a[0 .. n) holds a missing value. Most columns hold none, and the scan then reads
// them whole: one unordered comparison tests two vectors at once, and the lanes are looked
// at once per sixteen values, so the test costs a small share of any indicator's pass.
// (SSE2, which every x86-64 runs: the test is bound by reading the values.)
bool any_missing(const double* a, std::int64_t n) {
    std::int64_t r = 0;
    for (; r + 16 <= n; r += 16) {
        const auto pair = [a, r](int k) {
            return _mm_cmpunord_pd(_mm_loadu_pd(a + r + k), _mm_loadu_pd(a + r + k + 2));
        };
        const __m128d u = _mm_or_pd(_mm_or_pd(pair(0), pair(4)), _mm_or_pd(pair(8), pair(12)));
        if (_mm_movemask_pd(u)) return true;
    }
    for (; r < n; ++r)
        if (a[r] != a[r]) return true;
    return false;
}

// Per column, the first row holding a value (the row count when none does) and how many
// rows hold one. A column needs no move when count == rows - first. counts false: a column
// with a gap may be left uncounted (-1), for a caller that packs it and counts it then.
py::tuple scan(fk::f64_array values, bool counts) {
    const fk::Matrix m = fk::matrix_arg(values, "values");
    const std::int64_t R = m.rows, N = m.cols;
    py::array_t<std::int64_t> first_arr = fk::new_vector<std::int64_t>(static_cast<std::size_t>(N));
    py::array_t<std::int64_t> count_arr = fk::new_vector<std::int64_t>(static_cast<std::size_t>(N));
    std::int64_t* const first = first_arr.mutable_data();
    std::int64_t* const count = count_arr.mutable_data();
    if (m.rs == 1) {
        fk::for_each_item(static_cast<std::uint64_t>(N), [&](std::uint64_t i) {
            const auto c = static_cast<std::int64_t>(i);
            const double* col = m.col(c);
            std::int64_t f = 0;
            while (f < R && col[f] != col[f]) ++f;
            first[c] = f;
            count[c] = f == R                      ? 0
                       : !any_missing(col + f, R - f) ? R - f
                       : counts                       ? count_valid(col + f, R - f)
                                                      : -1;
        }, scan_work * fk::element_reads(m));
    } else {
        // Rows in order, a block of adjacent columns at a time: each row's values of the
        // block lie side by side in a row-major matrix.
        constexpr std::int64_t B = 64;
        const std::int64_t blocks = (N + B - 1) / B;
        fk::for_each_item(static_cast<std::uint64_t>(blocks), [&](std::uint64_t b) {
            const std::int64_t c0 = static_cast<std::int64_t>(b) * B;
            const std::int64_t w = std::min(B, N - c0);
            double f[B], n[B];
            const double none = static_cast<double>(R);
            for (std::int64_t j = 0; j < w; ++j) f[j] = none, n[j] = 0.0;
            double rd = 0.0;
            for (std::int64_t r = 0; r < R; ++r, rd += 1.0) {
                const double* row = m.data + r * m.rs + c0 * m.cs;
                for (std::int64_t j = 0; j < w; ++j) {
                    const double v = row[j * m.cs];
                    const bool valid = v == v;
                    f[j] = valid && f[j] == none ? rd : f[j];
                    n[j] += valid ? 1.0 : 0.0;
                }
            }
            for (std::int64_t j = 0; j < w; ++j) {
                first[c0 + j] = static_cast<std::int64_t>(f[j]);
                count[c0 + j] = static_cast<std::int64_t>(n[j]);
            }
        }, scan_work * fk::element_reads(m));
    }
    return fk::tuple_of(first_arr, count_arr);
}

// The own values of the columns `cols`, packed: column j of the result holds column cols[j]'s
// rows that are its own, at the bottom and in order, NaN above them. A column's own rows are
// its first row (first[c], given by the caller: the first row of the values that defined
// the calendar, such as a fund's first NAV, whose return is missing) and every later row
// holding a value; count[c] is how many there are. Also the holes: per packed column, the
// rows from its first row on that are not its own, ascending, column after column (offsets:
// where each column's holes begin, and their total at the end).
//
// out, when given, receives the packed columns instead of a new matrix: a Fortran-ordered
// float64 (rows x len(cols)) array, so that a caller packing block after block writes over
// one buffer that stays in the cache rather than into fresh memory.
// The caller's buffer for R x M packed columns, once checked: a writable column-major
// float64 array of that shape whose columns are contiguous.
double* out_buffer(py::array& out, std::int64_t R, std::int64_t M) {
    const bool fits = py::isinstance<py::array_t<double>>(out) && out.ndim() == 2 &&
                      out.shape(0) == R && out.shape(1) == M && out.writeable() &&
                      (out.flags() & py::array::f_style) &&
                      (M == 0 || R == 0 || out.strides(0) == sizeof(double));
    if (!fits)
        throw py::value_error("out must be a writable Fortran-ordered float64 array of " +
                              std::to_string(R) + " x " + std::to_string(M));
    return static_cast<double*>(out.mutable_data());
}

py::tuple pack(fk::f64_array values, fk::i64_array first_arr, fk::i64_array count_arr,
               fk::i64_array cols_arr, py::object out_obj) {
    const fk::Matrix m = fk::matrix_arg(values, "values");
    const std::int64_t R = m.rows, N = m.cols;
    const std::int64_t* first = fk::vector_arg(first_arr, "first", N, "columns");
    const std::int64_t* count = fk::vector_arg(count_arr, "count", N, "columns");
    if (cols_arr.ndim() != 1) throw py::value_error("cols must be one-dimensional");
    const std::int64_t M = cols_arr.shape(0);
    const std::int64_t* cols = fk::vector_arg(cols_arr, "cols", M, "moved columns");
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(M) + 1, 0);
    for (std::int64_t j = 0; j < M; ++j) {
        const std::int64_t c = cols[j];
        if (c < 0 || c >= N || first[c] < 0 || first[c] > R || count[c] < 0 ||
            count[c] > R - first[c])
            throw py::value_error("pack: column " + std::to_string(c) + " is out of range");
        offsets[j + 1] = offsets[j] + (R - first[c] - count[c]);
    }
    py::array out;
    if (out_obj.is_none()) {
        out = py::array_t<double, py::array::f_style>({R, M});
    } else {
        out = py::reinterpret_borrow<py::array>(out_obj);
    }
    double* const P = out_buffer(out, R, M);
    py::array_t<std::int64_t> holes_arr =
        fk::new_vector<std::int64_t>(static_cast<std::size_t>(offsets[M]));
    std::int64_t* const holes = holes_arr.mutable_data();
    fk::for_each_item(static_cast<std::uint64_t>(M), [&](std::uint64_t i) {
        const auto j = static_cast<std::int64_t>(i);
        const std::int64_t c = cols[j], f = first[c];
        const double* col = m.col(c);
        double* dst = P + j * R;
        const std::int64_t pad = R - count[c], lowest = offsets[j], highest = offsets[j + 1];
        std::fill(dst, dst + pad, NaN);
        std::int64_t pos = pad, hole = lowest;
        if (f < R) dst[pos++] = col[f * m.rs];  // the first row is the fund's own
        if (m.rs == 1) {
            // Runs of values between holes are copied whole.
            std::int64_t r = f + 1;
            while (r < R) {
                std::int64_t e = r;
                while (e < R && col[e] == col[e]) ++e;
                const std::int64_t len = std::min(e - r, R - pos);
                std::copy(col + r, col + r + len, dst + pos);
                pos += len;
                if (e < R && hole < highest) holes[hole++] = e;
                else if (e < R) break;  // more holes than count allows
                r = e + 1;
            }
        } else {
            for (std::int64_t r = f + 1; r < R; ++r) {
                const double v = col[r * m.rs];
                if (v == v) {
                    if (pos == R) break;
                    dst[pos++] = v;
                } else if (hole < highest) {
                    holes[hole++] = r;
                } else {
                    break;
                }
            }
        }
        if (pos != R || hole != highest)
            throw py::value_error("pack: count does not match the values of column " +
                                  std::to_string(c));
    }, pack_work * static_cast<std::uint64_t>(R) * static_cast<std::uint64_t>(M));
    return fk::tuple_of(out, holes_arr, fk::to_numpy(offsets));
}

// The differences of a panel's consecutive dates as a multiset: each distinct value, in
// order, with the count of differences at or below it. Regular dates have few distinct ones.
struct Spacings {
    std::vector<std::int64_t> value;
    std::vector<std::size_t> at_most;

    explicit Spacings(std::vector<std::int64_t> all) {
        std::sort(all.begin(), all.end());
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i + 1 < all.size() && all[i + 1] == all[i]) continue;
            value.push_back(all[i]);
            at_most.push_back(i + 1);
        }
    }

    // The k-th smallest value (from 0) of this multiset less `removed` plus `added`, both
    // sorted, `removed` a part of this one: the smallest value of either with at least k + 1
    // values of the result at or below it. That count rises with the value, so both lists
    // are searched by halving.
    std::int64_t kth(const std::vector<std::int64_t>& removed,
                     const std::vector<std::int64_t>& added, std::size_t k) const {
        const auto count = [](const std::vector<std::int64_t>& v, std::int64_t x) {
            return static_cast<std::size_t>(std::upper_bound(v.begin(), v.end(), x) - v.begin());
        };
        const auto mine = [&](std::int64_t x) {
            const auto j = std::upper_bound(value.begin(), value.end(), x) - value.begin();
            return j == 0 ? std::size_t{0} : at_most[static_cast<std::size_t>(j - 1)];
        };
        std::size_t lo = 0, hi = value.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (at_most[mid] - count(removed, value[mid]) + count(added, value[mid]) > k)
                hi = mid;
            else
                lo = mid + 1;
        }
        const auto b = std::partition_point(added.begin(), added.end(), [&](std::int64_t x) {
            return mine(x) - count(removed, x) + count(added, x) <= k;
        });
        if (b == added.end()) return value[lo];
        return lo == value.size() ? *b : std::min(value[lo], *b);
    }
};

// Per column of `cols`, the median spacing of its own dates (its first row, given by the
// caller, and every later row holding a value), in nanoseconds: the middle difference of
// consecutive own dates, or the mean of the two middle ones for an even count, as a float64
// median of int64 differences gives it ((a + b) / 2 over doubles). NaN for a column with fewer
// than two own dates. The summary annualises each fund by it on the fund's own calendar.
//
// A column's own differences are the panel's (those of consecutive rows), less the ones
// before its first row and around each run of its holes, plus one difference across each
// run. Its holes are few in real data, so the panel's differences are counted once and each
// column's median is found among them, corrected by its own short lists, with no selection
// over all of its rows.
py::array_t<double> spacing(fk::f64_array values, fk::i64_array first_arr, fk::i64_array cols_arr,
                            fk::i64_array dates_arr) {
    const fk::Matrix m = fk::matrix_arg(values, "values");
    const std::int64_t R = m.rows, N = m.cols;
    const std::int64_t* first = fk::vector_arg(first_arr, "first", N, "columns");
    if (cols_arr.ndim() != 1) throw py::value_error("cols must be one-dimensional");
    const std::int64_t M = cols_arr.shape(0);
    const std::int64_t* cols = fk::vector_arg(cols_arr, "cols", M, "columns");
    const std::int64_t* dates = fk::vector_arg(dates_arr, "dates", R, "rows");
    for (std::int64_t j = 0; j < M; ++j)
        if (cols[j] < 0 || cols[j] >= N || first[cols[j]] < 0 || first[cols[j]] > R)
            throw py::value_error("spacing: column " + std::to_string(cols[j]) +
                                  " is out of range");
    py::array_t<double> out_arr = fk::new_vector<double>(static_cast<std::size_t>(M));
    double* const out = out_arr.mutable_data();
    // gap[r]: the difference of rows r - 1 and r (gap[0] unused).
    std::vector<std::int64_t> gap(static_cast<std::size_t>(std::max<std::int64_t>(R, 1)));
    for (std::int64_t r = 1; r < R; ++r) gap[r] = dates[r] - dates[r - 1];
    const Spacings panel(R > 1 ? std::vector<std::int64_t>(gap.begin() + 1, gap.end())
                               : std::vector<std::int64_t>{});
    fk::for_each_item(static_cast<std::uint64_t>(M), [&](std::uint64_t i) {
        const std::int64_t c = cols[i], f = first[c];
        const double* col = m.col(c);
        thread_local std::vector<std::int64_t> removed, added;
        // The differences into the rows before its first one are not its own.
        const std::int64_t lead = std::clamp<std::int64_t>(f, 0, std::max<std::int64_t>(R - 1, 0));
        removed.assign(gap.begin() + 1, gap.begin() + 1 + lead);
        added.clear();
        std::int64_t holes = 0;
        for (std::int64_t r = f + 1; r < R;) {
            // Runs of sixteen values without a hole are passed over whole where they lie
            // side by side.
            if (m.rs == 1)
                while (r + 16 <= R && !any_missing(col + r, 16)) r += 16;
            if (r >= R) break;
            if (col[r * m.rs] == col[r * m.rs]) {
                ++r;
                continue;
            }
            // A run of holes from r on: the differences into each of them and out of the last
            // leave; the one from the row before the run to the row after it comes in.
            std::int64_t b = r;
            while (b < R && col[b * m.rs] != col[b * m.rs]) ++b;
            for (std::int64_t q = r; q <= std::min(b, R - 1); ++q) removed.push_back(gap[q]);
            if (b < R) added.push_back(dates[b] - dates[r - 1]);
            holes += b - r;
            r = b + 1;
        }
        const std::int64_t valid = f < R ? R - f - holes : 0;
        if (valid < 2) {
            out[i] = NaN;
            return;
        }
        std::sort(removed.begin(), removed.end());
        std::sort(added.begin(), added.end());
        const auto n = static_cast<std::size_t>(valid - 1);
        const double upper = static_cast<double>(panel.kth(removed, added, n / 2));
        if (n % 2 == 1) {
            out[i] = upper;
            return;
        }
        const double lower = static_cast<double>(panel.kth(removed, added, n / 2 - 1));
        out[i] = (lower + upper) / 2.0;
    }, scan_work * static_cast<std::uint64_t>(R) * static_cast<std::uint64_t>(M));
    return out_arr;
}

}  // namespace

PYBIND11_MODULE(_pack, m) {
    m.def("scan", &scan, py::arg("values"), py::arg("counts") = true,
          "Per column the first row holding a value (the row count if none) and the count "
          "of rows holding one: (first, count), int64. counts=False may leave a column with "
          "a gap uncounted: -1");
    m.def("pack", &pack, py::arg("values"), py::arg("first"), py::arg("count"), py::arg("cols"),
          py::arg("out") = py::none(),
          "The columns cols with their own rows packed to the bottom (NaN above), and the "
          "rows each skips from its first row on: (packed, holes, offsets)");
    m.def("spacing", &spacing, py::arg("values"), py::arg("first"), py::arg("cols"),
          py::arg("dates"),
          "Per column of cols the median spacing of its own dates in nanoseconds, as a "
          "float64 median of their differences (NaN for fewer than two)");
}
