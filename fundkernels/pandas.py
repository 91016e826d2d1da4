"""The indicators on a pandas DataFrame of returns, with results labelled by fund.

Every function takes the DataFrame first (``data``), with one row per date and one column
per fund: a
DatetimeIndex sorted in ascending order (the indicators follow the rows in that order),
unique fund labels as columns and numeric columns of simple returns as fractions (0.01 is
one percent; NaN where a fund has no return). The results are indexed by the frame's
columns, in column order. The functions take the same parameters, by the same names, as
in ``fundkernels.frames`` and ``fundkernels.dask``.

Dates are passed to the modules as UTC: an index with a time zone is converted to UTC, a
naive index is taken as UTC already. A frame whose float64 columns pandas holds in one
block (made from one array or a dict of arrays) is handed over without a copy
(``DataFrame.to_numpy()`` gives a view, usually Fortran-ordered, which the modules read in
place); a frame grown column by column holds several blocks and is gathered into one
matrix once, and other numeric columns are converted to float64 once, with missing values
(``pd.NA``) as NaN.

With ``navs=True`` the values are net asset values (or prices) instead of returns: each
fund's return on a row is its NAV there over its previous valid NAV, minus 1.

``calendar="own"`` (the default of every indicator but crossodds): a fund's rows are the
dates on which it has a value, and its result is what the indicator gives for that fund
alone; a date it lacks neither extends a drawdown nor ends a run. ``calendar="panel"``:
every fund on every row of the frame, a missing value a row with a missing return.
crossodds compares funds date by date and always takes the frame's dates.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Hashable, Mapping
from typing import Any, Literal, Optional, Union, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._errors import InputTypeError
from . import _pandas_adapter as _pd
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
DateLike = Union[str, _dt.date, np.datetime64, pd.Timestamp]
# Per-fund window bounds: one date for every fund, or dates keyed by fund.
WindowBound = Union[DateLike, "pd.Series[pd.Timestamp]", Mapping[Hashable, DateLike], None]
# Each fund's type code by fund, or "all": every fund in one group. None (the default) is
# an error that says so: one group is chosen, never assumed.
TypeCodes = Union[
    "pd.Series[int]", "pd.Series[str]", Mapping[Hashable, Hashable], Literal["all"], None
]

_SORT_HINT = "sort the rows first (DataFrame.sort_index())"


def _read(data: object) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], pd.Index]:
    """Checked values, dates and fund labels of a frame of returns (or NAVs)."""
    if not isinstance(data, pd.DataFrame):
        raise InputTypeError(f"data must be a pandas DataFrame, not {type(data).__name__}")
    dates = _pd.pandas_dates_ns(data.index, _SORT_HINT)
    _pd.check_pandas_columns(data.columns, data.dtypes)
    return _pd.pandas_values(data), dates, data.columns


def _call(
    name: str, data: object, navs: bool, calendar: str = "own", **options: Any
) -> _pd.Labelled:
    navs = _panel.check_navs(navs)
    calendar = _calendar.check_calendar(calendar)
    options = INDICATORS[name].checked(options)
    values, dates, funds = _read(data)
    columns = _panel.compute(
        name, values, dates, _pd.labels(funds), navs=navs, calendar=calendar, **options
    )
    return _pd.to_pandas(name, columns, funds)


def _series(name: str, data: object, navs: bool, **options: Any) -> pd.Series:
    result = _call(name, data, navs, **options)
    assert isinstance(result, pd.Series)
    return result


def _frame(
    name: str, data: object, navs: bool, calendar: str = "own", **options: Any
) -> pd.DataFrame:
    result = _call(name, data, navs, calendar, **options)
    assert isinstance(result, pd.DataFrame)
    return result


# --- the indicators --------------------------------------------------------------------


def summary(
    data: pd.DataFrame,
    *,
    periods_per_year: Optional[float] = None,
    risk_free: float = 0.0,
    navs: bool = False,
    types: Optional[Union[TypeCodes, str]] = None,
    calendar: Calendar = "own",
) -> pd.DataFrame:
    """The classic statistics per fund over its valid returns, in the columns of
    SUMMARY_COLUMNS: periods, total_return, cagr, volatility, sharpe, sortino, max_drawdown
    with its peak, trough and recovery dates, calmar, best, worst, hit_rate, skew, kurtosis,
    var_95, cvar_95 and the periods_per_year used (see
    ``fundkernels._summary_columns.summary_columns`` for each definition).

    periods_per_year annualises (P): None tells it from the median spacing of the dates
    (daily 252, weekly 52, monthly 12, quarterly 4, yearly 1). risk_free is the annual rate
    (0.03 is three percent), taken per period as (1 + risk_free) ** (1 / P) - 1.

    types: the funds' peer groups (a Series or mapping keyed by fund, as crossodds takes
    them, or "all" for one group of every fund). With them, each column that ranks a fund
    (sharpe, max_drawdown, ...) gets its percentile rank within the group beside the rest,
    named column + "_rank": 1 the best, 100 the worst, equal values at the better place,
    NaN without a value; and peer_group_size, the size of the fund's group.
    """
    return _frame(
        "summary",
        data,
        navs,
        calendar,
        periods_per_year=periods_per_year,
        risk_free=risk_free,
        types=types,
    )


@overload
def troughmend(
    data: pd.DataFrame,
    *,
    navs: bool = ...,
    details: Literal[False] = ...,
    calendar: Calendar = ...,
) -> pd.Series[int]: ...
@overload
def troughmend(
    data: pd.DataFrame,
    *,
    navs: bool = ...,
    details: Literal[True],
    calendar: Calendar = ...,
) -> pd.DataFrame: ...
@overload
def troughmend(
    data: pd.DataFrame,
    *,
    navs: bool = ...,
    details: bool = ...,
    calendar: Calendar = ...,
) -> Union[pd.Series[int], pd.DataFrame]: ...


def troughmend(
    data: pd.DataFrame,
    *,
    navs: bool = False,
    details: bool = False,
    calendar: Calendar = "own",
) -> Union[pd.Series[int], pd.DataFrame]:
    """Longest drawdown per fund, in rows: the longest stretch of consecutive rows that the
    fund's compounded value (starting at 1.0, NaN returns skipped) spends below its running
    peak. A drawdown still open on the last row counts. Result: int64 Series by fund.

    details=True tells where that drawdown lies, as a DataFrame by fund with the columns of
    DRAWDOWN_COLUMNS: "length" (the Series above), "peak" (the date whose value set the
    peak it is measured from; NaT when that is the starting value 1.0), "first" and "last"
    (its first and last date; of equally long drawdowns the latest), "trough" (the date of
    its lowest value, the earliest of equal lows), "depth" (lowest value / peak - 1) and
    "recovery" (the date the value regained the peak; NaT while the drawdown is open).
    Dates are the rows' UTC timestamps; a fund without a drawdown has length 0, NaT dates
    and NaN depth.
    """
    return _call(_panel.troughmend_kind(details), data, navs, calendar)


def crossodds(
    data: pd.DataFrame, types: TypeCodes = None, *, navs: bool = False
) -> pd.Series[float]:
    """Persistence against the peer group per fund: on every date a fund is a winner when
    its value is at or above the median of its type group, a loser when below; the result
    is the number of repeated outcomes between consecutive flagged dates divided by the
    number of reversed ones (NaN when nothing reversed).

    types gives each fund's group, as a Series or a mapping keyed by fund (extra keys are
    ignored; any hashable labels serve as codes), or "all" to put every fund in one group;
    it must be given. Result: float64 Series by fund.
    """
    return _series("crossodds", data, navs, types=types)


def horizonret(
    data: pd.DataFrame,
    horizon: str,
    start: WindowBound = None,
    end: WindowBound = None,
    *,
    navs: bool = False,
    calendar: Calendar = "own",
) -> pd.DataFrame:
    """Rolling calendar-horizon returns per fund: from every row to the row where its horizon
    ends (horizon "3M", "1Y", ...: whole calendar months or years, the day clamped to the
    target month's length), summarised in the columns of HORIZON_COLUMNS: mean, median,
    share of positive horizons ("win") and the shares in six return bands.

    start and end bound each fund's window: None (the default) is the fund's first and last
    row holding a value; a date applies to every fund; a Series or mapping keyed by fund
    gives dates per fund (funds left out, or NaT, keep the default). A start date selects
    the first row on or after it, an end date the last row on or before it. Dates are ISO
    texts ("2020-03-31"), dates, datetimes or timestamps; naive ones are taken as UTC.
    """
    return _frame("horizonret", data, navs, calendar, horizon=horizon, start=start, end=end)


def extremeset(
    data: pd.DataFrame, mode: Mode = "gain", *, navs: bool = False, calendar: Calendar = "own"
) -> pd.DataFrame:
    """The most extreme compounded move over a run of consecutive rows per fund.

    mode "gain": the largest compounded rise over a run of positive returns; "loss": the
    deepest compounded fall over a run of negative returns (computed on the negated values,
    one copy of the panel). Columns: "return" (0.0 when the fund has no such run),
    "length" in rows (0), "first" and "last" dates of the run (UTC calendar days; NaT).
    """
    return _frame("extremeset", data, navs, calendar, mode=mode)


def streakset(
    data: pd.DataFrame, mode: Mode = "gain", *, navs: bool = False, calendar: Calendar = "own"
) -> pd.DataFrame:
    """The longest run of consecutive positive (mode "gain") or negative (mode "loss")
    returns per fund, the latest of equally long runs. Columns: "return" compounded over the
    run (0.0 when the fund has no such run), "length" in rows (0), "first" and "last" dates
    of the run (UTC calendar days; NaT). The loss mode works on the negated values (one copy
    of the panel).
    """
    return _frame("streakset", data, navs, calendar, mode=mode)
