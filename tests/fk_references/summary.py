"""The summary statistics, written plainly: slow and as exact as Python allows.

Moments are taken over the fund's valid (not NaN) returns in exact rational arithmetic and
rounded once at the end (square roots through 60-digit decimals); the value, the
drawdown, best, worst and the quantile are the float operations their definitions name.
Returns that are not finite have no exact moments: those come out NaN here.
"""

import math
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np

# Order of the parts, as the kernel returns them.
PARTS = (
    "periods",
    "value",
    "mean",
    "std",
    "skew",
    "kurtosis",
    "downside",
    "best",
    "worst",
    "hits",
    "depth",
    "peak",
    "trough",
    "recovery",
    "var",
    "cvar",
)
INTEGER_PARTS = {"periods", "hits", "peak", "trough", "recovery"}
TAIL = 0.05


def _decimal(q):
    return Decimal(q.numerator) / Decimal(q.denominator)


def _sqrt(q):
    """sqrt of a non-negative Fraction, as a 60-digit Decimal."""
    return _decimal(q).sqrt()


def drawdown(values):
    """The compounded value from 1.0 (NaN returns skipped) and its deepest drawdown: (value,
    depth, peak row, trough row, recovery row), -1 for none. The deepest row is the one of
    lowest value / running peak, the earliest of equal ones; only rows below 1.0 count."""
    acc, top, top_row = 1.0, 1.0, -1
    rows = []  # per row: value, peak in force, its row
    for v in values:
        if not math.isnan(v):
            acc = acc * (v + 1.0)
        if acc > top:
            top, top_row = acc, len(rows)
        rows.append((acc, top, top_row))
    ratios = [(a / t, r) for r, (a, t, _) in enumerate(rows)]
    below = [(q, r) for q, r in ratios if q < 1.0]
    if not below:
        return acc, 0.0, -1, -1, -1
    q, trough = min(below)  # the lowest, then the earliest
    _, peak, peak_row = rows[trough]
    recovery = next((r for r in range(trough + 1, len(rows)) if rows[r][0] >= peak), -1)
    return acc, q - 1.0, peak_row, trough, recovery


def quantile(xs):
    """The 5% quantile of xs with linear interpolation between the two order statistics
    around (n - 1) * 0.05, from the nearer one (NumPy's default)."""
    s = sorted(xs)
    n = len(s)
    at = (n - 1) * TAIL
    k = math.floor(at)
    if n == 1:
        lo = hi = s[0]
        g = 1.0
    else:
        lo, hi, g = s[k], s[k + 1], at - k
    diff = hi - lo
    return hi - diff * (1.0 - g) if g >= 0.5 else lo + diff * g


def column(values, f):
    """One fund's parts (a dict of PARTS) from its returns (NaN: missing) and the risk-free
    return per period f."""
    xs = [v for v in values if not math.isnan(v)]
    n = len(xs)
    out = dict.fromkeys(PARTS, math.nan)
    out.update(periods=n, hits=sum(v > 0 for v in xs), peak=-1, trough=-1, recovery=-1)
    if n == 0:
        return out
    value, depth, peak, trough, recovery = drawdown(values)
    out.update(value=value, depth=depth, peak=peak, trough=trough, recovery=recovery)
    out.update(best=max(xs), worst=min(xs))
    var = quantile(xs)
    tail = [v for v in xs if v <= var]
    out.update(var=var, cvar=_mean(tail) if tail else math.nan)
    if not all(math.isfinite(v) for v in xs):
        return out
    q = [Fraction(v) for v in xs]
    mean = sum(q) / n
    m2 = sum((v - mean) ** 2 for v in q)
    m3 = sum((v - mean) ** 3 for v in q)
    m4 = sum((v - mean) ** 4 for v in q)
    down = sum((min(v - Fraction(f), 0) ** 2 for v in q), Fraction(0)) / n
    with localcontext() as ctx:
        ctx.prec = 60
        out["mean"] = float(mean)
        out["downside"] = float(_sqrt(down))
        if n >= 2:
            out["std"] = float(_sqrt(m2 / (n - 1)))
        if m2 != 0 and n >= 3:
            out["skew"] = float(
                Decimal(n)
                * Decimal(n - 1).sqrt()
                / Decimal(n - 2)
                * _decimal(m3)
                / (_decimal(m2) * _sqrt(m2))
            )
        if m2 != 0 and n >= 4:
            out["kurtosis"] = float(
                Fraction((n + 1) * n * (n - 1)) * m4 / ((n - 2) * (n - 3) * m2**2)
                - Fraction(3 * (n - 1) ** 2, (n - 2) * (n - 3))
            )
    return out


def summary(x, f):
    """The kernel's tuple for a (dates x funds) matrix and the risk-free return per period."""
    x = np.asarray(x, dtype=np.float64)
    cols = [column(x[:, c].tolist(), f) for c in range(x.shape[1])]
    return tuple(
        np.array([c[part] for c in cols], dtype=np.int64 if part in INTEGER_PARTS else np.float64)
        for part in PARTS
    )


# --- agreement of the kernel's results with the definitions ---------------------------


# Exact: the counts, rows, and what the definitions compute with plain float operations.
EXACT = ("periods", "hits", "peak", "trough", "recovery", "value", "depth", "best", "worst", "var")


def equal(a, b):
    """Element-wise equality, NaN matching NaN (0.0 matches -0.0)."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return bool(np.all((a == b) | (np.isnan(a) & np.isnan(b))))


def _mean(xs):
    """The mean of the values, exact and then rounded where their sum overflows a float."""
    try:
        return math.fsum(xs) / len(xs)
    except OverflowError:
        infinite = {v for v in xs if math.isinf(v)}
        if infinite:  # the infinities decide: one sign, or NaN for both
            return infinite.pop() if len(infinite) == 1 else math.nan
        return float(sum(map(Fraction, xs)) / len(xs))


def _sum_is_finite(xs):
    try:
        return math.isfinite(math.fsum(map(abs, xs)))
    except OverflowError:
        return False


def moment_scales(xs, f):
    """Per moment, the size of the terms it is made of: what a rounding error is relative to
    (the result itself unless its terms cancel)."""
    q = [Fraction(v) for v in xs]
    n = len(q)
    mean = sum(q) / n
    d = [abs(float(v - mean)) for v in q]
    m2 = sum(v * v for v in d)
    s = {
        "mean": sum(abs(v) for v in xs) / n,
        "std": math.sqrt(m2 / max(n - 1, 1)),
        "downside": math.sqrt(sum(min(v - f, 0.0) ** 2 for v in xs) / n),
    }
    if m2 > 0 and n >= 3:
        s["skew"] = n * math.sqrt(n - 1) / (n - 2) * sum(v**3 for v in d) / m2**1.5
    if m2 > 0 and n >= 4:
        s["kurtosis"] = (n + 1) * n * (n - 1) * sum(v**4 for v in d) / (
            (n - 2) * (n - 3) * m2**2
        ) + 3 * (n - 1) ** 2 / ((n - 2) * (n - 3))
    return s


def representable(xs):
    """Returns whose moments a float computation can reach: finite, and no square or fourth
    power lost to underflow or overflow."""
    return all(v == 0 or 1e-60 < abs(v) < 1e60 for v in xs)


PARTS_NO_DOWN = ("mean", "std", "skew", "kurtosis")


def agree(x, f, result, reference=None):
    """Asserts that the kernel's tuple for the matrix x and the risk-free return f agrees
    with the definitions (reference: summary(x, f), when already at hand): the exact parts
    equal, the tail mean within 1e-12 of the size of its terms and each moment within
    1e-12 of the result or of its terms' size."""
    x = np.asarray(x, dtype=np.float64)
    got = dict(zip(PARTS, result))
    want = dict(zip(PARTS, summary(x, f) if reference is None else reference))
    for p in EXACT:
        assert equal(got[p], want[p]), p
    for c in range(x.shape[1]):
        xs = [v for v in x[:, c].tolist() if not math.isnan(v)]
        tail = [v for v in xs if v <= want["var"][c]]
        # A tail whose sum overflows a float is beyond what the kernel's sum can hold.
        if tail and all(math.isfinite(v) for v in tail) and _sum_is_finite(tail):
            assert abs(got["cvar"][c] - want["cvar"][c]) <= 1e-12 * math.fsum(map(abs, tail)) / len(
                tail
            )
        # A huge risk-free return overflows the shortfalls' squares as well.
        if not xs or not representable(xs) or not abs(f) < 1e60:
            continue
        scales = moment_scales(xs, f)
        # Shortfalls whose squares underflow (a return a hair below f) leave the downside.
        short = representable([min(v - f, 0.0) for v in xs])
        for p in ("mean", "std", "skew", "kurtosis", "downside") if short else PARTS_NO_DOWN:
            g, w = got[p][c], want[p][c]
            if math.isnan(w):
                assert math.isnan(g), (p, c, g)
                continue
            assert abs(g - w) <= 1e-12 * max(abs(w), scales[p]), (p, c, g, w)


# The kernel's calls on a value matrix x: a risk-free return of 0.01% per period.
CASES = {"summary": lambda x: (x, 0.0001)}
