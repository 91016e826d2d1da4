"""Calls from many Python threads at once."""

import sys
import threading
import time

import numpy as np
import pytest

from helpers import assert_same_parts, awkward_matrix
from bench.table import INDICATORS, as_parts

NAMES = sorted(INDICATORS)
N_THREADS = 8


def run_threads(jobs):
    """Runs each job on its own thread, all released together; returns their results."""
    results = [None] * len(jobs)
    errors = []
    start = threading.Barrier(len(jobs))

    def run(k):
        start.wait()
        try:
            results[k] = jobs[k]()
        except BaseException as e:  # reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def job(name, seed, repeat=4):
    ind = INDICATORS[name]
    args = ind.args(awkward_matrix(np.random.default_rng(seed), 40 + seed, 9 + seed))
    return lambda: [as_parts(ind.module(*args)) for _ in range(repeat)]


@pytest.mark.parametrize("name", NAMES)
def test_threads_calling_one_function_get_sequential_results(name):
    jobs = [job(name, seed) for seed in range(N_THREADS)]
    sequential = [j() for j in jobs]
    for got, want in zip(run_threads(jobs), sequential):
        for g, w in zip(got, want):
            assert_same_parts(g, w)


def test_threads_calling_every_function_get_sequential_results():
    jobs = [job(name, seed) for seed in range(2) for name in NAMES]
    sequential = [j() for j in jobs]
    for got, want in zip(run_threads(jobs), sequential):
        for g, w in zip(got, want):
            assert_same_parts(g, w)


@pytest.mark.parametrize("name", NAMES)
def test_call_holds_the_interpreter_lock(name):
    # A Python thread that only counts can run while the call runs only if the call
    # releases the interpreter lock. Stamps near the call's ends may come from the
    # moments before and after it, so only the middle of the call is inspected.
    ind = INDICATORS[name]
    row = awkward_matrix(np.random.default_rng(6), 1, 4000)
    rows = 2000
    while True:  # a broadcast matrix: work without memory, grown until the call is long
        args = ind.args(np.broadcast_to(row, (rows, row.shape[1])))
        took = []
        for _ in range(2):  # the faster of two, so that one slowed call does not decide
            t0 = time.perf_counter()
            ind.module(*args)
            took.append(time.perf_counter() - t0)
        if min(took) > 0.1 or rows > 50_000:  # dates end before 2262
            break
        rows *= 2

    def watched_call():
        stamps = []
        stop = threading.Event()

        def count():
            while not stop.is_set():
                stamps.append(time.perf_counter())

        old = sys.getswitchinterval()
        sys.setswitchinterval(0.001)
        t = threading.Thread(target=count)
        t.start()
        try:
            while not stamps:
                time.sleep(0.001)
            t0 = time.perf_counter()
            ind.module(*args)
            t1 = time.perf_counter()
            while stamps[-1] <= t1 and time.perf_counter() < t1 + 10:
                time.sleep(0.001)  # let the counter show that it runs when given the lock
        finally:
            stop.set()
            t.join()
            sys.setswitchinterval(old)
        return stamps, t0, t1

    # On a loaded machine the sizing call may be slowed more than the watched one: a watched
    # call too short to tell is taken again (it says nothing about the lock either way).
    for _ in range(5):
        stamps, t0, t1 = watched_call()
        if t1 - t0 > 0.05:
            break
    margin = 0.25 * (t1 - t0)
    assert t1 - t0 > 0.05, "the call is too short to tell"
    assert [s for s in stamps if t0 + margin < s < t1 - margin] == []
    assert any(s > t1 for s in stamps)  # the counter did run, just not during the call
