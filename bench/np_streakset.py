"""Longest run of positive values, written as a NumPy user would: whole-matrix operations."""

import numpy as np


def ymd_texts(ns):
    """Eight-digit UTC date texts of int64 nanosecond stamps, seconds truncated toward zero."""
    ns = np.asarray(ns, dtype=np.int64)
    sec = ns // 1_000_000_000
    sec += (ns < 0) & (ns % 1_000_000_000 != 0)  # floor -> toward zero for negatives
    days = sec.astype("datetime64[s]").astype("datetime64[D]")
    return np.strings.replace(np.datetime_as_string(days, unit="D"), "-", "")


def peer(a_value, dates, i_code="positive"):
    x = np.asarray(a_value, dtype=np.float64)
    d = np.asarray(dates, dtype=np.int64).ravel()
    with np.errstate(all="ignore"):  # inf * 0, inf / inf and x / 0 are part of the definition
        return _peer(x, d, i_code == "positive")


def _peer(x, d, positive):
    rows, cols = x.shape
    if rows == 0:
        return np.zeros(cols), ["nan"] * cols, ["nan"] * cols, np.zeros(cols, dtype=np.int64)
    pos = x > 0.0  # NaN, 0.0 and -0.0 break a run; +inf extends it
    # Length of the run ending at each row (0 off a run).
    count = np.cumsum(pos, axis=0, dtype=np.int64)
    run = count - np.maximum.accumulate(np.where(pos, 0, count), axis=0)
    days = run.max(axis=0, initial=0)
    has = days > 0
    # The latest row at which the longest run ends (ties go to the later run).
    at_best = (run == days) & has
    end = rows - 1 - np.argmax(at_best[::-1], axis=0)
    start = end - days + 1

    # Running product over the whole column, NaN rows contributing a factor of exactly 1.0.
    factor = np.where(np.isnan(x), 1.0, 1.0 + x if positive else 1.0 - x)
    nv = np.cumprod(factor, axis=0)
    c = np.arange(cols)
    end_i = np.where(has, end, 0)
    start_i = np.where(has, start, 0)
    last = nv[end_i, c]
    # A run that opens the column is measured from the start value 1.0.
    base = np.where(start_i > 0, nv[np.maximum(start_i - 1, 0), c], 1.0)
    ret = np.where(base == 0.0, np.nan, last / base - 1.0)
    ret = np.where(has, ret, 0.0)

    s = np.full(cols, "nan", dtype=object)
    e = np.full(cols, "nan", dtype=object)
    if has.any():
        s[has] = ymd_texts(d[start[has]]).astype(object)
        e[has] = ymd_texts(d[end[has]]).astype(object)
    return ret, s.tolist(), e.tolist(), days.astype(np.int64)
