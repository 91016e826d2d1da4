"""Where the fundkernels command spends its time, as medians and ratios of one run.

1. The shipped panel: the whole command against Python's start-up alone and against
   Python with the libraries the command imports (numpy, pyarrow's compute, CSV and Parquet
   modules; not pandas); the difference is the command's own work.
2. A 2520 x 5000 wide Parquet file of returns: the command's phases from --timings
   (reading, the matrix, the indicators, writing), as shares of the whole.
3. The command on such a file against doing it by hand, each a process of its own taken in
   turn: polars reads the file, its fund columns go to NumPy, and every indicator of the
   command's table runs once through the registry's kernel (the module call and the
   conversion of its result to columns); on a panel with no value missing, on both
   calendars (each fund then one module call on the own calendar too), and with 2% of the
   values missing on the panel calendar. Wall time, and the processes' CPU time beside it
   (steadier on a shared machine).

Run: .venv/bin/python -m bench.cli [--repeat N]
"""

import argparse
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from bench.calendar import cpu


def wall(cmd, cwd, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run(cmd, cwd=cwd, check=True, capture_output=True)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def phases(cmd, cwd, repeat):
    """Median seconds of each phase that --timings reports, and of the whole process."""
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        done = subprocess.run(cmd, cwd=cwd, check=True, capture_output=True, text=True)
        total = time.perf_counter() - t0
        line = next(x for x in done.stderr.splitlines() if x.startswith("timings: "))
        laps = {}
        for part in line.removeprefix("timings: ").split(", "):
            name, secs, _ = part.rsplit(" ", 2)
            laps[name] = float(secs)
        laps["process"] = total
        runs.append(laps)
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]}


# Doing it by hand: argv[1] the file, argv[2] the horizon of the command's default.
BY_HAND = r"""
import sys
import numpy as np
import polars as pl
from fundkernels._registry import INDICATORS, command_runs
table = pl.read_parquet(sys.argv[1])
values = table.drop("date").to_numpy()
dates = table["date"].to_numpy().astype("M8[ns]").view(np.int64)
funds = table.columns[1:]
for run in command_runs([sys.argv[2]], types="all"):
    INDICATORS[run.indicator].kernel(values, dates, funds, **run.options)
"""


def _children_cpu():
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def in_turn(cmds, cwd, repeat):
    """Median wall and CPU seconds of each command, the commands run in turn within each
    round."""
    took = {k: [] for k in cmds}
    cpu_took = {k: [] for k in cmds}
    for _ in range(repeat):
        for k, cmd in cmds.items():
            c0, t0 = _children_cpu(), time.perf_counter()
            subprocess.run(cmd, cwd=cwd, check=True, capture_output=True)
            took[k].append(time.perf_counter() - t0)
            cpu_took[k].append(_children_cpu() - c0)
    median = statistics.median
    return {k: (median(took[k]), median(cpu_took[k])) for k in cmds}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    n = ap.parse_args().repeat
    py = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        start = wall([py, "-c", "pass"], tmp, n)
        libs = wall(
            [py, "-c", "import numpy, pyarrow.compute, pyarrow.csv, pyarrow.parquet"], tmp, n
        )
        cmd = wall([py, "-m", "fundkernels", "-o", "out.csv"], tmp, n)
        print(f"shipped panel (819 x 30), medians of {n} runs on a shared machine:")
        print(f"  command / Python start-up:                 {cmd / start:6.1f}")
        print(f"  command / (start-up + imports):            {cmd / libs:6.2f}")
        print(f"  command's own work / (start-up + imports): {(cmd - libs) / libs:6.2f}")

        rng = np.random.default_rng(0)
        rows, funds = 2520, 5000
        values = rng.normal(0.0003, 0.01, (rows, funds))
        values[rng.random(values.shape) < 0.02] = np.nan
        dates = np.datetime64("2000-01-03") + np.arange(rows)
        table = pa.table({"date": dates, **{f"f{j}": values[:, j] for j in range(funds)}})
        path = Path(tmp) / "panel.parquet"
        pq.write_table(table, path)
        del table, values
        laps = phases(
            [py, "-m", "fundkernels", str(path), "-o", "out.parquet", "--timings"], tmp, n
        )
        total = laps.pop("process")
        print(
            f"\n{rows} x {funds} Parquet ({path.stat().st_size / 1e6:.0f} MB), medians of {n} runs:"
        )
        for name, secs in laps.items():
            print(f"  {name:<12} {secs / total:6.1%} of the process")
        read, gather, compute = laps["read"], laps["panel"], laps["indicators"]
        print(f"  reading / indicators: {read / compute:.1f}")
        print(f"  (reading + gather into the matrix) / indicators: {(read + gather) / compute:.1f}")

        full = Path(tmp) / "full.parquet"
        values = rng.normal(0.0003, 0.01, (rows, funds))
        pq.write_table(
            pa.table({"date": dates, **{f"f{j}": values[:, j] for j in range(funds)}}), full
        )
        del values
        cmds = {
            "by hand, none missing": [py, "-c", BY_HAND, str(full), "1Y"],
            "by hand, 2% missing": [py, "-c", BY_HAND, str(path), "1Y"],
        }
        for cal in ("own", "panel"):
            cmds[f"command {cal}, none missing"] = [
                py,
                "-m",
                "fundkernels",
                str(full),
                "-o",
                "out.parquet",
                "--calendar",
                cal,
            ]
        cmds["command panel, 2% missing"] = [
            py,
            "-m",
            "fundkernels",
            str(path),
            "-o",
            "out.parquet",
            "--calendar",
            "panel",
        ]
        took = in_turn(cmds, tmp, n)
        print(
            f"\nthe command over doing it by hand (polars read, NumPy, every indicator's"
            f" kernel), processes in turn, medians of {n}; {cpu()}:"
        )
        for key, (secs, cpu_secs) in took.items():
            if key.startswith("command"):
                hand, cpu_hand = took["by hand, " + key.split(", ")[1]]
                print(
                    f"  {key:<28} {secs:6.2f} s  by hand {hand:6.2f} s  ratio {secs / hand:5.2f}"
                    f"   CPU {cpu_secs:5.2f} s  by hand {cpu_hand:5.2f} s"
                    f"  ratio {cpu_secs / cpu_hand:5.2f}"
                )


if __name__ == "__main__":
    main()
