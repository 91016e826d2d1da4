"""Benchmark: each module against its numba peer and against one streaming read.

For every indicator, shape and memory order it prints the median module time, the median
time of the numba peer (compiled beforehand: a warm-up call pays for the compilation),
their ratio, and the module time over one streaming read of the same matrix by plain C++
on as many threads as the modules use (bench/floor.cpp). Small shapes are timed per call
in microseconds, beside the cost of starting and joining one idle thread timed the same way
in the same run (and of one and two in a tight loop, which shows what the start costs at
best). The modules and the peer are timed in separate phases: numba's idle
threads keep spinning for a while after each parallel call and would slow a module call
that follows at once. At the end: Fortran- against C-order time, the speed-up from one
core to all, and the JSON record written under bench/results/ (see bench/record.py).
"""

import argparse
import ctypes
import datetime
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import bench  # noqa: F401  (the path: the installed package first, tests/ for fk_references)
from fk_references.cases import INDICATORS, VARIANTS, as_parts

HERE = Path(__file__).resolve().parent

LARGE = [(2520, 5000), (10000, 5000), (5000, 10000)]
SMALL = [(60, 30), (250, 1), (2520, 1), (1, 1)]
# Modules' flags, so that the floor's read is vectorised as their kernels are.
CXXFLAGS = ["-O3", "-mavx", "-mtune=generic", "-fwrapv", "-ffp-contract=off"]


def floor_library():
    """bench/floor.cpp as a shared library, built when missing or older than its source."""
    src = HERE / "floor.cpp"
    lib = HERE.parent / "build" / "bench" / "libfloor.so"
    if not lib.exists() or lib.stat().st_mtime < src.stat().st_mtime:
        lib.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["g++", *CXXFLAGS, "-shared", "-fPIC", "-pthread", str(src), "-o", str(lib)], check=True
        )
    so = ctypes.CDLL(str(lib))
    so.stream_sum.restype = ctypes.c_double
    so.stream_sum.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
    so.thread_start_ns.restype = ctypes.c_double
    so.thread_start_ns.argtypes = [ctypes.c_int, ctypes.c_int]
    so.start_join.restype = None
    so.start_join.argtypes = [ctypes.c_int]
    return so


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def per_call_time(fn, batches=9, budget=0.02, clock=time.perf_counter):
    """Median over batches of the time per call, a batch lasting about `budget` seconds."""
    one = []
    for _ in range(5):  # the quickest of a few calls, as a busy machine may stall any one
        t0 = time.perf_counter()
        fn()
        one.append(time.perf_counter() - t0)
    one = max(min(one), 1e-7)
    n = max(1, min(20000, int(budget / one)))
    times = []
    for _ in range(batches):
        t0 = clock()
        for _ in range(n):
            fn()
        times.append((clock() - t0) / n)
    return statistics.median(times)


def one_core_time(fn, repeat):
    """Median time with the process (and the workers it starts) held on one core."""
    cores = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cores)})
    try:
        return median_time(fn, repeat)
    finally:
        os.sched_setaffinity(0, cores)


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype.kind != b.dtype.kind:
        return False
    if a.dtype.kind == "f":  # bit for bit: NaN equals NaN, 0.0 differs from -0.0
        return np.array_equal(a.view(np.int64), b.view(np.int64))
    return np.array_equal(a, b)


def check(name, got, want, peer="the numba peer"):
    if not all(same(g, w) for g, w in zip(as_parts(got), as_parts(want), strict=True)):
        raise SystemExit(f"{name}: {peer}'s results differ from the module's")


def check_definitions(cases, names, x):
    """Each case's module result on the matrix x equals its plain-Python definition (far
    too slow for whole panels, so this runs on a corner of one)."""
    for name in names:
        ind = cases[name]
        if not ind.entry.exact:  # exact moments: the tests compare them within bounds
            continue
        args = ind.args(x)
        check(name, ind.reference(*args), ind.module(*args), "the plain-Python definition")


def machine():
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    # The instruction-set path each module's calls take on this CPU ("one build" for a
    # kernel not built per path).
    paths = {
        ind.module.__module__: getattr(module_of(ind), "__fk_path__", lambda: "one build")()
        for ind in {**INDICATORS, **VARIANTS}.values()
    }
    return {
        "cpu": model,
        "cores": len(os.sched_getaffinity(0)),
        "system": platform.platform(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "paths": paths,
    }


def module_of(ind):
    return importlib.import_module(ind.module.__module__)


def path_ratios(cases, names, x, repeat, rounds=3):
    """Per case, the AVX-512 path's time over the AVX2 path's on x: the two taken in turn,
    each for `repeat` calls, `rounds` times (medians of each side). Only a build that lets
    the paths be chosen (FK_TEST_DISPATCH) and a CPU that runs both can say."""
    out = {}
    for name in names:
        ind = cases[name]
        mod = module_of(ind)
        if not hasattr(mod, "__fk_use_path__"):
            continue
        own = mod.__fk_path__()
        try:
            times = {p: [] for p in ("avx2", "avx512")}
            args = ind.args(x)
            for _ in range(rounds):
                for p in times:
                    mod.__fk_use_path__(p)
                    ind.module(*args)
                    times[p] += [median_time(lambda: ind.module(*args), 1) for _ in range(repeat)]
        except ValueError:  # this CPU lacks one of them
            continue
        finally:
            mod.__fk_use_path__(own)
        out[name] = statistics.median(times["avx512"]) / statistics.median(times["avx2"])
    return out


def commit():
    def git(*args):
        r = subprocess.run(["git", *args], cwd=HERE, capture_output=True, text=True)
        return r.stdout.strip() if r.returncode == 0 else ""

    head = git("rev-parse", "--short=12", "HEAD")
    return head + (
        "-dirty" if head and git("status", "--porcelain", "--untracked-files=no") else ""
    )


MEMORY_CHILD = r"""
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import bench  # the path: the installed package first, tests/ for fk_references
from fk_references.cases import INDICATORS, VARIANTS
name, rows, cols, order = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
ind = {**INDICATORS, **VARIANTS}[name]
# Filled in place, so that no temporary of the matrix's size raises the peak beforehand.
x = np.empty((rows, cols) if order == "C" else (cols, rows))
np.random.default_rng(7).standard_normal(out=x)
x *= 0.01
x = x if order == "C" else x.T
args = ind.args(x)
f = ind.module
f(*ind.args(x[:2, :2]))  # libraries loaded, argument conversion warmed up
def peak_kib():
    # This process's own high-water mark: ru_maxrss would also count the parent's, which a
    # forked child inherits across exec.
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
before = peak_kib()
f(*args)
print((peak_kib() - before) / 1024)
"""


def peak_extra_mib(name, rows, cols, order):
    """Growth of peak resident memory over one call, in MiB, in a fresh process."""
    r = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(HERE.parent), name, str(rows), str(cols), order],
        capture_output=True,
        text=True,
        check=True,
    )
    return float(r.stdout.strip())


def quiet(seconds=0.3):
    """Lets numba's pool threads fall asleep before a module is timed."""
    time.sleep(seconds)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument(
        "--only",
        nargs="*",
        help="case labels (the CASES beside each reference in tests/fk_references)",
    )
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--shapes", nargs="*", help="large shapes RxC, e.g. 2520x5000")
    ap.add_argument("--small", nargs="*", help="small shapes RxC, e.g. 60x30")
    ap.add_argument("--out", help="record file (default bench/results/<time>-<commit>.json)")
    ap.add_argument("--no-record", action="store_true")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    opts = ap.parse_args()

    def parse(specs, default):
        return [tuple(map(int, s.split("x"))) for s in specs] if specs is not None else default

    shapes, small = parse(opts.shapes, LARGE), parse(opts.small, SMALL)
    cases = {**INDICATORS, **VARIANTS}
    names = opts.only or list(cases)
    try:
        import numba
    except ImportError:
        raise SystemExit("numba is missing: install the bench extra (make bench does)") from None
    floor_so = floor_library()
    cores = len(os.sched_getaffinity(0))
    threads = os.cpu_count() or 1
    load0 = os.getloadavg()
    mach = machine()
    print(f"{mach['cpu']}; paths: " + ", ".join(f"{k} {v}" for k, v in mach["paths"].items()))
    print(
        f"{cores} cores, {threads} module workers at most, numba {numba.__version__} on "
        f"{numba.config.NUMBA_NUM_THREADS} threads; medians of {opts.repeat} runs; "
        f"load average {load0[0]:.2f}\n"
    )

    # Small calls first, before numba has started its pool (its threads, once there, take
    # turns with the calling thread). A call of one worker runs on the calling thread and
    # starts none, so its time is its kernel work and the frame around it; at 1 x 1 it is
    # the frame alone.
    small_module = {}
    rng = np.random.default_rng(11)
    for rows, cols in small:
        x = np.asarray(rng.normal(0.0003, 0.01, size=(rows, cols)))
        for name in names:
            ind = cases[name]
            args = ind.args(x)
            small_module[name, rows, cols] = per_call_time(lambda: ind.module(*args)) * 1e6

    # Compilation is paid here, on a tiny matrix of every kind the timings use.
    rng = np.random.default_rng(7)
    corner = rng.normal(0.0003, 0.01, size=(300, 12))
    corner[rng.random(corner.shape) < 0.01] = np.nan
    check_definitions(cases, names, corner)
    for name in names:
        ind = cases[name]
        for order in "CF":
            x = np.asarray(rng.normal(0, 0.01, (40, 9)), order=order)
            if ind.numba is not None:
                check(name, ind.numba(*ind.args(x)), ind.module(*ind.args(x)))
    quiet()

    start_us = {n: floor_so.thread_start_ns(n, 301) / 1000 for n in (1, 2)}
    print(f"start and join of idle threads: one {start_us[1]:.1f} us, two {start_us[2]:.1f} us\n")

    rows_out, small_out = [], []
    module_times = {}
    speedups = {}
    largest = max(shapes, key=lambda s: s[0] * s[1]) if shapes else None
    print(
        f"{'indicator':<15} {'shape':>11} {'order':>5} {'module s':>9} {'numba s':>9} "
        f"{'read s':>8} {'numba/mod':>9} {'mod/read':>8}"
    )
    for rows, cols in shapes:
        base = rng.normal(0.0003, 0.01, size=(rows, cols))
        base[rng.random(base.shape) < 0.01] = np.nan
        mats = {order: np.asarray(base, order=order) for order in "CF"}
        del base
        got, res = {}, {}
        # Phase 1: the modules and the floor, numba's pool asleep.
        for order, x in mats.items():
            floor = median_time(
                lambda: floor_so.stream_sum(x.ctypes.data, x.size, threads), opts.repeat
            )
            for name in names:
                ind = cases[name]
                args = ind.args(x)
                got[name, order] = ind.module(*args)
                t = median_time(lambda: ind.module(*args), opts.repeat)
                module_times[name, rows, cols, order] = t
                res[name, order] = {
                    "case": name,
                    "rows": rows,
                    "cols": cols,
                    "order": order,
                    "module_s": t,
                    "read_s": floor,
                }
                if (rows, cols) == largest and order == "C" and cores > 1:
                    speedups[name] = one_core_time(lambda: ind.module(*args), opts.repeat) / t
        # Phase 2: the numba peers, checked bit for bit against the modules.
        for order, x in mats.items():
            for name in names:
                ind = cases[name]
                args = ind.args(x)
                if ind.numba is None:  # a case without a numba peer: module and read only
                    res[name, order]["numba_s"] = float("nan")
                    continue
                check(name, ind.numba(*args), got[name, order])
                res[name, order]["numba_s"] = median_time(lambda: ind.numba(*args), opts.repeat)
        quiet()
        for order in "CF":
            for name in names:
                r = res[name, order]
                r["numba_over_module"] = r["numba_s"] / r["module_s"]
                r["module_over_read"] = r["module_s"] / r["read_s"]
                rows_out.append(r)
                print(
                    f"{name:<15} {f'{rows}x{cols}':>11} {order:>5} {r['module_s']:9.4f} "
                    f"{r['numba_s']:9.4f} {r['read_s']:8.4f} {r['numba_over_module']:9.2f} "
                    f"{r['module_over_read']:8.2f}",
                    flush=True,
                )
        del mats, got

    if small:
        print("\nsmall calls, us per call (the modules timed before numba's pool existed)")
        print(f"{'indicator':<15} {'shape':>7} {'module':>8} {'numba':>8} {'numba/mod':>9}")
    for rows, cols in small:
        x = np.asarray(np.random.default_rng(11).normal(0.0003, 0.01, size=(rows, cols)))
        for name in names:
            ind = cases[name]
            args = ind.args(x)
            nb = float("nan")
            if ind.numba is not None:
                check(name, ind.numba(*args), ind.module(*args))
                nb = per_call_time(lambda: ind.numba(*args)) * 1e6
            r = {
                "case": name,
                "rows": rows,
                "cols": cols,
                "order": "C",
                "module_us": small_module[name, rows, cols],
                "numba_us": nb,
            }
            small_out.append(r)
            print(
                f"{name:<15} {f'{rows}x{cols}':>7} {r['module_us']:8.1f} {nb:8.1f} "
                f"{nb / r['module_us']:9.2f}",
                flush=True,
            )
    quiet()

    avx512_over_avx2 = {}
    if shapes:
        rows, cols = shapes[0]
        base = np.random.default_rng(3).normal(0.0003, 0.01, size=(rows, cols))
        for order in "CF":
            got = path_ratios(cases, names, np.asarray(base, order=order), opts.repeat)
            for name, q in got.items():
                avx512_over_avx2.setdefault(name, {})[order] = q
        if avx512_over_avx2:
            print(f"\nAVX-512 path time / AVX2 path time, {rows}x{cols} (C, F)")
            for name, q in avx512_over_avx2.items():
                print(f"{name:<15} {q.get('C', float('nan')):5.2f} {q.get('F', float('nan')):5.2f}")
        del base

    fc = {}
    if shapes:
        print("\nFortran-order time / C-order time")
        for name in names:
            q = [module_times[name, r, c, "F"] / module_times[name, r, c, "C"] for r, c in shapes]
            fc[name] = dict(zip((f"{r}x{c}" for r, c in shapes), q))
            print(f"{name:<15} " + "  ".join(f"{r}x{c}: {v:4.2f}" for (r, c), v in zip(shapes, q)))
    if shapes and {"drawdown", "troughmend"} <= set(names):
        print("\nWhere the longest drawdown lies: drawdown time / troughmend time")
        print(
            "drawdown        "
            + "  ".join(
                f"{r}x{c} {o}: {module_times['drawdown', r, c, o] / module_times['troughmend', r, c, o]:4.2f}"
                for r, c in shapes
                for o in "CF"
            )
        )
    if speedups:
        print(f"\nSpeed-up from 1 core to {cores} at {largest[0]}x{largest[1]} (C order)")
        for name, s in speedups.items():
            print(f"{name:<15} {s:4.2f}x")
    memory = {}
    if shapes and not opts.no_memory:
        print(
            f"\npeak extra memory of one call at {largest[0]}x{largest[1]}, MiB (C, F), "
            f"each in a fresh process"
        )
        for name in names:
            memory[name] = {o: peak_extra_mib(name, *largest, o) for o in "CF"}
            print(f"{name:<15} {memory[name]['C']:6.1f} {memory[name]['F']:6.1f}", flush=True)
    load1 = os.getloadavg()
    print(f"\nload average at the end {load1[0]:.2f}")
    if opts.no_record:
        return
    record = {
        "commit": commit(),
        "when": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": mach,
        "avx512_over_avx2": avx512_over_avx2,
        "load": [load0[0], load1[0]],
        "numba": numba.__version__,
        "repeat": opts.repeat,
        "thread_start_us": {str(k): v for k, v in start_us.items()},
        "large": rows_out,
        "small": small_out,
        "f_over_c": fc,
        "speedup_1_to_all": speedups,
        "peak_extra_mib": memory,
    }
    out = (
        Path(opts.out)
        if opts.out
        else (
            HERE
            / "results"
            / f"{record['when'][:19].replace(':', '')}-{record['commit'] or 'nocommit'}.json"
        )
    )
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(record, indent=1) + "\n")
    print(f"record: {out}")


if __name__ == "__main__":
    main()
