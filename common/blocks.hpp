// Row-wise walks over blocks of adjacent columns.
//
// A per-column loop over a row-major matrix reads one double per cache line and runs one
// serial chain of floating-point operations per column. Walking the rows once for a block
// of B adjacent columns reads memory in order and gives the compiler B independent chains
// to vectorise. Every column still sees its own operations in row order, so results are
// the same bits as a column-at-a-time loop; only the interleaving across columns changes.
//
// A kernel is a struct over a lane type V (see simd.hpp) with its per-column state in
// arrays of K values of V, and
//     using lanes_type = V;  static constexpr int vectors = K;
//     void step(int b, V v, std::int64_t r)
// that takes lanes b * V::size .. (b + 1) * V::size - 1 of row r in v (NaN, or any value, in
// the lanes beyond the matrix's last column; their results are never read). A row is
// taken one vector after the other (see row()); vector b of a row never reads another
// vector's state, so a walk may also take several rows of one vector first. It is
// default-constructible and assignable: a worker may keep a few at a time. A finish reads a
// column's state with lane(k.field, j).
//
// This file is compiled once per instruction set, inside that set's namespace (see
// each_path.hpp), where Wide is the widest lane type the set has.

// The lane type of a kernel of W lanes: one plain double for a single column, else the
// widest vector of the instruction set.
template <int W>
using LanesFor = std::conditional_t<W == 1, Lanes<1>, Wide>;

// Hands a kernel row r, its K vectors of lanes in v[0 .. K - 1].
template <class Kernel>
inline void row(Kernel& k, const typename Kernel::lanes_type* v, std::int64_t r) {
    for (int b = 0; b < Kernel::vectors; ++b) k.step(b, v[b], r);
}

// Hands a kernel the values of row r at p, in place.
template <class Kernel>
inline void feed_row(Kernel& k, const double* p, std::int64_t r) {
    using V = typename Kernel::lanes_type;
    for (int b = 0; b < Kernel::vectors; ++b) k.step(b, V::load(p + b * V::size), r);
}

// Rows of the matrix gathered at a time. A column-major matrix is read in stretches of this
// many rows per column, long enough for the hardware prefetchers to follow.
constexpr std::int64_t rows_per_tile = 448;

// Doubles from one tile row to the next: B, padded by a cache line when B spans an even
// number of cache lines. The rows then fall into every set of the first-level cache, so
// that writing one column of a tile, one value per row, does not evict the lines it has
// just written.
template <int B>
constexpr std::int64_t tile_stride = (B % 8 == 0 && B / 8 % 2 == 0) ? B + 8 : B;

// Size of a tile buffer, in rows of B doubles: a buffer of tile_rows<B> * B doubles holds
// rows_per_tile rows at tile_stride<B>.
template <int B>
constexpr std::int64_t tile_rows = (rows_per_tile * tile_stride<B> + B - 1) / B;

// Doubles a tile buffer needs for a matrix of `rows` rows: what walk_block uses of it, at
// least one row so that the buffer is never empty.
template <int B>
std::int64_t tile_size(std::int64_t rows) {
    return std::max<std::int64_t>(1, std::min(rows, rows_per_tile)) * tile_stride<B>;
}

namespace detail {

// Hands rows r0 .. r0 + n - 1, gathered into `tile` (row i at tile + i * tile_stride<B>),
// to the kernel. The slots beyond the block's `width` columns are NaN, set for all n rows
// before any row is read: set just before the kernel loaded the row as one vector, the
// load waited for those narrower stores to drain (no store forwarding across them), which
// made a call on 2 to 7 or 9 to 15 columns three to five times as slow as on 8 or 16.
// The store between the rows, which never happens once the slots are NaN (a load and a
// test per row), keeps the compiler from fusing a wide kernel's loops of two consecutive
// rows into one loop, which it then fails to vectorise.
template <int B, class Kernel>
void feed(Kernel& k, double* tile, std::int64_t n, std::int64_t r0, std::int64_t width) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = width; j < B; ++j) tile[i * tile_stride<B> + j] = nan;
    for (std::int64_t i = 0; i < n; ++i) {
        double* t = tile + i * tile_stride<B>;
        if (width < B && t[B - 1] == t[B - 1]) t[B - 1] = nan;
        feed_row(k, t, r0 + i);
    }
}

// Copies n rows of `width` (at most B) values, row i starting at src + i * rs, into
// `tile`, row i at tile + i * tile_stride<B>.
template <int B>
void copy_rows(const double* src, std::int64_t rs, std::int64_t n, std::int64_t width,
               double* tile) {
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < width; ++j) tile[i * tile_stride<B> + j] = src[i * rs + j];
}

}  // namespace detail

// Feeds every row of the block starting at column c0 to kernel.row.
//
// The rows are gathered tile by tile into `tile` (tile_size<B>(m.rows) doubles): a row-major
// matrix row by row, any other layout column by column, so that memory is read along its
// cache lines either way, many lines at a time.
template <int B, class Kernel>
void walk_block(const Matrix& m, std::int64_t c0, Kernel& k, double* tile) {
    const std::int64_t width = std::min<std::int64_t>(B, m.cols - c0);
    constexpr std::int64_t S = tile_stride<B>;
    for (std::int64_t r0 = 0; r0 < m.rows; r0 += rows_per_tile) {
        const std::int64_t n = std::min(rows_per_tile, m.rows - r0);
        const double* src = m.data + r0 * m.rs + c0 * m.cs;
        if (m.cs == 1) {
            detail::copy_rows<B>(src, m.rs, n, width, tile);
        } else {
            // Four columns side by side: four streams in flight, and each row of the tile
            // takes one store of four values rather than four of one.
            std::int64_t j = 0;
            for (; j + 4 <= width; j += 4) {
                const double* s = src + j * m.cs;
                for (std::int64_t i = 0; i < n; ++i)
                    for (int q = 0; q < 4; ++q) tile[i * S + j + q] = s[q * m.cs + i * m.rs];
            }
            for (; j < width; ++j)
                for (std::int64_t i = 0; i < n; ++i) tile[i * S + j] = src[j * m.cs + i * m.rs];
        }
        detail::feed<B>(k, tile, n, r0, width);
    }
}

// Bytes of a row-major matrix's row that a panel of blocks spans at most: a few pages.
constexpr std::int64_t panel_bytes = 16384;

namespace detail {

// run_blocks for a row-major matrix. The blocks go to the workers in panels of adjacent
// blocks (panel p to worker p mod n), and a panel is walked row by row, every kernel of
// the panel taking its block's stretch of the row in place. Reading a few pages' worth of each row at once, rather than one block's short
// stretch of every row per pass, gives memory long runs within each page, which is what
// lets a second worker add nearly its full speed. Where there are few blocks, panels are
// narrowed so that every worker still gets two (down to one block per panel).
template <int B, class Make, class Finish>
void run_panels(const Matrix& m, std::int64_t blocks, Make& make, Finish& finish) {
    using Kernel = decltype(make());
    constexpr std::int64_t most = panel_bytes / (8 * B) > 1 ? panel_bytes / (8 * B) : 1;
    const std::uint64_t work = element_reads(m);
    const auto workers =
        static_cast<std::int64_t>(worker_count(static_cast<std::uint64_t>(blocks), work));
    const std::int64_t per = std::clamp<std::int64_t>(blocks / (2 * workers), 1, most);
    const std::int64_t panels = (blocks + per - 1) / per;
    fan_out(static_cast<std::uint64_t>(panels), [&](std::uint64_t t, std::uint64_t n_workers) {
        // Scratch sized for this matrix, not for the largest panel. Each worker allocates its
        // own: scratch allocated for all workers at once on the calling thread measured 3 to
        // 13% slower on large panels. The tile serves only a narrow last block.
        const std::unique_ptr<double[]> tile(m.cols % B != 0 ? new double[tile_size<B>(m.rows)]
                                                             : nullptr);  // unset
        const std::unique_ptr<Kernel[]> ks(new Kernel[per]);  // reused for every panel
        for (auto p = static_cast<std::int64_t>(t); p < panels; p += static_cast<std::int64_t>(n_workers)) {
            const std::int64_t nb = std::min(per, blocks - p * per);
            const std::int64_t c0 = p * per * B;
            const std::int64_t width = std::min(nb * B, m.cols - c0);
            for (std::int64_t q = 0; q < nb; ++q) ks[q] = make();
            // Whole blocks read the matrix in place; a last, narrower block of the matrix
            // goes through the tile, which pads it.
            const std::int64_t whole = width / B;
            for (std::int64_t r = 0; r < m.rows; ++r) {
                const double* src = m.data + r * m.rs + c0;
                for (std::int64_t q = 0; q < whole; ++q) feed_row(ks[q], src + q * B, r);
            }
            if (whole < nb) walk_block<B>(m, c0 + whole * B, ks[whole], tile.get());
            for (std::int64_t q = 0; q < nb; ++q)
                finish(ks[q], c0 + q * B, std::min<std::int64_t>(B, width - q * B));
        }
    }, work);
}

// run_blocks for a matrix of one column: a kernel of one lane reads its value of each row
// in place, whatever the strides, with no tile to gather into or pad.
template <class Make, class Finish>
void run_column(const Matrix& m, Make& make, Finish& finish) {
    fan_out(1, [&](std::uint64_t, std::uint64_t) {
        auto k = make();
        for (std::int64_t r = 0; r < m.rows; ++r) feed_row(k, m.data + r * m.rs, r);
        finish(k, 0, 1);
    }, element_reads(m));
}

}  // namespace detail

// Runs a kernel over every block of B adjacent columns: for each block, make() gives a
// fresh kernel, the block's rows are walked in order, and finish(kernel, c0, width) stores
// the results of columns c0 .. c0 + width - 1. Blocks go to the workers like columns in the
// plain fan-out (block b to worker b mod n), or in panels of adjacent blocks where the
// matrix is row-major (see run_panels).
template <int B, class Make, class Finish>
void run_blocks(const Matrix& m, Make&& make, Finish&& finish) {
    const std::int64_t blocks = (m.cols + B - 1) / B;
    if (B == 1 && m.cols == 1) {
        detail::run_column(m, make, finish);
        return;
    }
    if (m.cs == 1) {
        detail::run_panels<B>(m, blocks, make, finish);
        return;
    }
    const std::uint64_t work = element_reads(m);
    fan_out(static_cast<std::uint64_t>(blocks), [&](std::uint64_t t, std::uint64_t n) {
        const std::unique_ptr<double[]> tile(new double[tile_size<B>(m.rows)]);  // unset
        for (auto b = static_cast<std::int64_t>(t); b < blocks; b += static_cast<std::int64_t>(n)) {
            const std::int64_t c0 = b * B;
            auto k = make();
            walk_block<B>(m, c0, k, tile.get());
            finish(k, c0, std::min<std::int64_t>(B, m.cols - c0));
        }
    }, work);
}

// run_strips for a matrix with contiguous rows. Strips go to the workers in panels of
// adjacent strips, and a panel is walked in chunks of rows: for each chunk, every strip of
// the panel runs the chunk's rows in place, the lanes past the matrix's last column masked
// off (read as 0.0, or not at all), its state taken from memory and put back once a chunk.
// A strip asks for the row's stretch four strips further on, so the lines arrive before
// their strip does; chunks of 128 rows measured 1.2 to 2 times as fast as 32 or 64 rows and
// as whole columns, whose lines ran out of cache before their strip came. A small matrix is
// a single panel and a single chunk.
template <int V, class Make, class Finish>
void run_strip_panels(const Matrix& m, Make&& make, Finish&& finish) {
    using Kernel = decltype(make());
    using Lane = typename Kernel::lanes_type;
    constexpr int N = Lane::size;
    constexpr int L = N * V;
    constexpr std::int64_t most = panel_bytes / (8 * L) > 1 ? panel_bytes / (8 * L) : 1;
    constexpr std::int64_t chunk = 128;  // rows per chunk
    const std::int64_t strips = (m.cols + L - 1) / L;
    // As few panels as their width allows, in a multiple of the workers, all but the last of
    // equal width: every worker gets the same share (5 panels for 2 workers ran 1.4 times
    // as fast as one worker, 4 panels nearly twice).
    const auto workers = static_cast<std::int64_t>(
        worker_count(static_cast<std::uint64_t>(strips), element_reads(m)));
    const std::int64_t rounds = (strips + workers * most - 1) / (workers * most);
    const std::int64_t per = (strips + workers * rounds - 1) / (workers * rounds);
    const std::int64_t panels = (strips + per - 1) / per;
    fan_out(static_cast<std::uint64_t>(panels), [&](std::uint64_t t, std::uint64_t n) {
        const std::unique_ptr<Kernel[]> ks(new Kernel[per]);
        for (auto p = static_cast<std::int64_t>(t); p < panels; p += static_cast<std::int64_t>(n)) {
            const std::int64_t s0 = p * per;
            const std::int64_t ns = std::min(per, strips - s0);
            for (std::int64_t q = 0; q < ns; ++q) ks[q] = make();
            for (std::int64_t r0 = 0; r0 < m.rows; r0 += chunk) {
                const std::int64_t r1 = std::min(m.rows, r0 + chunk);
                for (std::int64_t q = 0; q < ns; ++q) {
                    const std::int64_t c0 = (s0 + q) * L;
                    const std::int64_t width = std::min<std::int64_t>(L, m.cols - c0);
                    Kernel k = ks[q];
                    if (width == L) {
                        for (std::int64_t r = r0; r < r1; ++r) {
                            const double* row = m.data + r * m.rs + c0;
                            // A prefetch never faults: past the end of the row is harmless.
                            // Every line of that strip's stretch: a strip of AVX-512 lanes
                            // spans two lines, and with only the first prefetched it took
                            // 1.3 to 1.6 times as long as the AVX2 strip of one line; with
                            // both, 0.53 times as long as before (troughmend, C order).
                            for (int i = 0; i < L; i += 8) __builtin_prefetch(row + 4 * L + i);
                            feed_row(k, row, r);
                        }
                    } else {
                        for (std::int64_t r = r0; r < r1; ++r) {
                            const double* row = m.data + r * m.rs + c0;
                            for (int b = 0; b < V; ++b)
                                k.step(b, N * b < width ? Lane::load_first(row + N * b, width - N * b)
                                                        : Lane(0.0), r);
                        }
                    }
                    ks[q] = k;
                }
            }
            for (std::int64_t q = 0; q < ns; ++q) {
                const std::int64_t c0 = (s0 + q) * L;
                finish(ks[q], c0, std::min<std::int64_t>(L, m.cols - c0));
            }
        }
    }, element_reads(m));
}

// Runs over a matrix in strips of V vectors of adjacent columns, each strip on a kernel
// that keeps its columns' state in registers from the first row to the last: no state goes
// through memory between rows, and nothing is gathered into a tile and read back.
//
// Where every column lies contiguous in memory (Fortran order, what pandas hands over), the
// strip reads each of its columns along its length, as a per-column loop would, four rows
// at a time, and turns what it read into four rows of lanes (see rows4). Lanes beyond the
// matrix's last column repeat that column. Where rows are contiguous instead, see
// run_strip_panels.
//
// A strip kernel is a kernel of V vectors (see the top of this file), and
// finish(kernel, c0, width) stores the results of columns c0 .. c0 + width - 1; it never
// reads a lane beyond the matrix.
template <int V, class Make, class Finish>
void run_strips(const Matrix& m, Make&& make, Finish&& finish) {
    using Lane = typename decltype(make())::lanes_type;
    constexpr int N = Lane::size;
    constexpr int L = N * V;
    const std::int64_t strips = (m.cols + L - 1) / L;
    if (m.rs != 1) {  // rows contiguous
        run_strip_panels<V>(m, make, finish);
        return;
    }
    fan_out(static_cast<std::uint64_t>(strips), [&](std::uint64_t t, std::uint64_t n) {
        for (auto s = static_cast<std::int64_t>(t); s < strips; s += static_cast<std::int64_t>(n)) {
            const std::int64_t c0 = s * L;
            const std::int64_t width = std::min<std::int64_t>(L, m.cols - c0);
            auto k = make();
            const double* p[L];
            for (int q = 0; q < L; ++q) p[q] = m.col(c0 + std::min<std::int64_t>(q, width - 1));
            std::int64_t r = 0;
            // Four rows of one vector of columns, then of the next: the state of one
            // vector and the four rows' values fit the registers together.
            for (; r + 4 <= m.rows; r += 4) {
                for (int b = 0; b < V; ++b) {
                    Lane v[4];
                    rows4(p + N * b, r, v);
                    for (int i = 0; i < 4; ++i) k.step(b, v[i], r + i);
                }
            }
            for (; r < m.rows; ++r) {
                for (int b = 0; b < V; ++b) {
                    double g[N];
                    for (int i = 0; i < N; ++i) g[i] = p[N * b + i][r];
                    k.step(b, Lane::load(g), r);
                }
            }
            finish(k, c0, width);
        }
    }, element_reads(m));
}

// Whether run_strips, with V vectors of the widest lanes, suits the matrix: more than 8
// columns or at least a strip of them, and contiguous columns or contiguous rows; any other
// takes the blocks of run_blocks_fit. From 9 columns on, one strip with its last lanes
// unused costs less than a block of run_blocks_fit's 32 lanes: 9 to 15 columns of 2520
// rows took 50 to 90 us in such a block, 18 to 30 us as one strip of 16.
template <int V>
bool strips_fit(const Matrix& m) {
    if (m.rows == 0 || (m.cols <= 8 && m.cols < Wide::size * V)) return false;
    return m.rs == 1 || m.cs == 1;
}

// Lanes of the kernels for narrow matrices. A kernel's row costs the same for every lane of
// its block, filled or padded, so a matrix of a few columns is walked with a kernel of
// narrow_block lanes, one of up to mid_block columns with a kernel of that many rather than
// of a wide kernel's B, and a single column with a kernel of one lane.
constexpr int narrow_block = 8;
constexpr int mid_block = 32;

// run_blocks with kernels of as few lanes as the matrix needs: make(std::integral_constant<
// int, W>{}) gives a kernel of W lanes, W being 1, narrow_block, mid_block (where B is wider)
// or B. The lane count never changes a result: every lane runs its own column's operations
// in row order.
template <int B, class Make, class Finish>
void run_blocks_fit(const Matrix& m, Make&& make, Finish&& finish) {
    const auto lanes = [&make](auto w) { return [&make, w] { return make(w); }; };
    if (m.cols == 1) {
        run_blocks<1>(m, lanes(std::integral_constant<int, 1>{}), finish);
    } else if (m.cols <= narrow_block) {
        run_blocks<narrow_block>(m, lanes(std::integral_constant<int, narrow_block>{}), finish);
    } else {
        if constexpr (B > mid_block) {
            if (m.cols <= mid_block) {
                run_blocks<mid_block>(m, lanes(std::integral_constant<int, mid_block>{}), finish);
                return;
            }
        }
        run_blocks<B>(m, lanes(std::integral_constant<int, B>{}), finish);
    }
}

