"""The indicators over dask collections, for panels larger than one machine's memory.

Each function takes a dask DataFrame (a DatetimeIndex of dates, one column per fund, as
for ``fundkernels.pandas``) or a two-dimensional dask array (rows are dates, columns are
funds) together with ``dates=`` (needed where the indicator uses dates) and, optionally,
``funds=`` labels. It returns a lazy dask Series or DataFrame indexed by fund, in column
order, whose ``.compute()`` is bit for bit what ``fundkernels.pandas`` gives for the whole
panel in one call.

The indicators follow every fund through all its dates, so the work is split by columns:
each task gets all the dates of a block of funds. The input is rechunked to that layout
when it is not in it already: the date axis into one chunk, and the fund axis into blocks
of ``funds_per_chunk`` columns (by default a dask array keeps its column chunks, and a dask
DataFrame, whose partitions are blocks of rows, gets dask's automatic chunk size). So each
task holds all dates of its funds in memory. ``calendar=`` as in ``fundkernels.pandas``:
each task computes its funds on their own dates (or the panel's), so a fund's result is
the same whatever block it falls in. A dask DataFrame's index is computed once (one
date per row: small next to the panel) to check the dates and count the rows per partition.
"""

from __future__ import annotations

from typing import Any, Literal, Optional, Union, cast, overload

import dask.dataframe as dd
import pandas as pd

from . import _calendar, _panel
from ._dask_long_front import long_spec, per_long_block
from ._dask_wide import Dates, Funds, Panel, per_column_block, per_group_block
from ._ranks import peer_ranks
from ._registry import INDICATORS
from .pandas import Calendar, Mode, TypeCodes, WindowBound

__all__ = ["summary", "troughmend", "crossodds", "horizonret", "extremeset", "streakset"]

# The wide panel's work: fundkernels._dask_wide; the long table's: fundkernels._dask_long_front.


def _per_block(
    name: str,
    data: Panel,
    dates: Dates,
    funds: Funds,
    funds_per_chunk: Optional[int],
    navs: bool,
    long: Optional[tuple[Any, Any, Any]] = None,
    calendar: str = "own",
    **options: Any,
) -> Any:
    """An indicator whose funds are independent: one task per column block, the dates and
    options shared by all tasks. long: (fund, date, value) of a long table. On the own
    calendar each task takes each of its funds on the fund's own dates, so a fund's result
    does not depend on its block."""
    navs = _panel.check_navs(navs)
    calendar = _calendar.check_calendar(calendar)
    options = INDICATORS[name].checked(options)
    if long is not None:
        with_calendar = {**options, "calendar": calendar}  # compute's own argument
        return per_long_block(name, data, long, dates, funds, funds_per_chunk, navs, with_calendar)
    return per_column_block(name, data, dates, funds, funds_per_chunk, navs, calendar, options)


def _per_group(
    name: str,
    data: Panel,
    dates: Dates,
    funds: Funds,
    funds_per_chunk: Optional[int],
    navs: bool,
    long: Optional[tuple[Any, Any, Any]] = None,
    **options: Any,
) -> Any:
    """An indicator that compares each fund with its type group: whole groups per task."""
    navs = _panel.check_navs(navs)
    types = INDICATORS[name].checked(options)["types"]
    if long is not None:
        return per_long_block(
            name, data, long, dates, funds, funds_per_chunk, navs, {}, types=types
        )
    return per_group_block(name, data, dates, funds, funds_per_chunk, navs, types)


def lazy_indicator(
    name: str,
    data: Panel,
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    calendar: str = "own",
    **options: Any,
) -> Any:
    """Any indicator of the registry by name, its options by name (the command's engine).
    An indicator compared across funds takes the panel's dates whatever the calendar."""
    if INDICATORS[name].per_column:
        return _per_block(
            name, data, dates, funds, funds_per_chunk, navs, calendar=calendar, **options
        )
    _calendar.check_calendar(calendar)
    return _per_group(name, data, dates, funds, funds_per_chunk, navs, **options)


# --- the indicators --------------------------------------------------------------------


def _with_ranks(result: pd.DataFrame, types: object) -> pd.DataFrame:
    """The statistics of every fund with their ranks within the funds' peer groups."""
    codes = _panel.group_codes(types, list(result.index), "types")
    better = {c.name: c.better for c in INDICATORS["summary"].columns}
    ranks = peer_ranks({c: result[c].to_numpy() for c in result.columns}, codes, better)
    return result.assign(**ranks)


def summary(
    data: Panel,
    *,
    periods_per_year: Optional[float] = None,
    risk_free: float = 0.0,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    types: Optional[Union[TypeCodes, str]] = None,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
) -> dd.DataFrame:
    """The classic statistics per fund, as ``fundkernels.pandas.summary``; a lazy dask
    DataFrame by fund. The panel is rechunked to all dates in one chunk if needed. With
    ``types``, the ranks compare funds across every block: they are taken in one last task
    over the statistics of all funds (one row per fund)."""
    options: dict[str, Any] = {"periods_per_year": periods_per_year, "risk_free": risk_free}
    long = long_spec(fund, date, value)
    lazy = _per_block("summary", data, dates, funds, funds_per_chunk, navs, long, **options)
    if types is None:
        return cast(dd.DataFrame, lazy)
    if _panel.is_pandas_series(types):  # a plain mapping travels in the graph as it is
        types = dict(zip(types.index, types.tolist()))
    meta = _with_ranks(lazy._meta, _panel.ALL_FUNDS)
    whole = lazy.repartition(npartitions=1)
    return cast(dd.DataFrame, whole.map_partitions(_with_ranks, types, meta=meta))


@overload
def troughmend(
    data: Panel,
    *,
    dates: Dates = ...,
    funds: Funds = ...,
    funds_per_chunk: Optional[int] = ...,
    navs: bool = ...,
    fund: Optional[str] = ...,
    date: str = ...,
    value: Optional[str] = ...,
    details: Literal[False] = ...,
    calendar: Calendar = ...,
) -> dd.Series: ...
@overload
def troughmend(
    data: Panel,
    *,
    dates: Dates = ...,
    funds: Funds = ...,
    funds_per_chunk: Optional[int] = ...,
    navs: bool = ...,
    fund: Optional[str] = ...,
    date: str = ...,
    value: Optional[str] = ...,
    details: Literal[True],
    calendar: Calendar = ...,
) -> dd.DataFrame: ...
@overload
def troughmend(
    data: Panel,
    *,
    dates: Dates = ...,
    funds: Funds = ...,
    funds_per_chunk: Optional[int] = ...,
    navs: bool = ...,
    fund: Optional[str] = ...,
    date: str = ...,
    value: Optional[str] = ...,
    details: bool = ...,
    calendar: Calendar = ...,
) -> Union[dd.Series, dd.DataFrame]: ...


def troughmend(
    data: Panel,
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
    details: bool = False,
    calendar: Calendar = "own",
) -> Union[dd.Series, dd.DataFrame]:
    """Longest drawdown per fund in rows, as ``fundkernels.pandas.troughmend``; a lazy
    int64 dask Series by fund. The panel is rechunked to all dates in one chunk if needed.

    details=True: where it lies, as ``fundkernels.pandas.troughmend(..., details=True)``;
    a lazy dask DataFrame by fund (a dask array then needs ``dates=``)."""
    kind = _panel.troughmend_kind(details)
    long = long_spec(fund, date, value)
    lazy = _per_block(kind, data, dates, funds, funds_per_chunk, navs, long, calendar)
    return cast(Union[dd.Series, dd.DataFrame], lazy)


def crossodds(
    data: Panel,
    types: TypeCodes = None,
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
) -> dd.Series:
    """Persistence against the peer group per fund, as ``fundkernels.pandas.crossodds``; a
    lazy float64 dask Series by fund, in column order, in one partition.

    A fund's result depends on every fund of its type group, so the panel is regrouped by
    columns: whole type groups per task, groups packed in first-appearance order into
    blocks of about ``funds_per_chunk`` columns (default: the widest column chunk of the
    input); a group wider than that gets a task of its own. All dates go into one chunk.
    """
    long = long_spec(fund, date, value)
    lazy = _per_group("crossodds", data, dates, funds, funds_per_chunk, navs, long, types=types)
    return cast(dd.Series, lazy)


def horizonret(
    data: Panel,
    horizon: str,
    start: WindowBound = None,
    end: WindowBound = None,
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
    calendar: Calendar = "own",
) -> dd.DataFrame:
    """Rolling calendar-horizon statistics per fund, as ``fundkernels.pandas.horizonret``
    (same windows, same columns); a lazy dask DataFrame by fund. The panel is rechunked to
    all dates in one chunk if needed."""
    options = {"horizon": horizon, "start": start, "end": end}
    long = long_spec(fund, date, value)
    lazy = _per_block(
        "horizonret", data, dates, funds, funds_per_chunk, navs, long, calendar, **options
    )
    return cast(dd.DataFrame, lazy)


def extremeset(
    data: Panel,
    mode: Mode = "gain",
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
    calendar: Calendar = "own",
) -> dd.DataFrame:
    """The most extreme compounded move over a run per fund, as
    ``fundkernels.pandas.extremeset``; a lazy dask DataFrame by fund. The panel is
    rechunked to all dates in one chunk if needed."""
    long = long_spec(fund, date, value)
    lazy = _per_block(
        "extremeset", data, dates, funds, funds_per_chunk, navs, long, calendar, mode=mode
    )
    return cast(dd.DataFrame, lazy)


def streakset(
    data: Panel,
    mode: Mode = "gain",
    *,
    dates: Dates = None,
    funds: Funds = None,
    funds_per_chunk: Optional[int] = None,
    navs: bool = False,
    fund: Optional[str] = None,
    date: str = "date",
    value: Optional[str] = None,
    calendar: Calendar = "own",
) -> dd.DataFrame:
    """The longest run per fund, as ``fundkernels.pandas.streakset``; a lazy dask DataFrame
    by fund. The panel is rechunked to all dates in one chunk if needed."""
    long = long_spec(fund, date, value)
    lazy = _per_block(
        "streakset", data, dates, funds, funds_per_chunk, navs, long, calendar, mode=mode
    )
    return cast(dd.DataFrame, lazy)
