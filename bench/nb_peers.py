"""The five indicators as a quant who needs speed would write them in numba.

One compiled loop per column, the columns spread over numba's threads with prange, no
fastmath: the same operations in the same order as the modules, so the results are the
same bits. What numba cannot do well (date texts, calendar months) is done in NumPy
around the compiled loops, as such a user would. Import this module only where numba is
installed; the package's registry names each peer (``bench.nb_peers:troughmend``, ...).
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
    members = np.concatenate(
        [order[f : f + s] for f, s in zip(first[kept], sizes[kept])] or [np.zeros(0, np.int64)]
    ).astype(np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes[kept])]).astype(np.int64)
    group_of = np.full(cols, -1, dtype=np.int64)
    for g in range(len(starts) - 1):
        group_of[members[starts[g] : starts[g + 1]]] = g
    with np.errstate(all="ignore"):
        med = _group_medians(x, members, starts)
    return _cross_counts(x, med, group_of)


@njit(cache=False)
def _two_sum(s, x):
    t = s + x
    z = t - s
    return t, (s - (t - z)) + (x - z)


@njit(parallel=True, cache=False)
def _summary(x, f):
    rows, cols = x.shape
    n_out = np.zeros(cols, dtype=np.int64)
    hits_out = np.zeros(cols, dtype=np.int64)
    rows_out = np.full((3, cols), -1, dtype=np.int64)  # peak, trough, recovery
    out = np.full(
        (11, cols), np.nan
    )  # value, mean, std, skew, kurt, down, best, worst, depth, var, cvar
    for c in prange(cols):
        # The value compounded from 1.0 and its deepest drawdown, row by row.
        acc, top, top_row = 1.0, 1.0, -1
        low, peak, peak_row, trough, rec = 1.0, 1.0, -1, -1, -2
        buf = np.empty(rows)
        n = 0
        hits = 0
        for r in range(rows):
            v = x[r, c]
            if not np.isnan(v):
                acc *= v + 1.0
                buf[n] = v
                n += 1
                if v > 0.0:
                    hits += 1
            if acc > top:
                top, top_row = acc, r
            q = acc / top
            if q < low:
                low, peak, peak_row, trough, rec = q, top, top_row, r, -1
            elif rec == -1 and acc >= peak:
                rec = r
        n_out[c] = n
        hits_out[c] = hits
        if n == 0:
            continue
        nd = float(n)
        out[0, c] = acc
        out[8, c] = low - 1.0
        if trough >= 0:
            rows_out[0, c] = peak_row
            rows_out[1, c] = trough
            rows_out[2, c] = rec if rec >= 0 else -1
        # Sums in four lanes (lane q: values i = q mod 4), padded past n.
        s = np.zeros(4)
        e = np.zeros(4)
        lo = np.full(4, np.inf)
        hi = np.full(4, -np.inf)
        for i in range(0, n, 4):
            for q in range(4):
                inside = i + q < n
                v = buf[i + q] if inside else 0.0
                s[q], err = _two_sum(s[q], v)
                e[q] += err
                w = buf[i + q] if inside else buf[0]
                lo[q] = w if w < lo[q] else lo[q]
                hi[q] = w if w > hi[q] else hi[q]
        s01, e01 = _two_sum(s[0], s[1])
        s23, e23 = _two_sum(s[2], s[3])
        t, e4 = _two_sum(s01, s23)
        total = t + (e4 + ((e[0] + e[1] + e01) + (e[2] + e[3] + e23)))
        least, most = lo[0], hi[0]
        for q in range(1, 4):
            least = lo[q] if lo[q] < least else least
            most = hi[q] if most < hi[q] else most
        best, worst = most + 0.0, least + 0.0
        out[6, c] = best
        out[7, c] = worst
        flat = worst == best
        mean = worst if flat else total / nd
        out[1, c] = mean
        p1 = np.zeros(4)
        p2 = np.zeros(4)
        p3 = np.zeros(4)
        p4 = np.zeros(4)
        dn = np.zeros(4)
        for i in range(0, n, 4):
            for q in range(4):
                inside = i + q < n
                d = (buf[i + q] if inside else mean) - mean
                d2 = d * d
                p1[q] += d
                p2[q] += d2
                p3[q] += d2 * d
                p4[q] += d2 * d2
                ex = (buf[i + q] if inside else f) - f
                ex = ex if ex < 0.0 else 0.0
                dn[q] += ex * ex
        s1 = (p1[0] + p1[1]) + (p1[2] + p1[3])
        s2 = (p2[0] + p2[1]) + (p2[2] + p2[3])
        s3 = (p3[0] + p3[1]) + (p3[2] + p3[3])
        s4 = (p4[0] + p4[1]) + (p4[2] + p4[3])
        out[5, c] = np.sqrt(((dn[0] + dn[1]) + (dn[2] + dn[3])) / nd)
        delta = s1 / nd
        m2 = s2 - s1 * delta
        m2 = 0.0 if flat or m2 < 0.0 else m2
        m3 = 0.0 if flat else s3 - 3.0 * delta * s2 + 2.0 * nd * delta * delta * delta
        m4 = (
            0.0
            if flat
            else (
                s4
                - 4.0 * delta * s3
                + 6.0 * delta * delta * s2
                - 3.0 * nd * delta * delta * delta * delta
            )
        )
        if n >= 2:
            out[2, c] = np.sqrt(m2 / (nd - 1.0))
        if n >= 3:
            out[3, c] = nd * np.sqrt(nd - 1.0) / (nd - 2.0) * (m3 / (m2 * np.sqrt(m2)))
        if n >= 4:
            out[4, c] = (nd + 1.0) * nd * (nd - 1.0) * m4 / (
                (nd - 2.0) * (nd - 3.0) * (m2 * m2)
            ) - 3.0 * (nd - 1.0) * (nd - 1.0) / ((nd - 2.0) * (nd - 3.0))
        # The 5% quantile between the two order statistics around (n - 1) * 0.05.
        srt = np.sort(buf[:n])
        at = (nd - 1.0) * 0.05
        k = int(np.floor(at))
        if n == 1:
            a, b, g = srt[0], srt[0], 1.0
        else:
            a, b, g = srt[k], srt[k + 1], at - np.floor(at)
        diff = b - a
        var = (b - diff * (1.0 - g) if g >= 0.5 else a + diff * g) + 0.0
        out[9, c] = var
        ts = np.zeros(4)
        tc = np.zeros(4)
        for i in range(0, n, 4):
            for q in range(4):
                if i + q < n and buf[i + q] <= var:
                    ts[q] += buf[i + q]
                    tc[q] += 1.0
        out[10, c] = ((ts[0] + ts[1]) + (ts[2] + ts[3])) / ((tc[0] + tc[1]) + (tc[2] + tc[3]))
    return n_out, hits_out, rows_out, out


def summary(returns, f):
    n, hits, rows, out = _summary(np.asarray(returns, dtype=np.float64), float(f))
    value, mean, std, skew, kurt, down, best, worst, depth, var, cvar = out
    return (
        n,
        value.copy(),
        mean.copy(),
        std.copy(),
        skew.copy(),
        kurt.copy(),
        down.copy(),
        best.copy(),
        worst.copy(),
        hits,
        depth.copy(),
        rows[0].copy(),
        rows[1].copy(),
        rows[2].copy(),
        var.copy(),
        cvar.copy(),
    )
