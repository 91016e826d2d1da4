"""A long table of daily NAVs to the matrix: the gather against one read of the table, and
the command's phases and peak memory on it, as medians and ratios of one run.

The table (bench/long_table.py: 10,000 funds x 2,520 days, 25.2 million rows, about 215 MB
of Parquet) is written into a scratch folder outside the repository once and reused.

1. In this process, alternately: reading the table as the command does (pyarrow, the fund
   column dictionary-encoded) and gathering its three columns into the matrix.
2. The command on it (--navs, every indicator, a Parquet output) in a child process under
   /usr/bin/time -v: its phases (--timings) and its maximum resident set size.

Run: python -m bench.long [--scratch DIR] [--repeat N] [--record]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

import pyarrow.parquet as pq

from bench.long_table import write

HERE = Path(__file__).resolve().parent
FUNDS, DAYS = 10_000, 2520


def cpu() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def commit() -> str:
    done = subprocess.run(
        ["git", "rev-parse", "--short=12", "HEAD"], cwd=HERE, capture_output=True, text=True
    )
    return done.stdout.strip() or "unknown"


def table_file(scratch: Path, funds: int, days: int) -> Path:
    path = scratch / f"navs_{funds}x{days}.parquet"
    if not path.exists():
        scratch.mkdir(parents=True, exist_ok=True)
        part = path.with_suffix(".partial")
        write(part, funds, days, files=0, per_group=500, ragged=0.0, seed=0)
        part.rename(path)
    return path


def in_process(path: Path, repeat: int) -> dict[str, float]:
    from fundkernels._gather import gather

    reads, gathers, read_cpu, gather_cpu = [], [], [], []
    for _ in range(repeat):
        c0, t0 = time.process_time(), time.perf_counter()
        table = pq.read_table(path, read_dictionary=["fund"], pre_buffer=False)
        c1, t1 = time.process_time(), time.perf_counter()
        got = gather(table.column("fund"), table.column("date"), table.column("nav"))
        c2, t2 = time.process_time(), time.perf_counter()
        reads.append(t1 - t0)
        gathers.append(t2 - t1)
        read_cpu.append(c1 - c0)
        gather_cpu.append(c2 - c1)
        del table, got
    read, gathered = statistics.median(reads), statistics.median(gathers)
    # CPU time (every thread of the process) moves much less with the machine's load.
    cpu_read, cpu_gather = statistics.median(read_cpu), statistics.median(gather_cpu)
    return {
        "read_s": read,
        "gather_s": gathered,
        "gather_over_read": gathered / read,
        "read_cpu_s": cpu_read,
        "gather_cpu_s": cpu_gather,
        "gather_over_read_cpu": cpu_gather / cpu_read,
    }


def _run_queue(pid: int, seen: dict[str, tuple[int, int]], states: dict[str, int]) -> None:
    """Each thread of the process's children: nanoseconds on a CPU and waiting for one
    (runnable, its turn taken by other processes), and its state (R, S, D: disk)."""
    try:
        kids = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return
    for kid in kids:
        try:
            tids = os.listdir(f"/proc/{kid}/task")
        except OSError:
            continue
        for tid in tids:
            try:
                on, wait = Path(f"/proc/{kid}/task/{tid}/schedstat").read_text().split()[:2]
                state = (
                    Path(f"/proc/{kid}/task/{tid}/stat").read_text().rsplit(")", 1)[1].split()[0]
                )
            except (OSError, ValueError, IndexError):
                continue
            seen[f"{kid}/{tid}"] = (int(on), int(wait))
            states[state] = states.get(state, 0) + 1


def timed(argv: list[str], cwd: Path) -> dict[str, Any]:
    """A child process under /usr/bin/time -v: its wall time, CPU time (user + system),
    maximum resident set size and the phases it prints with --timings; and, sampled from
    /proc every 0.2 s, how long its threads waited, runnable, for a CPU other processes
    held (at least: a thread's last 0.2 s before it ends are not seen) and the share of
    samples its threads spent waiting on the disk, which tell what a wall time far above
    the CPU time was spent on."""
    proc = subprocess.Popen(
        ["/usr/bin/time", "-v", *argv],
        cwd=cwd,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    seen: dict[str, tuple[int, int]] = {}
    states: dict[str, int] = {}
    err: list[str] = []
    reader = threading.Thread(target=lambda: err.append(proc.stderr.read()), daemon=True)
    reader.start()
    while proc.poll() is None:
        _run_queue(proc.pid, seen, states)
        time.sleep(0.2)
    reader.join()
    stderr = "".join(err)
    if proc.returncode:
        raise SystemExit(stderr[-3000:])
    samples = sum(states.values()) or 1
    found: dict[str, Any] = {
        "cpu_s": 0.0,
        "phases": {},
        "waiting_for_cpu_s": sum(w for _, w in seen.values()) / 1e9,
        "disk_wait_share": states.get("D", 0) / samples,
    }
    for line in stderr.splitlines():
        line = line.strip()
        key, _, rest = line.partition(": ")
        if key == "timings":
            for part in rest.split(", "):
                name, secs, _ = part.rsplit(" ", 2)
                found["phases"][name] = float(secs)
        elif key == "Maximum resident set size (kbytes)":
            found["max_rss_mb"] = int(rest) / 1024
        elif key in ("User time (seconds)", "System time (seconds)"):
            found["cpu_s"] += float(rest)
        elif line.startswith("Elapsed (wall clock) time"):
            clock = line.rsplit(" ", 1)[1].split(":")
            found["wall_s"] = sum(float(x) * 60**i for i, x in enumerate(reversed(clock)))
    return found


def header() -> dict[str, Any]:
    """What every record starts with: the commit, the time and the machine."""
    return {
        "commit": commit(),
        "when": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "machine": {"cpu": cpu(), "cores": os.cpu_count()},
    }


def save(record: dict[str, Any], kind: str) -> Path:
    """A record written to bench/results/KIND/ under its time and commit."""
    folder = HERE / "results" / kind
    folder.mkdir(parents=True, exist_ok=True)
    stamp = record["when"].replace(":", "").replace("-", "")[:15]
    target = folder / f"{stamp}-{record['commit']}.json"
    target.write_text(json.dumps(record, indent=1) + "\n")
    return target


def command(path: Path, repeat: int, out: Path) -> dict[str, float]:
    runs = []
    for _ in range(repeat):
        run = timed(
            [sys.executable, "-m", "fundkernels", str(path), "--fund", "fund", "--value", "nav",
             "--date", "date", "--navs", "--timings", "-o", str(out)],
            out.parent,
        )  # fmt: skip
        runs.append({**run.pop("phases"), **run})
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
    med["panel_over_read"] = med["panel"] / med["read"]
    return med


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scratch", type=Path, default=Path(tempfile.gettempdir()) / "fk-long")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--funds", type=int, default=FUNDS)
    ap.add_argument("--days", type=int, default=DAYS)
    ap.add_argument("--record", action="store_true", help="write bench/results/long/*.json")
    args = ap.parse_args()
    path = table_file(args.scratch, args.funds, args.days)
    rows = pq.ParquetFile(path).metadata.num_rows
    print(f"{path}: {rows / 1e6:.1f}M rows, {path.stat().st_size / 1e6:.0f} MB; {cpu()}")
    print(f"load average {os.getloadavg()[0]:.1f}; medians of {args.repeat} runs")
    mine = in_process(path, args.repeat)
    print(f"read {mine['read_s']:.3f} s, gather {mine['gather_s']:.3f} s:"
          f" gather / read {mine['gather_over_read']:.2f}; in CPU time {mine['read_cpu_s']:.3f}"
          f" and {mine['gather_cpu_s']:.3f} s: {mine['gather_over_read_cpu']:.2f}")  # fmt: skip
    cmd = command(path, args.repeat, args.scratch / "out.parquet")
    phases = ", ".join(
        f"{k} {v:.3f} s"
        for k, v in cmd.items()
        if k not in ("max_rss_mb", "panel_over_read", "disk_wait_share")
    )  # wall_s, cpu_s and waiting_for_cpu_s among them: the whole process
    print(f"command: {phases}; (gather and NAVs) / read {cmd['panel_over_read']:.2f}")
    print(f"command: maximum resident set size {cmd['max_rss_mb']:.0f} MiB (/usr/bin/time -v);"
          f" {100 * cmd['disk_wait_share']:.1f}% of its threads' samples on the disk")  # fmt: skip
    if args.record:
        record = {
            **header(),
            "load": list(os.getloadavg()),
            "repeat": args.repeat,
            "table": {
                "funds": args.funds,
                "days": args.days,
                "rows": rows,
                "parquet_mb": path.stat().st_size / 1e6,
            },  # fmt: skip
            "in_process": mine,
            "command": cmd,
        }
        target = save(record, "long")
        print(f"record: {target.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
