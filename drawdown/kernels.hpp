// _drawdown's kernel, read once per instruction set (see each_path.hpp).

// The state of K vectors of lanes, one column each. Besides troughmend's compounded value, peak and run counters it
// follows the current drawdown (its peak, the row that set it, its lowest value and that
// value's row) and keeps a copy of that state for the longest drawdown so far. Rows are
// held as doubles (exact far beyond any row count; -1 for none) and every update is a
// select on a comparison, every lane on its own column.
//
// Own: each column on its own rows (the front ends' own calendar), those holding a value.
// A missing value's row then neither extends nor ends a drawdown, nor names one: the run
// stays as it was and the row can never become the longest drawdown's last. (Outside a
// drawdown the current drawdown's fields are set afresh on every row until one starts, so
// what such a row writes there is set again by the next.) A drawdown's first row is then no
// longer its length back from its last, so the variant follows it too: first, the first row
// of the current drawdown, and best_first that of the longest.
template <class V, int K, bool Own = false>
struct drawdown_rows {
    using lanes_type = V;
    static constexpr int vectors = K;
    V acc[K], run_max[K], max_row[K];            // compounded value, its peak, peak row
    V cur[K], longest[K];                        // current and longest run, in rows
    V peak[K], peak_row[K], low[K], low_row[K];  // the current drawdown
    V best_last[K], best_peak[K], best_peak_row[K], best_low[K], best_low_row[K];
    V first[K], best_first[K];                   // the own-rows variant's first rows

    drawdown_rows() {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int b = 0; b < K; ++b) {
            acc[b] = run_max[b] = peak[b] = best_peak[b] = 1.0;
            max_row[b] = peak_row[b] = low_row[b] = -1.0;
            best_last[b] = best_peak_row[b] = best_low_row[b] = -1.0;
            first[b] = best_first[b] = -1.0;
            cur[b] = 0.0;
            longest[b] = 0.5;
            low[b] = best_low[b] = nan;
        }
    }

    void step(int j, V x, std::int64_t r) {
        const V one = 1.0, zero = 0.0;
        const V rd = static_cast<double>(r);
        // Compounding, peak and run length: the same operations as troughmend's.
        const V vp = x + one;
        const V f = select(vp == vp, vp, one);
        const V a = acc[j] * f;
        const auto higher = a > run_max[j];
        const V top = select(higher, a, run_max[j]);
        const V top_row = select(higher, rd, max_row[j]);
        const V c1 = cur[j] + one;
        const V c0 = select(((a - top) != zero) & (c1 == c1), c1, zero);
        const auto own = x == x;
        const V c = Own ? select(own, c0, cur[j]) : c0;
        // A drawdown is measured from the peak in force on its first row, and its
        // low starts at that row's value. (Whether a drawdown starts is taken from the
        // run before this row rather than from c.) The lowest value is the earliest of
        // equal lows. A value lost to NaN (0 x inf) stays NaN to the end of the column
        // and never starts a drawdown (the row before is at its finite peak), so it
        // never becomes the low.
        const auto start = cur[j] == zero;
        const V p = select(start, top, peak[j]);
        const V pr = select(start, top_row, peak_row[j]);
        const V l0 = select(start, a, low[j]);
        const V r0 = select(start, rd, low_row[j]);
        const auto lower = a < l0;
        // The longest drawdown so far: of equally long ones the latest, so a run that
        // reaches the longest length takes over. `longest` starts at 0.5, so that a
        // row outside any drawdown (run 0) never takes over.
        const auto best = Own ? (c >= longest[j]) & own : c >= longest[j];
        acc[j] = a;
        run_max[j] = top;
        max_row[j] = top_row;
        cur[j] = c;
        peak[j] = p;
        peak_row[j] = pr;
        low[j] = select(lower, a, l0);
        low_row[j] = select(lower, rd, r0);
        longest[j] = select(best, c, longest[j]);
        best_last[j] = select(best, rd, best_last[j]);
        best_peak[j] = select(best, p, best_peak[j]);
        best_peak_row[j] = select(best, pr, best_peak_row[j]);
        best_low[j] = select(best, low[j], best_low[j]);
        best_low_row[j] = select(best, low_row[j], best_low_row[j]);
        if constexpr (Own) {
            first[j] = select(start, rd, first[j]);
            best_first[j] = select(best, first[j], best_first[j]);
        }
    }
};

// Columns per block, as in troughmend.
constexpr int B = 32;

template <bool Own, class Finish>
void drawdowns(tag, std::bool_constant<Own>, const Matrix& m, const Finish& finish) {
    run_blocks_fit<B>(m, [](auto lanes) {
        constexpr int W = decltype(lanes)::value;
        return drawdown_rows<LanesFor<W>, W / LanesFor<W>::size, Own>();
    }, finish);
}
