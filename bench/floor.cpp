// Floors for the benchmark, loaded through ctypes: one streaming read of a matrix on a
// given number of threads, and the cost of starting and joining idle threads. Built with
// the modules' flags, so that the read is vectorised the way their kernels are.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Sum of p[0 .. n) in eight independent lanes, which the compiler vectorises without
// reassociating anything.
double lane_sum(const double* p, std::int64_t n) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) acc[j] += p[i + j];
    double s = 0.0;
    for (; i < n; ++i) s += p[i];
    for (double a : acc) s += a;
    return s;
}

}  // namespace

extern "C" {

// Reads the n doubles at p once, split into `threads` contiguous stretches, one thread
// each, started and joined within the call as the modules' workers are.
double stream_sum(const double* p, std::int64_t n, int threads) {
    threads = std::max(threads, 1);
    std::vector<double> part(static_cast<std::size_t>(threads));
    std::vector<std::thread> ths;
    const std::int64_t per = (n + threads - 1) / threads;
    for (int t = 0; t < threads; ++t) {
        const std::int64_t lo = std::min(n, t * per), hi = std::min(n, lo + per);
        ths.emplace_back([&part, p, lo, hi, t] { part[t] = lane_sum(p + lo, hi - lo); });
    }
    for (auto& th : ths) th.join();
    double s = 0.0;
    for (double x : part) s += x;
    return s;
}

// Starts `threads` idle threads and joins them: timed from Python per call, as a module
// call is, its cost includes what a thread start costs between two interpreter steps
// (cold caches, a sleeping second core), which a tight loop of starts hides.
void start_join(int threads) {
    std::vector<std::thread> ths;
    for (int t = 0; t < threads; ++t) ths.emplace_back([] {});
    for (auto& th : ths) th.join();
}

// Median nanoseconds of starting `threads` idle threads and joining them, over `repeat`
// rounds.
double thread_start_ns(int threads, int repeat) {
    std::vector<double> ns;
    for (int k = 0; k < repeat; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> ths;
        for (int t = 0; t < threads; ++t) ths.emplace_back([] {});
        for (auto& th : ths) th.join();
        const auto t1 = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
    return ns[ns.size() / 2];
}
}
