import math

import numpy as np

from .calls import daily_dates, rows_of
from .dates import ymd

nan = math.nan


def streakset(x, dates, i_code="positive"):
    """Per fund the longest run of positive values (gaps inside the data break runs, the
    latest of equal runs wins), its compounded return from the row before it (1.0 before
    row 0), its first and last date texts and its length."""
    positive = i_code in ("positive", b"positive")  # bytes arrive as their raw text
    out = ([], [], [], [])
    for c in range(x.shape[1]):
        col = x[:, c].tolist()
        v = list(col)
        present = [r for r, val in enumerate(v) if not math.isnan(val)]
        for r in range(present[0] + 1, present[-1]) if present else ():
            v[r] = 0.0 if math.isnan(v[r]) else v[r]
        best_len, cur, best_end = 0, 0, -1
        for r, val in enumerate(v):
            cur = cur + 1 if val > 0 else 0
            if cur and cur >= best_len:
                best_len, best_end = cur, r
        res = (0.0, "nan", "nan", 0)
        if best_len:
            nv, acc = [], 1.0
            for val in col:
                if not math.isnan(val):
                    acc = acc * (1.0 + val if positive else 1.0 - val)
                nv.append(acc)
            start = best_end - best_len + 1
            first = nv[start - 1] if start > 0 else 1.0
            ret = nan if first == 0.0 else nv[best_end] / first - 1.0
            res = (ret, ymd(int(dates[start])), ymd(int(dates[best_end])), best_len)
        for part, val in zip(out, res):
            part.append(val)
    return np.array(out[0], dtype=np.float64), out[1], out[2], np.array(out[3], dtype=np.int64)


# The module's calls on a value matrix x, by label; the inverted mode reads the values as
# sizes of losses, compounded as (1 - v).
CASES = {
    "streakset": lambda x: (x, daily_dates(rows_of(x)), "positive"),
    "streakset-inv": lambda x: (x, daily_dates(rows_of(x)), "loss"),
}
