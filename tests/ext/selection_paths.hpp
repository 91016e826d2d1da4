// The selection test extension's entries, read once per instruction set (see
// common/each_path.hpp), so that the suite can call the selection on every path the CPU
// runs, as crossodds and the summary do. Results leave as plain pairs and doubles: each
// path has a Middle of its own.

#include "select.hpp"

inline std::pair<double, double> kth_on(tag, const double* a, std::size_t stride,
                                        std::size_t rows, std::size_t n, std::size_t k,
                                        double* m, double* b) {
    const Middle mid = select_kth(a, stride, rows, n, k, m, b);
    return {mid.kth, mid.before};
}

// With the count of valid values given (any stride), or counted on the way (contiguous
// values only: crossodds' entry).
inline double median_on(tag, const double* a, std::size_t stride, std::size_t rows,
                        std::size_t n, double* m, double* b) {
    return median_of(a, stride, rows, n, m, b);
}
inline double median_counted_on(tag, const double* a, std::size_t rows, double* m, double* b) {
    return median_of(a, rows, m, b);
}
