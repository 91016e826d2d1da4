"""Funds cut into blocks that are computed apart: consecutive funds, or whole peer groups
when a fund's result depends on its group's. (Shared by the dask front end and the
command's dask engine; NumPy only, so the command does not load dask's data frames.)"""

from __future__ import annotations

from typing import Optional

import numpy as np
import numpy.typing as npt

# Cells (dates x funds) of a block's matrix by default: 128 MB of float64.
BLOCK_CELLS = 1 << 24


def blocks_of(
    funds: int, dates: int, width: Optional[int], codes: Optional[npt.NDArray[np.int32]]
) -> list[npt.NDArray[np.intp]]:
    """Funds cut into blocks of about width (default: BLOCK_CELLS cells); with codes,
    whole groups packed in order of first appearance (a group never splits)."""
    width = width or max(1, BLOCK_CELLS // max(dates, 1))
    if codes is None:
        return [np.arange(lo, min(lo + width, funds)) for lo in range(0, funds, width)]
    order = np.argsort(codes, kind="stable")  # funds of group 0, then of group 1, ...
    starts: list[int] = (
        np.flatnonzero(np.r_[True, np.diff(codes[order]) != 0]).tolist() if funds else []
    )
    out: list[npt.NDArray[np.intp]] = []
    current: list[npt.NDArray[np.intp]] = []
    filled = 0
    for lo, hi in zip(list(starts), [*list(starts)[1:], funds]):
        # A group never splits: close the block before a group that would overfill it.
        if filled and filled + (hi - lo) > width:
            out.append(np.sort(np.concatenate(current)))
            current, filled = [], 0
        current.append(order[lo:hi])
        filled += hi - lo
    if current:
        out.append(np.sort(np.concatenate(current)))
    return out
