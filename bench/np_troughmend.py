"""Longest drawdown recovery, written as a NumPy user would: whole-matrix operations."""

import numpy as np


def longest_true_run(mask):
    """Length of the longest run of True along axis 0, per column."""
    if mask.shape[0] == 0:
        return np.zeros(mask.shape[1], dtype=np.int64)
    count = np.cumsum(mask, axis=0, dtype=np.int64)
    at_reset = np.maximum.accumulate(np.where(mask, 0, count), axis=0)
    return (count - at_reset).max(axis=0)


def peer(returns):
    x = np.asarray(returns, dtype=np.float64)
    with np.errstate(all="ignore"):  # inf * 0 and inf - inf are part of the definition
        return _peer(x)


def _peer(x):
    # A missing return is a factor of exactly 1.0, which leaves the product unchanged.
    net = np.cumprod(np.where(np.isnan(x), 0.0, x) + 1.0, axis=0)
    # fmax ignores NaN, as the running peak must; the peak starts at 1.0.
    peak = np.fmax.accumulate(np.vstack([np.ones((1, x.shape[1])), net]), axis=0)[1:]
    dd = (net - peak) / peak
    return longest_true_run(dd != 0.0)
