import math
import re

import numpy as np

from .calls import cols_of, daily_dates, rows_of
from .dates import (
    DAY_S,
    NS,
    civil_from_days,
    days_from_civil,
    month_length,
    seconds_toward_zero,
    ymd,
)

I32_MAX = 2**31 - 1
nan, inf = math.nan, math.inf

# Band tests in result order after `win`: w0, w5, w10, l0, l5, l10.
BANDS = [
    lambda v: v > 0,
    lambda v: 0 < v <= 0.05,
    lambda v: 0.05 < v <= 0.1,
    lambda v: v > 0.1,
    lambda v: -0.05 <= v <= 0,
    lambda v: -0.1 <= v < -0.05,
    lambda v: v < -0.1,
]


def months_of(code):
    """Month count of a period code: the leftmost digits followed by M or Y anywhere in the
    text. Codes that name no period, or too many months, raise as the module does."""
    if isinstance(code, (bytes, bytearray)):
        code = bytes(code).decode("latin-1")  # only ASCII digits, M and Y matter
    mm = re.search(r"(\d+)([MY])", code, flags=re.ASCII)
    if mm is None:
        raise RuntimeError("i_code 格式错误")
    num = int(mm.group(1))
    if num > I32_MAX:
        raise IndexError("stoi")
    if mm.group(2) == "M":
        return num
    if num > I32_MAX // 12:
        raise ValueError(f"horizon too long: {mm.group(1)}Y is more than {I32_MAX} months")
    return num * 12


def add_months(ns, months):
    """The same day of month (clamped to the month's length) and time of day, `months`
    later, in exact integers: an end past 2262 is simply larger than every int64 date."""
    day, tod = divmod(seconds_toward_zero(ns), DAY_S)
    year, month, mday = civil_from_days(day)
    tot = year * 12 + month - 1 + months
    if tot > I32_MAX:
        raise ValueError(
            f"horizon too long: {months} months after {ymd(ns)} end past month "
            f"{I32_MAX} counted from year 0"
        )
    ny, nm = divmod(tot, 12)
    end = days_from_civil(ny, nm + 1, min(mday, month_length(ny, nm + 1)))
    return (end * DAY_S + tod) * NS


def ieee_div(a, b):
    if b == 0.0:
        return nan if a == 0.0 or math.isnan(a) else math.copysign(inf, a) * math.copysign(1.0, b)
    return a / b


def horizonret(code, x, start, end, dates):
    """Per fund: the value path inside its row window, the return from each row to the row
    where its calendar horizon ends, and the mean, median, share of gains and six band
    shares of those returns (rows whose horizon reaches the last row left out)."""
    months = months_of(code)
    D, N = x.shape
    dates = [int(v) for v in dates[:D]]
    fut, cur = [], 0
    for d in dates:
        tgt = add_months(d, months)
        while cur < D and dates[cur] < tgt:
            cur += 1
        fut.append(min(cur, D - 1))
    tail = fut.count(D - 1)
    out = np.full((9, N), nan)
    for c in range(N):
        lo, hi = int(start[c]), int(end[c])
        nv, acc = [], 1.0
        for r in range(D):
            v = float(x[r, c])
            if not math.isnan(v) and lo <= r <= hi:
                acc = acc * (v + 1.0)
            nv.append(acc if lo <= r <= hi else nan)
        ret = [ieee_div(nv[f], nv[k]) - 1.0 for k, f in enumerate(fut)]
        xs = [v for v in ret[: max(0, D - 1 - tail)] if not math.isnan(v)]
        if xs:
            n, s = len(xs), 0.0
            for v in xs:
                s += v
            srt, k = sorted(xs), n // 2
            med = srt[k] if n % 2 else (srt[k] + srt[k - 1]) * 0.5
            out[:, c] = [s / n, med] + [sum(map(band, xs)) / n for band in BANDS]
    return tuple(out)


def _case(code):
    return lambda x: (
        code,
        x,
        np.zeros(cols_of(x), np.int64),
        np.full(cols_of(x), rows_of(x) - 1, np.int64),
        daily_dates(rows_of(x)),
    )


# The module's calls on a value matrix x, by label: every row of every fund, 3M and 1Y.
CASES = {"horizonret": _case("3M"), "horizonret-1Y": _case("1Y")}
