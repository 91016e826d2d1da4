"""The values as returns: net asset values turned into returns, and the funds whose values
look like prices or NAVs rather than returns (a warning's matter). NumPy only."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import TYPE_CHECKING, Optional

import numpy as np

from ._dates import date_text
from ._errors import InputError

if TYPE_CHECKING:
    from ._panel import Dates, Matrix

_NAV_BLOCK = 256  # columns converted at a time: bounds the temporaries to a slice


def returns_from_navs(
    navs: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    in_place: bool = False,
) -> Matrix:
    """Returns from net asset values: on every row nav / (the previous valid nav) - 1, one
    division and one subtraction, so the result is reproducible anywhere. The first valid
    NAV and every missing one give NaN. A zero, negative or infinite NAV is an error naming
    the fund and its date (its row when there are no dates).

    in_place overwrites navs (a matrix the caller owns); otherwise a new column-major
    matrix is returned and navs is left as it is."""
    rows, cols = navs.shape
    out = navs if in_place else np.empty((rows, cols), order="F")
    for lo in range(0, cols, _NAV_BLOCK):
        block = navs[:, lo : lo + _NAV_BLOCK]
        bad = (block <= 0) | np.isinf(block)
        if bad.any():
            col, row = (int(i[0]) for i in np.nonzero(bad.T))  # the first fund, then row
            when = f"row {row}" if dates is None else date_text(int(dates[row]))
            raise InputError(
                "NAVs must be positive and finite: fund "
                f"{funds[lo + col]!r} has {float(block[row, col])!r} on {when}"
            )
        missing = np.isnan(block)
        # Each NAV over the one on the row before. After a gap (the row before missing)
        # that is NaN; those few cells take the last valid NAV before the gap, found by
        # stepping back through it, all such cells at once. A column's first valid NAV,
        # with none before it, stays NaN without a walk.
        ret = np.empty(block.shape, order="F")
        ret[:1] = np.nan
        with np.errstate(invalid="ignore", over="ignore"):  # a huge rise is inf
            np.divide(block[1:], block[:-1], out=ret[1:])
            ret[1:] -= 1.0
            after, of = np.nonzero(missing[:-1] & ~missing[1:])
            after += 1
            if after.size:
                later = after != np.argmax(~missing, axis=0)[of]
                after, of = after[later], of[later]
            prev = after - 1
            walk = np.arange(after.size)
            while walk.size:  # as many steps as the longest gap
                prev[walk] -= 1
                walk = walk[missing[prev[walk], of[walk]]]
            ret[after, of] = block[after, of] / block[prev, of] - 1.0
        out[:, lo : lo + _NAV_BLOCK] = ret
    return out


# --- values that look like prices ------------------------------------------------------

# Returns that are all positive with a median above 50% a period are not returns anyone
# has; prices and NAVs are all positive and usually far above it.
_PRICE_MEDIAN = 0.5
_PRICE_PROBE = 64  # rows looked at first: returns soon show a loss or a small value


def price_like(values: Matrix, funds: Sequence[Hashable]) -> list[Hashable]:
    """The funds whose values look like prices or NAVs rather than returns: at least two
    values, every one positive, their median above 0.5. The first rows decide for nearly
    every fund of returns, so the check costs little beside the indicators."""
    if values.ndim != 2 or values.shape[0] < 2 or values.shape[1] == 0:
        return []
    head = values[:_PRICE_PROBE]
    # A loss or a zero in the first rows clears nearly every fund of returns at once; the
    # share of small values is counted only for the funds that remain.
    with np.errstate(invalid="ignore"):
        maybe = np.flatnonzero(~(np.fmin.reduce(head, axis=0) <= 0))
        rest = head[:, maybe]
        maybe = maybe[
            ~((np.abs(rest) <= _PRICE_MEDIAN).sum(axis=0) * 2 > (~np.isnan(rest)).sum(axis=0))
        ]
    found = []
    for j in maybe:
        col = values[:, j]
        have = col[~np.isnan(col)]
        if have.size >= 2 and have.min() > 0 and np.median(have) > _PRICE_MEDIAN:
            found.append(funds[int(j)])
    return found


def price_like_funds(found: Sequence[Hashable]) -> str:
    """The funds of price_like for a message: "the values of 'A', 'B' and 3 more funds"."""
    shown = ", ".join(repr(f) for f in found[:5])
    rest = len(found) - 5
    more = f" and {rest} more fund{'s' if rest > 1 else ''}" if rest > 0 else ""
    return f"the values of {shown}{more}"
