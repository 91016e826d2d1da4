"""The panel logic every front end shares, independent of any frame library.

Every front end (``fundkernels.pandas``, ``fundkernels.frames``, ``fundkernels.dask`` and
the command) turns its input into the same three things: a float64 matrix (rows are dates,
columns are funds), the row dates as int64 nanoseconds since the epoch (UTC) and the fund
labels. This module checks arguments, reads dates, numbers type groups, resolves window
bounds, turns NAVs into returns and runs one indicator of the registry
(``fundkernels._registry``) on such a panel with ``compute``, giving its result as named
columns (``Columns``: one NumPy array per column, one value per fund), which each front end
labels in its own library (``_pandas_adapter``, ``_narwhals_adapter``). It needs NumPy only.
"""

from __future__ import annotations

import datetime as _dt
import os
import re
import sys
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ._errors import InputError, InputTypeError, PriceLikeWarning

if TYPE_CHECKING:
    from typing import TypeGuard

    import pandas as pd

Matrix = npt.NDArray[np.float64]
Dates = npt.NDArray[np.int64]
# A result: named columns in order, one value per fund.
Columns = dict[str, npt.NDArray[Any]]

_HORIZON = re.compile(r"(\d+)([MY])")
_MAX_MONTHS = 2**31 - 1
_NS = {"D": 86_400 * 10**9, "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
# The type codes that put every fund in one peer group: chosen explicitly, never by omission.
ALL_FUNDS = "all"
RANGE_HINT = "dates must lie between 1677 and 2262 to fit nanosecond timestamps"


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


def is_missing(x: object) -> bool:
    """None, NaN, NaT and pandas' NA (a list or an array is not missing: it is no scalar)."""
    if x is None:
        return True
    try:
        differs = x != x
    except Exception:  # a type that cannot compare with itself is no missing value
        return False
    if isinstance(differs, (bool, np.bool_)):
        return bool(differs)
    pd = sys.modules.get("pandas")  # pandas' NA compares as NA
    return pd is not None and differs is pd.NA


# --- dates ------------------------------------------------------------------------------


def date_text(ns: int) -> str:
    """A date for messages: the day alone at midnight, else the time as well (UTC), in the
    coarsest unit that shows it whole."""
    when = np.datetime64(int(ns), "ns")
    for unit in ("D", "s", "ms", "us"):
        coarse = when.astype(f"M8[{unit}]")
        if coarse == when:
            return str(coarse).replace("T", " ")
    return str(when).replace("T", " ")


def check_ascending(ns: Dates, shown: Callable[[int], str], hint: str) -> None:
    """The rows must follow the dates: name the first row that goes back in time."""
    if ns.size > 1:
        down = np.flatnonzero(ns[1:] < ns[:-1])
        if down.size:
            r = int(down[0]) + 1
            raise InputError(
                f"the dates are not in ascending order: row {r} ({shown(r)}) comes after "
                f"row {r - 1} ({shown(r - 1)}); {hint}"
            )


def datetimes_ns(values: npt.NDArray[Any], where: str) -> Dates:
    """A NumPy datetime64 array (any unit, UTC or naive taken as UTC) as int64 nanoseconds;
    NaT and dates that do not fit nanoseconds are errors naming the first such row."""
    kind, _ = np.datetime_data(values.dtype)
    if kind not in _NS:
        raise InputTypeError(f"{where} must hold dates, not {values.dtype}")
    raw = values.view(np.int64)
    nat = raw == np.iinfo(np.int64).min
    if nat.any():
        row = int(np.argmax(nat))
        raise InputError(f"{where} holds a missing date at row {row}", rows=(row,))
    factor = _NS[kind]
    if factor == 1:
        return raw
    limit = np.iinfo(np.int64).max // factor
    outside = (raw > limit) | (raw < -limit)
    if outside.any():
        r = int(np.argmax(outside))
        raise InputError(f"{RANGE_HINT}: row {r} holds {values[r]}")
    return raw * factor


def instant_ns(value: object, what: str) -> Optional[int]:
    """One date given by the caller (ISO text, date, datetime, NumPy or pandas timestamp;
    naive means UTC) as nanoseconds since the epoch; None for a missing date."""
    if is_missing(value):
        return None
    when: Any = value
    try:
        if isinstance(when, str):
            text = when.strip()
            when = _dt.datetime.fromisoformat(text[:-1] + "+00:00" if text[-1:] == "Z" else text)
        if isinstance(when, _dt.datetime):
            if when.tzinfo is not None:
                when = when.astimezone(_dt.timezone.utc).replace(tzinfo=None)
            stamp = np.datetime64(when, "ns")
        elif isinstance(when, _dt.date):
            stamp = np.datetime64(when, "D").astype("M8[ns]")
        elif isinstance(when, np.datetime64):
            stamp = when
        else:
            raise InputError(f"{value!r} is not a date")
        return int(datetimes_ns(np.array([stamp]), what)[0])
    except (TypeError, ValueError, OverflowError) as exc:
        raise InputError(f"{what} must hold dates: {exc}") from None


def row_dates(rows: npt.NDArray[np.int64], dates: Dates) -> npt.NDArray[np.datetime64]:
    """Row numbers as the rows' dates (UTC, datetime64[ns]), -1 as NaT."""
    out = np.full(len(rows), np.datetime64("NaT", "ns"))
    have = rows >= 0
    out[have] = dates[rows[have]].view("M8[ns]")
    return out


def text_dates(texts: Sequence[str]) -> npt.NDArray[np.datetime64]:
    """The modules' eight-digit date texts as datetime64[ns], "nan" as NaT."""
    iso = [("NaT" if t == "nan" else f"{t[:4]}-{t[4:6]}-{t[6:8]}") for t in texts]
    return np.array(iso, dtype="M8[D]").astype("M8[ns]")


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


# --- NAVs -------------------------------------------------------------------------------

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
    **options: Any,
) -> Columns:
    """One indicator on a checked panel. navs: the values are NAVs, turned into returns
    first (in place when the caller owns the matrix: owned=True). calendar "own": an
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
        return _calendar.own_columns(name, values, dates, funds, navs=navs, owned=owned, **options)
    if navs:
        values = returns_from_navs(values, dates, funds, in_place=owned)

    return INDICATORS[name].kernel(values, dates, funds, **options)


def empty_columns(name: str, **options: Any) -> Columns:
    """The result's columns for no funds: names and dtypes, e.g. for lazy results."""
    return compute(name, np.empty((0, 0)), np.empty(0, np.int64), [], **options)
