"""The summary statistics written with NumPy, whole columns at a time.

The kernel's sums run in four lanes (lane q takes the values i = q mod 4 of a fund's valid
returns, in order) and meet in a fixed order; this peer keeps the same lanes, as arrays
of four rows by every fund, walking the valid values four at a time, so that its results
are the kernel's bits.
"""

import numpy as np

TAIL = 0.05


def _lanes(cx, n, i, pad):
    """Rows i .. i + 3 of the compacted values, each fund's rows from its n on as pad."""
    v = cx[i : i + 4]
    if v.shape[0] < 4:
        v = np.vstack([v, np.zeros((4 - v.shape[0], cx.shape[1]))])
    beyond = (i + np.arange(4))[:, None] >= n[None, :]
    return np.where(beyond, pad, v)


def _fold(a):
    return (a[0] + a[1]) + (a[2] + a[3])


def _two_sum(s, x):
    t = s + x
    z = t - s
    return t, (s - (t - z)) + (x - z)


def _drawdown(x):
    """The compounded value, the lowest value / peak and its peak, trough and recovery rows."""
    rows, cols = x.shape
    r = np.arange(rows)[:, None]
    net = np.cumprod(np.where(np.isnan(x), 0.0, x) + 1.0, axis=0)
    before = np.fmax.accumulate(np.vstack([np.ones((1, cols)), net]), axis=0)[:-1]
    higher = net > before
    top = np.where(higher, net, before)
    top_row = np.maximum.accumulate(np.where(higher, r, -1), axis=0)
    q = net / top
    key = np.where(q < 1.0, q, np.inf)
    low = key.min(axis=0)
    some = low < 1.0
    trough = np.where(some, np.argmax(key == low, axis=0), -1)
    col = np.arange(cols)
    at = np.maximum(trough, 0)
    peak = top[at, col]
    peak_row = np.where(some, top_row[at, col], -1)
    back = (r > trough) & (net >= peak) & some
    recovery = np.where(back.any(axis=0), np.argmax(back, axis=0), -1)
    return net[-1], np.where(some, low, 1.0), peak_row, trough, recovery


def peer(returns, f):
    x = np.asarray(returns, dtype=np.float64)
    rows, cols = x.shape
    valid = ~np.isnan(x)
    n = valid.sum(axis=0)
    nd = n.astype(np.float64)
    hits = (x > 0).sum(axis=0).astype(np.int64)
    nan = np.full(cols, np.nan)
    none = np.full(cols, -1, np.int64)
    if rows == 0 or cols == 0:
        return (
            n.astype(np.int64),
            nan,
            nan,
            nan,
            nan,
            nan,
            nan,
            nan,
            nan,
            hits,
            nan,
            none,
            none,
            none,
            nan,
            nan,
        )
    with np.errstate(all="ignore"):
        return _peer(x, f, valid, n, nd, hits)


def _peer(x, f, valid, n, nd, hits):
    rows, cols = x.shape
    some = n > 0
    value, low, peak_row, trough, recovery = _drawdown(x)
    order = np.argsort(~valid, axis=0, kind="stable")
    cx = np.take_along_axis(x, order, axis=0)  # each fund's valid values first, in order
    first = cx[0]
    zero = np.zeros((4, cols))
    s, c = zero.copy(), zero.copy()
    lo, hi = np.full((4, cols), np.inf), np.full((4, cols), -np.inf)
    for i in range(0, int(n.max()), 4):
        act = i < n
        v = _lanes(cx, n, i, 0.0)
        t, e = _two_sum(s, v)
        s, c = np.where(act, t, s), np.where(act, c + e, c)
        w = _lanes(cx, n, i, first)
        lo = np.where(act, np.where(w < lo, w, lo), lo)
        hi = np.where(act, np.where(w > hi, w, hi), hi)
    s01, e01 = _two_sum(s[0], s[1])
    s23, e23 = _two_sum(s[2], s[3])
    top, e = _two_sum(s01, s23)
    total = top + (e + ((c[0] + c[1] + e01) + (c[2] + c[3] + e23)))
    least, most = lo[0], hi[0]
    for q in range(1, 4):
        least = np.where(lo[q] < least, lo[q], least)
        most = np.where(most < hi[q], hi[q], most)
    best, worst = most + 0.0, least + 0.0
    flat = worst == best
    mean = np.where(flat, worst, total / nd)

    s1, s2, s3, s4, dn = (zero.copy() for _ in range(5))
    for i in range(0, int(n.max()), 4):
        act = i < n
        d = _lanes(cx, n, i, mean) - mean
        d2 = d * d
        s1 = np.where(act, s1 + d, s1)
        s2 = np.where(act, s2 + d2, s2)
        s3 = np.where(act, s3 + d2 * d, s3)
        s4 = np.where(act, s4 + d2 * d2, s4)
        ex = _lanes(cx, n, i, f) - f
        ex = np.where(ex < 0.0, ex, 0.0)
        dn = np.where(act, dn + ex * ex, dn)
    s1, s2, s3, s4, dn = (_fold(a) for a in (s1, s2, s3, s4, dn))
    delta = s1 / nd
    m2 = s2 - s1 * delta
    m2 = np.where(flat, 0.0, np.where(m2 < 0.0, 0.0, m2))
    m3 = np.where(flat, 0.0, s3 - 3.0 * delta * s2 + 2.0 * nd * delta * delta * delta)
    m4 = np.where(
        flat,
        0.0,
        s4 - 4.0 * delta * s3 + 6.0 * delta * delta * s2 - 3.0 * nd * delta * delta * delta * delta,
    )
    std = np.where(n >= 2, np.sqrt(m2 / (nd - 1.0)), np.nan)
    skew = np.where(n >= 3, nd * np.sqrt(nd - 1.0) / (nd - 2.0) * (m3 / (m2 * np.sqrt(m2))), np.nan)
    kurt = np.where(
        n >= 4,
        (nd + 1.0) * nd * (nd - 1.0) * m4 / ((nd - 2.0) * (nd - 3.0) * (m2 * m2))
        - 3.0 * (nd - 1.0) * (nd - 1.0) / ((nd - 2.0) * (nd - 3.0)),
        np.nan,
    )

    srt = np.sort(x, axis=0)  # NaN last
    at = (nd - 1.0) * TAIL
    k = np.floor(at).astype(np.int64)
    col = np.arange(cols)
    one = n == 1
    lo_v = srt[np.clip(k, 0, rows - 1), col]
    hi_v = np.where(one, lo_v, srt[np.clip(k + 1, 0, rows - 1), col])
    g = np.where(one, 1.0, at - np.floor(at))
    diff = hi_v - lo_v
    var = np.where(g >= 0.5, hi_v - diff * (1.0 - g), lo_v + diff * g) + 0.0
    ts, tc = zero.copy(), zero.copy()
    for i in range(0, int(n.max()), 4):
        act = i < n
        v = _lanes(cx, n, i, np.nan)
        inside = v <= var
        ts = np.where(act, ts + np.where(inside, v, 0.0), ts)
        tc = np.where(act, tc + np.where(inside, 1.0, 0.0), tc)
    cvar = _fold(ts) / _fold(tc)

    def only(a):
        return np.where(some, a, np.nan)

    rows_of = [
        np.where(some & (trough >= 0), a, -1).astype(np.int64) for a in (peak_row, trough, recovery)
    ]
    return (
        n.astype(np.int64),
        only(value),
        only(mean),
        only(std),
        only(skew),
        only(kurt),
        only(np.sqrt(dn / nd)),
        only(best),
        only(worst),
        hits,
        only(low - 1.0),
        *rows_of,
        only(var),
        only(cvar),
    )
