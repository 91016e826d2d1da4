"""The panel logic every front end shares, independent of any frame library.

Every front end (``fundkernels.pandas``, ``fundkernels.frames``, ``fundkernels.dask`` and
the command) turns its input into the same three things: a float64 matrix (rows are dates,
columns are funds), the row dates as int64 nanoseconds since the epoch (UTC; read by
``fundkernels._dates``) and the fund labels. This module checks arguments, numbers type
groups, resolves window bounds and runs one indicator of the registry
(``fundkernels._registry``) on such a panel with ``compute`` (NAVs turned into returns
first, values that look like prices warned of: ``fundkernels._returns``), giving its result
as named columns (``Columns``: one NumPy array per column, one value per fund), which each
front end labels in its own library (``_pandas_adapter``, ``_narwhals_adapter``). It needs
NumPy only.
"""

from __future__ import annotations

import os
import re
import sys
import warnings
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ._dates import instant_ns, is_missing
from ._errors import InputError, InputTypeError, PriceLikeWarning
from ._returns import price_like, price_like_funds, returns_from_navs

if TYPE_CHECKING:
    from typing import TypeGuard

    import pandas as pd

Matrix = npt.NDArray[np.float64]
Dates = npt.NDArray[np.int64]
# A result: named columns in order, one value per fund.
Columns = dict[str, npt.NDArray[Any]]

_HORIZON = re.compile(r"(\d+)([MY])")
_MAX_MONTHS = 2**31 - 1
# The type codes that put every fund in one peer group: chosen explicitly, never by omission.
ALL_FUNDS = "all"


# --- argument checks -------------------------------------------------------------------


def check_mode(mode: object) -> str:
    if mode not in ("gain", "loss"):
        raise InputError(f"mode must be 'gain' or 'loss', not {mode!r}")
    return str(mode)


def check_types(types: object) -> object:
    """Type codes as given; numbered per panel (``group_codes``) where the funds are known."""
    if types is None:
        raise InputTypeError(
            "crossodds needs types=: each fund's type code, keyed by fund (a mapping or a"
            f" Series; in fundkernels.frames also a (fund, type) frame), or {ALL_FUNDS!r} to"
            " compare every fund with the median of all funds"
        )
    return types


def horizon_code(horizon: object) -> str:
    """A horizon such as "3M" or "1Y", checked whole (the module would search inside text)."""
    if not isinstance(horizon, str):
        raise InputTypeError(
            f"horizon must be a str such as '3M' or '1Y', not {type(horizon).__name__}"
        )
    match = _HORIZON.fullmatch(horizon)
    if match is None:
        raise InputError(
            "horizon must be a whole number of months or years such as '3M' or '1Y',"
            f" not {horizon!r}"
        )
    months = int(match.group(1)) * (12 if match.group(2) == "Y" else 1)
    if months > _MAX_MONTHS:
        raise InputError(f"horizon {horizon!r} is longer than {_MAX_MONTHS} months")
    return horizon


def troughmend_kind(details: object) -> str:
    """The table's entry for troughmend: the length alone, or with details=True where the
    longest drawdown lies."""
    if not isinstance(details, (bool, np.bool_)):
        raise InputTypeError(f"details must be True or False, not {details!r}")
    return "drawdown" if details else "troughmend"


def check_navs(navs: object) -> bool:
    if not isinstance(navs, (bool, np.bool_)):
        raise InputTypeError(f"navs must be True or False, not {navs!r}")
    return bool(navs)


def unique_labels(labels: Sequence[Hashable], what: str = "fund labels") -> None:
    """Duplicate labels would make results ambiguous: name the first ten."""
    if len(set(labels)) == len(labels):  # at once; label by label only to name them
        return
    seen: set[Hashable] = set()
    dups: list[Hashable] = []
    for label in labels:
        if label in seen and label not in dups:
            dups.append(label)
        seen.add(label)
    if dups:
        raise InputError(f"{what} must be unique; duplicated: {dups[:10]}")


def is_pandas_series(obj: object) -> TypeGuard[pd.Series[Any]]:
    """Whether obj is a pandas Series (pandas cannot have made one unless it is imported)."""
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, pd.Series)


# --- type groups and windows -----------------------------------------------------------


def group_codes(codes: object, funds: Sequence[Hashable], what: str) -> npt.NDArray[np.int32]:
    """Type codes looked up by fund and numbered 0, 1, ... in order of first appearance.

    Any hashable labels serve as codes (numbers or names such as "industry"); funds with
    equal labels form one group. Renumbering leaves the groups, and so the results, as they
    are, and keeps float codes such as 1.0 and 1.7 apart. A pandas Series is taken as a
    mapping from its index. ALL_FUNDS ("all") puts every fund in one group.
    """
    if isinstance(codes, str) and codes == ALL_FUNDS:
        return np.zeros(len(funds), np.int32)
    if is_pandas_series(codes):
        if not codes.index.is_unique:
            raise InputError(f"{what} must have unique fund labels")
        codes = dict(zip(codes.index, codes.tolist()))
    if not isinstance(codes, Mapping):
        raise InputTypeError(
            f"{what} must be a pandas Series or a mapping keyed by fund, not {type(codes).__name__}"
        )
    numbers: dict[Hashable, int] = {}
    out = np.empty(len(funds), np.int32)
    missing = []
    for i, fund in enumerate(funds):
        code = codes.get(fund)
        if is_missing(code):
            missing.append(fund)
            continue
        out[i] = numbers.setdefault(code, len(numbers))
    if missing:
        raise InputError(f"{what} has no code for the funds {missing[:10]}")
    return out


@dataclass(frozen=True)
class Bound:
    """A window bound read once: one date for every fund, or dates by fund (None: the
    fund's default row)."""

    side: str
    every: Optional[int] = None
    by_fund: Optional[dict[Hashable, Optional[int]]] = None

    def rows(self, dates: Dates, funds: Sequence[Hashable], default: Dates) -> Dates:
        """Per fund the first row on or after a start date, the last row on or before an
        end date; funds without a date keep their default row."""
        if self.by_fund is not None:
            given = [self.by_fund.get(f) for f in funds]
        else:
            given = [self.every] * len(funds)
        if all(g is None for g in given):
            return default
        when = np.array([0 if g is None else g for g in given], dtype=np.int64)
        rows = np.searchsorted(dates, when, side="left" if self.side == "start" else "right")
        if self.side == "end":
            rows = rows - 1
        has = np.array([g is not None for g in given], dtype=bool)
        return np.where(has, rows, default).astype(np.int64)


def window_bound(bound: object, side: str) -> Bound:
    """start= or end= as given: None, one date, or a mapping or pandas Series by fund (a
    Bound already read is kept: the registry's checks may run twice on one call)."""
    if isinstance(bound, Bound):
        return bound
    if bound is None:
        return Bound(side)
    if is_pandas_series(bound):
        if not bound.index.is_unique:
            raise InputError(f"{side} must have unique fund labels")
        bound = dict(zip(bound.index, bound.tolist()))
    if isinstance(bound, Mapping):
        return Bound(side, by_fund={f: instant_ns(d, side) for f, d in bound.items()})
    return Bound(side, every=instant_ns(bound, side))


def valid_window(values: Matrix) -> tuple[Dates, Dates]:
    """Per column, the first and last row holding a value (0 and -1 for an empty column)."""
    if values.shape[0] == 0:  # argmax has nothing to look at
        return np.zeros(values.shape[1], np.int64), np.full(values.shape[1], -1, np.int64)
    valid = ~np.isnan(values)
    any_valid = valid.any(axis=0)
    first = np.where(any_valid, valid.argmax(axis=0), 0)
    last = np.where(any_valid, values.shape[0] - 1 - valid[::-1].argmax(axis=0), -1)
    return first.astype(np.int64), last.astype(np.int64)


def _caller_level() -> int:
    """warnings.warn's stacklevel that points at the first caller outside this package."""
    here = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(here):
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    return level


def compute(
    name: str,
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    navs: bool = False,
    owned: bool = False,
    calendar: str = "own",
    returns: Optional[Matrix] = None,
    **options: Any,
) -> Columns:
    """One indicator on a checked panel. navs: the values are NAVs, turned into returns
    first (in place when the caller owns the matrix: owned=True), or given as returns (of
    these NAVs, by returns_from_navs) when the caller runs several indicators on them: the
    NAVs still tell each fund's own dates, where its first NAV starts it. calendar "own": an
    indicator that follows each fund through its dates takes each fund on the dates it has
    a value (see fundkernels._calendar); "panel": every fund on every row of the panel, a
    missing value a row with a missing return."""
    from . import _calendar
    from ._registry import INDICATORS  # the registry's kernels build on this module

    # Peer groups (summary's ranks) compare funds with each other: those run on the panel.
    grouped = options.get("types") is not None
    own = INDICATORS[name].calendar == "own" and not grouped
    if not navs:
        found = price_like(values, funds)
        if found:
            warnings.warn(
                f"{price_like_funds(found)} look like prices or NAVs, not returns: if they"
                " are, pass navs=True",
                PriceLikeWarning,
                stacklevel=_caller_level(),
            )
    if _calendar.check_calendar(calendar) == "own" and own:
        return _calendar.own_columns(
            name, values, dates, funds, navs=navs, owned=owned, returns=returns, **options
        )
    if navs:
        values = navs_to_returns(values, dates, funds, owned, returns)

    return INDICATORS[name].kernel(values, dates, funds, **options)


def navs_to_returns(
    navs: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    owned: bool,
    returns: Optional[Matrix],
) -> Matrix:
    """The returns of the NAVs: those given, or turned from them (in place when owned)."""
    if returns is not None:
        if returns.shape != navs.shape:
            raise ValueError(f"returns of shape {returns.shape} for NAVs of shape {navs.shape}")
        return returns
    return returns_from_navs(navs, dates, funds, in_place=owned)


def empty_columns(name: str, **options: Any) -> Columns:
    """The result's columns for no funds: names and dtypes, e.g. for lazy results."""
    return compute(name, np.empty((0, 0)), np.empty(0, np.int64), [], **options)
