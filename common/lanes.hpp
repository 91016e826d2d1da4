// Lane-wise helpers for the kernels written with AVX intrinsics.
#pragma once

#include <immintrin.h>

namespace fk {

// m ? a : b lane by lane, for the masks of AVX comparisons. Written with bitwise operations:
// GCC turns _mm256_blendv_pd, under AVX without AVX2, into a test and a branch per lane.
inline __m256d select(__m256d m, __m256d a, __m256d b) {
    return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b));
}

}  // namespace fk
