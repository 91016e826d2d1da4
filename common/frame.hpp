// The shared extension frame: argument views, result construction.
//
// Every module converts its arguments with pybind11's forcecast arrays, so what arrives
// here is an ndarray of the right element type, but in any layout the caller had: C
// order, Fortran order (what pandas hands out), sliced or reversed. The matrix view
// reads through element strides instead of copying; only arrays whose strides or
// alignment cannot be read as doubles are copied to a dense block first.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fanout.hpp"

namespace fk {

namespace py = pybind11;

using f64_array = py::array_t<double, py::array::forcecast>;
using i64_array = py::array_t<std::int64_t, py::array::forcecast>;
using i32_array = py::array_t<std::int32_t, py::array::forcecast>;

// A read-only (dates x funds) matrix; element (r, c) is data[r * rs + c * cs].
struct Matrix {
    const double* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t rs = 0;  // row stride, in elements
    std::int64_t cs = 0;  // column stride, in elements

    double operator()(std::int64_t r, std::int64_t c) const { return data[r * rs + c * cs]; }
    // Pointer to row 0 of column c; the column's row r lies rs elements further per row.
    const double* col(std::int64_t c) const { return data + c * cs; }
};

namespace detail {

template <class T>
bool strides_usable(const py::array& a) {
    if (!(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) return false;
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
        if (a.strides(k) % static_cast<py::ssize_t>(sizeof(T)) != 0) return false;
    return true;
}

inline std::string plural(std::int64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace detail

// View of the value matrix argument `a`. `name` is how the message calls it. If the
// array's strides cannot be followed as doubles, `a` is replaced by a dense copy, which
// the caller keeps alive for the whole call since it owns `a`.
inline Matrix matrix_arg(f64_array& a, const char* name) {
    if (a.ndim() != 2)
        throw py::value_error(std::string(name) +
                              " must be a two-dimensional (dates x funds) matrix, but it has " +
                              detail::plural(a.ndim(), "dimension"));
    if (!detail::strides_usable<double>(a))
        a = f64_array(py::array_t<double, py::array::c_style | py::array::forcecast>(a));
    Matrix m;
    m.data = a.data();
    m.rows = a.shape(0);
    m.cols = a.shape(1);
    m.rs = a.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    m.cs = a.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    return m;
}

// Data of a one-dimensional argument that must hold at least `need` elements, one per
// row or column of the value matrix (`per` is "rows" or "columns"). The elements are
// read in C order from a dense array; a strided or reversed one is copied first.
template <class T>
const T* vector_arg(py::array_t<T, py::array::forcecast>& a, const char* name, std::int64_t need,
                    const char* per) {
    const std::int64_t have = a.size();
    if (have < need)
        throw py::value_error(std::string(name) + " has " + detail::plural(have, "element") +
                              ", but the value matrix has " + std::to_string(need) + " " + per);
    if (!(a.flags() & py::array::c_style) || !detail::strides_usable<T>(a))
        a = py::array_t<T, py::array::forcecast>(
            py::array_t<T, py::array::c_style | py::array::forcecast>(a));
    return a.data();
}

// A new one-dimensional array owning a copy of `v`.
template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// A list of str, one per element of `v`, in order.
inline py::list to_list(const std::vector<std::string>& v) {
    py::list out;
    for (const auto& s : v) out.append(py::str(s));
    return out;
}

}  // namespace fk
