"""Benchmark: each fund on its own dates (calendar="own") next to the panel's dates.

For a panel of daily returns (2520 dates x 5000 funds by default) as a pandas frame,
prints the median time of every indicator through fundkernels.pandas on the own calendar
and on the panel calendar, and their ratio, for three panels: no value missing; 1% of
the values missing at random (every fund has gaps, and no two funds the same); funds on
three exchanges, each closed on holidays of its own (about 2% of the dates), which the
panel of all dates shows as missing values. The two calendars alternate call by call, so
that a busy minute slows both. Beside the elapsed time, the CPU time of the call (all its
threads): on a machine that other work keeps busy it says more about the work itself.
"""

import argparse
import statistics
import time
from pathlib import Path

import numpy as np
import pandas as pd

import fundkernels.pandas as fkp
from fk_references.calls import daily_dates

CALLS = {
    "troughmend": lambda f, c: fkp.troughmend(f, calendar=c),
    "troughmend details": lambda f, c: fkp.troughmend(f, details=True, calendar=c),
    "horizonret 1Y": lambda f, c: fkp.horizonret(f, "1Y", calendar=c),
    "extremeset": lambda f, c: fkp.extremeset(f, calendar=c),
    "streakset": lambda f, c: fkp.streakset(f, calendar=c),
    "summary": lambda f, c: fkp.summary(f, calendar=c),
}


def cpu() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


def panels(rows, cols, seed=3):
    rng = np.random.default_rng(seed)
    values = np.asfortranarray(rng.normal(0.0003, 0.01, (rows, cols)))
    index = pd.DatetimeIndex(daily_dates(rows).astype("M8[ns]"), name="date")
    funds = [f"f{c}" for c in range(cols)]
    full = pd.DataFrame(values, index=index, columns=funds)
    gaps = values.copy(order="F")
    gaps[rng.random((rows, cols)) < 0.01] = np.nan
    exchanges = values.copy(order="F")
    closed = rng.random((3, rows)) < 0.02
    exchanges[closed[rng.integers(0, 3, cols)].T] = np.nan
    return {
        "no value missing": full,
        "1% missing at random": pd.DataFrame(gaps, index=index, columns=funds),
        "three exchanges": pd.DataFrame(exchanges, index=index, columns=funds),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--shape", default="2520x5000", help="RxC")
    ap.add_argument("--repeat", type=int, default=5)
    opts = ap.parse_args()
    rows, cols = map(int, opts.shape.split("x"))
    print(f"{cpu()}; {rows} x {cols}; medians of {opts.repeat}; ratio = own / panel")
    for label, frame in panels(rows, cols).items():
        print(f"\n{label}")
        for name, call in CALLS.items():
            took = {"own": [], "panel": []}
            cpu_took = {"own": [], "panel": []}
            for _ in range(opts.repeat):
                for calendar in took:
                    t0, c0 = time.perf_counter(), time.process_time()
                    call(frame, calendar)
                    took[calendar].append(time.perf_counter() - t0)
                    cpu_took[calendar].append(time.process_time() - c0)
            own, panel = (statistics.median(took[c]) for c in ("own", "panel"))
            cpu_own, cpu_panel = (statistics.median(cpu_took[c]) for c in ("own", "panel"))
            print(
                f"  {name:20s} own {own * 1e3:8.1f} ms  panel {panel * 1e3:8.1f} ms"
                f"  ratio {own / panel:5.2f}   CPU own {cpu_own * 1e3:8.1f} ms"
                f"  panel {cpu_panel * 1e3:8.1f} ms  ratio {cpu_own / cpu_panel:5.2f}"
            )


if __name__ == "__main__":
    main()
