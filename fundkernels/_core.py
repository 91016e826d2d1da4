"""The front ends' shared work: argument checks, dates, type groups, NAVs and results.

Every front end (``fundkernels.pandas``, ``fundkernels.frames``, ``fundkernels.dask`` and
the command) turns its input into the same three things: a float64 matrix (rows are dates,
columns are funds), the row dates as int64 nanoseconds since the epoch (UTC) and the fund
labels. ``compute`` runs one indicator of the table ``INDICATORS`` on them and gives its
result as named columns (``Columns``: one NumPy array per column, one value per fund), which
each front end labels in its own library. ``read_table`` reads a data frame of any library (through
narwhals) into such a panel once, so that a caller may run several indicators on it.
Neither pandas nor narwhals is needed unless their objects are passed in: each is imported
where it is used.
"""

from __future__ import annotations

import datetime as _dt
import os
import re
import sys
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt

from crossodds import crossodds as _crossodds
from extremeset import extremeset as _extremeset
from horizonret import horizonret as _horizonret
from streakset import streakset as _streakset
from troughmend import troughmend as _troughmend

from ._gather import arrow as _pyarrow
from ._gather import gather as _gather_long
from ._drawdown import drawdown as _drawdown
from ._errors import InputError, InputTypeError, PriceLikeWarning

if TYPE_CHECKING:
    from typing import TypeGuard

    import narwhals as nw
    import pandas as pd

Matrix = npt.NDArray[np.float64]
Dates = npt.NDArray[np.int64]
# A result: named columns in order, one value per fund.
Columns = dict[str, npt.NDArray[Any]]

# Columns of the horizonret result, in the order of the module's nine arrays. The bands
# are shares of the horizon returns x: gain_0_5 is 0 < x <= 5%, gain_5_10 is 5% < x <= 10%,
# gain_over_10 is x > 10%, loss_0_5 is -5% <= x <= 0 (a flat horizon counts here),
# loss_5_10 is -10% <= x < -5%, loss_over_10 is x < -10%.
HORIZON_COLUMNS = (
    "mean",
    "median",
    "win",
    "gain_0_5",
    "gain_5_10",
    "gain_over_10",
    "loss_0_5",
    "loss_5_10",
    "loss_over_10",
)
# Columns of the extremeset and streakset results.
RUN_COLUMNS = ("return", "length", "first", "last")
# Columns of troughmend(..., details=True): where each fund's longest drawdown lies.
DRAWDOWN_COLUMNS = ("length", "peak", "first", "last", "trough", "depth", "recovery")

_HORIZON = re.compile(r"(\d+)([MY])")
_MAX_MONTHS = 2**31 - 1
_NS = {"D": 86_400 * 10**9, "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
_RANGE = "dates must lie between 1677 and 2262 to fit nanosecond timestamps"


# --- argument checks -------------------------------------------------------------------


def check_mode(mode: object) -> str:
    if mode not in ("gain", "loss"):
        raise InputError(f"mode must be 'gain' or 'loss', not {mode!r}")
    return str(mode)


def horizon_code(horizon: object) -> str:
    """A horizon such as "3M" or "1Y", checked whole (the module would search inside text)."""
    if not isinstance(horizon, str):
        raise InputTypeError(f"horizon must be a str such as '3M' or '1Y', not {type(horizon).__name__}")
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
    return type(differs).__name__ == "NAType"  # pandas' NA compares as NA


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
        raise InputError(f"{_RANGE}: row {r} holds {values[r]}")
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


def pandas_dates_ns(index: object, hint: str) -> Dates:
    """A pandas DatetimeIndex as int64 nanoseconds, UTC; checked to be sorted."""
    import pandas as pd

    if not isinstance(index, pd.DatetimeIndex):
        raise InputTypeError(f"returns must have a DatetimeIndex of dates, not {type(index).__name__}")
    if index.hasnans:
        raise InputError("the date index holds NaT at row " + str(int(np.argmax(index.isna()))))
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    try:
        ns = np.asarray(index.as_unit("ns").asi8, dtype=np.int64)
    except pd.errors.OutOfBoundsDatetime as exc:
        raise InputError(f"{_RANGE}: {exc}") from None
    check_ascending(ns, lambda r: str(index[r]), hint)
    return ns


# --- type groups and windows -----------------------------------------------------------


def group_codes(codes: object, funds: Sequence[Hashable], what: str) -> npt.NDArray[np.int32]:
    """Type codes looked up by fund and numbered 0, 1, ... in order of first appearance.

    Any hashable labels serve as codes (numbers or names such as "industry"); funds with
    equal labels form one group. Renumbering leaves the groups, and so the results, as they
    are, and keeps float codes such as 1.0 and 1.7 apart. A pandas Series is taken as a
    mapping from its index.
    """
    if is_pandas_series(codes):
        if not codes.index.is_unique:
            raise InputError(f"{what} must have unique fund labels")
        codes = dict(zip(codes.index, codes.tolist()))
    if not isinstance(codes, Mapping):
        raise InputTypeError(
            f"{what} must be a pandas Series or a mapping keyed by fund,"
            f" not {type(codes).__name__}"
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
    """start= or end= as given: None, one date, or a mapping or pandas Series by fund."""
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
    index = np.arange(rows)[:, None]
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
        valid = ~np.isnan(block)
        # Per cell the row of the last valid NAV at or before it (-1: none yet); shifted
        # down one row, the row of the previous valid NAV.
        last = np.maximum.accumulate(np.where(valid, index, -1), axis=0)
        prev = np.empty_like(last)
        prev[:1] = -1
        prev[1:] = last[:-1]
        before = np.take_along_axis(block, np.maximum(prev, 0), axis=0)
        with np.errstate(invalid="ignore", over="ignore"):  # a huge rise is inf
            ret = block / before - 1.0
        ret[~valid | (prev < 0)] = np.nan
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
    with np.errstate(invalid="ignore"):
        maybe = ~(head <= 0).any(axis=0) & ~(
            (np.abs(head) <= _PRICE_MEDIAN).sum(axis=0) * 2 > (~np.isnan(head)).sum(axis=0)
        )
    found = []
    for j in np.flatnonzero(maybe):
        col = values[:, j]
        have = col[~np.isnan(col)]
        if have.size >= 2 and have.min() > 0 and np.median(have) > _PRICE_MEDIAN:
            found.append(funds[int(j)])
    return found


def price_like_funds(found: Sequence[Hashable]) -> str:
    """The funds of price_like for a message: "the values of 'A', 'B' and 3 more"."""
    shown = ", ".join(repr(f) for f in found[:5])
    more = f" and {len(found) - 5} more funds" if len(found) > 5 else ""
    return f"the values of {shown}{more}"


def _caller_level() -> int:
    """warnings.warn's stacklevel that points at the first caller outside this package."""
    here = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(here):
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    return level


# --- the indicators ---------------------------------------------------------------------


def _troughmend_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable]
) -> Columns:
    return {"troughmend": np.asarray(_troughmend(values))}


def _drawdown_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable]
) -> Columns:
    assert dates is not None
    length, peak, first, last, trough, depth, recovery = _drawdown(values)
    return {
        "length": length,
        "peak": row_dates(peak, dates),
        "first": row_dates(first, dates),
        "last": row_dates(last, dates),
        "trough": row_dates(trough, dates),
        "depth": depth,
        "recovery": row_dates(recovery, dates),
    }


def _crossodds_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    codes: npt.NDArray[np.int32],
) -> Columns:
    return {"crossodds": np.asarray(_crossodds(codes, values))}


def _horizonret_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    horizon: str,
    start: Bound,
    end: Bound,
) -> Columns:
    assert dates is not None
    first, last = valid_window(values)
    try:
        parts = _horizonret(
            horizon, values, start.rows(dates, funds, first), end.rows(dates, funds, last), dates
        )
    except ValueError as exc:  # a horizon that runs past the calendar: the caller's choice
        raise InputError(str(exc)) from None
    return dict(zip(HORIZON_COLUMNS, (np.asarray(p, dtype=np.float64) for p in parts)))


def _run_columns(ret: Any, length: Any, first: list[str], last: list[str]) -> Columns:
    return {
        "return": np.asarray(ret, dtype=np.float64),
        "length": np.asarray(length, dtype=np.int64),
        "first": text_dates(first),
        "last": text_dates(last),
    }


def _extremeset_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable], *, mode: str
) -> Columns:
    assert dates is not None
    if mode == "gain":
        res = _extremeset(values, dates, "positive")
    else:
        # Inverted mode on the sizes of the losses compounds (1 - (-v)) = (1 + v) over runs
        # of losing rows: the deepest compounded fall.
        res = _extremeset(np.negative(values), dates, "loss")
    return _run_columns(res["r"], res["p"], res["s"], res["l"])


def _streakset_columns(
    values: Matrix, dates: Optional[Dates], funds: Sequence[Hashable], *, mode: str
) -> Columns:
    assert dates is not None
    if mode == "gain":
        ret, first, last, length = _streakset(values, dates, "positive")
    else:
        ret, first, last, length = _streakset(np.negative(values), dates, "loss")
    return _run_columns(ret, length, first, last)


@dataclass(frozen=True)
class Indicator:
    """One indicator as the front ends see it.

    columns: (values, dates, funds, **options) -> the result's named columns (a result
    whose one column bears the indicator's name is a Series in pandas);
    needs_dates: whether the module reads the dates.
    """

    name: str
    columns: Callable[..., Columns]
    needs_dates: bool


INDICATORS: dict[str, Indicator] = {
    ind.name: ind
    for ind in (
        Indicator("troughmend", _troughmend_columns, needs_dates=False),
        # troughmend(..., details=True): see troughmend_kind.
        Indicator("drawdown", _drawdown_columns, needs_dates=True),
        Indicator("crossodds", _crossodds_columns, needs_dates=False),
        Indicator("horizonret", _horizonret_columns, needs_dates=True),
        Indicator("extremeset", _extremeset_columns, needs_dates=True),
        Indicator("streakset", _streakset_columns, needs_dates=True),
    )
}


def compute(
    name: str,
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    navs: bool = False,
    owned: bool = False,
    **options: Any,
) -> Columns:
    """One indicator on a checked panel. navs: the values are NAVs, turned into returns
    first (in place when the caller owns the matrix: owned=True)."""
    if navs:
        values = returns_from_navs(values, dates, funds, in_place=owned)
    else:
        found = price_like(values, funds)
        if found:
            warnings.warn(
                f"{price_like_funds(found)} look like prices or NAVs, not returns: if they"
                " are, pass navs=True",
                PriceLikeWarning,
                stacklevel=_caller_level(),
            )
    return INDICATORS[name].columns(values, dates, funds, **options)


def empty_columns(name: str, **options: Any) -> Columns:
    """The result's columns for no funds: names and dtypes, e.g. for lazy results."""
    return compute(name, np.empty((0, 0)), np.empty(0, np.int64), [], **options)


# --- pandas -----------------------------------------------------------------------------


Labelled = Union["pd.Series[Any]", "pd.DataFrame"]


def to_pandas(name: str, columns: Columns, funds: pd.Index) -> Labelled:
    """A result labelled by fund: a Series when its one column bears the indicator's name,
    else a DataFrame."""
    import pandas as pd

    if list(columns) == [name]:
        return pd.Series(columns[name], index=funds, name=name)
    return pd.DataFrame(columns, index=funds)


def pandas_values(frame: pd.DataFrame) -> Matrix:
    """The frame's values as a float64 matrix, a view of the frame where the layout allows."""
    if frame.shape[1] == 0:
        return np.empty((frame.shape[0], 0))
    if all_float64(frame.dtypes):
        return frame.to_numpy()
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def all_float64(dtypes: pd.Series) -> bool:
    return all(isinstance(d, np.dtype) and d == np.float64 for d in set(dtypes))


def check_pandas_columns(columns: pd.Index, dtypes: pd.Series) -> None:
    """Unique fund labels and numeric (integer or float) columns."""
    if not columns.is_unique:
        dups = columns[columns.duplicated()].unique().tolist()
        raise InputError(f"fund labels must be unique; duplicated: {dups[:10]}")
    if all(getattr(dtype, "kind", "O") in "iuf" for dtype in set(dtypes)):
        return
    bad = [
        (label, str(dtype))
        for label, dtype in zip(columns, dtypes)
        if getattr(dtype, "kind", "O") not in "iuf"
    ]
    if bad:
        shown = ", ".join(f"{label!r} ({dtype})" for label, dtype in bad[:10])
        raise InputTypeError(f"returns must be numeric columns; not numeric: {shown}")


# --- data frames of any library (narwhals; imported where used) ----------------------


@dataclass
class Table:
    """A panel read from a data frame: the values (dates x funds; NAVs may convert in
    place when they are owned here), the dates, the funds in order, the funds as a column of
    the caller's library named "fund", the frame read and its fund column (None: wide)."""

    values: Matrix
    dates: Dates
    funds: list[Any]
    fund_column: nw.Series[Any]
    frame: nw.DataFrame[Any]
    fund: Optional[str]
    owned: bool  # whether the values are a matrix of our own (not a view of the frame)

    def result(self, columns: Columns) -> nw.DataFrame[Any]:
        """A result as a frame of the caller's library: the fund column, then the
        result's columns; dates as dates (pandas: datetime64[ns], as its front end gives)."""
        import narwhals as nw

        backend = self.frame.implementation
        out = []
        for label, data in columns.items():
            series = nw.new_series(label, data, backend=backend)
            if data.dtype.kind == "M" and backend is not nw.Implementation.PANDAS:
                series = series.cast(nw.Date())
            out.append(series)
        return self.fund_column.to_frame().with_columns(*out)


def _eager_frame(data: object) -> nw.DataFrame[Any]:
    import narwhals as nw

    try:
        return nw.from_native(data, eager_only=True)
    except TypeError:
        raise InputTypeError(
            "data must be a data frame (pandas, polars, pyarrow or another eager frame that"
            f" narwhals supports), not {type(data).__name__}"
        ) from None


def _column(frame: nw.DataFrame[Any], name: object, role: str) -> nw.Series[Any]:
    if not isinstance(name, str):
        raise InputTypeError(f"{role}= must be a column name (str), not {type(name).__name__}")
    if name not in frame.columns:
        shown = frame.columns[:10]
        hint = ""
        if role == "date" and type(frame.to_native()).__name__ == "DataFrame":
            index = getattr(frame.to_native(), "index", None)
            if type(index).__name__ == "DatetimeIndex":
                hint = "; the dates are the frame's index: use .reset_index() or fundkernels.pandas"
        raise InputError(f"no {role} column {name!r}; the columns are {shown}{hint}")
    return frame[name]


def _date_column_ns(series: nw.Series[Any], name: str) -> npt.NDArray[np.int64]:
    where = f"the date column {name!r}"
    # Zoned datetimes are instants: NumPy receives them in UTC.
    values = np.asarray(series.to_numpy())
    native = series.to_native()
    if values.dtype == object and getattr(getattr(native, "dtype", None), "tz", None):
        # A zoned pandas column whose zone narwhals does not parse (such as
        # "America/New_York") comes out as Timestamps: convert it in pandas.
        values = np.asarray(native.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
    if values.dtype.kind != "M":
        raise InputTypeError(f"{where} must hold dates or datetimes, not {series.dtype}")
    return datetimes_ns(values, where)


def _numeric(series: nw.Series[Any]) -> npt.NDArray[Any]:
    """A numeric column as NumPy numbers, missing values as NaN."""
    import narwhals as nw

    dtype = series.dtype
    if not (dtype.is_float() or dtype.is_integer()):
        series = series.cast(nw.Float64)
    out = np.asarray(series.to_numpy())
    if out.dtype.kind not in "iuf":
        out = np.asarray(series.cast(nw.Float64).to_numpy(), dtype=np.float64)
    return out


def _wide(frame: nw.DataFrame[Any], date: str) -> Table:
    import narwhals as nw

    dates = _date_column_ns(_column(frame, date, "date"), date)
    check_ascending(dates, lambda r: date_text(int(dates[r])), "sort the rows by date first")
    funds = [c for c in frame.columns if c != date]
    unique_labels(funds)
    schema = frame.schema
    bad = [f"{f!r} ({schema[f]})" for f in funds if not schema[f].is_numeric()]
    if bad:
        raise InputTypeError(f"returns must be numeric columns; not numeric: {', '.join(bad[:10])}")
    plain = all(schema[f].is_float() or schema[f].is_integer() for f in funds)
    values = _gather(frame.select(funds), len(dates), plain)
    fund_column = nw.new_series("fund", funds, nw.String(), backend=frame.implementation)
    return Table(values, dates, funds, fund_column, frame, None, owned=values.flags.owndata)


def _gather(frame: nw.DataFrame[Any], rows: int, plain: bool) -> Matrix:
    """The numeric columns of a frame as one float64 matrix, missing values as NaN, made
    by the frame's library in one pass where it can (a column-major copy for polars and
    Arrow, a view of a pandas frame of float64 columns), else column by column. plain:
    every column is a float or an integer column."""
    import narwhals as nw

    if not frame.columns:
        return np.empty((rows, 0), order="F")
    if plain:
        values = np.asarray(frame.to_numpy())
        if values.dtype.kind in "iuf":
            return np.asarray(values, dtype=np.float64)
    out = np.empty((rows, len(frame.columns)), order="F")
    for j, c in enumerate(frame.columns):
        column = frame[c]
        if not (column.dtype.is_float() or column.dtype.is_integer()):
            column = column.cast(nw.Float64())
        out[:, j] = _numeric(column)
    return out


def _long(frame: nw.DataFrame[Any], date: str, fund: str, value: Optional[str]) -> Table:
    import narwhals as nw

    if value is None:
        raise InputTypeError("a long table needs value= as well as fund=: the column of the values")
    fund_rows = _column(frame, fund, "fund")
    value_rows = _column(frame, value, "value")
    date_rows = _column(frame, date, "date")
    if not value_rows.dtype.is_numeric():
        raise InputTypeError(f"the value column {value!r} must be numeric, not {value_rows.dtype}")
    if frame.implementation is nw.Implementation.PYARROW:
        # Arrow columns as they are: the gather reads their chunks in place.
        columns = (fund_rows.to_native(), date_rows.to_native(), value_rows.to_native())
    else:
        labels = fund_rows.to_arrow() if _pyarrow() is not None else fund_rows.to_numpy()
        columns = (labels, _date_column_ns(date_rows, date), _numeric(value_rows))
    got = _gather_long(*columns, fund_column=fund, date_column=date)
    fund_column = nw.new_series("fund", got.funds, fund_rows.dtype, backend=frame.implementation)
    return Table(got.values, got.dates, got.funds, fund_column, frame, fund, owned=True)


def read_table(
    data: object,
    date: object,
    fund: object,
    value: object,
    *,
    funds: object = None,
    exclude: object = None,
    date_format: object = None,
) -> Table:
    """A wide or long data frame read into a panel (see fundkernels.frames). funds= and
    exclude= choose a wide table's fund columns; date_format= reads a date column of text."""
    frame = _eager_frame(data)
    if not isinstance(date, str):
        raise InputTypeError(f"date= must be a column name (str), not {type(date).__name__}")
    if date_format is not None:
        frame = _text_dates(frame, date, date_format)
    if fund is None:
        if value is not None:
            raise InputTypeError("value= names the value column of a long table: give fund= too")
        return _wide(_chosen(frame, date, funds, exclude), date)
    if funds is not None or exclude is not None:
        raise InputTypeError("funds= and exclude= choose the columns of a wide table, not fund=")
    if not isinstance(fund, str) or not (value is None or isinstance(value, str)):
        raise InputTypeError("fund= and value= must be column names (str)")
    return _long(frame, date, fund, value)


def _names(given: object, role: str) -> list[str]:
    if isinstance(given, str) or not isinstance(given, Sequence):
        raise InputTypeError(f"{role}= must be a list of column names, not {given!r}")
    return [str(n) for n in given]


def _chosen(frame: nw.DataFrame[Any], date: str, funds: object, exclude: object) -> nw.DataFrame[Any]:
    """A wide table's columns as funds= (these, in this order) or exclude= (all but these)
    choose them."""
    if funds is None and exclude is None:
        return frame
    if funds is not None and exclude is not None:
        raise InputTypeError("give funds= or exclude=, not both")
    role = "funds" if funds is not None else "exclude"
    names = _names(funds if funds is not None else exclude, role)
    unknown = [n for n in names if n not in frame.columns]
    if unknown:
        raise InputError(
            f"{role}= names {unknown[0]!r}, which is no column; the columns are"
            f" {frame.columns[:10]}"
        )
    if funds is not None:
        return frame.select(date, *[n for n in names if n != date])
    return frame.drop(*[n for n in names if n != date])


def _text_dates(frame: nw.DataFrame[Any], date: str, date_format: object) -> nw.DataFrame[Any]:
    """The date column, written as text, read by a strptime format."""
    import narwhals as nw

    if not isinstance(date_format, str):
        raise InputTypeError(f"date_format= must be a strptime format (str), not {date_format!r}")
    column = _column(frame, date, "date")
    if column.dtype != nw.String():
        return frame  # dates already
    try:
        parsed = column.str.to_datetime(format=date_format)
    except Exception as exc:  # each library words it its own way
        raise InputError(
            f"the date column {date!r} does not follow date_format={date_format!r}:"
            f" {str(exc).splitlines()[0] if str(exc) else type(exc).__name__}"
        ) from None
    if parsed.is_null().sum() > column.is_null().sum():
        row = int(np.argmax(np.asarray((parsed.is_null() & ~column.is_null()).to_numpy())))
        raise InputError(
            f"the date column {date!r} holds {column[row]!r} at row {row}, which does not"
            f" follow date_format={date_format!r}",
            rows=(row,),
        )
    return frame.with_columns(parsed.alias(date))


def table_types(table: Table, types: object, column: Optional[str]) -> object:
    """Each fund's type code, from a mapping, a (fund, type) frame or a column of the long
    table; without any, one group of all funds."""
    import narwhals as nw

    if types is not None and column is not None:
        raise InputTypeError("give the type codes once: types= or type=, not both")
    if column is not None:
        if table.fund is None:
            raise InputTypeError(
                "type= names a column of a long table; for a wide table give types= as a"
                " mapping or a (fund, type) frame"
            )
        _column(table.frame, column, "type")
        pairs = table.frame.select(table.fund, column).unique(maintain_order=True)
        return _pairs(
            pairs[table.fund].to_list(), pairs[column].to_list(), f"the type column {column!r}"
        )
    if types is None:
        return {f: 0 for f in table.funds}
    if isinstance(types, Mapping) or is_pandas_series(types):
        return types
    try:
        pairs = nw.from_native(types, eager_only=True)
    except TypeError:
        raise InputTypeError(
            "types must be a mapping keyed by fund or a two-column (fund, type) frame,"
            f" not {type(types).__name__}"
        ) from None
    if len(pairs.columns) != 2:
        raise InputError(f"a types frame has two columns, fund and type, not {pairs.columns}")
    return _pairs(pairs[pairs.columns[0]].to_list(), pairs[pairs.columns[1]].to_list(), "types")


def _pairs(funds: Sequence[Any], codes: Sequence[Any], where: str) -> dict[Any, Hashable]:
    out: dict[Any, Hashable] = {}
    for f, c in zip(funds, codes):
        if f in out and out[f] != c:
            raise InputError(f"{where} gives the fund {f!r} two types: {out[f]!r} and {c!r}")
        out[f] = c
    return out
