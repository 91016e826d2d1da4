"""Where the longest drawdown lies, written as a NumPy user would: whole-matrix operations."""

import numpy as np

from bench.np_troughmend import longest_true_run


def peer(returns):
    x = np.asarray(returns, dtype=np.float64)
    if x.shape[0] == 0:  # no rows, no drawdown
        none = np.full(x.shape[1], -1, np.int64)
        return (np.zeros_like(none), none, none, none, none, np.full(len(none), np.nan), none)
    with np.errstate(all="ignore"):  # inf * 0 and inf - inf are part of the definition
        return _peer(x)


def _peer(x):
    rows, cols = x.shape
    r = np.arange(rows)[:, None]
    net = np.cumprod(np.where(np.isnan(x), 0.0, x) + 1.0, axis=0)
    before = np.fmax.accumulate(np.vstack([np.ones((1, cols)), net]), axis=0)[:-1]
    # The running peak and the row that set it: the last row whose value beat the peak.
    peak = np.fmax(before, net)
    peak_row = np.maximum.accumulate(np.where(net > before, r, -1), axis=0)
    down = (net - peak) / peak != 0.0
    length = longest_true_run(down)
    # Run length at every row; of equally long runs the latest ends last.
    count = np.cumsum(down, axis=0, dtype=np.int64)
    run = count - np.maximum.accumulate(np.where(down, 0, count), axis=0)
    some = length > 0
    last = np.where(some, rows - 1 - np.argmax(run[::-1] == length, axis=0), -1)
    first = np.where(some, last - length + 1, -1)
    # The lowest value of the run, NaN counting as above every number; the earliest of ties.
    inside = (r >= first) & (r <= last)
    key = np.where(inside & ~np.isnan(net), net, np.inf)
    trough = np.where(some, np.argmax(inside & (key == key.min(axis=0)), axis=0), -1)
    col = np.arange(cols)
    at, low = np.maximum(first, 0), np.maximum(trough, 0)  # rows to read; unused where none
    depth = np.where(some, net[low, col] / peak[at, col] - 1.0, np.nan)
    top_row = np.where(some, peak_row[at, col], -1)
    recovery = np.where(some & (last + 1 < rows), last + 1, -1)
    return tuple(a.astype(np.int64) for a in (length, top_row, first, last, trough)) + (
        depth,
        recovery.astype(np.int64),
    )
