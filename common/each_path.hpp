// The kernels of a module, once per instruction set. A module defines FK_KERNELS, the
// header holding its kernels, and includes this file once; each build of the kernels lands
// in a namespace of its own (fk::path_baseline, fk::path_avx2, fk::path_avx512, internal to
// the module) with Wide,
// its widest lane type, and the walks of blocks.hpp beside it. Everything a kernel header
// includes must already be included (paths.hpp includes the usual ones), since the header
// is read inside a namespace.
//
// FK_AVX is 1 while the AVX and AVX-512 builds are read, for the few lines written with
// AVX intrinsics directly; FK_AVX512 likewise while the AVX-512 build is read.
#ifndef FK_KERNELS
#error "FK_KERNELS names the header of the module's kernels"
#endif

#include "paths.hpp"

namespace fk {
namespace {  // internal to the module
namespace path_baseline {
struct tag {
    static constexpr Path path = Path::baseline;
};
using Wide = Lanes<2>;
#define FK_AVX512 0
#define FK_AVX 0
#include "blocks.hpp"
#include FK_KERNELS
#undef FK_AVX
#undef FK_AVX512
}  // namespace path_baseline
}  // namespace
}  // namespace fk

#if FK_WIDE_PATHS

#pragma GCC push_options
#pragma GCC target("avx2")
namespace fk {
namespace {  // internal to the module
namespace path_avx2 {
struct tag {
    static constexpr Path path = Path::avx2;
};
using Wide = Lanes<4>;
#define FK_AVX512 0
#define FK_AVX 1
#include "blocks.hpp"
#include FK_KERNELS
#undef FK_AVX
#undef FK_AVX512
}  // namespace path_avx2
}  // namespace
}  // namespace fk
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,avx512bw,avx2")
namespace fk {
namespace {  // internal to the module
namespace path_avx512 {
struct tag {
    static constexpr Path path = Path::avx512;
};
using Wide = Lanes<8>;
#define FK_AVX512 1
#define FK_AVX 1
#include "blocks.hpp"
#include FK_KERNELS
#undef FK_AVX
#undef FK_AVX512
}  // namespace path_avx512
}  // namespace
}  // namespace fk
#pragma GCC pop_options

#endif  // FK_WIDE_PATHS

namespace fk {

template <class F>
decltype(auto) on_path(F&& f) {
#if FK_WIDE_PATHS
    switch (path_in_use()) {
        case Path::avx512:
            return f(path_avx512::tag{});
        case Path::avx2:
            return f(path_avx2::tag{});
        default:
            break;
    }
#endif
    return f(path_baseline::tag{});
}

}  // namespace fk

namespace fk {

// A module's private functions about its paths, named like Python's own hooks so that they
// stay out of its surface: __fk_path__() names the path its calls take. A build for the
// test suite (FK_TEST_DISPATCH) also has __fk_use_path__(name), which makes the calls take
// another path the CPU runs, so that the suite can compare every path's bits.
inline void def_path_functions(py::module_& m) {
    m.def("__fk_path__", [] { return std::string(path_name(path_in_use())); },
          "The instruction set this module's kernels run with on this CPU");
#ifdef FK_TEST_DISPATCH
    m.def(
        "__fk_use_path__",
        [](const std::string& name) {
            for (Path p : {Path::baseline, Path::avx2, Path::avx512}) {
                if (name != path_name(p)) continue;
                if (!cpu_runs(p)) throw py::value_error("this CPU cannot run the " + name + " path");
                path_in_use() = p;
                return;
            }
            throw py::value_error("no path named '" + name + "': baseline, avx2 or avx512");
        },
        "Test builds only: make this module's calls take the named path");
#endif
}

}  // namespace fk
