"""Where the longest drawdown lies, written plainly: slow and obviously right.

The drawdown rows are those troughmend counts: the value compounded from 1.0 (NaN returns
skipped), its running peak raised only by a strictly greater value, and a row in a
drawdown when (value - peak) / peak is not 0 (NaN included).
"""

import math

import numpy as np


# Order of the parts, as the kernel returns them.
PARTS = ("length", "peak", "first", "last", "trough", "depth", "recovery")


def column(values):
    """The details of one column of returns, as a dict of PARTS (-1 and NaN for none)."""
    acc, peak, peak_row = 1.0, 1.0, -1
    rows = []  # per row: compounded value, peak in force, row that set it, in a drawdown
    for r, v in enumerate(values):
        if not math.isnan(v):
            acc = acc * (v + 1.0)
        if acc > peak:
            peak, peak_row = acc, r
        rows.append((acc, peak, peak_row, (acc - peak) / peak != 0.0))
    # Every run of drawdown rows; the longest wins, of equally long ones the latest.
    best = None
    r = 0
    while r < len(rows):
        if not rows[r][3]:
            r += 1
            continue
        first = r
        while r < len(rows) and rows[r][3]:
            r += 1
        if best is None or r - first >= best[1] - best[0]:
            best = (first, r)
    if best is None:
        return dict(zip(PARTS, (0, -1, -1, -1, -1, math.nan, -1)))
    first, end = best
    _, top, top_row, _ = rows[first]  # measured from the peak in force on its first row

    def rank(i):  # lowest value first, NaN above every number, then the earliest row
        value = rows[i][0]
        return (math.isnan(value), 0.0 if math.isnan(value) else value, i)

    trough = min(range(first, end), key=rank)
    return {
        "length": end - first,
        "peak": top_row,
        "first": first,
        "last": end - 1,
        "trough": trough,
        "depth": rows[trough][0] / top - 1.0,
        "recovery": end if end < len(rows) else -1,
    }


def drawdown(x):
    """The kernel's tuple for a (dates x funds) matrix: int64 arrays, depth float64."""
    x = np.asarray(x, dtype=np.float64)
    cols = [column(x[:, c].tolist()) for c in range(x.shape[1])]
    return tuple(
        np.array([c[part] for c in cols], dtype=np.float64 if part == "depth" else np.int64)
        for part in PARTS
    )


# The kernel's calls on a value matrix x: where troughmend's longest drawdown lies.
CASES = {"drawdown": lambda x: (x,)}
