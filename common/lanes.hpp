// Lane-wise helpers for the kernels written with AVX intrinsics.
#pragma once

#include <immintrin.h>

#include <initializer_list>

namespace fk {

// m ? a : b lane by lane, for the masks of AVX comparisons. Written with bitwise operations:
// GCC turns _mm256_blendv_pd, under AVX without AVX2, into a test and a branch per lane.
inline __m256d select(__m256d m, __m256d a, __m256d b) {
    return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b));
}

// The 4 x 4 transpose of rows a0 .. a3: out[i] holds element i of each row, in row order.
inline void transpose4(__m256d a0, __m256d a1, __m256d a2, __m256d a3, __m256d* out) {
    const __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
    const __m256d t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
    out[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    out[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    out[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    out[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Stores arrays of V vectors, each into the array of 4 V doubles paired with it in order:
// the state of a register kernel as that of a kernel of plain lanes.
template <int V>
void spill(std::initializer_list<const __m256d*> from, std::initializer_list<double*> to) {
    auto t = to.begin();
    for (const __m256d* f : from) {
        for (int b = 0; b < V; ++b) _mm256_storeu_pd(*t + 4 * b, f[b]);
        ++t;
    }
}

}  // namespace fk
