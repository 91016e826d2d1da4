// crossodds: per fund, how often its winner/loser status against the median of its type
// group repeats between consecutive dates on which it has a status, divided by how often
// it reverses.
//
// The dates are cut into blocks of up to 64. Workers take whole blocks; for every group and date
// of a block they find the group's median and the status of each member fund, and then
// sum up each fund's statuses within the block. The block summaries of a fund are joined
// in date order at the end. Pair counts are integers, so counting block by block gives
// exactly the counts of one walk over all dates. The medians are never stored, and the
// statuses only for the block at hand: working memory is four bytes per fund and block
// of dates (1/128 of the value matrix for blocks of 64), one byte per fund and date of a
// block per worker, and a few vectors with one slot per fund.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "frame.hpp"

namespace {

namespace py = pybind11;

const double nan_val = std::numeric_limits<double>::quiet_NaN();

// Status of a fund on a date: winner, loser, or none (no value, or no median).
constexpr std::int8_t winner = 1;
constexpr std::int8_t loser = 0;
constexpr std::int8_t no_flag = -1;

// Dates per block: at most 64, since a block's pair counts are bytes, and fewer for short
// panels so that every worker gets several blocks. The results do not depend on it.
std::int64_t block_length(std::int64_t D) {
    const std::int64_t hw = std::max<std::int64_t>(1, std::thread::hardware_concurrency());
    return std::clamp<std::int64_t>((D + 4 * hw - 1) / (4 * hw), 8, 64);
}

// Funds sharing a type code with at least one other fund: group g is the columns
// cols[starts[g]] .. cols[starts[g + 1] - 1], in increasing order. A fund alone in its
// group is its own median, a winner on every date it has a value, so it never reverses
// and its result is NaN whatever its values: such funds are left out.
struct Groups {
    std::vector<std::int64_t> cols;
    std::vector<std::size_t> starts{0};
    std::size_t largest = 0;
};

Groups group_by_code(const std::int32_t* type_ptr, std::int64_t F) {
    std::vector<std::int64_t> sorted(static_cast<std::size_t>(F));
    std::iota(sorted.begin(), sorted.end(), std::int64_t{0});
    std::stable_sort(sorted.begin(), sorted.end(), [type_ptr](std::int64_t a, std::int64_t b) {
        return type_ptr[a] < type_ptr[b];
    });
    Groups g;
    for (std::size_t s = 0, e = 0; s < sorted.size(); s = e) {
        for (e = s + 1; e < sorted.size() && type_ptr[sorted[e]] == type_ptr[sorted[s]];) ++e;
        if (e - s == 1) continue;
        g.cols.insert(g.cols.end(), sorted.begin() + s, sorted.begin() + e);
        g.starts.push_back(g.cols.size());
        g.largest = std::max(g.largest, e - s);
    }
    return g;
}

// Each fund's statuses within each block of dates, one field per vector, slot b * F + c for
// fund c in block b: the first and the last status (no_flag while there is none) and,
// among consecutive statuses, the number of pairs and of reversals (winner then loser or
// loser then winner). Dates without a status neither form a pair nor break the chain.
struct Chains {
    std::vector<std::int8_t> first, last;
    std::vector<std::uint8_t> pairs, reversals;  // at most 63 in a block of up to 64 dates

    explicit Chains(std::size_t n) : first(n, no_flag), last(n, no_flag), pairs(n), reversals(n) {}
};

// Extends the chains of funds 0 .. F - 1 by one date's statuses cur[0 .. F - 1]. Statuses
// are 0 or 1 on both ends of a pair, so their xor tells a reversal from a repeat.
void extend(const std::int8_t* __restrict__ cur, std::int8_t* __restrict__ first,
            std::int8_t* __restrict__ last, std::uint8_t* __restrict__ pairs,
            std::uint8_t* __restrict__ reversals, std::int64_t F) {
    for (std::int64_t c = 0; c < F; ++c) {
        const std::int8_t s = cur[c];
        const std::int8_t l = last[c];
        const std::uint8_t pair = (s >= 0) & (l >= 0);
        pairs[c] += pair;
        reversals[c] += pair & static_cast<std::uint8_t>(s ^ l);
        first[c] = first[c] < 0 ? s : first[c];
        last[c] = s < 0 ? l : s;
    }
}

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
Middle select_middle(double* a, double* b, std::size_t n, std::size_t k) {
    double* src = a;
    double* dst = b;
    std::size_t lo = 0, hi = n;  // the k-th smallest lies in src[lo..hi)
    double before = nan_val;     // valid once k == lo
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

// Median of the values row[off[0]], ..., row[off[n_cols - 1]] that are not NaN, NaN when
// there is none; `a` and `b` are scratch of n_cols values each. For an even count it is the
// two middle values added, then halved, so two huge values give an infinite median and inf
// with -inf gives NaN. The median of a multiset is the same whatever order the selection
// leaves, up to the sign of a zero, which no comparison with it can tell.
double nan_median(const double* row, const std::int64_t* off, std::size_t n_cols, double* a,
                  double* b) {
    // Gathered at fixed places first: reading a value back right after a store to a place
    // that depended on the previous value's NaN test costs a pipeline restart.
    std::size_t n = 0;
    for (std::size_t i = 0; i < n_cols; ++i) {
        const double v = row[off[i]];
        a[i] = v;
        n += std::isnan(v) ? 0 : 1;
    }
    if (n < n_cols) {
        for (std::size_t i = 0, j = 0; i < n_cols; ++i) {
            const double v = a[i];
            a[j] = v;
            j += std::isnan(v) ? 0 : 1;
        }
    }
    if (n == 0) return nan_val;
    if (n == 1) return a[0];
    if (n == 2) return (a[0] + a[1]) * 0.5;
    const Middle mid = select_middle(a, b, n, n / 2);
    return n % 2 == 1 ? mid.kth : (mid.before + mid.kth) * 0.5;
}

// One group on one date: value row[vo[i]] gives the status out[col[i]]. A value equal to
// its group median is a winner.
void flag_group(const double* row, const std::int64_t* vo, const std::int64_t* col, std::size_t n,
                std::int8_t* out, double* buf) {
    const double med = nan_median(row, vo, n, buf, buf + n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = row[vo[i]];
        out[col[i]] = (std::isnan(v) || std::isnan(med)) ? no_flag : (v >= med ? winner : loser);
    }
}

py::array_t<double> crossodds(fk::i32_array f_type, fk::f64_array funds_value) {
    const fk::Matrix m = fk::matrix_arg(funds_value, "values");
    const std::int64_t D = m.rows;
    const std::int64_t F = m.cols;
    const std::int32_t* type_ptr = fk::vector_arg(f_type, "type_codes", F, "columns");

    const Groups groups = group_by_code(type_ptr, F);
    const std::size_t n_groups = groups.starts.size() - 1;
    std::vector<std::int64_t> voff(groups.cols.size());  // element offsets within a row
    for (std::size_t i = 0; i < groups.cols.size(); ++i) voff[i] = groups.cols[i] * m.cs;

    const std::int64_t date_block = block_length(D);
    const std::int64_t n_blocks = (D + date_block - 1) / date_block;
    Chains chains(static_cast<std::size_t>(n_blocks * F));
    // Date by date when the matrix's rows are contiguous, group by group otherwise, so that
    // the reads follow the matrix's memory.
    const bool by_rows = std::llabs(m.cs) <= std::llabs(m.rs);
    fk::fan_out(static_cast<std::uint64_t>(n_blocks), [&](std::uint64_t t, std::uint64_t n) {
        std::vector<double> buf(2 * groups.largest);  // two scratch buffers
        // Statuses of the block's dates, a row of F per date. Funds alone in their group are
        // never written and keep no_flag.
        std::vector<std::int8_t> status(static_cast<std::size_t>(std::min(D, date_block) * F),
                                        no_flag);
        const std::int64_t* const vo = voff.data();
        const std::int64_t* const col = groups.cols.data();
        const std::size_t* const starts = groups.starts.data();
        const auto step = static_cast<std::int64_t>(n);
        for (auto b = static_cast<std::int64_t>(t); b < n_blocks; b += step) {
            const std::int64_t d0 = b * date_block;
            const std::int64_t d1 = std::min(D, d0 + date_block);
            auto one = [&](std::int64_t d, std::size_t g) {
                flag_group(m.data + d * m.rs, vo + starts[g], col + starts[g],
                           starts[g + 1] - starts[g], status.data() + (d - d0) * F, buf.data());
            };
            if (by_rows) {
                for (std::int64_t d = d0; d < d1; ++d)
                    for (std::size_t g = 0; g < n_groups; ++g) one(d, g);
            } else {
                for (std::size_t g = 0; g < n_groups; ++g)
                    for (std::int64_t d = d0; d < d1; ++d) one(d, g);
            }
            const std::size_t at = static_cast<std::size_t>(b * F);
            for (std::int64_t d = d0; d < d1; ++d)
                extend(status.data() + (d - d0) * F, chains.first.data() + at,
                       chains.last.data() + at, chains.pairs.data() + at,
                       chains.reversals.data() + at, F);
        }
    });

    // Each fund's blocks joined in date order: the last status of one block with a status
    // and the first of the next one form the pair that spans them.
    std::vector<double> cpr_list(static_cast<std::size_t>(F), nan_val);
    fk::for_each_item(static_cast<std::uint64_t>(F), [&](std::uint64_t c) {
        std::int64_t pairs = 0, reversals = 0;
        std::int8_t last = no_flag;
        for (std::int64_t b = 0; b < n_blocks; ++b) {
            const std::size_t at = static_cast<std::size_t>(b * F) + c;
            if (chains.first[at] == no_flag) continue;
            if (last != no_flag) {
                ++pairs;
                reversals += chains.first[at] != last;
            }
            pairs += chains.pairs[at];
            reversals += chains.reversals[at];
            last = chains.last[at];
        }
        // Repeats over reversals; no reversal leaves NaN.
        if (reversals > 0)
            cpr_list[c] = static_cast<double>(pairs - reversals) / static_cast<double>(reversals);
    });
    return fk::to_numpy(cpr_list);
}

}  // namespace

PYBIND11_MODULE(crossodds, m) {
    m.def("crossodds", &crossodds, "Compute CPR using hand-written thread pool (no SIMD)");
}
