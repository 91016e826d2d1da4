"""The command at scale: a long table of daily NAVs far larger than one task's memory
through --engine dask, against one read of the same table, with peak memory.

The table (bench/long_table.py; by default 100,000 funds x 5,040 business days, about
504 million rows and 4.3 GB of Parquet in 20 files, funds split between them) and a types
file (100 peer groups) are written into a scratch folder outside the repository once and
reused. In one run:

1. One read of the table by DuckDB (every column decoded; nothing kept).
2. The command: --engine dask --navs --types, every indicator, a Parquet output, under
   /usr/bin/time -v (wall time and maximum resident set size of the process).

Run: python -m bench.scale --scratch DIR [--funds N] [--days N] [--record]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from bench.long import HERE, commit, cpu
from bench.long_table import write

GROUPS = 100


def table(scratch: Path, funds: int, days: int) -> tuple[Path, Path]:
    folder = scratch / f"navs_{funds}x{days}"
    if not folder.exists():
        part = scratch / f".navs_{funds}x{days}.partial"
        write(part, funds, days, files=20, per_group=500, ragged=0.0, seed=0)
        part.rename(folder)
    types = scratch / f"types_{funds}.csv"
    if not types.exists():
        types.write_text("fund,type\n" + "".join(f"F{i:07d},g{i % GROUPS}\n" for i in range(funds)))
    return folder, types


def duckdb_read(folder: Path) -> float:
    """Seconds for DuckDB to read every column of the table once."""
    import duckdb

    con = duckdb.connect()
    t0 = time.perf_counter()
    con.sql(
        f"SELECT count(*), max(length(fund)), max(date), sum(nav)"
        f" FROM read_parquet('{folder}/*.parquet')"
    ).fetchall()
    return time.perf_counter() - t0


def command(folder: Path, types: Path, out: Path) -> dict[str, float]:
    done = subprocess.run(
        ["/usr/bin/time", "-v", sys.executable, "-m", "fundkernels", str(folder),
         "--engine", "dask", "--fund", "fund", "--date", "date", "--value", "nav", "--navs",
         "--types", str(types), "--timings", "-o", str(out)],
        capture_output=True, text=True, cwd=out.parent,
    )  # fmt: skip
    if done.returncode:
        raise SystemExit(done.stderr[-3000:])
    found: dict[str, float] = {}
    for line in done.stderr.splitlines():
        line = line.strip()
        if line.startswith("Maximum resident set size (kbytes):"):
            found["max_rss_gb"] = int(line.rsplit(":", 1)[1]) / 1024**2
        elif line.startswith("Elapsed (wall clock) time"):
            clock = line.rsplit(" ", 1)[1].split(":")
            found["wall_s"] = sum(float(x) * 60**i for i, x in enumerate(reversed(clock)))
        elif line.startswith("timings: "):
            found["timings"] = line.removeprefix("timings: ")  # type: ignore[assignment]
    return found


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scratch", type=Path, required=True)
    ap.add_argument("--funds", type=int, default=100_000)
    ap.add_argument("--days", type=int, default=5040)
    ap.add_argument("--record", action="store_true", help="write bench/results/scale/*.json")
    args = ap.parse_args()
    args.scratch.mkdir(parents=True, exist_ok=True)
    folder, types = table(args.scratch, args.funds, args.days)
    size = sum(p.stat().st_size for p in folder.iterdir())
    print(f"{folder}: {args.funds} funds x {args.days} days, {size / 1e9:.2f} GB; {cpu()}")
    load = os.getloadavg()
    read = duckdb_read(folder)
    print(f"one read by DuckDB: {read:.1f} s")
    run = command(folder, types, args.scratch / "indicators.parquet")
    print(f"command (--engine dask): {run['wall_s']:.1f} s, {run['wall_s'] / read:.2f} x the read;"
          f" maximum resident set {run['max_rss_gb']:.2f} GB (/usr/bin/time -v)")  # fmt: skip
    print(f"  {run.get('timings', '')}")
    if args.record:
        record = {
            "commit": commit(),
            "when": datetime.now(timezone.utc).isoformat(timespec="seconds"),
            "machine": {"cpu": cpu(), "cores": os.cpu_count()},
            "load_before": list(load),
            "load_after": list(os.getloadavg()),
            "table": {
                "funds": args.funds,
                "days": args.days,
                "rows": args.funds * args.days,
                "parquet_gb": size / 1e9,
                "files": 20,
                "groups": GROUPS,
            },  # fmt: skip
            "duckdb_read_s": read,
            "command": run,
            "command_over_read": run["wall_s"] / read,
        }
        target = HERE / "results" / "scale"
        target.mkdir(parents=True, exist_ok=True)
        stamp = record["when"].replace(":", "").replace("-", "")[:15]
        path = target / f"{stamp}-{record['commit']}.json"
        path.write_text(json.dumps(record, indent=1) + "\n")
        print(f"record: {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
