// Row-wise walks over blocks of adjacent columns.
//
// A per-column loop over a row-major matrix reads one double per cache line and runs one
// serial chain of floating-point operations per column. Walking the rows once for a block
// of B adjacent columns reads memory in order and gives the compiler B independent chains
// to vectorise. Every column still sees its own operations in row order, so results are
// the same bits as a column-at-a-time loop; only the interleaving across columns changes.
//
// A kernel is a struct with per-column state in arrays of B and a member
//     void row(const double* v, std::int64_t r)
// that takes the B values of row r (NaN in the slots beyond the matrix's last column).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "fanout.hpp"
#include "frame.hpp"

namespace fk {

// Rows per tile: a tile of tile_rows x B doubles stays in the first-level cache.
template <int B>
constexpr std::int64_t tile_rows = 2048 / B;

// Feeds every row of the block starting at column c0 to kernel.row.
//
// A full block of at most eight columns in a row-major matrix is one cache line per row
// and is read in place. Otherwise the rows are gathered tile by tile into `tile`
// (tile_rows<B> * B doubles, row i at tile + i * B): a row-major matrix row by row, any
// other layout column by column, so that memory is read along its cache lines either way,
// many lines at a time. The slots beyond the matrix's last column are set to NaN row by
// row, just before the kernel reads the row. Besides serving a short last block, that
// small loop between the rows keeps the compiler from fusing a wide kernel's loops of two
// consecutive rows into one loop, which it then fails to vectorise.
template <int B, class Kernel>
void walk_block(const Matrix& m, std::int64_t c0, Kernel& k, double* tile) {
    const std::int64_t width = std::min<std::int64_t>(B, m.cols - c0);
    if (B <= 8 && m.cs == 1 && width == B) {
        const double* p = m.data + c0;
        for (std::int64_t r = 0; r < m.rows; ++r) k.row(p + r * m.rs, r);
        return;
    }
    constexpr std::int64_t T = tile_rows<B>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t r0 = 0; r0 < m.rows; r0 += T) {
        const std::int64_t n = std::min(T, m.rows - r0);
        const double* src = m.data + r0 * m.rs + c0 * m.cs;
        if (m.cs == 1) {
            for (std::int64_t i = 0; i < n; ++i)
                for (std::int64_t j = 0; j < width; ++j) tile[i * B + j] = src[i * m.rs + j];
        } else {
            for (std::int64_t j = 0; j < width; ++j)
                for (std::int64_t i = 0; i < n; ++i) tile[i * B + j] = src[j * m.cs + i * m.rs];
        }
        for (std::int64_t i = 0; i < n; ++i) {
            double* t = tile + i * B;
            for (std::int64_t j = width; j < B; ++j) t[j] = nan;
            k.row(t, r0 + i);
        }
    }
}

// Fans the blocks of B columns out over the workers (block b to worker b mod n, like
// columns in the plain fan-out). For each block, make() gives a fresh kernel, the rows
// are walked, and finish(kernel, c0, width) stores the results of columns c0 .. c0+width-1.
template <int B, class Make, class Finish>
void run_blocks(const Matrix& m, Make&& make, Finish&& finish) {
    const std::uint64_t blocks = static_cast<std::uint64_t>((m.cols + B - 1) / B);
    fan_out(blocks, [&](std::uint64_t t, std::uint64_t n) {
        std::vector<double> tile(static_cast<std::size_t>(tile_rows<B> * B));
        for (std::uint64_t b = t; b < blocks; b += n) {
            const std::int64_t c0 = static_cast<std::int64_t>(b) * B;
            auto k = make();
            walk_block<B>(m, c0, k, tile.data());
            finish(k, c0, std::min<std::int64_t>(B, m.cols - c0));
        }
    });
}

}  // namespace fk
