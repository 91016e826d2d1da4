"""The kernels of the indicators' table (``fundkernels._registry``): each compiled module
called on a checked panel (values, dates, funds and options in), its result given as named
columns."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from crossodds import crossodds as _crossodds
from extremeset import extremeset as _extremeset
from horizonret import horizonret as _horizonret
from streakset import streakset as _streakset
from troughmend import troughmend as _troughmend

from ._errors import InputError
from . import _panel
from . import _ownrows
from ._drawdown import drawdown as _drawdown
from ._ownhorizon import ownhorizon as _ownhorizon
from ._dates import row_dates, text_dates
from ._panel import Bound, Columns, Dates, Matrix, valid_window


# own_rows (the own calendar's, for troughmend, drawdown, extremeset and streakset): each
# fund on its own rows, those holding a value, in one call (fundkernels._ownrows).


def troughmend_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable], *, own_rows: bool = False
) -> Columns:
    return {"troughmend": np.asarray((_ownrows.troughmend if own_rows else _troughmend)(values))}


def drawdown_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable], *, own_rows: bool = False
) -> Columns:
    assert dates is not None
    kernel = _ownrows.drawdown if own_rows else _drawdown
    length, peak, first, last, trough, depth, recovery = kernel(values)
    return {
        "length": length,
        "peak": row_dates(peak, dates),
        "first": row_dates(first, dates),
        "last": row_dates(last, dates),
        "trough": row_dates(trough, dates),
        "depth": depth,
        "recovery": row_dates(recovery, dates),
    }


def crossodds_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable], *, types: object
) -> Columns:
    if isinstance(types, np.ndarray):  # numbered already (the dask front end's blocks)
        codes = types
    else:
        codes = _panel.group_codes(types, funds, "types")
    return {"crossodds": np.asarray(_crossodds(codes, values))}


def horizonret_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    horizon: str,
    start: Bound,
    end: Bound,
    own_first: Optional[Dates] = None,
    gapped: Optional[npt.NDArray[np.bool_]] = None,
) -> Columns:
    """own_first and gapped (the own calendar's): each fund's first own row and whether it
    skips any later row, and each fund on its own rows, that one and every later row
    holding a value (fundkernels._ownhorizon). Its windows are read on the panel's dates:
    rows a fund does not own start and end no horizon of its own, so a window holds the
    fund's own rows on and after its start date, on and before its end date, as it does
    for the fund alone. A fund without a gap whose window starts on or after its first own
    row is on its own rows already (-1: the module's own walk)."""
    assert dates is not None
    first, last = valid_window(values)
    starts, ends = start.rows(dates, funds, first), end.rows(dates, funds, last)
    try:
        if own_first is None:
            parts = _horizonret(horizon, values, starts, ends, dates)
        else:
            mine = np.where(np.asarray(gapped) | (starts < own_first), own_first, -1)
            parts = _ownhorizon(horizon, values, starts, ends, dates, mine)
    except ValueError as exc:  # a horizon that runs past the calendar: the caller's choice
        raise InputError(str(exc)) from None
    from ._registry import HORIZON_COLUMNS  # the entry's columns, in their order

    names = list(HORIZON_COLUMNS)
    return dict(zip(names, (np.asarray(p, dtype=np.float64) for p in parts)))


def _run_columns(ret: Any, length: Any, first: list[str], last: list[str]) -> Columns:
    return {
        "return": np.asarray(ret, dtype=np.float64),
        "length": np.asarray(length, dtype=np.int64),
        "first": text_dates(first),
        "last": text_dates(last),
    }


def extremeset_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    mode: str,
    own_rows: bool = False,
) -> Columns:
    assert dates is not None
    kernel = _ownrows.extremeset if own_rows else _extremeset
    if mode == "gain":
        res = kernel(values, dates, "positive")
    else:
        # Inverted mode on the sizes of the losses compounds (1 - (-v)) = (1 + v) over runs
        # of losing rows: the deepest compounded fall.
        res = kernel(np.negative(values), dates, "loss")
    return _run_columns(res["r"], res["p"], res["s"], res["l"])


def streakset_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    mode: str,
    own_rows: bool = False,
) -> Columns:
    assert dates is not None
    kernel = _ownrows.streakset if own_rows else _streakset
    if mode == "gain":
        ret, first, last, length = kernel(values, dates, "positive")
    else:
        ret, first, last, length = kernel(np.negative(values), dates, "loss")
    return _run_columns(ret, length, first, last)
