// crossodds: per fund, how often its winner/loser status against the median of its type
// group repeats between consecutive dates on which it has a status, divided by how often
// it reverses.
//
// The dates are cut into blocks of up to 64. Workers take whole blocks; for every group and date
// of a block they find the group's median and the status of each member fund, and then
// sum up each fund's statuses within the block. The block summaries of a fund are joined
// in date order at the end. Pair counts are integers, so counting block by block gives
// exactly the counts of one walk over all dates. The medians are never stored, and the
// statuses only for the dates at hand. Within a block the dates are taken one at a time
// when the matrix's rows are contiguous (4 to 16 at a time when every group is small
// enough for a sorting network, which takes four dates side by side), and otherwise in
// tiles of dates taken group by group, so that the cache lines holding a group's values
// on one date still hold them on the next. Funds are kept in group order throughout
// (funds alone in their group not at all): working memory is four bytes per grouped fund
// and block of dates (1/128 of the value matrix for blocks of 64); per worker a tile of
// at most 192 KiB of statuses (one byte per grouped fund and date of the tile) and, when
// a group is too large for the network, scratch rows of the largest group's size for a
// median; and a few vectors with one slot per fund.
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
#include "select.hpp"
#ifdef __AVX__
#include "lanes.hpp"
#endif

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

// Work per value, in single passes, for the worker count: the gather with its count, the
// median's copy pass, the statuses and the chains.
constexpr std::uint64_t group_work = 4;

// Statuses a tile of dates holds at most (one byte each): 192 KiB.
constexpr std::int64_t tile_statuses = 196608;

// Scratch for a group's median: m of 2 n values, b of max(n, 3 bracket_sample).
std::size_t median_m_size(std::size_t n) { return 2 * n; }
std::size_t median_b_size(std::size_t n) { return std::max(n, 3 * fk::bracket_sample); }

// Status of value v against its group's median: a value equal to the median is a winner;
// with no value or no median (NaN) neither test holds and the status is no_flag.
inline std::int8_t status_of(double v, double med) {
    const int ge = v >= med ? 1 : 0;
    const int lt = v < med ? 1 : 0;
    static_assert(winner == 1 && loser == 0 && no_flag == -1, "status = 2 ge + lt - 1");
    return static_cast<std::int8_t>(2 * ge + lt - 1);
}

// Statuses of a group of R funds, R up to fk::network_rows, on dates s0 .. s1 - 1, one row
// per date from st on, rows `stride` bytes apart. The R values are gathered into registers,
// the median taken by a sorting network and the statuses set from the same values, all
// unrolled for R, so that a small group's date costs no selection and no loop overhead.
// Four dates at a time go through the network side by side, one per lane of a vector.
template <std::size_t R>
struct SmallGroup {
    static void run(const fk::Matrix& m, std::int64_t s0, std::int64_t s1, const std::int64_t* o,
                    std::int8_t* st, std::int64_t stride) {
        std::int64_t d = s0;
#ifdef __AVX__
        const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
        const __m256d half = _mm256_set1_pd(0.5);
        for (; d + 4 <= s1; d += 4, st += 4 * stride) {
            const double* r0 = m.data + d * m.rs;
            const double* r1 = r0 + m.rs;
            const double* r2 = r1 + m.rs;
            const double* r3 = r2 + m.rs;
            __m256d v[R], s[R];
            __m256d n = _mm256_setzero_pd();  // valid values per lane
            for (std::size_t i = 0; i < R; ++i) {
                const std::int64_t c = o[i];
                v[i] = _mm256_set_pd(r3[c], r2[c], r1[c], r0[c]);
                const __m256d valid = _mm256_cmp_pd(v[i], v[i], _CMP_ORD_Q);
                n = _mm256_add_pd(n, _mm256_and_pd(valid, one));
                s[i] = fk::select(valid, v[i], inf);
            }
            fk::sort_network<R>(s);
            // Each lane's median as network_median takes it for its count; NaN for none.
            __m256d mg = _mm256_set1_pd(nan_val);
            for (std::size_t c = 1; c <= R; ++c) {
                const std::size_t k = c / 2;
                const __m256d at =
                    c % 2 == 1 ? s[k] : _mm256_mul_pd(_mm256_add_pd(s[k - 1], s[k]), half);
                const __m256d is_c =
                    _mm256_cmp_pd(n, _mm256_set1_pd(static_cast<double>(c)), _CMP_EQ_OQ);
                mg = fk::select(is_c, at, mg);
            }
            // status = 2 ge + lt - 1, as status_of gives it.
            for (std::size_t i = 0; i < R; ++i) {
                const __m256d ge = _mm256_and_pd(_mm256_cmp_pd(v[i], mg, _CMP_GE_OQ), two);
                const __m256d lt = _mm256_and_pd(_mm256_cmp_pd(v[i], mg, _CMP_LT_OQ), one);
                const __m128i q = _mm256_cvtpd_epi32(_mm256_sub_pd(_mm256_add_pd(ge, lt), one));
                st[i] = static_cast<std::int8_t>(_mm_extract_epi8(q, 0));
                st[stride + i] = static_cast<std::int8_t>(_mm_extract_epi8(q, 4));
                st[2 * stride + i] = static_cast<std::int8_t>(_mm_extract_epi8(q, 8));
                st[3 * stride + i] = static_cast<std::int8_t>(_mm_extract_epi8(q, 12));
            }
        }
#endif
        for (; d < s1; ++d, st += stride) {
            const double* row = m.data + d * m.rs;
            double v[R], s[R];
            std::size_t n = 0;
            for (std::size_t i = 0; i < R; ++i) {
                v[i] = row[o[i]];
                const bool valid = v[i] == v[i];
                n += valid ? 1 : 0;
                s[i] = valid ? v[i] : std::numeric_limits<double>::infinity();
            }
            const double mg = fk::network_median<R>(s, n);
            for (std::size_t i = 0; i < R; ++i) st[i] = status_of(v[i], mg);
        }
    }
};

py::array_t<double> crossodds(fk::i32_array f_type, fk::f64_array funds_value) {
    const fk::Matrix m = fk::matrix_arg(funds_value, "values");
    const std::int64_t D = m.rows;
    const std::int64_t F = m.cols;
    const std::int32_t* type_ptr = fk::vector_arg(f_type, "type_codes", F, "columns");

    std::vector<double> cpr_list(static_cast<std::size_t>(F), nan_val);
    const Groups groups = group_by_code(type_ptr, F);
    const std::size_t n_groups = groups.starts.size() - 1;
    // Funds in groups, in group order: fund i of that order is column groups.cols[i].
    const auto G = static_cast<std::int64_t>(groups.cols.size());
    if (G == 0 || D == 0) return fk::to_numpy(cpr_list);
    // Slots per date in the rows of statuses and per block in the chains: G rounded up to
    // whole 16-byte vectors, so that extending the chains by a date has no scalar tail.
    // The slots past G hold no status and are never joined.
    const std::int64_t Gs = (G + 15) / 16 * 16;
    std::vector<std::int64_t> voff(groups.cols.size());  // element offsets within a row
    for (std::size_t i = 0; i < groups.cols.size(); ++i) voff[i] = groups.cols[i] * m.cs;

    const std::uint64_t work =
        group_work * static_cast<std::uint64_t>(D) * static_cast<std::uint64_t>(G);
    const std::int64_t date_block = block_length(D, work);
    const std::int64_t n_blocks = (D + date_block - 1) / date_block;
    Chains chains(static_cast<std::size_t>(n_blocks * Gs));
    // Date by date when the matrix's rows are contiguous (or closer together than its
    // columns), in tiles of dates otherwise, so that the reads follow the matrix's memory.
    const bool by_rows = std::llabs(m.cs) <= std::llabs(m.rs);
    // Each fund's blocks joined in date order: the last status of one block with a status
    // and the first of the next one form the pair that spans them.
    const auto join = [&](std::uint64_t i) {
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
            cpr_list[static_cast<std::size_t>(groups.cols[i])] =
                static_cast<double>(pairs - reversals) / static_cast<double>(reversals);
    };
    // A lone worker has every block, so it joins them too: a small call then starts one
    // thread, not one per stage.
    bool joined = false;
    // Dates taken together: one when the rows are contiguous; when every group is small
    // enough for the sorting network, which takes four dates side by side, four or more
    // (up to 16 while their rows fit in 64 KiB, so that they stay in cache while the groups
    // are taken); otherwise a tile of dates (a whole block unless the statuses of all
    // grouped funds on them would outgrow a core's second-level cache), taken group by
    // group, so that the lines holding a group's values on one date still hold them on
    // the next few.
    const bool small_groups = groups.largest <= fk::network_rows;
    const std::int64_t row_bytes = F * static_cast<std::int64_t>(sizeof(double));
    const std::int64_t tile_dates =
        !by_rows ? std::clamp<std::int64_t>(tile_statuses / Gs, 1, std::min(D, date_block))
        : small_groups ? std::clamp<std::int64_t>(65536 / row_bytes / 4 * 4, 4, 16)
                       : 1;
    fk::fan_out(static_cast<std::uint64_t>(n_blocks), [&](std::uint64_t t, std::uint64_t n) {
        // A group's values on one date, in group order; two scratch buffers for their
        // median (none when every group takes the network); the statuses of all grouped
        // funds, a row of Gs per date of the tile.
        const std::size_t big = small_groups ? 0 : groups.largest;
        std::vector<double> vals(big), mbuf(small_groups ? 0 : median_m_size(big)),
            bbuf(small_groups ? 0 : median_b_size(big));
        std::vector<std::int8_t> status(static_cast<std::size_t>(tile_dates * Gs), no_flag);
        const std::int64_t* const vo = voff.data();
        const std::size_t* const starts = groups.starts.data();
        const auto step = static_cast<std::int64_t>(n);
        for (auto b = static_cast<std::int64_t>(t); b < n_blocks; b += step) {
            const std::int64_t d0 = b * date_block;
            const std::int64_t d1 = std::min(D, d0 + date_block);
            const std::size_t at = static_cast<std::size_t>(b * Gs);
            for (std::int64_t s0 = d0; s0 < d1; s0 += tile_dates) {
                const std::int64_t s1 = std::min(d1, s0 + tile_dates);
                for (std::size_t g = 0; g < n_groups; ++g) {
                    const std::size_t first = starts[g], size = starts[g + 1] - first;
                    const std::int64_t* o = vo + first;
                    if (size <= fk::network_rows) {
                        fk::networks<SmallGroup>[size - 1](m, s0, s1, o,
                                                           status.data() + first, Gs);
                        continue;
                    }
                    for (std::int64_t d = s0; d < s1; ++d) {
                        const double* row = m.data + d * m.rs;
                        double* v = vals.data();
                        std::size_t k = 0;
                        for (std::size_t i = 0; i < size; ++i) {
                            v[i] = row[o[i]];
                            k += v[i] == v[i] ? 1 : 0;
                        }
                        const double mg = fk::median_of(v, 1, size, k, mbuf.data(), bbuf.data());
                        std::int8_t* st = status.data() + (d - s0) * Gs + first;
                        for (std::size_t i = 0; i < size; ++i) st[i] = status_of(v[i], mg);
                    }
                }
                for (std::int64_t d = s0; d < s1; ++d)
                    extend(status.data() + (d - s0) * Gs, chains.first.data() + at,
                           chains.last.data() + at, chains.pairs.data() + at,
                           chains.reversals.data() + at, Gs);
            }
        }
        if (n == 1) {
            for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(G); ++i) join(i);
            joined = true;
        }
    }, work);
    // Otherwise the funds' blocks are joined in a stage of their own, by as many workers as
    // the four fields of every block summary are worth.
    if (!joined)
        fk::for_each_item(static_cast<std::uint64_t>(G), join,
                          4 * static_cast<std::uint64_t>(n_blocks) * static_cast<std::uint64_t>(G));

    return fk::to_numpy(cpr_list);
}

}  // namespace

PYBIND11_MODULE(crossodds, m) {
    m.def("crossodds", &crossodds, "Compute CPR using hand-written thread pool (no SIMD)");
}
