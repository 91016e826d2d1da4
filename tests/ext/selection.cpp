// fundkernels._test_selection: the shared selection (common/select.hpp) called directly, for
// the test suite and the selection benchmark. Built only with FK_TEST_EXTENSIONS=ON (the
// test installs set it); no wheel for users carries it.
//
// The scratch buffers are exactly as large as select.hpp asks for, so that a build with
// AddressSanitizer catches any write or read past them.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <xmmintrin.h>

#include "frame.hpp"
#define FK_KERNELS "tests/ext/selection_paths.hpp"
#include "each_path.hpp"

namespace {

namespace py = pybind11;

// A one-dimensional view of doubles: data, count and stride in elements (any sign).
struct Values {
    const double* data;
    std::size_t rows;
    std::ptrdiff_t stride;
};

Values values_of(fk::f64_array& a) {
    if (a.ndim() != 1) throw py::value_error("values must be one-dimensional");
    if (a.strides(0) % static_cast<py::ssize_t>(sizeof(double)) != 0 || a.strides(0) <= 0)
        a = fk::f64_array(fk::dense_array<double>(a));
    return {a.data(), static_cast<std::size_t>(a.shape(0)),
            a.strides(0) / static_cast<std::ptrdiff_t>(sizeof(double))};
}

std::size_t valid_count(const Values& v) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < v.rows; ++i) n += v.data[i * v.stride] == v.data[i * v.stride];
    return n;
}

// While alive, subnormal results of arithmetic are flushed to zero, as some libraries set
// for the whole process; the previous mode is restored at the end.
struct FlushToZero {
    unsigned saved = _mm_getcsr();
    explicit FlushToZero(bool on) { if (on) _mm_setcsr(saved | _MM_FLUSH_ZERO_ON); }
    ~FlushToZero() { _mm_setcsr(saved); }
};

// select_kth: the k-th smallest of the valid values (0 < k < their count) and the value
// ranked before it, optionally with subnormal results flushed to zero.
std::pair<double, double> kth(fk::f64_array a, std::size_t k, bool flush_to_zero) {
    const Values v = values_of(a);
    const std::size_t n = valid_count(v);
    if (!(0 < k && k < n))
        throw py::value_error("k must lie in 1 .. " + std::to_string(n) + " - 1 (valid values)");
    std::vector<double> m(2 * v.rows), b(n);
    const FlushToZero mode(flush_to_zero);
    return fk::on_path([&](auto path) {
        return kth_on(path, v.data, static_cast<std::size_t>(v.stride), v.rows, n, k, m.data(),
                      b.data());
    });
}

// median_of with the count of valid values given (any stride), or counted on the way
// (contiguous values only: crossodds' path).
double median(fk::f64_array a, bool counted) {
    const Values v = values_of(a);
    if (!counted) {
        const std::size_t n = valid_count(v);
        std::vector<double> m(2 * v.rows), b(n);
        return fk::on_path([&](auto path) {
            return median_on(path, v.data, static_cast<std::size_t>(v.stride), v.rows, n,
                             m.data(), b.data());
        });
    }
    if (v.stride != 1) throw py::value_error("counted: contiguous values only");
    std::vector<double> m(2 * v.rows), b(v.rows);
    return fk::on_path(
        [&](auto path) { return median_counted_on(path, v.data, v.rows, m.data(), b.data()); });
}

// Medians of `repeat` calls over the same values, for the benchmark: the values are only
// read, so every call does the same work; returns the last median.
double median_repeated(fk::f64_array a, bool counted, std::size_t repeat) {
    const Values v = values_of(a);
    if (counted && v.stride != 1) throw py::value_error("counted: contiguous values only");
    const std::size_t n = counted ? v.rows : valid_count(v);
    std::vector<double> m(2 * v.rows), b(n);
    return fk::on_path([&](auto path) {
        double out = 0.0;
        for (std::size_t r = 0; r < repeat; ++r)
            out = counted ? median_counted_on(path, v.data, v.rows, m.data(), b.data())
                          : median_on(path, v.data, static_cast<std::size_t>(v.stride), v.rows,
                                      n, m.data(), b.data());
        return out;
    });
}

}  // namespace

PYBIND11_MODULE(_test_selection, m) {
    m.doc() = "The shared selection called directly (test builds only)";
    m.def("kth", &kth, py::arg("values"), py::arg("k"), py::arg("flush_to_zero") = false);
    m.def("median", &median, py::arg("values"), py::arg("counted") = false);
    m.def("median_repeated", &median_repeated, py::arg("values"), py::arg("counted"),
          py::arg("repeat"));
    fk::def_path_functions(m);
    m.attr("network_rows") = fk::path_baseline::network_rows;
    m.attr("min_binned") = fk::path_baseline::min_binned;
    m.attr("min_bracket") = fk::path_baseline::min_bracket;
    m.attr("select_bins") = fk::path_baseline::select_bins;
    m.attr("bracket_sample") = fk::path_baseline::bracket_sample;
}
