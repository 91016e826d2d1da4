// crossodds: per fund, how often its winner/loser status against the median of its type
// group repeats between consecutive dates on which it has a status, divided by how often
// it reverses.
//
// The dates are cut into blocks of up to 64. Workers take whole blocks; for every group and date
// of a block they find the group's median and the status of each member fund, and then
// sum up each fund's statuses within the block. The block summaries of a fund are joined
// in date order at the end. Pair counts are integers, so counting block by block gives
// exactly the counts of one walk over all dates. The medians are never stored, and the
// statuses only for the dates at hand.
//
// When every group is small enough for a sorting network (which takes four dates side by
// side), the groups read the matrix in place: 4 to 16 dates at a time when its rows are
// contiguous, otherwise tiles of dates taken group by group, so that the cache lines
// holding a group's values on one date still hold them on the next. When some group is
// larger, the values are first copied into rows in group order, reading the matrix in the
// order of its memory: a row-major date by one sequential pass over the row, a
// column-major matrix one group at a time, 32 dates (four cache lines of each column)
// together, or 16 when the group is large. Both layouts then share one inner path, over
// each group's values side by side.
// The three data paths are statuses_by_network, statuses_from_rows and
// statuses_from_columns; the walk over blocks and the joins are Call's.
// Funds are kept in group order throughout (funds alone in their group not at all):
// working memory is four bytes per grouped fund and block of dates (1/128 of the value
// matrix for blocks of 64); per worker either a tile of at most 192 KiB of statuses (one
// byte per grouped fund and date of the tile) or rows of eight bytes per value, one row of
// every grouped fund or 16 rows of the largest group (32 while they fit in 256 KiB), and
// scratch of the largest group's size for a median; and a few vectors with one slot per
// fund.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <vector>

#include "fanout.hpp"
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
std::int64_t block_length(std::int64_t D, std::uint64_t work) {
    // Work that one worker does alone is not shared out: the longest blocks, fewer block
    // summaries to join.
    if (fk::worker_count(~std::uint64_t{0}, work) == 1) return 64;
    const std::int64_t hw = static_cast<std::int64_t>(fk::hardware_threads());
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

// Each fund's statuses within each block of dates, one field per vector, slot b * Gs + i for
// the i-th of the G grouped funds (in group order) in block b: the first and the last
// status (no_flag while there is none) and, among consecutive statuses, the number of
// pairs and of reversals (winner then loser or loser then winner). Dates without a status
// neither form a pair nor break the chain.
struct Chains {
    std::vector<std::int8_t> first, last;
    std::vector<std::uint8_t> pairs, reversals;  // at most 63 in a block of up to 64 dates

    explicit Chains(std::size_t n) : first(n, no_flag), last(n, no_flag), pairs(n), reversals(n) {}
};

// Extends the chains of funds 0 .. n - 1 by one date's statuses cur[0 .. n - 1]. Statuses
// are 0 or 1 on both ends of a pair, so their xor tells a reversal from a repeat.
void extend(const std::int8_t* __restrict__ cur, std::int8_t* __restrict__ first,
            std::int8_t* __restrict__ last, std::uint8_t* __restrict__ pairs,
            std::uint8_t* __restrict__ reversals, std::int64_t n) {
    for (std::int64_t c = 0; c < n; ++c) {
        const std::int8_t s = cur[c];
        const std::int8_t l = last[c];
        const std::uint8_t pair = (s >= 0) & (l >= 0);
        pairs[c] += pair;
        reversals[c] += pair & static_cast<std::uint8_t>(s ^ l);
        first[c] = first[c] < 0 ? s : first[c];
        last[c] = s < 0 ? l : s;
    }
}

// Work per value, in single passes, for the worker count: the copy into group order, the
// median's passes (its range and parts; they count the valid values too), and the statuses
// with the chains.
constexpr std::uint64_t group_work = 4;

// Statuses a tile of dates holds at most (one byte each): 192 KiB.
constexpr std::int64_t tile_statuses = 196608;

// Scratch for a group's median: m of 2 n values, b of n.
std::size_t median_m_size(std::size_t n) { return 2 * n; }
std::size_t median_b_size(std::size_t n) { return n; }

// Status of value v against its group's median: a value equal to the median is a winner;
// with no value or no median (NaN) neither test holds and the status is no_flag.
inline std::int8_t status_of(double v, double med) {
    const int ge = v >= med ? 1 : 0;
    const int lt = v < med ? 1 : 0;
    static_assert(winner == 1 && loser == 0 && no_flag == -1, "status = 2 ge + lt - 1");
    return static_cast<std::int8_t>(2 * ge + lt - 1);
}

// One call: the grouped funds, the blocks of dates, their chains and the results. The
// three data paths below differ only in how they set the statuses of a tile of dates; they
// share the walk over blocks and the joining of each fund's blocks.
struct Call {
    const fk::Matrix& m;
    const Groups& groups;
    std::int64_t G;                  // grouped funds
    std::int64_t Gs;                 // slots per block in the chains (see crossodds)
    std::vector<std::int64_t> voff;  // each grouped fund's element offset within a row
    std::uint64_t work;              // for the worker count
    std::int64_t date_block, n_blocks;
    Chains chains;
    std::vector<double> result;
    bool joined = false;  // by a lone worker, so that a small call starts one thread

    Call(const fk::Matrix& m_, const Groups& g, std::int64_t Gs_)
        : m(m_), groups(g), G(static_cast<std::int64_t>(g.cols.size())), Gs(Gs_),
          voff(g.cols.size()),
          work(group_work * static_cast<std::uint64_t>(m_.rows) * static_cast<std::uint64_t>(G)),
          date_block(block_length(m_.rows, work)),
          n_blocks((m_.rows + date_block - 1) / date_block),
          chains(static_cast<std::size_t>(n_blocks * Gs)),
          result(static_cast<std::size_t>(m_.cols), nan_val) {
        for (std::size_t i = 0; i < voff.size(); ++i) voff[i] = g.cols[i] * m.cs;
    }

    std::size_t n_groups() const { return groups.starts.size() - 1; }

    // Date by date when the matrix's rows are contiguous (or closer together than its
    // columns), in tiles of dates otherwise, so that the reads follow the matrix's memory.
    bool row_major() const { return std::llabs(m.cs) <= std::llabs(m.rs); }

    // Worker t of n: tiles(at, s0, s1, d1) for its blocks (every n-th from block t), in
    // tiles of up to `tile` dates s0 .. s1 - 1 of the block that ends before d1, whose
    // chains start at slot `at`. A lone worker has every block, so it joins them too.
    template <class Tiles>
    void walk(std::uint64_t t, std::uint64_t n, std::int64_t tile, Tiles&& tiles) {
        const std::int64_t D = m.rows;
        const auto step = static_cast<std::int64_t>(n);
        for (auto b = static_cast<std::int64_t>(t); b < n_blocks; b += step) {
            const std::int64_t d0 = b * date_block;
            const std::int64_t d1 = std::min(D, d0 + date_block);
            const std::size_t at = static_cast<std::size_t>(b * Gs);
            for (std::int64_t s0 = d0; s0 < d1; s0 += tile)
                tiles(at, s0, std::min(d1, s0 + tile), d1);
        }
        if (n == 1) {
            for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(G); ++i) join(i);
            joined = true;
        }
    }

    // Grouped fund i's blocks joined in date order: the last status of one block with a
    // status and the first of the next one form the pair that spans them.
    void join(std::uint64_t i) {
        std::int64_t pairs = 0, reversals = 0;
        std::int8_t last = no_flag;
        for (std::int64_t b = 0; b < n_blocks; ++b) {
            const std::size_t at = static_cast<std::size_t>(b * Gs) + i;
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
            result[static_cast<std::size_t>(groups.cols[i])] =
                static_cast<double>(pairs - reversals) / static_cast<double>(reversals);
    }

    // The joins a lone worker left undone, in a stage of their own, by as many workers as
    // the four fields of every block summary are worth.
    void join_rest() {
        if (joined) return;
        fk::for_each_item(static_cast<std::uint64_t>(G), [this](std::uint64_t i) { join(i); },
                          4 * static_cast<std::uint64_t>(n_blocks) * static_cast<std::uint64_t>(G));
    }
};

}  // namespace

#define FK_KERNELS "crossodds/kernels.hpp"
#include "each_path.hpp"

namespace {

py::array_t<double> crossodds(fk::i32_array f_type, fk::f64_array funds_value) {
    const fk::Matrix m = fk::matrix_arg(funds_value, "values");
    const std::int32_t* type_ptr = fk::vector_arg(f_type, "type_codes", m.cols, "columns");
    const Groups groups = group_by_code(type_ptr, m.cols);
    if (groups.cols.empty() || m.rows == 0)
        return fk::to_numpy(std::vector<double>(static_cast<std::size_t>(m.cols), nan_val));
    // Slots per date in the rows of statuses and per block in the chains: the grouped funds
    // rounded up to whole 16-byte vectors, so that extending the chains by a date has no
    // scalar tail, and one vector more when some group takes a selection, so that a group's
    // last sixteen slots stay within its block even when the group ends last (see mark).
    // The slots past the grouped funds hold no status and are never joined.
    const bool small_groups = groups.largest <= fk::path_baseline::network_rows;
    const auto G = static_cast<std::int64_t>(groups.cols.size());
    Call c(m, groups, (G + 15) / 16 * 16 + (small_groups ? 0 : 16));
    fk::on_path([&](auto path) { statuses(path, c, small_groups); });
    c.join_rest();
    return fk::to_numpy(c.result);
}

}  // namespace

PYBIND11_MODULE(crossodds, m) {
    m.def("crossodds", &crossodds, "Compute CPR using hand-written thread pool (no SIMD)");
    fk::def_path_functions(m);
}
