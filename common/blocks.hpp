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

// Rows per tile when a block must be gathered (column-major or strided input): the tile
// of tile_rows x B doubles stays in the first-level cache.
template <int B>
constexpr std::int64_t tile_rows = 2048 / B;

// Feeds every row of the block starting at column c0 to kernel.row. Row-major input with a
// full block is read in place; anything else is gathered tile by tile into `tile`
// (tile_rows<B> * B doubles), each column of the tile read contiguously where the
// matrix is column-major.
template <int B, class Kernel>
void walk_block(const Matrix& m, std::int64_t c0, Kernel& k, double* tile) {
    const std::int64_t width = std::min<std::int64_t>(B, m.cols - c0);
    if (m.cs == 1 && width == B) {
        const double* p = m.data + c0;
        for (std::int64_t r = 0; r < m.rows; ++r) k.row(p + r * m.rs, r);
        return;
    }
    constexpr std::int64_t T = tile_rows<B>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t r0 = 0; r0 < m.rows; r0 += T) {
        const std::int64_t n = std::min(T, m.rows - r0);
        for (std::int64_t j = 0; j < B; ++j) {
            if (j < width) {
                const double* src = m.data + r0 * m.rs + (c0 + j) * m.cs;
                for (std::int64_t i = 0; i < n; ++i) tile[i * B + j] = src[i * m.rs];
            } else {
                for (std::int64_t i = 0; i < n; ++i) tile[i * B + j] = nan;
            }
        }
        for (std::int64_t i = 0; i < n; ++i) k.row(tile + i * B, r0 + i);
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
