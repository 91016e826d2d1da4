"""Benchmark: each module against its NumPy peer and against one streaming read.

Prints, per indicator, shape and memory order, the median times and the ratios
module/floor and peer/module, all from one run. The floor is one streaming pass over
the same matrix (a sum), the least any indicator that reads every element must cost.
At the end: Fortran- against C-order time, and the speed-up from one core to all.
Before any timing, every case is checked against its plain-Python definition on a corner
of a small panel (the definitions are far too slow for whole panels); the peers are
checked against the module on every matrix they are timed on.

Run from the repository root: python -m bench.run
"""

import argparse
import os
import statistics
import time

import numpy as np

from bench.table import INDICATORS, VARIANTS, as_parts
from tests.references.crossodds import crossodds
from tests.references.extremeset import extremeset
from tests.references.horizonret import horizonret
from tests.references.streakset import streakset
from tests.references.troughmend import troughmend

REFERENCES = {f.__name__: f for f in (troughmend, crossodds, horizonret, extremeset, streakset)}

SHAPES = [(2520, 500), (2520, 5000), (10000, 2000), (10000, 5000)]


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def one_core_time(fn, repeat):
    """Median time with the process (and the workers it starts) held on one core."""
    cores = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cores)})
    try:
        return median_time(fn, repeat)
    finally:
        os.sched_setaffinity(0, cores)


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def check_definitions(cases, names, x):
    """Each case's module result on the matrix x equals its plain-Python definition."""
    for name in names:
        ind = cases[name]
        args = ind.args(x)
        got, want = ind.module(*args), REFERENCES[ind.name](*args)
        if not all(same(g, w) for g, w in zip(as_parts(got), as_parts(want))):
            raise SystemExit(f"{name}: the module disagrees with the plain-Python definition")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", nargs="*", help="indicator names (see bench/table.py)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--peer-repeat", type=int, default=1)
    ap.add_argument("--shapes", nargs="*", help="RxC, e.g. 2520x5000")
    ap.add_argument("--no-peer", action="store_true", help="skip the NumPy peers")
    opts = ap.parse_args()
    shapes = [tuple(map(int, s.split("x"))) for s in opts.shapes] if opts.shapes else SHAPES
    cases = {**INDICATORS, **VARIANTS}
    names = opts.only or list(cases)
    largest = max(shapes, key=lambda s: s[0] * s[1])
    rng = np.random.default_rng(7)
    cores = len(os.sched_getaffinity(0))
    small = np.random.default_rng(1)
    corner = small.normal(0.0003, 0.01, size=(300, 12))
    corner[small.random(corner.shape) < 0.01] = np.nan
    check_definitions(cases, names, corner)
    print(f"{cores} cores; times are medians of {opts.repeat} runs (peer: {opts.peer_repeat})\n")
    print(f"{'indicator':<15} {'shape':>11} {'order':>5} {'module s':>9} {'ns/elem':>8} "
          f"{'floor s':>8} {'peer s':>8} {'mod/floor':>9} {'peer/mod':>8}")
    module_times = {}
    speedups = {}
    for rows, cols in shapes:
        base = rng.normal(0.0003, 0.01, size=(rows, cols))
        base[rng.random(base.shape) < 0.01] = np.nan
        for order in ("C", "F"):
            x = np.asarray(base, order=order)
            floor = median_time(lambda: x.sum(), opts.repeat)
            for name in names:
                ind = cases[name]
                args = ind.args(x)
                got = ind.module(*args)
                t_mod = median_time(lambda: ind.module(*args), opts.repeat)
                module_times[name, rows, cols, order] = t_mod
                if (rows, cols) == largest and order == "C" and cores > 1:
                    speedups[name] = one_core_time(lambda: ind.module(*args), opts.repeat) / t_mod
                peer_s = ratio = "-"
                if not opts.no_peer:
                    want = ind.peer(*args)
                    t_peer = median_time(lambda: ind.peer(*args), opts.peer_repeat)
                    if not all(same(g, w) for g, w in zip(as_parts(got), as_parts(want))):
                        raise SystemExit(f"{name}: the NumPy peer disagrees with the module")
                    peer_s, ratio = f"{t_peer:.3f}", f"{t_peer / t_mod:.1f}"
                ns = 1e9 * t_mod / max(rows * cols, 1)
                print(f"{name:<15} {f'{rows}x{cols}':>11} {order:>5} {t_mod:9.4f} {ns:8.2f} "
                      f"{floor:8.4f} {peer_s:>8} {t_mod / floor:9.2f} {ratio:>8}", flush=True)
            del x
    print("\nFortran-order time / C-order time")
    for name in names:
        ratios = [module_times[name, r, c, "F"] / module_times[name, r, c, "C"] for r, c in shapes]
        print(f"{name:<15} " + "  ".join(f"{r}x{c}: {q:4.2f}" for (r, c), q in zip(shapes, ratios)))
    if speedups:
        print(f"\nSpeed-up from 1 core to {cores} at {largest[0]}x{largest[1]} (C order)")
        for name, s in speedups.items():
            print(f"{name:<15} {s:4.2f}x")


if __name__ == "__main__":
    main()
