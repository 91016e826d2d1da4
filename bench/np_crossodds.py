"""Cross-product ratio, written as a NumPy user would: whole-matrix operations.

Groups of equal size are handled together, so the Python loop runs over the distinct group
sizes (one pass for 2,000 single-fund groups), not over the groups.
"""

import numpy as np


def group_medians(x, codes):
    """(dates x funds) matrix whose column c holds the median of c's group on each date."""
    rows, cols = x.shape
    med = np.empty_like(x)
    order = np.argsort(codes, kind="stable")
    _, starts, sizes = np.unique(codes[order], return_index=True, return_counts=True)
    for size in np.unique(sizes):
        members = order[starts[sizes == size][:, None] + np.arange(size)]  # groups x size
        if size == 1:  # a fund alone is its own median
            med[:, members[:, 0]] = x[:, members[:, 0]]
            continue
        block = np.sort(x[:, members], axis=2)  # dates x groups x size, NaN last
        n = size - np.isnan(block).sum(axis=2)
        hi = np.take_along_axis(block, (n // 2)[..., None], axis=2)[..., 0]
        lo = np.take_along_axis(block, np.maximum(n // 2 - 1, 0)[..., None], axis=2)[..., 0]
        # Even counts: the two middle values added, then halved (np.nanmedian divides the sum
        # by 2, the same bits, but is about three times slower here); no value leaves NaN.
        med[:, members] = np.where(n % 2 == 1, hi, (lo + hi) * 0.5)[..., None]
    return med


def peer(type_codes, values):
    x = np.asarray(values, dtype=np.float64)
    rows, cols = x.shape
    codes = np.asarray(type_codes).astype(np.int32, casting="unsafe").ravel()
    if codes.size < cols:
        raise ValueError(
            f"type_codes has {codes.size} elements, but the value matrix has {cols} columns"
        )
    out = np.full(cols, np.nan)
    if rows == 0 or cols == 0:
        return out
    # Huge pairs overflow to an infinite median and inf with -inf gives NaN, as intended.
    with np.errstate(over="ignore", invalid="ignore"):
        med = group_medians(x, codes[:cols])
    flag = np.where(np.isnan(x) | np.isnan(med), np.int8(-1), (x >= med).astype(np.int8))

    # Each flagged date pairs with the latest flagged date before it, if any. The running
    # maximum of 2 * date + flag over flagged dates carries both that date and its flag.
    flagged = flag >= 0
    key = np.where(flagged, 2 * np.arange(rows, dtype=np.int32)[:, None] + flag, np.int32(-1))
    before = np.maximum.accumulate(key, axis=0)[:-1]
    pair = flagged[1:] & (before >= 0)
    reversals = (pair & ((before & 1) != flag[1:])).sum(axis=0)
    repeats = pair.sum(axis=0) - reversals
    some = reversals > 0
    out[some] = repeats[some] / reversals[some]
    return out
