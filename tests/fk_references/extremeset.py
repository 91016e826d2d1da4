import math

import numpy as np

from .calls import daily_dates, rows_of
from .dates import ymd

nan, inf = math.nan, math.inf


def extremeset_column(col, dates, positive):
    """One column, step by step with whole working vectors."""
    rows = len(col)
    present = [i for i, v in enumerate(col) if not math.isnan(v)]
    if present:
        for i in range(present[0] + 1, present[-1]):
            if math.isnan(col[i]):
                col[i] = 0.0
    sel = [v if v > 0.0 else nan for v in col]
    cp, acc = [], 1.0
    for v in sel:
        if not math.isnan(v):
            acc = acc * (v + 1.0) if positive else acc * (1.0 - v)
        cp.append(acc)
    if rows == 0:
        return 0.0, 0, "nan", "nan"
    denom, last = [], 1.0
    for r in range(rows):
        if math.isnan(sel[r]):
            denom.append(last)
        else:
            denom.append(nan)
            last = cp[r]
    for r in range(rows):
        if math.isnan(denom[r]):
            denom[r] = denom[r - 1] if r > 0 else 1.0
    ratio = [nan] * rows
    for r in range(rows):
        if not math.isnan(sel[r]):
            with np.errstate(all="ignore"):  # IEEE quotients: 0/0 and inf/inf are NaN
                q = float(np.float64(cp[r]) / np.float64(denom[r]))
            ratio[r] = nan if q == 1.0 else q
    extreme = -inf if positive else inf
    for q in ratio:
        if not math.isnan(q):
            extreme = max(extreme, q) if positive else min(extreme, q)
    if math.isinf(extreme):
        return 0.0, 0, "nan", "nan"
    last_idx = next(r for r in range(rows - 1, -1, -1) if ratio[r] == extreme)
    first_idx = last_idx
    while first_idx > 0 and not math.isnan(ratio[first_idx - 1]):
        first_idx -= 1
    return extreme - 1.0, last_idx - first_idx + 1, ymd(dates[first_idx]), ymd(dates[last_idx])


def extremeset(x, dates, i_code="positive"):
    """Per fund the most extreme compounded move over a run of positive values: factors
    1 + v and the largest product when `i_code` is exactly "positive", else 1 - v and the
    smallest; with its length and first and last date texts."""
    positive = i_code in ("positive", b"positive")  # bytes arrive as their raw text
    dates = [int(d) for d in dates]
    cols = [extremeset_column(x[:, c].tolist(), dates, positive) for c in range(x.shape[1])]
    return {
        "r": np.array([c[0] for c in cols], dtype=np.float64),
        "p": np.array([c[1] for c in cols], dtype=np.int64),
        "s": [c[2] for c in cols],
        "l": [c[3] for c in cols],
    }


# The module's calls on a value matrix x, by label; the inverted mode reads the values as
# sizes of losses, compounded as (1 - v).
CASES = {
    "extremeset": lambda x: (x, daily_dates(rows_of(x)), "positive"),
    "extremeset-inv": lambda x: (x, daily_dates(rows_of(x)), "loss"),
}
