"""Calls from many Python threads at once."""

import sys
import threading
import time

import numpy as np
import pytest

from helpers import assert_same_parts, awkward_matrix
from fk_references.cases import INDICATORS, as_parts

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
    # A thread counts, giving up the lock between steps, while the switch interval is
    # too long for the interpreter ever to take the lock from the main thread. The count
    # can then move between two reads on the main thread only if something between them
    # releases the lock: the calls must not let it move, a sleep must. Counts, not times:
    # a slow machine can only make the counter move less, never make the calls fail.
    ind = INDICATORS[name]
    row = awkward_matrix(np.random.default_rng(6), 1, 4000)
    # A broadcast matrix: work without memory, several milliseconds per call.
    args = ind.args(np.broadcast_to(row, (5000, row.shape[1])))
    count = [0]
    running = threading.Event()
    stop = threading.Event()

    def counter():
        running.set()
        # Waits without the lock between steps, long enough for the main thread to take
        # it: the main thread never waits for a switch.
        while not stop.wait(0.0002):
            count[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    t = threading.Thread(target=counter)
    t.start()
    try:
        running.wait()
        before = count[0]
        for _ in range(3):
            ind.module(*args)
        during_calls = count[0] - before
        before = count[0]
        for _ in range(10_000):  # up to 10 s, on the busiest machine
            time.sleep(0.001)
            if count[0] != before:
                break
        during_sleep = count[0] - before
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    assert during_calls == 0, f"the counter ran {during_calls} steps during the calls"
    assert during_sleep > 0  # the counter runs whenever the lock is free
