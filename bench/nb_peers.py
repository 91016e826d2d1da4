"""The five indicators as a quant who needs speed would write them in numba.

One compiled loop per column, the columns spread over numba's threads with prange, no
fastmath: the same operations in the same order as the modules, so the results are the
same bits. What numba cannot do well (date texts, calendar months) is done in NumPy
around the compiled loops, as such a user would. Import this module only where numba is
installed; `peer(name)` gives the peer of an indicator by its name in bench/table.py.
"""

import numpy as np
from numba import njit, prange

from bench import np_horizonret
from bench import np_streakset


@njit(parallel=True, cache=False)
def _troughmend(x):
    rows, cols = x.shape
    out = np.zeros(cols, dtype=np.int64)
    for c in prange(cols):
        net = 1.0
        peak = 1.0
        cur = 0
        longest = 0
        for r in range(rows):
            v = x[r, c]
            if not np.isnan(v):
                net *= 1.0 + v
            if net > peak:
                peak = net
            if (net - peak) / peak != 0.0:
                cur += 1
                if cur > longest:
                    longest = cur
            else:
                cur = 0
        out[c] = longest
    return out


def troughmend(returns):
    return _troughmend(np.asarray(returns, dtype=np.float64))


@njit(parallel=True, cache=False)
def _streakset(x, positive):
    rows, cols = x.shape
    ret = np.zeros(cols)
    start = np.zeros(cols, dtype=np.int64)
    days = np.zeros(cols, dtype=np.int64)
    for c in prange(cols):
        net = 1.0
        base = 1.0
        cur = 0
        best = 0
        best_end = -1
        best_base = 1.0
        best_last = 1.0
        for r in range(rows):
            v = x[r, c]
            f = 1.0 + v if positive else 1.0 - v
            if v > 0.0:
                if cur == 0:
                    base = net
                cur += 1
                net *= f
                if cur >= best:  # ties go to the later run
                    best = cur
                    best_end = r
                    best_base = base
                    best_last = net
            else:
                if not np.isnan(v):
                    net *= f
                cur = 0
        if best > 0:
            ret[c] = np.nan if best_base == 0.0 else best_last / best_base - 1.0
            start[c] = best_end - best + 1
            days[c] = best
    return ret, start, days


def _texts(dates, rows, days):
    has = days > 0
    out = np.full(days.shape[0], "nan", dtype=object)
    if has.any():
        out[has] = np_streakset.ymd_texts(dates[rows[has]]).astype(object)
    return out.tolist()


def streakset(a_value, dates, i_code="positive"):
    x = np.asarray(a_value, dtype=np.float64)
    d = np.asarray(dates, dtype=np.int64)
    ret, start, days = _streakset(x, i_code == "positive")
    return ret, _texts(d, start, days), _texts(d, start + days - 1, days), days


@njit(parallel=True, cache=False)
def _extremeset(x, positive):
    rows, cols = x.shape
    ratio_out = np.zeros(cols)
    found = np.zeros(cols, dtype=np.bool_)
    first_out = np.zeros(cols, dtype=np.int64)
    last_out = np.zeros(cols, dtype=np.int64)
    for c in prange(cols):
        net = 1.0
        base = 1.0
        in_run = False
        in_block = False
        block = 0
        best = -np.inf if positive else np.inf
        best_first = 0
        best_last = 0
        for r in range(rows):
            v = x[r, c]
            usable = False
            ratio = 1.0
            if v > 0.0:
                if not in_run:
                    base = net  # the run's growth is measured from here
                net *= 1.0 + v if positive else 1.0 - v
                ratio = net / base
                usable = ratio == ratio and ratio != 1.0
            in_run = v > 0.0
            if usable:
                if not in_block:
                    block = r
                better = ratio >= best if positive else ratio <= best
                if better:  # the latest of equal extremes
                    best = ratio
                    best_first = block
                    best_last = r
            in_block = usable
        if np.isfinite(best):
            found[c] = True
            ratio_out[c] = best - 1.0
            first_out[c] = best_first
            last_out[c] = best_last
    return ratio_out, found, first_out, last_out


def extremeset(array_value, dates, i_code="positive"):
    x = np.asarray(array_value, dtype=np.float64)
    d = np.asarray(dates, dtype=np.int64)
    r, found, first, last = _extremeset(x, i_code == "positive")
    p = np.where(found, last - first + 1, 0)
    return {"r": r, "p": p, "s": _texts(d, first, p), "l": _texts(d, last, p)}


@njit(parallel=True, cache=False)
def _horizonret(x, start, end, fut, tail):
    rows, cols = x.shape
    out = np.full((9, cols), np.nan)
    stop = rows - 1 - tail  # rows from here on have no horizon
    for c in prange(cols):
        lo = max(start[c], 0)
        hi = min(end[c], rows - 1)
        if lo > hi:
            continue
        nv = np.empty(rows)
        net = 1.0
        for r in range(lo, hi + 1):
            v = x[r, c]
            if not np.isnan(v):
                net *= 1.0 + v
            nv[r] = net
        ret = np.empty(rows)
        n = 0
        total = 0.0
        gt0 = gt5 = gt10 = ge_m5 = ge_m10 = 0
        for k in range(lo, min(hi, stop - 1) + 1):
            f = fut[k]
            if f < lo or f > hi:
                continue
            q = nv[f] / nv[k] - 1.0
            if np.isnan(q):
                continue
            ret[n] = q
            n += 1
            total += q
            gt0 += q > 0.0
            gt5 += q > 0.05
            gt10 += q > 0.1
            ge_m5 += q >= -0.05
            ge_m10 += q >= -0.1
        if n == 0:
            continue
        out[0, c] = total / n
        out[1, c] = np.median(ret[:n])
        out[2, c] = gt0 / n
        out[3, c] = (gt0 - gt5) / n
        out[4, c] = (gt5 - gt10) / n
        out[5, c] = gt10 / n
        out[6, c] = (ge_m5 - gt0) / n
        out[7, c] = (ge_m10 - ge_m5) / n
        out[8, c] = (n - ge_m10) / n
    return out


def horizonret(code, returns, start_idx, end_idx, dates):
    x = np.asarray(returns, dtype=np.float64)
    D, N = x.shape
    dates = np.asarray(dates, dtype=np.int64)[:D]
    fut, tail = np_horizonret.forward_index(dates, np_horizonret.months_of(code))
    out = _horizonret(
        x,
        np.asarray(start_idx, dtype=np.int64)[:N],
        np.asarray(end_idx, dtype=np.int64)[:N],
        np.asarray(fut, dtype=np.int64),
        tail,
    )
    return tuple(out[i].copy() for i in range(9))


@njit(parallel=True, cache=False)
def _group_medians(x, members, starts):
    rows = x.shape[0]
    n_groups = starts.shape[0] - 1
    med = np.empty((rows, max(n_groups, 1)))
    for g in prange(n_groups):
        a, b = starts[g], starts[g + 1]
        buf = np.empty(b - a)
        for d in range(rows):
            n = 0
            for i in range(a, b):
                v = x[d, members[i]]
                if not np.isnan(v):
                    buf[n] = v
                    n += 1
            med[d, g] = np.median(buf[:n]) if n > 0 else np.nan
    return med


@njit(parallel=True, cache=False)
def _cross_counts(x, med, group_of):
    rows, cols = x.shape
    out = np.full(cols, np.nan)
    for c in prange(cols):
        g = group_of[c]
        if g < 0:
            continue  # alone in its group: never reverses
        last = -1
        pairs = 0
        reversals = 0
        for d in range(rows):
            v = x[d, c]
            m = med[d, g]
            if np.isnan(v) or np.isnan(m):
                continue
            s = 1 if v >= m else 0
            if last >= 0:
                pairs += 1
                reversals += s != last
            last = s
        if reversals > 0:
            out[c] = (pairs - reversals) / reversals
    return out


def crossodds(type_codes, values):
    x = np.asarray(values, dtype=np.float64)
    cols = x.shape[1]
    codes = np.asarray(type_codes).astype(np.int32, casting="unsafe").ravel()[:cols]
    order = np.argsort(codes, kind="stable")
    _, first, sizes = np.unique(codes[order], return_index=True, return_counts=True)
    kept = sizes > 1
    members = np.concatenate([order[f : f + s] for f, s in zip(first[kept], sizes[kept])]
                             or [np.zeros(0, np.int64)]).astype(np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes[kept])]).astype(np.int64)
    group_of = np.full(cols, -1, dtype=np.int64)
    for g in range(len(starts) - 1):
        group_of[members[starts[g] : starts[g + 1]]] = g
    with np.errstate(all="ignore"):
        med = _group_medians(x, members, starts)
    return _cross_counts(x, med, group_of)


PEERS = {
    "troughmend": troughmend,
    "streakset": streakset,
    "extremeset": extremeset,
    "horizonret": horizonret,
    "crossodds": crossodds,
}


def peer(name):
    """The numba peer of the indicator `name` (a module name), None for an indicator without one."""
    return PEERS.get(name)
