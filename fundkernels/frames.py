"""The indicators on any eager data frame: pandas, polars, pyarrow and the others that
narwhals supports, with results in the caller's library.

Two layouts are read:

- wide (``fund=None``, the default): a date column (``date=``, default ``"date"``) and one
  numeric column per fund, the rows in ascending order of date;
- long (``fund=`` and ``value=`` name columns): one row per fund and date, in any order; a
  (fund, date) pair may occur once, and the dates a fund lacks are missing values for it.

A wide table's fund columns are all its columns but the date; ``funds=`` (these columns, in
this order) or ``exclude=`` (all but these) choose them, for example to leave out a row
counter or a column of codes.

Dates are datetime columns of any unit and time zone (taken to UTC; naive ones are UTC
already) or date columns, or text read by ``date_format=`` (strptime codes such as
``"%m/%d/%Y"``; the day and month order is never guessed). Values are returns as fractions, or net asset values (or prices)
with ``navs=True``: a fund's return on a row is then its NAV there over its previous valid
NAV, minus 1.

``calendar="own"`` (the default of every indicator but crossodds) takes each fund on the
dates on which it has a value, as if it were alone in the table; ``calendar="panel"`` on
every date of the table, a missing value a row with a missing return (see
``fundkernels.pandas``).

Each function gives a frame of the caller's library with one row per fund, in order of
first appearance (column order for a wide table): a ``fund`` column, then the indicator's
columns as ``fundkernels.pandas`` names them. Run dates (``first``, ``last``) are dates
(pandas: datetime64[ns], as in ``fundkernels.pandas``). The values are gathered once into
the float64 matrix the modules read (a wide table column by column, a long table by one
scatter); nothing else of the size of the panel is copied.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Literal, Optional, Union

import numpy as np
from narwhals.typing import IntoDataFrameT

from . import _narwhals_adapter as _nw
from . import _calendar, _panel
from ._registry import (
    DRAWDOWN_COLUMNS,
    HORIZON_COLUMNS,
    INDICATORS,
    RUN_COLUMNS,
    SUMMARY_COLUMNS,
)

__all__ = [
    "summary",
    "troughmend",
    "crossodds",
    "horizonret",
    "extremeset",
    "streakset",
    "HORIZON_COLUMNS",
    "RUN_COLUMNS",
    "DRAWDOWN_COLUMNS",
    "SUMMARY_COLUMNS",
]

Mode = Literal["gain", "loss"]
Calendar = Literal["own", "panel"]
DateLike = Union[str, _dt.date, np.datetime64]
WindowBound = Union[DateLike, Mapping[Any, DateLike], None]
# Type codes: a mapping fund -> code, a frame whose two columns are fund and code, or
# "all" (every fund in one group); None only with type= naming a column of a long table.
Types = Union[Mapping[Any, Hashable], Literal["all"], Any, None]


def _call(
    name: str,
    data: IntoDataFrameT,
    date: object,
    fund: object,
    value: object,
    navs: object,
    calendar: str = "own",
    *,
    read: Mapping[str, Any],
    **options: Any,
) -> IntoDataFrameT:
    navs = _panel.check_navs(navs)
    calendar = _calendar.check_calendar(calendar)
    column = options.pop("type", None)
    checked = INDICATORS[name].checked
    if column is None:  # everything is checked before the table is read
        options = checked(options)
    table = _nw.read_table(data, date, fund, value, **read)
    if "types" in options:  # a mapping, "all", a (fund, type) frame or the column
        options = checked({**options, "types": _nw.table_types(table, options["types"], column)})
    columns = _panel.compute(
        name,
        table.values,
        table.dates,
        table.funds,
        navs=navs,
        owned=table.owned,
        calendar=calendar,
        **options,
    )
    return table.result(columns).to_native()  # type: ignore[no-any-return]


def _reading(funds: object, exclude: object, date_format: object) -> dict[str, Any]:
    return {"funds": funds, "exclude": exclude, "date_format": date_format}


# --- the indicators --------------------------------------------------------------------


def summary(
    data: IntoDataFrameT,
    *,
    periods_per_year: Optional[float] = None,
    risk_free: float = 0.0,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    navs: bool = False,
    types: Types = None,
    type: Optional[str] = None,
    calendar: Calendar = "own",
) -> IntoDataFrameT:
    """The classic statistics per fund: ``fund`` and the columns of SUMMARY_COLUMNS, as
    ``fundkernels.pandas.summary`` gives them (periods_per_year and risk_free alike).

    Peer groups for the ranks: ``types`` as a mapping fund -> code, a two-column (fund,
    type) frame or "all", or ``type=`` a column of the long table; with them, column +
    "_rank" for every column that ranks a fund, and peer_group_size. Without: no ranks."""
    groups: dict[str, Any] = (
        {} if types is None and type is None else {"types": types, "type": type}
    )
    return _call(
        "summary",
        data,
        date,
        fund,
        value,
        navs,
        calendar,
        read=_reading(funds, exclude, date_format),
        periods_per_year=periods_per_year,
        risk_free=risk_free,
        **groups,
    )


def troughmend(
    data: IntoDataFrameT,
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    navs: bool = False,
    details: bool = False,
    calendar: Calendar = "own",
) -> IntoDataFrameT:
    """Longest drawdown per fund in rows (columns ``fund``, ``troughmend``): the longest
    stretch of consecutive rows the compounded value spends below its running peak.

    details=True: where it lies, as ``fundkernels.pandas.troughmend(..., details=True)``
    names it: ``fund`` and the columns of DRAWDOWN_COLUMNS (``length``, then ``peak``,
    ``first``, ``last``, ``trough`` as dates, ``depth``, ``recovery`` as a date)."""
    return _call(
        _panel.troughmend_kind(details),
        data,
        date,
        fund,
        value,
        navs,
        calendar,
        read=_reading(funds, exclude, date_format),
    )


def crossodds(
    data: IntoDataFrameT,
    types: Types = None,
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    type: Optional[str] = None,
    navs: bool = False,
) -> IntoDataFrameT:
    """Persistence against the peer group per fund (columns ``fund``, ``crossodds``).

    The groups, given explicitly: ``types`` as a mapping fund -> code, a two-column (fund,
    type) frame or "all" (every fund in one group), or ``type=`` a column of the long
    table."""
    return _call(
        "crossodds",
        data,
        date,
        fund,
        value,
        navs,
        read=_reading(funds, exclude, date_format),
        types=types,
        type=type,
    )


def horizonret(
    data: IntoDataFrameT,
    horizon: str,
    start: WindowBound = None,
    end: WindowBound = None,
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    navs: bool = False,
    calendar: Calendar = "own",
) -> IntoDataFrameT:
    """Rolling calendar-horizon statistics per fund: ``fund`` and the columns of
    HORIZON_COLUMNS. start and end: one date for every fund or a mapping of dates by fund;
    by default each fund's first and last row holding a value."""
    return _call(
        "horizonret",
        data,
        date,
        fund,
        value,
        navs,
        calendar,
        read=_reading(funds, exclude, date_format),
        horizon=horizon,
        start=start,
        end=end,
    )


def extremeset(
    data: IntoDataFrameT,
    mode: Mode = "gain",
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    navs: bool = False,
    calendar: Calendar = "own",
) -> IntoDataFrameT:
    """The most extreme compounded move over a run per fund ("gain": a run of positive
    returns, "loss": of negative ones): ``fund``, ``return``, ``length``, ``first``,
    ``last``."""
    return _call(
        "extremeset",
        data,
        date,
        fund,
        value,
        navs,
        calendar,
        read=_reading(funds, exclude, date_format),
        mode=mode,
    )


def streakset(
    data: IntoDataFrameT,
    mode: Mode = "gain",
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    funds: Optional[Sequence[str]] = None,
    exclude: Optional[Sequence[str]] = None,
    date_format: Optional[str] = None,
    navs: bool = False,
    calendar: Calendar = "own",
) -> IntoDataFrameT:
    """The longest run of positive ("gain") or negative ("loss") returns per fund:
    ``fund``, ``return``, ``length``, ``first``, ``last``."""
    return _call(
        "streakset",
        data,
        date,
        fund,
        value,
        navs,
        calendar,
        read=_reading(funds, exclude, date_format),
        mode=mode,
    )
