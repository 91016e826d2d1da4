// Selection of an order statistic together with the value ranked just before it, which
// an even count's median needs as well. Branch-free partitioning: values are as good as
// random, so a branch on a comparison would be mispredicted half the time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

namespace fk {

// The k-th smallest of a multiset and the largest value ranked before it.
struct Middle {
    double kth;
    double before;
};

// Copies src[lo..hi) into dst[lo..hi): the values that `keep_front` accepts to the front,
// the others to the back, and returns where the others begin. Neither a branch nor a load
// waits for the comparison: every value is written to both ends, and the next value simply
// overwrites the wrong one.
template <class Pred>
std::size_t split_copy(const double* src, double* dst, std::size_t lo, std::size_t hi,
                       Pred keep_front) {
    std::size_t n_front = 0;
    for (std::size_t j = 0; j < hi - lo; ++j) {
        const double v = src[lo + j];
        dst[lo + n_front] = v;
        dst[hi - 1 - j + n_front] = v;
        n_front += keep_front(v) ? 1 : 0;
    }
    return lo + n_front;
}

// Selection of the k-th smallest of a[0..n), 0 < k < n, no NaN; `a` and `b` are scratch of
// n values each and both are overwritten. Quickselect around a median of three, each round
// copying the live range from one buffer into the other. The value ranked before k is the
// previous one in the final sorted range, unless k sits at that range's front: then it is
// the largest of the values last left behind below it, all of which are smaller than what
// stays. When a round leaves nothing below the pivot, the run of values equal to the pivot
// is split off, so that ties cannot stall the selection; the standard library's selection
// takes over should the pivots keep coming out badly anyway.
inline Middle select_middle(double* a, double* b, std::size_t n, std::size_t k) {
    double* src = a;
    double* dst = b;
    std::size_t lo = 0, hi = n;  // the k-th smallest lies in src[lo..hi)
    double before = std::numeric_limits<double>::quiet_NaN();     // valid once k == lo
    for (int budget = 64; hi - lo > 16; --budget) {
        if (budget == 0) {
            std::nth_element(src + lo, src + k, src + hi);
            if (k > lo) before = *std::max_element(src + lo, src + k);
            return {src[k], before};
        }
        const double x = src[lo], y = src[lo + (hi - lo) / 2], z = src[hi - 1];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        const std::size_t mid =
            split_copy(src, dst, lo, hi, [pivot](double v) { return v < pivot; });
        std::swap(src, dst);
        if (k < mid) {
            hi = mid;
            continue;
        }
        if (mid > lo) {
            if (k == mid) before = *std::max_element(src + lo, src + mid);
            lo = mid;
            continue;
        }
        // The pivot is the smallest value of the range: take off the run equal to it.
        const std::size_t above =
            split_copy(src, dst, lo, hi, [pivot](double v) { return !(pivot < v); });
        std::swap(src, dst);
        if (k < above) return {pivot, k > lo ? pivot : before};
        before = pivot;
        lo = above;
    }
    // Short range: insertion sort.
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const double v = src[i];
        std::size_t j = i;
        for (; j > lo && v < src[j - 1]; --j) src[j] = src[j - 1];
        src[j] = v;
    }
    return {src[k], k > lo ? src[k - 1] : before};
}

}  // namespace fk
