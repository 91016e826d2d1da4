// Column-parallel fan-out: worker threads created for one call, joined before it returns.
//
// Worker t of n takes items t, t + n, t + 2n, ... (cyclic striding). n is the hardware
// concurrency capped at the item count, at least 1, and capped further so that every
// worker has at least a grain of work (see worker_count). Worker 0 runs on the calling
// thread, and threads are started for workers 1 .. n - 1 only: a stage of one worker starts
// no thread at all, and a small call pays nothing for threads. Workers share nothing
// writable but disjoint result slots, so joins are the only synchronisation. A worker never
// lets an exception escape; a thread that cannot be started stops the starting, and then
// the calling thread does not run its own worker either. Either way every started worker
// is joined first and only then is the failure raised on the calling thread, so no partial
// result reaches the caller. A worker's exception is raised as it was thrown, so it reaches
// Python as the same exception it would be on the calling thread (std::bad_alloc as
// MemoryError, std::length_error as ValueError, ...).
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace fk {

// Work that pays for one more worker, in element reads of a single-pass kernel (about
// 0.5 to 1 ns each on one core). Starting and joining a thread costs 10 to 25 us on a
// 2-core machine (bench/run.py measures it), and a second worker that saves less than that
// makes the call slower. The count never changes a result.
constexpr std::uint64_t grain = 65536;

// The hardware concurrency, asked once and at least 1 (the C++ library may answer 0): it
// reads it from a system file on every request, which would cost a small call several
// system calls per stage.
inline std::uint64_t hardware_threads() {
    static const std::uint64_t hw = std::max(1u, std::thread::hardware_concurrency());
    return hw;
}

// Workers for a stage of `items` items and about `work` element reads in all: the hardware
// concurrency, at most one per item and one per grain of work, at least 1.
inline std::uint64_t worker_count(std::uint64_t items, std::uint64_t work = ~std::uint64_t{0}) {
    const std::uint64_t hw = hardware_threads();
    const std::uint64_t n = std::min({hw, items, work / grain});
    return n == 0 ? 1 : n;
}

// Runs worker(t, n) for t = 0 .. n - 1, n = worker_count(items, work): worker 0 on the
// calling thread, the others on threads of their own. The worker walks its own items;
// per-worker scratch can live inside it.
template <class Worker>
void fan_out(std::uint64_t items, Worker&& worker, std::uint64_t work = ~std::uint64_t{0}) {
    const std::uint64_t n = worker_count(items, work);
    if (n == 1) {
        worker(std::uint64_t{0}, std::uint64_t{1});
        return;
    }
    std::vector<std::exception_ptr> failures(n);
    std::vector<std::thread> threads;
    threads.reserve(n - 1);
    std::exception_ptr start_failure;
    std::uint64_t started = 0;  // threads, for workers 1 .. started
    for (; started < n - 1; ++started) {
        try {
            threads.emplace_back([&worker, &failures, t = started + 1, n] {
                try {
                    worker(t, n);
                } catch (...) {
                    failures[t] = std::current_exception();
                }
            });
        } catch (...) {
            start_failure = std::current_exception();
            break;
        }
    }
    if (!start_failure) {
        try {
            worker(std::uint64_t{0}, n);
        } catch (...) {
            failures[0] = std::current_exception();
        }
    }
    for (auto& th : threads) th.join();
    if (start_failure) {
        try {
            std::rethrow_exception(start_failure);
        } catch (const std::bad_alloc&) {
            throw;  // no memory for the thread's state: MemoryError like any other
        } catch (const std::exception& e) {
            throw std::runtime_error("could not start worker thread " + std::to_string(started + 1) +
                                     " of " + std::to_string(n - 1) + ": " + e.what());
        }
    }
    for (auto& f : failures)
        if (f) std::rethrow_exception(f);
}

// The common case: one call of per_item(i) for every item, items striped over workers.
template <class PerItem>
void for_each_item(std::uint64_t items, PerItem&& per_item,
                   std::uint64_t work = ~std::uint64_t{0}) {
    fan_out(
        items,
        [&per_item, items](std::uint64_t t, std::uint64_t n) {
            for (std::uint64_t i = t; i < items; i += n) per_item(i);
        },
        work);
}

}  // namespace fk
