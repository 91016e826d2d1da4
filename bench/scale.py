"""The command at scale: a long table of daily NAVs far larger than one task's memory
through --engine dask, against one read of the same table, with peak memory.

The table (bench/long_table.py; by default 100,000 funds x 5,040 business days, about
504 million rows and 4.3 GB of Parquet in 20 files, funds split between them) and a types
file (100 peer groups) are written into a scratch folder outside the repository once and
reused. In one run:

1. One read of the table by DuckDB (every column decoded; nothing kept), and one by
   pyarrow (the three columns, the fund column dictionary-encoded, as the command reads
   it), each with its wall and CPU time.
2. The command: --engine dask --navs --types, every indicator, a Parquet output, under
   /usr/bin/time -v (wall time, CPU time and maximum resident set size of the process).

Wall times on this shared machine move with its load (recorded before and after); CPU
times much less. How long the command's threads waited, runnable, for a CPU that other
processes held is recorded too (from /proc; with the share of samples they spent waiting
on the disk): on a loaded machine it, not reading or writing, is what stretches the wall
time far beyond the CPU time.

Run: python -m bench.scale --scratch DIR [--funds N] [--days N] [--calendar own|panel]
     [--record]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any, Callable

from bench.long import cpu, header, save, timed
from bench.long_table import write

GROUPS = 100
FILES = 20


def table(scratch: Path, funds: int, days: int) -> tuple[Path, Path]:
    folder = scratch / f"navs_{funds}x{days}"
    if not folder.exists():
        part = scratch / f".navs_{funds}x{days}.partial"
        write(part, funds, days, files=FILES, per_group=500, ragged=0.0, seed=0)
        part.rename(folder)
    types = scratch / f"types_{funds}.csv"
    if not types.exists():
        types.write_text("fund,type\n" + "".join(f"F{i:07d},g{i % GROUPS}\n" for i in range(funds)))
    return folder, types


def measured(read: Callable[[], Any]) -> dict[str, float]:
    """Wall and CPU seconds (all threads of this process) of one read."""
    t0, c0 = time.perf_counter(), time.process_time()
    read()
    return {"wall_s": time.perf_counter() - t0, "cpu_s": time.process_time() - c0}


def reads(folder: Path) -> dict[str, dict[str, float]]:
    """One read of every column of the table by DuckDB, then one by pyarrow."""
    import duckdb
    import pyarrow.dataset as ds

    con = duckdb.connect()
    query = (
        f"SELECT count(*), max(length(fund)), max(date), sum(nav)"
        f" FROM read_parquet('{folder}/*.parquet')"
    )
    fmt = ds.ParquetFileFormat(read_options=ds.ParquetReadOptions(dictionary_columns=["fund"]))

    def arrow() -> None:
        for batch in ds.dataset(str(folder), format=fmt).to_batches():
            del batch  # decoded, not kept

    return {
        "duckdb": measured(lambda: con.sql(query).fetchall()),
        "pyarrow": measured(arrow),
    }


def command(folder: Path, types: Path, out: Path, calendar: str) -> dict[str, Any]:
    return timed(
        [sys.executable, "-m", "fundkernels", str(folder), "--engine", "dask", "--fund",
         "fund", "--date", "date", "--value", "nav", "--navs", "--types", str(types),
         "--calendar", calendar, "--timings", "-o", str(out)],
        out.parent,
    )  # fmt: skip


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scratch", type=Path, required=True)
    ap.add_argument("--funds", type=int, default=100_000)
    ap.add_argument("--days", type=int, default=5040)
    ap.add_argument("--calendar", choices=("own", "panel"), default="own")
    ap.add_argument("--record", action="store_true", help="write bench/results/scale/*.json")
    args = ap.parse_args()
    args.scratch.mkdir(parents=True, exist_ok=True)
    folder, types = table(args.scratch, args.funds, args.days)
    size = sum(p.stat().st_size for p in folder.iterdir())
    print(f"{folder}: {args.funds} funds x {args.days} days, {size / 1e9:.2f} GB; {cpu()}")
    load = os.getloadavg()
    read = reads(folder)
    for name, got in read.items():
        print(f"one read by {name}: {got['wall_s']:.1f} s wall, {got['cpu_s']:.1f} s CPU")
    run = command(folder, types, args.scratch / "indicators.parquet", args.calendar)
    base = read["duckdb"]
    ratios = {
        "wall_over_duckdb": run["wall_s"] / base["wall_s"],
        "cpu_over_duckdb": run["cpu_s"] / base["cpu_s"],
        "wall_over_pyarrow": run["wall_s"] / read["pyarrow"]["wall_s"],
    }
    print(f"command (--engine dask, --calendar {args.calendar}): {run['wall_s']:.1f} s wall"
          f" ({ratios['wall_over_duckdb']:.2f} x DuckDB's read), {run['cpu_s']:.1f} s CPU"
          f" ({ratios['cpu_over_duckdb']:.2f} x); maximum resident set"
          f" {run['max_rss_mb'] / 1024:.2f} GB (/usr/bin/time -v)")  # fmt: skip
    print(f"  phases: {run['phases']}; its threads waited {run['waiting_for_cpu_s']:.0f} s"
          f" for a CPU held by other processes, {100 * run['disk_wait_share']:.1f}% of"
          " samples on the disk")  # fmt: skip
    if args.record:
        record = {
            **header(),
            "load_before": list(load),
            "load_after": list(os.getloadavg()),
            "table": {
                "funds": args.funds,
                "days": args.days,
                "rows": args.funds * args.days,
                "parquet_gb": size / 1e9,
                "files": FILES,
                "groups": GROUPS,
            },  # fmt: skip
            "calendar": args.calendar,
            "reads": read,
            "command": run,
            **ratios,
        }
        print(f"record: {save(record, 'scale').relative_to(Path(__file__).parents[1])}")


if __name__ == "__main__":
    main()
