"""Benchmark: each module against its NumPy peer and against one streaming read.

Prints median times and the ratios module/floor and peer/module, all from one run.
The floor is one streaming pass over the same matrix (a sum), the least any indicator
that reads every element must cost.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from table import INDICATORS, VARIANTS, as_parts  # noqa: E402

SHAPES = [(2520, 500), (2520, 5000), (10000, 2000)]


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", nargs="*", help="indicator names")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--peer-repeat", type=int, default=1)
    ap.add_argument("--shapes", nargs="*", help="RxC, e.g. 2520x5000")
    opts = ap.parse_args()
    shapes = [tuple(map(int, s.split("x"))) for s in opts.shapes] if opts.shapes else SHAPES
    cases = {**INDICATORS, **VARIANTS}
    names = opts.only or list(cases)
    rng = np.random.default_rng(7)
    print(f"{'indicator':<14} {'shape':>12} {'order':>5} {'module s':>9} {'floor s':>9} "
          f"{'peer s':>9} {'mod/floor':>9} {'peer/mod':>9}")
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
                want = ind.peer(*args)
                t_peer = median_time(lambda: ind.peer(*args), opts.peer_repeat)
                if not all(same(g, w) for g, w in zip(as_parts(got), as_parts(want))):
                    raise SystemExit(f"{name}: the NumPy peer disagrees with the module")
                print(f"{name:<14} {f'{rows}x{cols}':>12} {order:>5} {t_mod:9.4f} {floor:9.4f} "
                      f"{t_peer:9.4f} {t_mod / floor:9.2f} {t_peer / t_mod:9.1f}", flush=True)


if __name__ == "__main__":
    main()
