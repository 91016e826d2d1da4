"""Runs the fuzz targets under libFuzzer (through atheris) and prints what each one did.

    python -m fuzz.run [--seconds N] [--runs N] [TARGET ...]

Each target runs in a process of its own, started from the repository root with the
sanitizer and fuzzer runtime preloaded (see the Makefile's fuzz target), so a crash or a
sanitizer report ends only that target. The corpus of each target grows in
fuzz/corpus/TARGET (not kept in git) from the committed seeds in fuzz/seeds/TARGET;
crashes, hangs and mismatches are written to fuzz/findings/. A finding is turned into a
regression test by copying its file into fuzz/seeds/TARGET: the test suite replays
every seed. The exit status is 1 if any target had a finding.

    python -m fuzz.run --one TARGET [libFuzzer flags]

is the process of one target (what the driver starts).
"""

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
FINDINGS = HERE / "findings"


def one(target, flags):
    import atheris

    from fuzz.targets import MODULES, TARGETS, run_one

    assert target in TARGETS, f"no target {target}; the targets are {TARGETS}"
    # The module's coverage counters register with the fuzzer when it is loaded.
    __import__(MODULES[target.partition("-")[0]].module)
    atheris.Setup([sys.argv[0], *flags], lambda data: run_one(target, data))
    atheris.Fuzz()


def summary(text):
    """Executions, coverage (edges, features) and corpus size from libFuzzer's output."""
    execs = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    status = re.findall(r"^#\d+\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)", text, flags=re.M)
    cov, ft, corp = status[-1] if status else ("?", "?", "?")
    return int(execs[-1]) if execs else 0, cov, ft, corp


def campaign(targets, seconds, runs):
    from fuzz.targets import TARGETS

    FINDINGS.mkdir(exist_ok=True)
    print(
        f"{'target':<16} {'seconds':>7} {'executions':>10} {'exec/s':>7} {'edges':>6} "
        f"{'features':>8} {'corpus':>6}  findings",
        flush=True,
    )
    bad = 0
    for target in targets or TARGETS:
        corpus = HERE / "corpus" / target
        seeds = HERE / "seeds" / target
        corpus.mkdir(parents=True, exist_ok=True)
        flags = [
            f"-artifact_prefix={FINDINGS}/{target}-",
            "-print_final_stats=1",
            "-max_len=2048",
            "-timeout=60",
            "-rss_limit_mb=6144",
            "-detect_leaks=0",
        ]
        flags += [f"-runs={runs}"] if runs else [f"-max_total_time={seconds}"]
        dirs = [str(corpus)] + ([str(seeds)] if seeds.is_dir() else [])
        before = set(FINDINGS.iterdir())
        log = HERE / "corpus" / f"{target}.log"  # libFuzzer's progress, as it happens
        t0 = time.monotonic()
        with open(log, "w") as out:
            proc = subprocess.run(
                [sys.executable, "-m", "fuzz.run", "--one", target, *flags, *dirs],
                stdout=out,
                stderr=subprocess.STDOUT,
                cwd=HERE.parent,
            )
        took = time.monotonic() - t0
        execs, cov, ft, corp = summary(log.read_text(errors="replace"))
        new = sorted(p.name for p in set(FINDINGS.iterdir()) - before)
        # An input that merely took long (libFuzzer's slow-unit report, over 10 s: the plain
        # references are exact and slow, more so under the sanitizers on a loaded machine)
        # is named, not counted: a hang still ends as a timeout, which counts.
        slow = [n for n in new if n.startswith(f"{target}-slow-unit-")]
        new = [n for n in new if n not in slow]
        found = ", ".join(new) or (
            f"exit status {proc.returncode}, see {log}" if proc.returncode else "none"
        )
        bad += found != "none"
        print(
            f"{target:<16} {took:7.0f} {execs:10d} {execs / max(took, 1e-9):7.0f} {cov:>6} "
            f"{ft:>8} {corp:>6}  {found}"
            + (f" (slow, not counted: {', '.join(slow)})" if slow else ""),
            flush=True,
        )
    return 1 if bad else 0


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--one":
        return one(sys.argv[2], sys.argv[3:])
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("targets", nargs="*")
    ap.add_argument("--seconds", type=int, default=int(os.environ.get("FUZZ_SECONDS", 60)))
    ap.add_argument("--runs", type=int, default=0, help="inputs per target instead of a time")
    opts = ap.parse_args()
    return campaign(opts.targets, opts.seconds, opts.runs)


if __name__ == "__main__":
    sys.exit(main())
