// The instruction sets a module's kernels are built for, and the one its calls take.
//
// Every module carries its kernels three times: for any x86-64 (SSE2), for AVX2 and for
// AVX-512 (each_path.hpp builds them). The rest of a module, the frame included, is built
// for any x86-64, so that the module imports everywhere; the first call asks the CPU what
// it has and takes the widest path it can run. Every path gives the same bits.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fanout.hpp"
#include "frame.hpp"
#include "simd.hpp"

namespace fk {

enum class Path { baseline, avx2, avx512 };

inline const char* path_name(Path p) {
    return p == Path::avx512 ? "avx512" : p == Path::avx2 ? "avx2" : "baseline";
}

// Whether this module has path p and this CPU (and its operating system, which must save
// the wider registers) runs it.
inline bool cpu_runs(Path p) {
    if (!FK_WIDE_PATHS) return p == Path::baseline;
    __builtin_cpu_init();
    switch (p) {
        case Path::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx2");
        case Path::avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
}

// The path this module's calls take: the widest the CPU runs, found at the first call.
inline Path& path_in_use() {
    static Path p = cpu_runs(Path::avx512) ? Path::avx512
                    : cpu_runs(Path::avx2) ? Path::avx2
                                           : Path::baseline;
    return p;
}

// Calls f with the namespace tag of the path in use: f(path_baseline::tag{}) and so on,
// each tag naming its path's kernels (see each_path.hpp).
template <class F>
decltype(auto) on_path(F&& f);

}  // namespace fk
