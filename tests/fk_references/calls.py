"""Building blocks of the calls the tests and the benchmark make on a value matrix."""

import numpy as np


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
