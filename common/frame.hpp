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

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fanout.hpp"

namespace fk {

namespace py = pybind11;

// An array argument, converted exactly as pybind11 converts a forcecast array_t. It has
// a caster of its own (below): the stock caster holds a default array_t, which makes
// (and then frees) an empty NumPy array for every array argument of every call before
// the argument itself is converted.
template <class T>
struct arg_array : py::array_t<T, py::array::forcecast> {
    using base = py::array_t<T, py::array::forcecast>;
    arg_array() : base(py::handle(), py::object::stolen_t{}) {}  // holds nothing yet
    explicit arg_array(base&& a) : base(std::move(a)) {}
    using base::operator=;
};

using f64_array = arg_array<double>;
using i64_array = arg_array<std::int64_t>;
using i32_array = arg_array<std::int32_t>;

// A C-order array of T at an address aligned for T. Asking for C order alone is not
// enough: NumPy hands back a contiguous array at an odd address (a slice of a byte
// buffer, an array unpickled from a network frame) as it is.
template <class T>
using dense_array = py::array_t<T, py::array::c_style | py::array::forcecast |
                                      py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

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
    if (!(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) return false;
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

// A new one-dimensional array of n elements, not initialised. Made by NumPy's constructor
// with the one dimension on the stack: the general constructor first builds containers of
// shape and strides on the heap, which costs a small call more than the array itself.
template <class T>
py::array_t<T> new_vector(std::size_t n) {
    auto& api = py::detail::npy_api::get();
    Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(n)};
    // The constructor takes over the reference to the dtype, also when it fails.
    PyObject* p = api.PyArray_NewFromDescr_(api.PyArray_Type_, py::dtype::of<T>().release().ptr(),
                                            1, dims, nullptr, nullptr, 0, nullptr);
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<T>>(p);
}

// A new one-dimensional array owning a copy of `v`.
template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out = new_vector<T>(v.size());
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// Python containers for results. pybind11's own constructors turn a failed allocation into
// a RuntimeError ("Could not allocate ... object!"); these pass on the MemoryError that
// Python raised, as every other allocation of a call does.
inline py::list new_list(std::size_t n) {
    PyObject* p = PyList_New(static_cast<py::ssize_t>(n));
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(p);
}

inline py::dict new_dict() {
    PyObject* p = PyDict_New();
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(p);
}

// A tuple of the given Python objects, in order.
template <class... T>
py::tuple tuple_of(T&&... items) {
    py::object held[] = {py::object(std::forward<T>(items))...};
    PyObject* p = PyTuple_New(static_cast<py::ssize_t>(sizeof...(T)));
    if (!p) throw py::error_already_set();
    for (std::size_t i = 0; i < sizeof...(T); ++i)
        PyTuple_SET_ITEM(p, static_cast<py::ssize_t>(i), held[i].release().ptr());  // takes it
    return py::reinterpret_steal<py::tuple>(p);
}

// A new str holding the bytes of `v`, read as UTF-8. The texts of results (dates, "nan")
// are ASCII: such a text is copied straight into a new compact string, which costs a third
// of what the UTF-8 decoder does per text, and a small call makes a few per fund.
inline PyObject* new_str(const std::string& v) {
    const auto n = static_cast<py::ssize_t>(v.size());
    unsigned char high = 0;
    for (const char ch : v) high |= static_cast<unsigned char>(ch);
    if (high >= 0x80) return PyUnicode_FromStringAndSize(v.data(), n);
    PyObject* s = PyUnicode_New(n, 0x7f);
    if (s && n > 0) std::copy(v.begin(), v.end(), static_cast<char*>(PyUnicode_DATA(s)));
    return s;
}

// A list of str, one per element of `v`, in order.
inline py::list to_list(const std::vector<std::string>& v) {
    // Made at its full length and filled in place: no growth of the list, no temporaries.
    py::list out = new_list(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* s = new_str(v[i]);
        if (!s) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), s);  // takes the reference
    }
    return out;
}

}  // namespace fk

namespace pybind11::detail {

// The caster of fk::arg_array: the stock caster's test and conversion, and its name in
// signatures, without its empty array.
template <class T>
struct pyobject_caster<fk::arg_array<T>> {
    using base = typename fk::arg_array<T>::base;
    bool load(handle src, bool convert) {
        if (!convert && !base::check_(src)) return false;
        value = fk::arg_array<T>(base::ensure(src));
        return static_cast<bool>(value);
    }
    static handle cast(const handle& src, return_value_policy, handle) { return src.inc_ref(); }
    PYBIND11_TYPE_CASTER(fk::arg_array<T>, handle_type_name<base>::name);
};

}  // namespace pybind11::detail
