"""The shared selection (common/select.hpp) on its own: median ns per value by size and family.

    python -m bench.select [--sizes 17,500,...] [--out PATH]

Needs the test-only extension fundkernels._test_selection (`make bench` and `make test`
install it). Two entries of the header: the median with the count of valid values given
(horizonret's way) and the one that counts them on its way (crossodds'). Each figure is the
median of 31 short timings of repeated calls over the same values, in ns per value; NumPy's
median of the same values is the yardstick. The record goes to
bench/results/selection/<time>-<commit>.json with the CPU and the load.
"""

import argparse
import json
import os
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

from bench.run import commit, machine

HERE = Path(__file__).resolve().parent

SIZES = [8, 16, 17, 32, 64, 128, 256, 500, 1024, 2047, 2048, 4096, 10_000, 100_000]

# Families of values as a group of funds or a window of returns may hold them.
FAMILIES = {
    "normal": lambda rng, n: rng.standard_normal(n),
    "10% NaN": lambda rng, n: np.where(rng.random(n) < 0.1, np.nan, rng.standard_normal(n)),
    "one far value": lambda rng, n: np.concatenate([rng.standard_normal(n - 1), [1e6]]),
    "60% stale": lambda rng, n: np.where(rng.random(n) < 0.6, 0.0, rng.standard_normal(n)),
    "90% stale": lambda rng, n: np.where(rng.random(n) < 0.9, 0.0, rng.standard_normal(n)),
    "five values": lambda rng, n: rng.integers(-2, 3, n).astype(float),
}


def per_value(call, n, budget=0.0003, timings=31):
    """Median ns per value of call(repeat), repeat sized so that one timing takes about
    `budget` seconds: short timings, many of them, so that on a shared machine most fall
    between two preemptions."""
    repeat = 1
    while True:
        t0 = time.perf_counter()
        call(repeat)
        took = time.perf_counter() - t0
        if took >= budget or repeat >= 1 << 20:
            break
        repeat *= 2
    runs = []
    for _ in range(timings):
        t0 = time.perf_counter_ns()
        call(repeat)
        runs.append((time.perf_counter_ns() - t0) / repeat / n)
    return float(np.median(runs))


def main():
    from fundkernels import _test_selection as sel

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", help="comma-separated value counts")
    ap.add_argument("--out", help="record file")
    opts = ap.parse_args()
    sizes = [int(s) for s in opts.sizes.split(",")] if opts.sizes else SIZES
    rows = []
    print(f"{'family':<14} {'values':>7} {'given':>7} {'counted':>8} {'numpy':>7}  ns per value")
    for family, make in FAMILIES.items():
        for n in sizes:
            x = make(np.random.default_rng(n), n)
            valid = x[~np.isnan(x)]
            want = np.median(valid)
            assert sel.median(x) == want and sel.median(x, counted=True) == want, (family, n)
            given = per_value(lambda r, x=x: sel.median_repeated(x, False, r), n)
            counted = per_value(lambda r, x=x: sel.median_repeated(x, True, r), n)

            def numpy_median(r, x=x):
                for _ in range(r):
                    np.median(x[~np.isnan(x)])

            yardstick = per_value(numpy_median, n)
            rows.append(
                {
                    "family": family,
                    "values": n,
                    "given_ns": given,
                    "counted_ns": counted,
                    "numpy_ns": yardstick,
                }
            )
            print(f"{family:<14} {n:>7} {given:>7.2f} {counted:>8.2f} {yardstick:>7.2f}")
    record = {
        "when": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "commit": commit(),
        "machine": machine(),
        "load": list(os.getloadavg()),
        "rows": rows,
    }
    out = (
        Path(opts.out)
        if opts.out
        else (
            HERE
            / "results"
            / "selection"
            / f"{record['when'][:19].replace(':', '')}-{record['commit'] or 'nocommit'}.json"
        )
    )
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(record, indent=1) + "\n")
    print(f"CPU {record['machine']['cpu']}, load {record['load'][0]:.1f}; record: {out}")


if __name__ == "__main__":
    main()
