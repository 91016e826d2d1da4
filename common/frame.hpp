// The shared extension frame: argument views and result arrays (what goes beneath
// pybind11 for them is gathered in pyinternals.hpp).
//
// Every module converts its arguments with pybind11's forcecast arrays, so what arrives
// here is an ndarray of the right element type, but in any layout the caller had: C
// order, Fortran order (what pandas hands out), sliced or reversed. The matrix view
// reads through element strides instead of copying; only arrays whose strides or
// alignment cannot be read as doubles are copied to a dense block first.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fanout.hpp"
#include "pyinternals.hpp"

namespace fk {

namespace py = pybind11;

// A read-only (dates x funds) matrix; element (r, c) is data[r * rs + c * cs].
struct Matrix {
    const double* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t rs = 0;  // row stride, in elements
    std::int64_t cs = 0;  // column stride, in elements

    // Pointer to row 0 of column c; the column's row r lies rs elements further per row.
    const double* col(std::int64_t c) const { return data + c * cs; }
};

// Columns of a row-major matrix before the first cache-line boundary of its rows, when
// every row starts at the same place in a line (else 0). A block of columns that begins
// there reads one line fewer on every row than one that straddles a boundary; large NumPy
// arrays begin 16 bytes into a line.
inline std::int64_t cols_to_line(const Matrix& m) {
    constexpr std::int64_t line = 64, size = sizeof(double);
    const auto at = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(m.data) % line);
    if (m.cs != 1 || at % size != 0 || (m.rs * size) % line != 0) return 0;
    return (line - at) % line / size;
}

// Elements one pass over the matrix reads: the measure of work that caps the worker count
// (see worker_count; a kernel that costs several passes per element passes a multiple).
inline std::uint64_t element_reads(const Matrix& m) {
    return static_cast<std::uint64_t>(m.rows) * static_cast<std::uint64_t>(m.cols);
}

namespace detail {

template <class T>
bool strides_usable(const py::array& a) {
    if (!(a.flags() & numpy_aligned)) return false;
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
        if (a.strides(k) % static_cast<py::ssize_t>(sizeof(T)) != 0) return false;
    return true;
}

inline std::string plural(std::int64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Bytes of physical memory, or the largest count when the system does not say.
inline std::uint64_t memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// A strided view can declare far more elements than it has memory: broadcast_to and zero
// or overlapping strides repeat the same few values over any shape. Such a view is fine
// input, but its work grows with the declared shape, not with its memory, and a matrix
// that could not exist in this machine's memory would keep the call busy for hours. A
// view whose elements cannot all be distinct (there are more of them than places between
// its first and last element where an element can start) is refused when a dense matrix
// of its shape would not fit in physical memory. Dense arrays, memory-mapped ones
// included, are never refused: their work is bounded by memory that really exists.
inline void check_declared_size(const py::array& a, const char* name) {
    using u128 = unsigned __int128;  // no product of shapes and strides overflows it
    const auto item = static_cast<u128>(a.itemsize());
    u128 count = 1;
    u128 span = 0;     // bytes from the first element to the last one
    u128 step = item;  // elements start at multiples of this many bytes apart
    for (py::ssize_t k = 0; k < a.ndim(); ++k) {
        const py::ssize_t n = a.shape(k);
        if (n == 0) return;
        count *= static_cast<u128>(n);
        const py::ssize_t s = a.strides(k);
        const u128 stride = s < 0 ? static_cast<u128>(-(s + 1)) + 1 : static_cast<u128>(s);
        span += stride * static_cast<u128>(n - 1);
        if (n > 1 && stride % item != 0) step = 1;
    }
    const u128 distinct = span / step + 1;  // places an element can start at
    if (count <= distinct || count * item <= memory_bytes()) return;
    std::string shape;
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
        shape += (k ? " x " : "") + std::to_string(a.shape(k));
    throw py::value_error(std::string(name) + " is a view of " + shape +
                          " elements that repeat in memory (broadcast or zero strides); as a "
                          "dense matrix it would take more than this machine's " +
                          std::to_string(memory_bytes() >> 20) + " MiB of memory");
}

}  // namespace detail

// View of the value matrix argument `a`. `name` is how the message calls it. If the
// array's strides cannot be followed as doubles, `a` is replaced by a dense copy, which
// the caller keeps alive for the whole call since it owns `a`.
inline Matrix matrix_arg(py::array_t<double, py::array::forcecast>& a, const char* name) {
    if (a.ndim() != 2)
        throw py::value_error(std::string(name) +
                              " must be a two-dimensional (dates x funds) matrix, but it has " +
                              detail::plural(a.ndim(), "dimension"));
    detail::check_declared_size(a, name);
    if (!detail::strides_usable<double>(a))
        a = py::array_t<double, py::array::forcecast>(dense_array<double>(a));
    Matrix m;
    m.data = a.data();
    m.rows = a.shape(0);
    m.cols = a.shape(1);
    m.rs = a.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    m.cs = a.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    return m;
}

// Data of a one-dimensional argument that must hold at least `need` elements, one per
// row or column of the value matrix (`per` is "rows" or "columns"); elements beyond those
// are not read. The elements are read from a dense block; of a strided, reversed or
// broadcast vector only the first `need` are copied into one.
template <class T>
const T* vector_arg(py::array_t<T, py::array::forcecast>& a, const char* name, std::int64_t need,
                    const char* per) {
    if (a.ndim() != 1)
        throw py::value_error(std::string(name) + " must be one-dimensional, but it has " +
                              detail::plural(a.ndim(), "dimension"));
    const std::int64_t have = a.shape(0);
    if (have < need)
        throw py::value_error(std::string(name) + " has " + detail::plural(have, "element") +
                              ", but the value matrix has " + std::to_string(need) + " " + per);
    const bool dense = need <= 1 || a.strides(0) == static_cast<py::ssize_t>(sizeof(T));
    if (!dense || !detail::strides_usable<T>(a)) {
        py::object head = a[py::slice(0, static_cast<py::ssize_t>(need), 1)];
        a = py::array_t<T, py::array::forcecast>(dense_array<T>(head));
    }
    return a.data();
}

// A new one-dimensional array owning a copy of `v`.
template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out = new_vector<T>(v.size());
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

}  // namespace fk
