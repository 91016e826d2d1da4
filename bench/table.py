"""One table of indicators drives the benchmark and the cross-checks in the tests.

Each entry says how to build a call's arguments from a (dates x funds) value matrix and
names the vectorised NumPy peer that must give the module's results bit for bit. The numba
peer (bench/nb_peers.py, one compiled loop per column) is found by the module's name; it
needs numba, which only the bench extra installs.
"""

import importlib
from dataclasses import dataclass
from typing import Callable

import numpy as np

from bench import (
    np_crossodds,
    np_drawdown,
    np_extremeset,
    np_horizonret,
    np_streakset,
    np_summary,
    np_troughmend,
)
from fk_references.compare import as_parts  # noqa: F401  (imported from here too)


def daily_dates(rows, start="2000-01-03"):
    """Business-day dates as int64 nanoseconds since the epoch, one per row."""
    days = np.busday_offset(np.datetime64(start, "D"), np.arange(rows), roll="forward")
    return days.astype("datetime64[ns]").astype(np.int64)


def rows_of(x):
    """Row count of a would-be value matrix (1 for anything not two-dimensional)."""
    return np.shape(x)[0] if np.ndim(x) == 2 else 1


def cols_of(x):
    """Column count of a would-be value matrix (1 for anything not two-dimensional)."""
    return np.shape(x)[1] if np.ndim(x) == 2 else 1


@dataclass(frozen=True)
class Indicator:
    name: str
    args: Callable  # value matrix -> positional arguments of the call
    peer: Callable  # the vectorised NumPy version, same arguments, same results
    # Whether a fund's result depends on its own column alone (not on its peers').
    per_column: bool = True
    # Module and function where they differ from the name (a kernel inside the package).
    where: tuple = ()

    @property
    def module(self):
        module, function = self.where or (self.name, self.name)
        return getattr(importlib.import_module(module), function)

    @property
    def numba(self):
        """The numba peer: the same arguments, the same results (ImportError without numba)."""
        return importlib.import_module("bench.nb_peers").peer(self.name)


INDICATORS = {
    "troughmend": Indicator("troughmend", lambda x: (x,), np_troughmend.peer),
    "crossodds": Indicator(
        "crossodds",
        lambda x: ((np.arange(cols_of(x)) % 10).astype(np.int32), x),
        np_crossodds.peer,
        per_column=False,
    ),
    "streakset": Indicator(
        "streakset", lambda x: (x, daily_dates(rows_of(x)), "positive"), np_streakset.peer
    ),
    "extremeset": Indicator(
        "extremeset", lambda x: (x, daily_dates(rows_of(x)), "positive"), np_extremeset.peer
    ),
    "horizonret": Indicator(
        "horizonret",
        lambda x: (
            "3M",
            x,
            np.zeros(cols_of(x), np.int64),
            np.full(cols_of(x), rows_of(x) - 1, np.int64),
            daily_dates(rows_of(x)),
        ),
        np_horizonret.peer,
    ),
}

# Benchmark-only cases: an indicator under other arguments. Kept apart from INDICATORS,
# whose keys the generic tests import as module names.
VARIANTS = {
    # One fund per type code: 2,000 single-fund groups at 10000x2000.
    "crossodds-solo": Indicator(
        "crossodds", lambda x: (np.arange(cols_of(x), dtype=np.int32), x), np_crossodds.peer
    ),
    "horizonret-1Y": Indicator(
        "horizonret",
        lambda x: ("1Y",) + INDICATORS["horizonret"].args(x)[1:],
        np_horizonret.peer,
    ),
    # Inverted mode: values are sizes of losses, compounded as (1 - v).
    "extremeset-inv": Indicator(
        "extremeset", lambda x: (x, daily_dates(rows_of(x)), "loss"), np_extremeset.peer
    ),
    "streakset-inv": Indicator(
        "streakset", lambda x: (x, daily_dates(rows_of(x)), "loss"), np_streakset.peer
    ),
    # Where the longest drawdown lies: troughmend's pass with the details kept.
    "drawdown": Indicator(
        "drawdown", lambda x: (x,), np_drawdown.peer, where=("fundkernels._drawdown", "drawdown")
    ),
    # The summary statistics, against a risk-free return of 0.01% per period.
    "summary": Indicator(
        "summary", lambda x: (x, 0.0001), np_summary.peer, where=("fundkernels._summary", "summary")
    ),
}
