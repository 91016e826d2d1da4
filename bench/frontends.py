"""Benchmark: the front ends' own cost next to one direct module call and next to doing it
by hand.

For a panel of daily returns (2520 dates x 2000 funds by default) given as a pandas frame
with a DatetimeIndex, and as wide and long tables of pandas, polars and pyarrow, prints
the median time of each front end's call and its ratio to the module called directly on
the column-major float64 matrix the front ends hand over. What that ratio adds is the
front end's work: checks, date conversion, the gather (wide) or scatter (long) into that
matrix, and the labelled result.

A wide table is also set beside doing it by hand: the table's own conversion to NumPy
(pandas' and polars' ``to_numpy`` of the fund columns; pyarrow has none for a table, so
its columns' own conversions stacked by NumPy, as narwhals does) and the module call on
what it gives. Both calendars are timed ("own", the default, and "panel"; the panel has no
value missing, so on the own calendar too every fund is one module call, after a scan of
the values). The calls of one indicator are taken in turn within each round, so that a
busy minute on a shared machine slows them alike.
"""

import argparse
import statistics
import time

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

import fundkernels.frames as fkf
import fundkernels.pandas as fkp
from streakset import streakset
from troughmend import troughmend

from bench.calendar import cpu
from fk_references.calls import daily_dates

CALENDARS = ("own", "panel")


def _arrow_numpy(table, date):
    return np.column_stack([c.to_numpy() for c in table.drop_columns([date]).columns])


# Each wide table's own conversion of its fund columns and its dates to NumPy.
BY_HAND = {
    "pandas wide": (
        lambda t: t.drop(columns="date").to_numpy(dtype=np.float64),
        lambda t: t["date"].to_numpy().astype("M8[ns]").view(np.int64),
    ),
    "polars wide": (
        lambda t: t.drop("date").to_numpy(),
        lambda t: t["date"].to_numpy().astype("M8[ns]").view(np.int64),
    ),
    "pyarrow wide": (
        lambda t: _arrow_numpy(t, "date"),
        lambda t: t["date"].to_numpy().astype("M8[ns]").view(np.int64),
    ),
}


def in_turn(calls, rounds):
    """Median seconds of each call, the calls taken in turn within each round."""
    took = {k: [] for k in calls}
    for _ in range(rounds):
        for k, fn in calls.items():
            t0 = time.perf_counter()
            fn()
            took[k].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in took.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--shape", default="2520x2000", help="RxC")
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--no-long", action="store_true", help="wide tables only")
    opts = ap.parse_args()
    rows, cols = map(int, opts.shape.split("x"))
    rng = np.random.default_rng(3)
    values = np.asfortranarray(rng.normal(0.0003, 0.01, (rows, cols)))
    dates = daily_dates(rows)
    index = pd.DatetimeIndex(dates.astype("M8[ns]"), name="date")
    frame = pd.DataFrame(values, index=index, columns=[f"f{c}" for c in range(cols)])
    wide = frame.reset_index()
    inputs = {
        "pandas wide": wide,
        "polars wide": pl.from_pandas(wide),
        "pyarrow wide": pa.Table.from_pandas(wide, preserve_index=False),
    }
    if not opts.no_long:
        long = pd.DataFrame(
            {
                "fund": np.repeat(np.array(frame.columns, dtype=object), rows),
                "date": np.tile(index.to_numpy(), cols),
                "value": values.reshape(-1, order="F"),
            }
        ).sample(frac=1.0, random_state=1, ignore_index=True)  # rows in no order
        inputs.update(
            {
                "pandas long": long,
                "polars long": pl.from_pandas(long),
                "pyarrow long": pa.Table.from_pandas(long, preserve_index=False),
            }
        )
    print(
        f"{cpu()}; {rows} x {cols}, medians of {opts.repeat} rounds, calls in turn;"
        " /module: front end over the direct module call; /hand: over the table's own"
        " conversion to NumPy and the module call"
    )
    for name, module, takes_dates in [
        ("troughmend", troughmend, False),
        ("streakset", streakset, True),
    ]:
        front = getattr(fkp, name), getattr(fkf, name)

        def direct(x, d, module=module, takes_dates=takes_dates):
            return module(x, d) if takes_dates else module(x)

        calls = {"module": lambda: direct(values, dates)}
        for cal in CALENDARS:
            calls[f"fundkernels.pandas {cal}"] = lambda c=cal: front[0](frame, calendar=c)
        for label, table in inputs.items():
            if label in BY_HAND:
                to_values, to_dates = BY_HAND[label]
                calls[f"{label} hand"] = lambda t=table, v=to_values, d=to_dates: direct(v(t), d(t))
            kwargs = {"fund": "fund", "value": "value"} if "long" in label else {}
            for cal in CALENDARS:
                calls[f"{label} {cal}"] = lambda t=table, k=kwargs, c=cal: front[1](
                    t, **k, calendar=c
                )
        took = in_turn(calls, opts.repeat)
        base = took["module"]
        print(f"\n{name}: module {base * 1e3:.1f} ms")
        print(
            f"  {'front end':<30} {'own ms':>8} {'/module':>7} {'/hand':>6}  "
            f"{'panel ms':>8} {'/module':>7} {'/hand':>6}"
        )
        for label in ["fundkernels.pandas", *(f"frames, {k}" for k in inputs)]:
            key = label.removeprefix("frames, ")
            hand = took.get(f"{key} hand")
            line = f"  {label:<30}"
            for cal in CALENDARS:
                t = took[f"{key} {cal}"]
                over = f"{t / hand:6.2f}" if hand else f"{'':>6}"
                line += f" {t * 1e3:8.1f} {t / base:7.2f} {over} "
            if hand:
                line += f"  (by hand {hand * 1e3:.1f} ms)"
            print(line)


if __name__ == "__main__":
    main()
