// extremeset's kernel, read once per instruction set (see each_path.hpp).

// The growth of a run at row r is not a product restarted at the run's start but the
// quotient of the running product over all selected rows by that product as it stood just
// before the run began; the rounding of that quotient decides ties between runs, so it is
// reproduced exactly. A quotient of exactly 1.0 counts as no growth at all and, like 0/0
// and inf/inf once the running product has hit 0 or infinity, is unusable: it takes no part
// and, inside a run, cuts the reported run short, since a run is reported from the first
// row of the unbroken stretch of usable quotients that holds the extreme.
//
// The state of K vectors of lanes (one column each), one row at a time: the running product, the divisor of the
// current run, the length of the stretch of usable quotients that ends at the current row,
// and the extreme so far with the row where it was last reached and the length of that
// row's stretch. Ties move the row on: of two runs with the same growth, the later one is
// reported.
//
// Signs of returns are as good as random, so nothing branches on them: every update is
// computed and then selected, every lane on its own column. Lengths and row numbers are
// doubles (exact far beyond any row count) for the same reason. A new extreme is recorded
// only on rows where some lane of a vector has one.
//
// An unselected row (NaN, zero or a loss) contributes the factor 1.0, which leaves the
// running product bit for bit as it was (NaN, infinities and signed zeros included); since
// 1 + v exceeds 1.0 only for a selected v, and 1 - v falls below it only for one, the factor
// is picked by comparing it with 1.0 (a tiny v whose factor rounds to 1.0 gives 1.0 either
// way). An unselected row also sets the divisor to the current product, which is where the
// product stands when the next run begins (1.0 for a run that starts at row 0); its quotient
// is then that product divided by itself, 1.0 or NaN, so it is unusable without a test of
// its own.
//
// Own: each column on its own rows (the front ends' own calendar), those holding a value.
// A missing value is then no row of the fund's: rather than end the stretch and open a new
// run, its row keeps the lane's state as it was (the product, which its factor 1.0 keeps
// anyway, the divisor and the stretch; its quotient is unusable, so it sets no extreme).
// On the fresh state a missing first return, a fund's first NAV's, changes nothing either
// way.
template <bool Positive, class V, int K, bool Own = false>
struct largest_move {
    using lanes_type = V;
    static constexpr int vectors = K;
    V acc[K], denom[K], good[K], extreme[K], last_idx[K], best_good[K];

    largest_move() {
        for (int b = 0; b < K; ++b) {
            acc[b] = denom[b] = 1.0;
            extreme[b] = Positive ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
            good[b] = last_idx[b] = best_good[b] = 0.0;
        }
    }

    void step(int k, V v, std::int64_t r) {
        const V one = 1.0, zero = 0.0;
        const V here = static_cast<double>(r);
        const V f = Positive ? v + one : one - v;
        const V factor = select(Positive ? f > one : f < one, f, one);
        const V a0 = acc[k];
        const V a = a0 * factor;
        const V d = select(v > zero, denom[k], a0);
        const V x = a / d;
        // g1 is never NaN; testing it keeps its addition out of any branch.
        const V g1 = good[k] + one;
        const auto usable = (x == x) & (x != one) & (g1 == g1);
        const auto better = usable & (Positive ? x >= extreme[k] : x <= extreme[k]);
        const V g = select(usable, g1, zero);
        acc[k] = a;
        if constexpr (Own) {
            const auto own = v == v;
            denom[k] = select(own, d, denom[k]);
            good[k] = select(own, g, good[k]);
        } else {
            denom[k] = d;
            good[k] = g;
        }
        if (any(better)) {
            extreme[k] = select(better, x, extreme[k]);
            last_idx[k] = select(better, here, last_idx[k]);
            best_good[k] = select(better, g, best_good[k]);
        }
    }
};

constexpr int B = 64;  // columns per block

// Vectors per strip of the register kernel: two, so that two chains of multiplications
// and divisions overlap; more would spill the state out of the sixteen registers (vectors
// of four).
constexpr int V = 2;

template <bool Positive, bool Own, class Finish>
void largest_moves(tag, std::bool_constant<Positive>, std::bool_constant<Own>, const Matrix& m,
                   const Finish& finish) {
    if (strips_fit<V>(m))
        run_strips<V>(m, [] { return largest_move<Positive, Wide, V, Own>(); }, finish);
    else
        run_blocks_fit<B>(m, [](auto lanes) {
            constexpr int W = decltype(lanes)::value;
            return largest_move<Positive, LanesFor<W>, W / LanesFor<W>::size, Own>();
        }, finish);
}
