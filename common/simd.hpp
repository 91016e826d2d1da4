// Lanes of doubles: N doubles handled as one value, with the arithmetic, comparisons and
// select that the kernels' row updates are written in. One row template over Lanes<N>
// compiles to plain scalar code (N = 1), SSE2 (2, any x86-64), AVX (4) or AVX-512 (8).
//
// Every lane does the same operations as a lone double would, in the same order, so a
// kernel gives the same bits whatever N (contraction into fused multiply-adds is off in
// every build). Comparisons follow C++ on doubles: ==, <, <=, >, >= are false where
// either side is NaN, != is true; none raises on a quiet NaN. select(m, a, b) is a where
// m holds, else b.
//
// The AVX and AVX-512 lanes are compiled for those instruction sets whatever the build's
// own flags: only code built for that instruction set (see each_path.hpp) may use them.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace fk {

template <int N>
struct Lanes;
template <int N>
struct Mask;

// ---- one lane: plain doubles ----------------------------------------------------------------

template <>
struct Mask<1> {
    bool m;
};

template <>
struct Lanes<1> {
    static constexpr int size = 1;
    double v;
    Lanes() = default;
    Lanes(double x) : v(x) {}  // NOLINT: a constant in every lane
    static Lanes load(const double* p) { return {p[0]}; }
    void store(double* p) const { p[0] = v; }
    // The first n lanes from p (n >= 1), any value in the others.
    static Lanes load_first(const double* p, std::int64_t) { return {p[0]}; }
};

inline Lanes<1> operator+(Lanes<1> a, Lanes<1> b) { return {a.v + b.v}; }
inline Lanes<1> operator-(Lanes<1> a, Lanes<1> b) { return {a.v - b.v}; }
inline Lanes<1> operator*(Lanes<1> a, Lanes<1> b) { return {a.v * b.v}; }
inline Lanes<1> operator/(Lanes<1> a, Lanes<1> b) { return {a.v / b.v}; }
inline Mask<1> operator==(Lanes<1> a, Lanes<1> b) { return {a.v == b.v}; }
inline Mask<1> operator!=(Lanes<1> a, Lanes<1> b) { return {a.v != b.v}; }
// The quiet comparisons (the compiler may then evaluate them unconditionally).
inline Mask<1> operator<(Lanes<1> a, Lanes<1> b) { return {__builtin_isless(a.v, b.v) != 0}; }
inline Mask<1> operator<=(Lanes<1> a, Lanes<1> b) { return {__builtin_islessequal(a.v, b.v) != 0}; }
inline Mask<1> operator>(Lanes<1> a, Lanes<1> b) { return {__builtin_isgreater(a.v, b.v) != 0}; }
inline Mask<1> operator>=(Lanes<1> a, Lanes<1> b) { return {__builtin_isgreaterequal(a.v, b.v) != 0}; }
inline Mask<1> operator&(Mask<1> a, Mask<1> b) { return {a.m && b.m}; }
inline Mask<1> operator|(Mask<1> a, Mask<1> b) { return {a.m || b.m}; }
inline Mask<1> andnot(Mask<1> a, Mask<1> b) { return {!a.m && b.m}; }  // b and not a
inline Lanes<1> select(Mask<1> m, Lanes<1> a, Lanes<1> b) { return {m.m ? a.v : b.v}; }
inline bool any(Mask<1> m) { return m.m; }

// ---- two lanes: SSE2, part of every x86-64 ----------------------------------------------------

template <>
struct Mask<2> {
    __m128d m;
};

template <>
struct Lanes<2> {
    static constexpr int size = 2;
    __m128d v;
    Lanes() = default;
    Lanes(__m128d x) : v(x) {}         // NOLINT
    Lanes(double x) : v(_mm_set1_pd(x)) {}  // NOLINT
    static Lanes load(const double* p) { return {_mm_loadu_pd(p)}; }
    void store(double* p) const { _mm_storeu_pd(p, v); }
    static Lanes load_first(const double* p, std::int64_t n) {
        return n >= 2 ? load(p) : Lanes{_mm_load_sd(p)};
    }
};

inline Lanes<2> operator+(Lanes<2> a, Lanes<2> b) { return {_mm_add_pd(a.v, b.v)}; }
inline Lanes<2> operator-(Lanes<2> a, Lanes<2> b) { return {_mm_sub_pd(a.v, b.v)}; }
inline Lanes<2> operator*(Lanes<2> a, Lanes<2> b) { return {_mm_mul_pd(a.v, b.v)}; }
inline Lanes<2> operator/(Lanes<2> a, Lanes<2> b) { return {_mm_div_pd(a.v, b.v)}; }
inline Mask<2> operator==(Lanes<2> a, Lanes<2> b) { return {_mm_cmpeq_pd(a.v, b.v)}; }
inline Mask<2> operator!=(Lanes<2> a, Lanes<2> b) { return {_mm_cmpneq_pd(a.v, b.v)}; }
inline Mask<2> operator<(Lanes<2> a, Lanes<2> b) { return {_mm_cmplt_pd(a.v, b.v)}; }
inline Mask<2> operator<=(Lanes<2> a, Lanes<2> b) { return {_mm_cmple_pd(a.v, b.v)}; }
inline Mask<2> operator>(Lanes<2> a, Lanes<2> b) { return {_mm_cmplt_pd(b.v, a.v)}; }
inline Mask<2> operator>=(Lanes<2> a, Lanes<2> b) { return {_mm_cmple_pd(b.v, a.v)}; }
inline Mask<2> operator&(Mask<2> a, Mask<2> b) { return {_mm_and_pd(a.m, b.m)}; }
inline Mask<2> operator|(Mask<2> a, Mask<2> b) { return {_mm_or_pd(a.m, b.m)}; }
inline Mask<2> andnot(Mask<2> a, Mask<2> b) { return {_mm_andnot_pd(a.m, b.m)}; }
inline Lanes<2> select(Mask<2> m, Lanes<2> a, Lanes<2> b) {
    return {_mm_or_pd(_mm_and_pd(m.m, a.v), _mm_andnot_pd(m.m, b.v))};
}
inline bool any(Mask<2> m) { return _mm_movemask_pd(m.m) != 0; }

// Rows r .. r + 3 of the columns c[0], c[1] (each contiguous): out[i] holds row r + i.
inline void rows4(const double* const* c, std::int64_t r, Lanes<2>* out) {
    for (int h = 0; h < 4; h += 2) {
        const __m128d a = _mm_loadu_pd(c[0] + r + h), b = _mm_loadu_pd(c[1] + r + h);
        out[h] = {_mm_unpacklo_pd(a, b)};
        out[h + 1] = {_mm_unpackhi_pd(a, b)};
    }
}

inline void rows4(const double* const* c, std::int64_t r, Lanes<1>* out) {
    for (int i = 0; i < 4; ++i) out[i] = {c[0][r + i]};
}

// The wider lanes need GCC's target pragmas; a build by another compiler (the fuzzing
// build's clang) has the baseline path only (FK_WIDE_PATHS 0, see each_path.hpp).
#if defined(__GNUC__) && !defined(__clang__)
#define FK_WIDE_PATHS 1
#else
#define FK_WIDE_PATHS 0
#endif

#if FK_WIDE_PATHS

// ---- four lanes: AVX ---------------------------------------------------------------------------

// Marked for AVX alone, so that code built for AVX2 or AVX-512 inlines them as well.
#pragma GCC push_options
#pragma GCC target("avx")

template <>
struct Mask<4> {
    __m256d m;
};

template <>
struct Lanes<4> {
    static constexpr int size = 4;
    __m256d v;
    Lanes() = default;
    Lanes(__m256d x) : v(x) {}              // NOLINT
    Lanes(double x) : v(_mm256_set1_pd(x)) {}  // NOLINT
    static Lanes load(const double* p) { return {_mm256_loadu_pd(p)}; }
    void store(double* p) const { _mm256_storeu_pd(p, v); }
    static Lanes load_first(const double* p, std::int64_t n) {
        const __m256d live = _mm256_cmp_pd(_mm256_set1_pd(static_cast<double>(n)),
                                           _mm256_setr_pd(0.0, 1.0, 2.0, 3.0), _CMP_GT_OQ);
        return {_mm256_maskload_pd(p, _mm256_castpd_si256(live))};
    }
};

inline Lanes<4> operator+(Lanes<4> a, Lanes<4> b) { return {_mm256_add_pd(a.v, b.v)}; }
inline Lanes<4> operator-(Lanes<4> a, Lanes<4> b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline Lanes<4> operator*(Lanes<4> a, Lanes<4> b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline Lanes<4> operator/(Lanes<4> a, Lanes<4> b) { return {_mm256_div_pd(a.v, b.v)}; }
inline Mask<4> operator==(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask<4> operator!=(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
inline Mask<4> operator<(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask<4> operator<=(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask<4> operator>(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask<4> operator>=(Lanes<4> a, Lanes<4> b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask<4> operator&(Mask<4> a, Mask<4> b) { return {_mm256_and_pd(a.m, b.m)}; }
inline Mask<4> operator|(Mask<4> a, Mask<4> b) { return {_mm256_or_pd(a.m, b.m)}; }
inline Mask<4> andnot(Mask<4> a, Mask<4> b) { return {_mm256_andnot_pd(a.m, b.m)}; }
inline Lanes<4> select(Mask<4> m, Lanes<4> a, Lanes<4> b) { return {_mm256_blendv_pd(b.v, a.v, m.m)}; }
inline bool any(Mask<4> m) { return !_mm256_testz_pd(m.m, m.m); }

// m ? a : b lane by lane, for the masks of AVX comparisons, in code written with AVX
// intrinsics directly.
inline __m256d select(__m256d m, __m256d a, __m256d b) { return _mm256_blendv_pd(b, a, m); }

// The 4 x 4 transpose of rows a0 .. a3: out[i] holds element i of each row, in row order.
inline void transpose4(__m256d a0, __m256d a1, __m256d a2, __m256d a3, __m256d* out) {
    const __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
    const __m256d t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
    out[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    out[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    out[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    out[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

inline void rows4(const double* const* c, std::int64_t r, Lanes<4>* out) {
    __m256d t[4];
    transpose4(_mm256_loadu_pd(c[0] + r), _mm256_loadu_pd(c[1] + r), _mm256_loadu_pd(c[2] + r),
               _mm256_loadu_pd(c[3] + r), t);
    for (int i = 0; i < 4; ++i) out[i] = {t[i]};
}

#pragma GCC pop_options

// ---- eight lanes: AVX-512 ----------------------------------------------------------------------

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,avx512bw,avx2")

template <>
struct Mask<8> {
    __mmask8 m;
};

template <>
struct Lanes<8> {
    static constexpr int size = 8;
    __m512d v;
    Lanes() = default;
    Lanes(__m512d x) : v(x) {}              // NOLINT
    Lanes(double x) : v(_mm512_set1_pd(x)) {}  // NOLINT
    static Lanes load(const double* p) { return {_mm512_loadu_pd(p)}; }
    void store(double* p) const { _mm512_storeu_pd(p, v); }
    static Lanes load_first(const double* p, std::int64_t n) {
        const auto live = static_cast<__mmask8>(n >= 8 ? 0xff : (1u << n) - 1);
        return {_mm512_maskz_loadu_pd(live, p)};
    }
};

inline Lanes<8> operator+(Lanes<8> a, Lanes<8> b) { return {_mm512_add_pd(a.v, b.v)}; }
inline Lanes<8> operator-(Lanes<8> a, Lanes<8> b) { return {_mm512_sub_pd(a.v, b.v)}; }
inline Lanes<8> operator*(Lanes<8> a, Lanes<8> b) { return {_mm512_mul_pd(a.v, b.v)}; }
inline Lanes<8> operator/(Lanes<8> a, Lanes<8> b) { return {_mm512_div_pd(a.v, b.v)}; }
inline Mask<8> operator==(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask<8> operator!=(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)}; }
inline Mask<8> operator<(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask<8> operator<=(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask<8> operator>(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask<8> operator>=(Lanes<8> a, Lanes<8> b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask<8> operator&(Mask<8> a, Mask<8> b) { return {static_cast<__mmask8>(a.m & b.m)}; }
inline Mask<8> operator|(Mask<8> a, Mask<8> b) { return {static_cast<__mmask8>(a.m | b.m)}; }
inline Mask<8> andnot(Mask<8> a, Mask<8> b) { return {static_cast<__mmask8>(~a.m & b.m)}; }
inline Lanes<8> select(Mask<8> m, Lanes<8> a, Lanes<8> b) { return {_mm512_mask_blend_pd(m.m, b.v, a.v)}; }
inline bool any(Mask<8> m) { return m.m != 0; }

// Rows r .. r + 3 of the columns c[0] .. c[7]: two 4 x 4 transposes, one per half.
inline void rows4(const double* const* c, std::int64_t r, Lanes<8>* out) {
    __m256d lo[4], hi[4];
    transpose4(_mm256_loadu_pd(c[0] + r), _mm256_loadu_pd(c[1] + r), _mm256_loadu_pd(c[2] + r),
               _mm256_loadu_pd(c[3] + r), lo);
    transpose4(_mm256_loadu_pd(c[4] + r), _mm256_loadu_pd(c[5] + r), _mm256_loadu_pd(c[6] + r),
               _mm256_loadu_pd(c[7] + r), hi);
    for (int i = 0; i < 4; ++i) out[i] = {_mm512_insertf64x4(_mm512_castpd256_pd512(lo[i]), hi[i], 1)};
}

#pragma GCC pop_options

#endif  // FK_WIDE_PATHS

// Lane j of an array of lanes, counted across the array.
template <int N, int K>
double lane(const Lanes<N> (&a)[K], int j) {
    double t[N];
    a[j / N].store(t);
    return t[j % N];
}

}  // namespace fk
