"""Percentile ranks of funds within their peer groups, for any front end.

A fund's rank on a column runs from 1, the best of its peer group, to 100, the worst:
1 + 99 (r - 1) / (m - 1), where r is its place among the m funds of its group that have a
value on that column (r = 1 + the number of them strictly better) and a lone fund is 1.
Equal values share the better place. A fund without a value (NaN, NaT) is not ranked
(NaN). Which way is better is the column's own ("higher" or "lower").
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

# The rank columns' names: the ranked column's name with this after it.
RANK_SUFFIX = "_rank"
# The column beside the ranks: how many funds the fund's peer group has.
GROUP_SIZE = "peer_group_size"


def percentile_ranks(
    values: npt.ArrayLike, groups: npt.NDArray[np.integer[Any]], better: str
) -> npt.NDArray[np.float64]:
    """Each fund's rank (1 best .. 100 worst) among the funds of its group (equal codes in
    `groups`) that have a value; NaN for a fund without one."""
    if better not in ("higher", "lower"):
        raise ValueError(f"better must be 'higher' or 'lower', not {better!r}")
    v = np.asarray(values)
    if v.dtype.kind == "M":
        raise TypeError("dates have no better or worse: rank numbers only")
    v = v.astype(np.float64)
    out = np.full(len(v), np.nan)
    have = np.flatnonzero(~np.isnan(v))
    if have.size == 0:
        return out
    key = -v[have] if better == "higher" else v[have]  # best first
    g = np.asarray(groups)[have]
    order = np.lexsort((key, g))
    gs, ks = g[order], key[order]
    idx = np.arange(len(order))
    new_group = np.ones(len(order), dtype=bool)
    new_group[1:] = gs[1:] != gs[:-1]
    new_value = new_group.copy()
    new_value[1:] |= ks[1:] != ks[:-1]
    group_start = np.maximum.accumulate(np.where(new_group, idx, 0))
    value_start = np.maximum.accumulate(np.where(new_value, idx, 0))
    place = value_start - group_start  # r - 1
    ends = np.append(np.flatnonzero(new_group)[1:], len(order))
    sizes = np.repeat(ends - np.flatnonzero(new_group), ends - np.flatnonzero(new_group))
    with np.errstate(invalid="ignore", divide="ignore"):
        pct = np.where(sizes > 1, 1.0 + 99.0 * place / (sizes - 1), 1.0)
    out[have[order]] = pct
    return out


def peer_ranks(
    columns: Mapping[str, npt.ArrayLike],
    groups: Optional[npt.NDArray[np.integer[Any]]],
    better: Mapping[str, Any],
) -> dict[str, npt.NDArray[Any]]:
    """The rank of every fund on every column of `columns` that has a direction in
    `better` ("higher" or "lower"; None or absent: not ranked), named column + "_rank", in
    the columns' order, then the size of each fund's peer group (GROUP_SIZE). groups: each
    fund's group code (None: one group of all funds)."""
    n = len(np.asarray(next(iter(columns.values())))) if columns else 0
    codes = np.zeros(n, np.int64) if groups is None else np.asarray(groups)
    if len(codes) != n:
        raise ValueError(f"groups has {len(codes)} codes for {n} funds")
    out: dict[str, npt.NDArray[Any]] = {}
    for name, values in columns.items():
        way = better.get(name)
        if way is not None:
            out[name + RANK_SUFFIX] = percentile_ranks(values, codes, str(way))
    _, inverse, counts = np.unique(codes, return_inverse=True, return_counts=True)
    out[GROUP_SIZE] = counts[inverse].astype(np.int64)
    return out
