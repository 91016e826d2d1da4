"""Rolling-horizon statistics, written as a NumPy user would: whole-matrix operations.

The forward index uses a search over the dates, which gives the module's forward sweep
for dates in ascending order.
"""

import numpy as np

# The period code is read as its definition reads it: text, not arrays.
from fk_references.horizonret import months_of

NS = 10**9
I64_MAX = np.iinfo(np.int64).max
I32_MAX = np.iinfo(np.int32).max


def add_months(dates, months):
    """Same day of month (clamped to the target month) and time of day, `months` later.

    Whole seconds as int64 ns; I64_MAX where the result lies past the last date int64 ns
    can hold.
    """
    sec = dates // NS + ((dates % NS != 0) & (dates < 0))  # sub-second part toward zero
    day = sec // 86400
    tod = sec - day * 86400
    mon = day.astype("datetime64[D]").astype("datetime64[M]")
    dom = day - mon.astype("datetime64[D]").astype(np.int64)  # 0-based day of month
    tmon = mon.astype(np.int64) + months
    if tmon.size and tmon.max() + 1970 * 12 > I32_MAX:
        raise ValueError("horizon too long")
    start = tmon.astype("datetime64[M]").astype("datetime64[D]").astype(np.int64)
    length = (tmon + 1).astype("datetime64[M]").astype("datetime64[D]").astype(np.int64) - start
    tsec = (start + np.minimum(dom, length - 1)) * 86400 + tod
    past = tsec > I64_MAX // NS
    return np.where(past, I64_MAX, np.where(past, 0, tsec) * NS)


def forward_index(dates, months):
    """Row at which each row's horizon ends (last row when beyond), and how many end there."""
    D = dates.shape[0]
    tgt = np.maximum.accumulate(add_months(dates, months)) if D else dates
    fut = np.searchsorted(dates, tgt, side="left")
    fut = np.minimum(np.where(tgt == I64_MAX, D, fut), D - 1)
    return fut, int(np.count_nonzero(fut == D - 1))


def peer(code, returns, start_idx, end_idx, dates):
    x = np.asarray(returns, dtype=np.float64)
    start = np.asarray(start_idx, dtype=np.int64)[: x.shape[1]]
    end = np.asarray(end_idx, dtype=np.int64)[: x.shape[1]]
    dates = np.asarray(dates, dtype=np.int64)[: x.shape[0]]
    fut, tail = forward_index(dates, months_of(code))
    with np.errstate(all="ignore"):  # 0/0, inf/inf and inf * 0 are part of the definition
        return _peer(x, start, end, fut, tail)


def _peer(x, start, end, fut, tail):
    D, N = x.shape
    nan = np.full(N, np.nan)
    if D == 0:
        return tuple(nan.copy() for _ in range(9))
    row = np.arange(D)[:, None]
    inside = (row >= start) & (row <= end)
    # The path starts at 1.0 in the window's first row; a missing return is a factor 1.0.
    nv = np.cumprod(np.where(inside & ~np.isnan(x), x + 1.0, 1.0), axis=0)
    nv[~inside] = np.nan
    ret = nv[fut] / nv - 1.0
    ret[max(D - 1 - tail, 0) :] = np.nan

    valid = ~np.isnan(ret)
    n = valid.sum(axis=0)
    some = n > 0
    cnt = np.where(some, n, 1).astype(np.float64)
    # cumsum accumulates row after row, so its last row is the plain running sum.
    total = np.cumsum(np.where(valid, ret, 0.0), axis=0)[-1]
    avg = np.where(some, total / cnt, np.nan)

    # Median by selection: NaN partitions to the end, the valid values come first.
    k = n // 2
    even = some & (n % 2 == 0)
    kth = np.union1d(k[some], k[even] - 1)
    med = nan.copy()
    if kth.size:
        part = np.partition(ret, kth, axis=0)
        cols = np.arange(N)
        hi = part[np.minimum(k, D - 1), cols]
        lo = part[np.maximum(k - 1, 0), cols]
        med = np.where(some, np.where(even, (hi + lo) * 0.5, hi), np.nan)

    def share(mask):
        return np.where(some, mask.sum(axis=0) / cnt, np.nan)

    return (
        avg,
        med,
        share(ret > 0),
        share((ret > 0) & (ret <= 0.05)),
        share((ret > 0.05) & (ret <= 0.1)),
        share(ret > 0.1),
        share((ret >= -0.05) & (ret <= 0)),
        share((ret >= -0.1) & (ret < -0.05)),
        share(ret < -0.1),
    )
