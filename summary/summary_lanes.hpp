// Four doubles side by side for the summary kernel: AVX vectors on the AVX2 and AVX-512
// paths, and four plain doubles on the baseline path that run the same operations lane by
// lane (the same IEEE operations in the same order: the same bits). Read once per path,
// inside the path's namespace (see common/each_path.hpp), after the headers it uses:
// <cstdint>, <cstring>, <immintrin.h> and simd.hpp (fk::select and fk::transpose4 on AVX
// vectors).

namespace v {

#if FK_AVX
using vec = __m256d;
constexpr int ORD_Q = _CMP_ORD_Q, EQ_OQ = _CMP_EQ_OQ, LT_OQ = _CMP_LT_OQ, LE_OQ = _CMP_LE_OQ,
              GT_OQ = _CMP_GT_OQ, GE_OQ = _CMP_GE_OQ, NGT_UQ = _CMP_NGT_UQ, NGE_UQ = _CMP_NGE_UQ;
inline vec set1_pd(double x) { return _mm256_set1_pd(x); }
inline vec setzero_pd() { return _mm256_setzero_pd(); }
inline vec add_pd(vec a, vec b) { return _mm256_add_pd(a, b); }
inline vec sub_pd(vec a, vec b) { return _mm256_sub_pd(a, b); }
inline vec mul_pd(vec a, vec b) { return _mm256_mul_pd(a, b); }
inline vec div_pd(vec a, vec b) { return _mm256_div_pd(a, b); }
inline vec min_pd(vec a, vec b) { return _mm256_min_pd(a, b); }
inline vec max_pd(vec a, vec b) { return _mm256_max_pd(a, b); }
inline vec and_pd(vec a, vec b) { return _mm256_and_pd(a, b); }
inline vec or_pd(vec a, vec b) { return _mm256_or_pd(a, b); }
inline vec andnot_pd(vec a, vec b) { return _mm256_andnot_pd(a, b); }
template <int P>
inline vec cmp(vec a, vec b) { return _mm256_cmp_pd(a, b, P); }
#define cmp_pd(a, b, p) cmp<p>(a, b)
inline int movemask_pd(vec a) { return _mm256_movemask_pd(a); }
inline vec loadu_pd(const double* p) { return _mm256_loadu_pd(p); }
inline vec load_pd(const double* p) { return _mm256_load_pd(p); }
inline void storeu_pd(double* p, vec a) { _mm256_storeu_pd(p, a); }
inline void store_pd(double* p, vec a) { _mm256_store_pd(p, a); }
inline vec select(vec m, vec a, vec b) { return fk::select(m, a, b); }
inline void transpose4(vec a0, vec a1, vec a2, vec a3, vec* out) {
    fk::transpose4(a0, a1, a2, a3, out);
}
#else
struct vec {
    double x[4];
};
enum { ORD_Q, EQ_OQ, LT_OQ, LE_OQ, GT_OQ, GE_OQ, NGT_UQ, NGE_UQ };
template <class F>
inline vec each(vec a, vec b, F f) {
    vec r;
    for (int i = 0; i < 4; ++i) r.x[i] = f(a.x[i], b.x[i]);
    return r;
}
inline double bits_of(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}
inline std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}
inline vec set1_pd(double x) { return {{x, x, x, x}}; }
inline vec setzero_pd() { return set1_pd(0.0); }
inline vec add_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p + q; }); }
inline vec sub_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p - q; }); }
inline vec mul_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p * q; }); }
inline vec div_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p / q; }); }
// As the AVX instructions: the second operand where the comparison fails (NaN included).
inline vec min_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p < q ? p : q; }); }
inline vec max_pd(vec a, vec b) { return each(a, b, [](double p, double q) { return p > q ? p : q; }); }
inline vec and_pd(vec a, vec b) {
    return each(a, b, [](double p, double q) { return bits_of(bits(p) & bits(q)); });
}
inline vec andnot_pd(vec a, vec b) {
    return each(a, b, [](double p, double q) { return bits_of(~bits(p) & bits(q)); });
}
inline vec or_pd(vec a, vec b) {
    return each(a, b, [](double p, double q) { return bits_of(bits(p) | bits(q)); });
}
inline vec cmp_pd(vec a, vec b, int pred) {
    return each(a, b, [pred](double p, double q) {
        const bool t = pred == ORD_Q   ? (p == p) & (q == q)
                       : pred == EQ_OQ ? p == q
                       : pred == LT_OQ ? p < q
                       : pred == LE_OQ ? p <= q
                       : pred == GT_OQ ? p > q
                       : pred == GE_OQ ? p >= q
                       : pred == NGT_UQ ? !(p > q)
                                        : !(p >= q);
        return bits_of(t ? ~std::uint64_t{0} : 0);
    });
}
inline int movemask_pd(vec a) {
    int m = 0;
    for (int i = 0; i < 4; ++i) m |= static_cast<int>(bits(a.x[i]) >> 63) << i;
    return m;
}
inline vec loadu_pd(const double* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline vec load_pd(const double* p) { return loadu_pd(p); }
inline void storeu_pd(double* p, vec a) {
    for (int i = 0; i < 4; ++i) p[i] = a.x[i];
}
inline void store_pd(double* p, vec a) { storeu_pd(p, a); }
inline vec select(vec m, vec a, vec b) {
    vec r;
    for (int i = 0; i < 4; ++i) r.x[i] = bits_of((bits(m.x[i]) & bits(a.x[i])) | (~bits(m.x[i]) & bits(b.x[i])));
    return r;
}
inline void transpose4(vec a0, vec a1, vec a2, vec a3, vec* out) {
    const vec in[4] = {a0, a1, a2, a3};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) out[i].x[j] = in[j].x[i];
}
#endif

}  // namespace v
