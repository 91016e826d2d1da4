// streakset's kernel, read once per instruction set (see each_path.hpp).

// The return of a run is P(end) / P(start - 1) - 1, where P(r) is the running product of
// the factors (1 + v), or (1 - v) when `Invert`, over rows 0..r of the whole column with
// NaN rows skipped, and P(-1) = 1.0: a run that opens the column is measured from the
// start value 1.0. The scan and the product share one pass, row by row for K vectors of
// lanes, one column each. The first row of a run takes the product so far as the run's
// base; the row after a run's last one compares the finished run with the best so far and,
// if it is at least as long, keeps its length, last row, base and the product through its
// last row. A run still open after the last row is judged in the finish. The
// multiplications are those of compounding the whole column first, in the same order, so
// the result is the same bits.
//
// A run is a run of values > 0 in either mode: NaN, 0.0 and -0.0 break it, +inf extends
// it. Ties in length go to the later run (>=). `need` is the length a run must reach to
// become the best, max(best length, 1).
//
// Signs of returns are a coin toss, so nothing branches on them: every update is computed
// and then selected. Run lengths and row numbers are doubles (exact far beyond any row
// count) for the same reason. A best run is recorded only where a run ends, not on every
// row of a long run: the updates are skipped while no lane of a vector has one, so they
// stay rare even for funds that never fall.
//
// Own: each column on its own rows (the front ends' own calendar), those holding a value.
// A missing value is then no row of the fund's: it does not end the run, which goes on at
// the fund's next row, and it judges no finished run. The best run's end is still kept as
// the row before the one that ended it; the caller takes the last own row on or before it.
// (On the fresh state a missing first return, a fund's first NAV's, changes nothing either
// way.)
template <bool Invert, class V, int K, bool Own = false>
struct longest_run {
    using lanes_type = V;
    static constexpr int vectors = K;
    V acc[K], base[K], cur[K], need[K], best_end[K], best_base[K], best_last[K];

    longest_run() {
        for (int b = 0; b < K; ++b) {
            acc[b] = base[b] = best_base[b] = best_last[b] = need[b] = 1.0;
            cur[b] = 0.0;
            best_end[b] = -1.0;  // no run yet
        }
    }

    void step(int k, V x, std::int64_t r) {
        const V one = 1.0, zero = 0.0;
        const V prev = static_cast<double>(r) - 1.0;
        const V f = Invert ? one - x : one + x;
        // NaN exactly when x is: the factor 1.0 then leaves the product as it was.
        const V factor = select(f == f, f, one);
        const V c0 = cur[k];
        // c1 is never NaN; testing it keeps its addition out of any branch.
        const V c1 = c0 + one;
        const auto pos = (x > zero) & (c1 == c1);
        // The run that ended on the row before, if it is at least as long as the best.
        const auto ended = andnot(pos, c0 >= need[k]);
        const auto own = x == x;
        const auto better = Own ? ended & own : ended;
        const V b = select(c0 == zero, acc[k], base[k]);
        const V a0 = acc[k];
        acc[k] = a0 * factor;
        base[k] = b;
        cur[k] = Own ? select(own, select(pos, c1, zero), c0) : select(pos, c1, zero);
        if (any(better)) {
            need[k] = select(better, c0, need[k]);
            best_end[k] = select(better, prev, best_end[k]);
            best_base[k] = select(better, b, best_base[k]);
            best_last[k] = select(better, a0, best_last[k]);
        }
    }
};

constexpr int B = 64;  // columns per block

// Vectors per strip of the register kernel: two, so that two chains of multiplications
// overlap. One measured 1.5 times as slow, three 1.2 times, its state no longer held in
// the sixteen registers (vectors of four).
constexpr int V = 2;

template <bool Invert, bool Own, class Finish>
void longest_runs(tag, std::bool_constant<Invert>, std::bool_constant<Own>, const Matrix& m,
                  const Finish& finish) {
    if (strips_fit<V>(m))
        run_strips<V>(m, [] { return longest_run<Invert, Wide, V, Own>(); }, finish);
    else
        run_blocks_fit<B>(m, [](auto lanes) {
            constexpr int W = decltype(lanes)::value;
            return longest_run<Invert, LanesFor<W>, W / LanesFor<W>::size, Own>();
        }, finish);
}
