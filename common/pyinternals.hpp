// Every place where the frame goes beneath pybind11's documented interface, or builds
// Python objects with CPython's C API rather than through pybind11, with the reason for
// each. A pybind11 or Python upgrade is checked here first: the rest of common/ uses
// only pybind11's public types and the functions below.
//
//   arg_array and its caster    pybind11's detail::pyobject_caster, array_t::check_ and
//                               ensure, object::stolen_t: an argument without the empty
//                               array the stock caster makes first for every argument.
//   numpy_aligned               NumPy's NPY_ARRAY_ALIGNED flag, which pybind11 names only
//                               in its detail::npy_api.
//   new_vector                  NumPy's PyArray_NewFromDescr, through the table of NumPy's
//                               C API that pybind11 loaded (detail::npy_api): a result
//                               array without the heap containers of shape and strides
//                               that array_t's constructors build.
//   new_list, new_dict,         CPython's constructors: a failed allocation raises the
//   tuple_of, to_list           MemoryError Python set, where pybind11's constructors
//                               raise RuntimeError; filled in place, items stolen.
//   new_str                     PyUnicode_New and PyUnicode_DATA: an ASCII text copied
//                               straight into a compact string, no UTF-8 decoding.
//
// pybind11 is pinned (pyproject.toml) for the detail names above.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// NumPy's flag of an array whose elements lie at addresses aligned for their type.
constexpr int numpy_aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// A C-order array of T at an address aligned for T. Asking for C order alone is not
// enough: NumPy hands back a contiguous array at an odd address (a slice of a byte
// buffer, an array unpickled from a network frame) as it is.
template <class T>
using dense_array = py::array_t<T, py::array::c_style | py::array::forcecast | numpy_aligned>;

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
