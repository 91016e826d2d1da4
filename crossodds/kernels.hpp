// crossodds' kernels, read once per instruction set (see each_path.hpp): the statuses of
// a tile of dates by each of the three data paths.

#include "select.hpp"

// Statuses of a group of R funds, R up to network_rows, on dates s0 .. s1 - 1, one row
// per date from st on, rows `stride` bytes apart. The R values are gathered into registers,
// the median taken by a sorting network and the statuses set from the same values, all
// unrolled for R, so that a small group's date costs no selection and no loop overhead.
// Four dates at a time go through the network side by side, one per lane of a vector.
template <std::size_t R>
struct SmallGroup {
    static void run(const fk::Matrix& m, std::int64_t s0, std::int64_t s1, const std::int64_t* o,
                    std::int8_t* st, std::int64_t stride) {
        std::int64_t d = s0;
#if FK_AVX
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
            sort_network<R>(s);
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
            const double mg = network_median<R>(s, n);
            for (std::size_t i = 0; i < R; ++i) st[i] = status_of(v[i], mg);
        }
    }
};

// Dates whose values a column-major matrix has copied into group order together: four
// 64-byte cache lines of a column, the longer runs of a column read at once costing fewer
// trips to memory per value (at 10000 x 5000 in groups of 500, 5% less time than two
// lines; eight were no better), while the copy of the largest group on those dates stays
// within copy_bytes; two lines otherwise (tried: one line was slower).
constexpr std::int64_t reorder_dates = 32;
constexpr std::int64_t short_reorder_dates = 16;
constexpr std::int64_t copy_bytes = 256 * 1024;
// Values ahead, in funds times dates of the tile, whose lines that copy asks for before it
// reaches them: 16 funds for 32 dates (tried: 32 funds for 16 dates beat 64; for 32 dates,
// 16 beat 32 and 8).
constexpr std::size_t prefetch_values = 512;

// Copies one row into group order: out[slot[j]] = row[off[j]] for the grouped funds, taken
// in the order of their columns in memory, so that the row is read once, front to back.
// With every column grouped and contiguous (off[j] == j), the offsets are not read.
inline void scatter_row(const double* __restrict__ row, const std::int64_t* __restrict__ off,
                        const std::int32_t* __restrict__ slot, std::size_t n, bool dense,
                        double* __restrict__ out, const double* next) {
    if (dense) {
        std::size_t j = 0;
        if (next != nullptr)
            for (; j + 8 <= n; j += 8) {
                __builtin_prefetch(next + j, 0, 2);  // to the second-level cache
                for (std::size_t q = j; q < j + 8; ++q) out[slot[q]] = row[q];
            }
        for (; j < n; ++j) out[slot[j]] = row[j];
    } else
        for (std::size_t j = 0; j < n; ++j) out[slot[j]] = row[off[j]];
}

// Copies dates 0 .. T - 1 of G funds into rows, row t from out + t * stride on: fund i's
// value on date t lies at from[off[i] + t * rs]. Columns of contiguous dates are taken four
// funds and four dates at a time, a 4 x 4 transpose in registers. The funds of off[G ..
// ahead) come next, so their lines may be asked for, `lead` funds ahead.
inline void gather_dates(const double* from, std::int64_t rs, std::int64_t T,
                         const std::int64_t* off, std::size_t G,
                         [[maybe_unused]] std::size_t ahead, [[maybe_unused]] std::size_t lead,
                         double* out, std::int64_t stride) {
    std::size_t i = 0;
#if FK_AVX
    if (rs == 1 && T >= 4) {
        const std::int64_t T4 = T / 4 * 4;
        for (; i + 4 <= G; i += 4) {
            const double* p0 = from + off[i];
            const double* p1 = from + off[i + 1];
            const double* p2 = from + off[i + 2];
            const double* p3 = from + off[i + 3];
            // The columns are too many for the hardware to follow: the lines of the funds
            // a few steps ahead are asked for now, every line their dates touch.
            if (i + lead + 4 <= ahead)
                for (std::size_t j = i + lead; j < i + lead + 4; ++j) {
                    for (std::int64_t h = 0; h < T; h += 8)
                        _mm_prefetch(reinterpret_cast<const char*>(from + off[j] + h), _MM_HINT_T0);
                    _mm_prefetch(reinterpret_cast<const char*>(from + off[j] + T - 1), _MM_HINT_T0);
                }
            for (std::int64_t h = 0; h < T4; h += 4) {
                __m256d t[4];
                fk::transpose4(_mm256_loadu_pd(p0 + h), _mm256_loadu_pd(p1 + h),
                               _mm256_loadu_pd(p2 + h), _mm256_loadu_pd(p3 + h), t);
                double* o = out + h * stride + static_cast<std::int64_t>(i);
                for (int q = 0; q < 4; ++q) _mm256_storeu_pd(o + q * stride, t[q]);
            }
            for (std::int64_t h = T4; h < T; ++h) {
                double* o = out + h * stride + static_cast<std::int64_t>(i);
                o[0] = p0[h];
                o[1] = p1[h];
                o[2] = p2[h];
                o[3] = p3[h];
            }
        }
    }
#endif
    for (; i < G; ++i) {
        const double* p = from + off[i];
        for (std::int64_t h = 0; h < T; ++h)
            out[h * stride + static_cast<std::int64_t>(i)] = p[h * rs];
    }
}

// Sets the statuses of funds 0 .. n - 1 with values v[0 .. n) against the median med and
// extends their chains by them at once, as status_of and extend do one after the other:
// sixteen funds per step, their statuses held in one vector of bytes, never stored. The
// last step reads the values and chains of up to 15 funds past n and writes their chains
// back unchanged: to them it gives no status, which neither forms a pair nor moves the
// first or last status. So n rounded up to 16 values and slots must be readable, and the
// slots past n must belong to no other thread.
void mark(const double* __restrict__ v, std::size_t n, double med, std::int8_t* __restrict__ first,
          std::int8_t* __restrict__ last, std::uint8_t* __restrict__ pairs,
          std::uint8_t* __restrict__ reversals) {
    std::size_t i = 0;
#if FK_AVX
    const __m256d md = _mm256_set1_pd(med);
    const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
    const __m128i none = _mm_set1_epi8(no_flag);
    const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (; i < n; i += 16) {
        __m128i q[4];
        for (std::size_t j = 0; j < 4; ++j) {
            const __m256d x = _mm256_loadu_pd(v + i + 4 * j);
            const __m256d ge = _mm256_and_pd(_mm256_cmp_pd(x, md, _CMP_GE_OQ), two);
            const __m256d lt = _mm256_and_pd(_mm256_cmp_pd(x, md, _CMP_LT_OQ), one);
            q[j] = _mm256_cvtpd_epi32(_mm256_sub_pd(_mm256_add_pd(ge, lt), one));
        }
        // The sixteen statuses as bytes, in order: saturating packs keep -1, 0 and 1.
        __m128i s = _mm_packs_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
        if (n - i < 16) {
            const __m128i in = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(n - i)), lane);
            s = _mm_or_si128(_mm_and_si128(in, s), _mm_andnot_si128(in, none));
        }
        auto* fp = reinterpret_cast<__m128i*>(first + i);
        auto* lp = reinterpret_cast<__m128i*>(last + i);
        auto* pp = reinterpret_cast<__m128i*>(pairs + i);
        auto* rp = reinterpret_cast<__m128i*>(reversals + i);
        const __m128i l = _mm_loadu_si128(lp), f = _mm_loadu_si128(fp);
        const __m128i has_s = _mm_cmpgt_epi8(s, none), has_l = _mm_cmpgt_epi8(l, none);
        const __m128i pair = _mm_and_si128(has_s, has_l);  // all ones where a pair is formed
        _mm_storeu_si128(pp, _mm_sub_epi8(_mm_loadu_si128(pp), pair));
        _mm_storeu_si128(rp, _mm_add_epi8(_mm_loadu_si128(rp),
                                          _mm_and_si128(pair, _mm_xor_si128(s, l))));
        const __m128i no_first = _mm_cmpeq_epi8(f, none);
        _mm_storeu_si128(fp,
                         _mm_or_si128(_mm_and_si128(no_first, s), _mm_andnot_si128(no_first, f)));
        _mm_storeu_si128(lp, _mm_or_si128(_mm_and_si128(has_s, s), _mm_andnot_si128(has_s, l)));
    }
#endif
    for (; i < n; ++i) {
        const std::int8_t s = status_of(v[i], med);
        extend(&s, first + i, last + i, pairs + i, reversals + i, 1);
    }
}

// Every group small enough for a sorting network, which takes four dates side by side:
// the groups read the matrix in place, four or more dates at a time. Up to 16 while their
// rows fit in 64 KiB when the rows are contiguous, so that they stay in cache while the
// groups are taken; otherwise a tile of dates (a whole block unless the statuses of all
// grouped funds on them would outgrow a core's second-level cache), taken group by group,
// so that the lines holding a group's values on one date still hold them on the next few.
// Per worker: the statuses of all grouped funds, a row of Gs per date of the tile.
void statuses_by_network(Call& c) {
    const std::int64_t row_bytes = c.m.cols * static_cast<std::int64_t>(sizeof(double));
    const std::int64_t tile =
        c.row_major() ? std::clamp<std::int64_t>(65536 / row_bytes / 4 * 4, 4, 16)
                    : std::clamp<std::int64_t>(tile_statuses / c.Gs, 1,
                                               std::min(c.m.rows, c.date_block));
    fk::fan_out(static_cast<std::uint64_t>(c.n_blocks), [&](std::uint64_t t, std::uint64_t n) {
        const std::int64_t* const vo = c.voff.data();
        const std::size_t* const starts = c.groups.starts.data();
        const std::size_t n_groups = c.n_groups();
        const std::int64_t Gs = c.Gs;
        std::vector<std::int8_t> status(static_cast<std::size_t>(tile * Gs), no_flag);
        Chains& ch = c.chains;
        c.walk(t, n, tile, [&](std::size_t at, std::int64_t s0, std::int64_t s1, std::int64_t) {
            for (std::size_t g = 0; g < n_groups; ++g) {
                const std::size_t first = starts[g], size = starts[g + 1] - first;
                networks<SmallGroup>[size - 1](c.m, s0, s1, vo + first, status.data() + first,
                                                   Gs);
            }
            for (std::int64_t d = s0; d < s1; ++d)
                extend(status.data() + (d - s0) * Gs, ch.first.data() + at, ch.last.data() + at,
                       ch.pairs.data() + at, ch.reversals.data() + at, Gs);
        });
    }, c.work);
}

// Scratch of one worker for the medians of groups too large for a network: two buffers
// for a median of the largest group, and the statuses of a group's funds from their
// values side by side, with the chains, sixteen funds at a time (see mark).
struct Medians {
    std::vector<double> mbuf, bbuf;
    explicit Medians(std::size_t largest)
        : mbuf(median_m_size(largest)), bbuf(median_b_size(largest)) {}

    // The group of `size` funds from grouped fund `first` on, with values v on one date.
    void take(Call& c, std::size_t at, const double* v, std::size_t first, std::size_t size) {
        const double mg = median_of(v, size, mbuf.data(), bbuf.data());
        const std::size_t s = at + first;
        mark(v, size, mg, c.chains.first.data() + s, c.chains.last.data() + s,
             c.chains.pairs.data() + s, c.chains.reversals.data() + s);
    }
};

// Some group too large for a network, rows contiguous: each date's row is copied into
// group order by one sequential read (mem_off and mem_slot: the grouped funds in the order
// of their columns in memory, with their places in group order), and every group's median
// and statuses are taken from that copy. Per worker: one row of Gs values.
void statuses_from_rows(Call& c, const std::vector<std::int64_t>& mem_off,
             const std::vector<std::int32_t>& mem_slot) {
    bool dense = true;  // every column grouped, in order: the offsets need not be read
    for (std::size_t j = 0; j < mem_off.size(); ++j)
        dense = dense && mem_off[j] == static_cast<std::int64_t>(j);
    fk::fan_out(static_cast<std::uint64_t>(c.n_blocks), [&](std::uint64_t t, std::uint64_t n) {
        const std::size_t* const starts = c.groups.starts.data();
        const std::size_t n_groups = c.n_groups();
        std::vector<double> ordered(static_cast<std::size_t>(c.Gs));
        Medians med(c.groups.largest);
        c.walk(t, n, 1, [&](std::size_t at, std::int64_t d, std::int64_t, std::int64_t d1) {
            scatter_row(c.m.data + d * c.m.rs, mem_off.data(), mem_slot.data(), mem_off.size(),
                        dense, ordered.data(), d + 1 < d1 ? c.m.data + (d + 1) * c.m.rs : nullptr);
            for (std::size_t g = 0; g < n_groups; ++g)
                med.take(c, at, ordered.data() + starts[g], starts[g], starts[g + 1] - starts[g]);
        });
    }, c.work);
}

// Some group too large for a network, columns contiguous: a tile of dates is copied into
// rows one group at a time, 32 or 16 dates (four or two cache lines of each column)
// together, and the group's medians and statuses are taken while the copy is still in
// cache. Per worker: rows of group_row values (the largest group rounded up to whole steps
// of mark(), which reads that far) for the dates of a tile.
void statuses_from_columns(Call& c) {
    const auto group_row = static_cast<std::int64_t>((c.groups.largest + 15) / 16 * 16);
    const std::int64_t row_bytes = group_row * static_cast<std::int64_t>(sizeof(double));
    // Rows closer together than columns come here only when the funds are too many for
    // statuses_from_rows' four-byte places; those are copied date by date.
    const std::int64_t tile = c.row_major()                             ? 1
                              : reorder_dates * row_bytes <= copy_bytes ? reorder_dates
                                                                        : short_reorder_dates;
    const auto lead = static_cast<std::size_t>(prefetch_values / static_cast<std::size_t>(tile));
    fk::fan_out(static_cast<std::uint64_t>(c.n_blocks), [&](std::uint64_t t, std::uint64_t n) {
        const std::int64_t* const vo = c.voff.data();
        const std::size_t* const starts = c.groups.starts.data();
        const std::size_t n_groups = c.n_groups();
        std::vector<double> ordered(static_cast<std::size_t>(tile * group_row));
        Medians med(c.groups.largest);
        c.walk(t, n, tile, [&](std::size_t at, std::int64_t s0, std::int64_t s1, std::int64_t) {
            for (std::size_t g = 0; g < n_groups; ++g) {
                const std::size_t first = starts[g], size = starts[g + 1] - first;
                gather_dates(c.m.data + s0 * c.m.rs, c.m.rs, s1 - s0, vo + first, size,
                             static_cast<std::size_t>(c.G) - first, lead, ordered.data(),
                             group_row);
                for (std::int64_t d = s0; d < s1; ++d)
                    med.take(c, at, ordered.data() + (d - s0) * group_row, first, size);
            }
        });
    }, c.work);
}

// Every block's statuses, by the data path that suits the groups and the layout.
void statuses(tag, Call& c, bool small_groups) {
    const std::int64_t G = c.G;
    if (small_groups) {
        statuses_by_network(c);
    } else if (c.row_major() && G <= std::numeric_limits<std::int32_t>::max()) {
        // Grouped funds in the order of their columns in memory, with their places in group
        // order (four bytes each: more grouped funds than that counts go by columns).
        std::vector<std::int32_t> by_mem(c.groups.cols.size());
        std::iota(by_mem.begin(), by_mem.end(), std::int32_t{0});
        std::sort(by_mem.begin(), by_mem.end(),
                  [&c](std::int32_t a, std::int32_t b) { return c.voff[a] < c.voff[b]; });
        std::vector<std::int64_t> mem_off;
        std::vector<std::int32_t> mem_slot;
        for (const std::int32_t i : by_mem) {
            mem_off.push_back(c.voff[static_cast<std::size_t>(i)]);
            mem_slot.push_back(i);
        }
        statuses_from_rows(c, mem_off, mem_slot);
    } else {
        statuses_from_columns(c);
    }
}
