"""A long table of daily NAVs (fund, date, nav) written as Parquet in bounded memory.

One row per fund and business day, sorted by fund and then date, as fund data usually sits
in a lake: fund labels as text ("F0000001"), dates as calendar days, NAVs as float64 from a
random walk, a few of them missing; with --ragged S a share S of the funds starts late and
another share S stops early, so that the funds do not all share one calendar. Funds are written a block at a time, one row group per block,
so memory stays near one block whatever the size of the table.

Run: python -m bench.long_table OUT --funds 10000 --days 2520 [--files N] [--ragged S]
  --files N splits the funds over N files in the folder OUT (a folder partitioned by fund);
  without it OUT is one file.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

FIRST_DAY = np.datetime64("2000-01-03")


def business_days(count: int) -> np.ndarray:
    """count weekdays from FIRST_DAY on, as datetime64[D]."""
    span = np.arange(FIRST_DAY, FIRST_DAY + np.timedelta64(count * 7 // 5 + 7, "D"))
    return span[np.is_busday(span)][:count]


def block(lo: int, hi: int, days: np.ndarray, ragged: float, seed: int) -> pa.Table:
    """The rows of funds lo..hi-1: each fund's own stretch of days, NAVs from 100."""
    rng = np.random.default_rng([seed, lo])
    count = len(days)
    width = hi - lo
    start = np.where(rng.random(width) < ragged, rng.integers(0, count // 2, width), 0)
    stop = np.where(rng.random(width) < ragged, rng.integers(count // 2, count, width), count)
    lengths = stop - start
    total = int(lengths.sum())
    fund_index = np.repeat(np.arange(lo, hi), lengths)
    offsets = np.repeat(np.cumsum(lengths) - lengths, lengths)
    day_index = np.arange(total) - offsets + np.repeat(start, lengths)
    steps = rng.normal(0.0003, 0.01, total)
    steps[offsets == np.arange(total)] = 0.0  # each fund starts at 100
    log_nav = np.cumsum(steps)
    # cumsum runs over all funds of the block: take each fund's own start off.
    log_nav -= np.repeat(log_nav[np.cumsum(lengths) - lengths], lengths)
    nav = 100.0 * np.exp(log_nav)
    nav[rng.random(total) < 0.001] = np.nan  # a missing value here and there
    labels = pa.array([f"F{i:07d}" for i in range(lo, hi)])
    return pa.table(
        {
            "fund": labels.take(pa.array(fund_index - lo)),
            "date": pa.array(days[day_index], type=pa.date32()),
            "nav": pa.array(nav, mask=np.isnan(nav)),
        }
    )


def write(
    out: Path, funds: int, days: int, files: int, per_group: int, ragged: float, seed: int
) -> None:
    dates = business_days(days)
    bounds = np.linspace(0, funds, files + 1).astype(int) if files else np.array([0, funds])
    if files:
        out.mkdir(parents=True, exist_ok=True)
    for k, (first, end) in enumerate(zip(bounds[:-1], bounds[1:])):
        target = out / f"part-{k:05d}.parquet" if files else out
        writer = None
        for lo in range(int(first), int(end), per_group):
            table = block(lo, min(lo + per_group, int(end)), dates, ragged, seed)
            if writer is None:
                writer = pq.ParquetWriter(target, table.schema, compression="snappy")
            writer.write_table(table, row_group_size=len(table))
        if writer is not None:
            writer.close()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out", type=Path)
    ap.add_argument("--funds", type=int, default=10_000)
    ap.add_argument("--days", type=int, default=2520)
    ap.add_argument("--files", type=int, default=0)
    ap.add_argument("--funds-per-group", type=int, default=500)
    ap.add_argument("--ragged", type=float, default=0.0)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    t0 = time.perf_counter()
    write(args.out, args.funds, args.days, args.files, args.funds_per_group, args.ragged, args.seed)
    size = sum(p.stat().st_size for p in ([args.out] if args.out.is_file() else args.out.iterdir()))
    print(
        f"{args.out}: {args.funds} funds x {args.days} days, {size / 1e6:.0f} MB,"
        f" {time.perf_counter() - t0:.0f} s"
    )


if __name__ == "__main__":
    main()
