// troughmend's kernel, read once per instruction set (see each_path.hpp).

// The state of K vectors of lanes: compounded value, running peak, current and longest run.
// Per row and column: skip a NaN return, compound, raise the peak on a strictly greater
// value, take the drawdown against the peak; a non-zero drawdown (NaN included) extends
// the run. Written without branches, every lane on its own column; counters are doubles
// (exact far beyond any row count) for the same reason.
//
// Own: each column on its own rows (the front ends' own calendar), those holding a value.
// A missing value is then no row of the fund's at all: it neither extends a drawdown nor
// ends one, so its lane keeps its whole state. (Compounding and the peak already skip it;
// the run is the one counter that moves.) The fund's first row may still be a missing
// return, its first NAV's: on the fresh state that row changes nothing either way.
template <class V, int K, bool Own = false>
struct longest_segment_len {
    using lanes_type = V;
    static constexpr int vectors = K;
    V acc[K], run_max[K], cur[K], longest[K];

    longest_segment_len() {
        for (int b = 0; b < K; ++b) acc[b] = run_max[b] = 1.0, cur[b] = longest[b] = 0.0;
    }

    void step(int b, V x, std::int64_t) {
        const V one = 1.0, zero = 0.0;
        const V vp = x + one;
        // NaN only when x is NaN; the factor 1.0 then leaves acc exactly as it was.
        const V f = select(vp == vp, vp, one);
        const V a = acc[b] * f;
        const V peak = select(a > run_max[b], a, run_max[b]);
        // The drawdown (a - peak) / peak is zero exactly when a - peak is: the peak is
        // at least 1.0, so a non-zero difference never underflows in the division,
        // and an infinite peak gives NaN either way. c1 is never NaN; testing it keeps
        // its addition out of any branch, which would stop the vectorisation.
        const V c1 = cur[b] + one;
        const V c0 = select(((a - peak) != zero) & (c1 == c1), c1, zero);
        const V c = Own ? select(x == x, c0, cur[b]) : c0;
        acc[b] = a;
        run_max[b] = peak;
        cur[b] = c;
        longest[b] = select(c > longest[b], c, longest[b]);
    }
};

// Columns per block. With as few as 8, GCC unrolls the row loop completely and then fails
// to vectorise what is left; from 16 on it vectorises the loop itself.
constexpr int B = 32;

// Vectors per strip of the register kernel: two, so that two chains of multiplications
// overlap. Three measured 7 to 17% slower, four 15 to 20% (four lanes each).
constexpr int V = 2;

template <bool Own, class Finish>
void longest_runs(tag, std::bool_constant<Own>, const Matrix& m, const Finish& finish) {
    if (strips_fit<V>(m))
        run_strips<V>(m, [] { return longest_segment_len<Wide, V, Own>(); }, finish);
    else
        run_blocks_fit<B>(m, [](auto lanes) {
            constexpr int W = decltype(lanes)::value;
            return longest_segment_len<LanesFor<W>, W / LanesFor<W>::size, Own>();
        }, finish);
}
