"""Benchmark: the front ends' own cost next to one direct module call.

For a panel of daily returns (2520 dates x 2000 funds by default) given as a pandas frame
with a DatetimeIndex, and as wide and long tables of pandas, polars and pyarrow, prints
the median time of each front end's call and its ratio to the module called directly on
the column-major float64 matrix the front ends hand over. What the ratio adds is the front
end's work: checks, date conversion, the gather (wide) or scatter (long) into that matrix,
and the labelled result.
"""

import argparse

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

import fundkernels.frames as fkf
import fundkernels.pandas as fkp
from streakset import streakset
from troughmend import troughmend

from bench.run import median_time
from fk_references.calls import daily_dates


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--shape", default="2520x2000", help="RxC")
    ap.add_argument("--repeat", type=int, default=7)
    opts = ap.parse_args()
    rows, cols = map(int, opts.shape.split("x"))
    rng = np.random.default_rng(3)
    values = np.asfortranarray(rng.normal(0.0003, 0.01, (rows, cols)))
    dates = daily_dates(rows)
    index = pd.DatetimeIndex(dates.astype("M8[ns]"), name="date")
    frame = pd.DataFrame(values, index=index, columns=[f"f{c}" for c in range(cols)])
    wide = frame.reset_index()
    long = pd.DataFrame(
        {
            "fund": np.repeat(np.array(frame.columns, dtype=object), rows),
            "date": np.tile(index.to_numpy(), cols),
            "value": values.reshape(-1, order="F"),
        }
    ).sample(frac=1.0, random_state=1, ignore_index=True)  # rows in no order
    inputs = {
        "pandas wide": wide,
        "polars wide": pl.from_pandas(wide),
        "pyarrow wide": pa.Table.from_pandas(wide, preserve_index=False),
        "pandas long": long,
        "polars long": pl.from_pandas(long),
        "pyarrow long": pa.Table.from_pandas(long, preserve_index=False),
    }
    print(f"{rows} x {cols}, medians of {opts.repeat}; ratio = front end / direct module call")
    for name, module, front, extra in [
        ("troughmend", lambda: troughmend(values), "troughmend", {}),
        ("streakset", lambda: streakset(values, dates), "streakset", {}),
    ]:
        base = median_time(module, opts.repeat)
        print(f"\n{name}: module {base * 1e3:.1f} ms")
        t = median_time(lambda: getattr(fkp, front)(frame, **extra), opts.repeat)
        print(f"  {'fundkernels.pandas':<22} {t * 1e3:8.1f} ms  {t / base:5.2f}")
        for label, table in inputs.items():
            kwargs = {"fund": "fund", "value": "value"} if "long" in label else {}
            t = median_time(lambda: getattr(fkf, front)(table, **kwargs, **extra), opts.repeat)
            print(f"  {'frames, ' + label:<22} {t * 1e3:8.1f} ms  {t / base:5.2f}")


if __name__ == "__main__":
    main()
