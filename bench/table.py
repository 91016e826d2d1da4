"""One table of indicators drives the benchmark and the cross-checks in the tests.

Each entry says how to build a call's arguments from a (dates x funds) value matrix and
names the vectorised NumPy peer that must give the module's results bit for bit.
"""

import importlib
from dataclasses import dataclass
from typing import Callable

import numpy as np

import np_troughmend


def daily_dates(rows, start="2000-01-03"):
    """Business-day dates as int64 nanoseconds since the epoch, one per row."""
    days = np.busday_offset(np.datetime64(start, "D"), np.arange(rows), roll="forward")
    return days.astype("datetime64[ns]").astype(np.int64)


@dataclass(frozen=True)
class Indicator:
    name: str
    args: Callable  # value matrix -> positional arguments of the call
    peer: Callable  # the vectorised NumPy version, same arguments, same results

    @property
    def module(self):
        return getattr(importlib.import_module(self.name), self.name)


def as_parts(result):
    """A module's or peer's result as a tuple of arrays and lists, for comparison."""
    if isinstance(result, dict):
        return tuple(result.values())
    if isinstance(result, tuple):
        return result
    return (result,)


INDICATORS = {
    "troughmend": Indicator("troughmend", lambda x: (x,), np_troughmend.peer),
}
