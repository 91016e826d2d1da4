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

from collections.abc import Sequence
from typing import Any, Literal, Optional, Union, cast, overload

import dask.array as da
import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.base import compute
from dask.delayed import delayed

from ._errors import InputError, InputTypeError
from . import _pandas_adapter as _pd
from . import _calendar, _panel
from ._blocks import blocks_of
from ._dask_long import long_blocks
from ._gather import Gathered
from ._ranks import peer_ranks
from ._registry import INDICATORS
from .pandas import Calendar, Mode, TypeCodes, WindowBound

__all__ = ["summary", "troughmend", "crossodds", "horizonret", "extremeset", "streakset"]

Panel = Union[dd.DataFrame, da.Array]
Dates = Union[pd.DatetimeIndex, npt.ArrayLike, None]
Funds = Union[pd.Index, Sequence[Any], None]

_SORT_HINT = "sort the rows first"


def _prepare(
    panel: object, dates: Dates, funds: Funds, funds_per_chunk: Optional[int], need_dates: bool
) -> tuple[da.Array, Optional[npt.NDArray[np.int64]], pd.Index]:
    """The panel as a float64 dask array with all rows in one chunk, the checked dates as
    int64 nanoseconds (None when an array comes without them) and the fund labels."""
    wrong = isinstance(funds_per_chunk, bool) or not isinstance(funds_per_chunk, int)
    if funds_per_chunk is not None and (wrong or funds_per_chunk < 1):
        raise InputError(f"funds_per_chunk must be a positive int, not {funds_per_chunk!r}")
    if isinstance(panel, dd.DataFrame):
        if dates is not None or funds is not None:
            raise InputTypeError(
                "dates and funds come from a dask DataFrame's index and columns;"
                " pass them only with a dask array"
            )
        meta = panel._meta
        if not isinstance(meta.index, pd.DatetimeIndex):
            raise InputTypeError(
                f"data must have a DatetimeIndex of dates, not {type(meta.index).__name__}"
            )
        _pd.check_pandas_columns(meta.columns, meta.dtypes)
        # One pass over the index: the dates to check and the row count of each partition.
        parts = compute(*panel.index.to_delayed())
        index = parts[0].append(list(parts[1:])) if len(parts) > 1 else parts[0]
        checked = _pd.pandas_dates_ns(pd.DatetimeIndex(index), _SORT_HINT)
        frame = panel if _pd.all_float64(meta.dtypes) else panel.astype(np.float64)
        arr = frame.to_dask_array(lengths=[len(p) for p in parts])
        arr = arr.rechunk({0: -1, 1: funds_per_chunk or "auto"})
        return arr, checked, meta.columns
    if isinstance(panel, da.Array):
        if panel.ndim != 2:
            raise InputError(
                "data must be a two-dimensional dask array (dates x funds),"
                f" not {panel.ndim}-dimensional"
            )
        if panel.dtype.kind not in "iuf":
            raise InputTypeError(f"data must be a numeric dask array, not {panel.dtype}")
        rows, cols = panel.shape
        if np.isnan(rows) or np.isnan(cols):
            raise InputError(
                "the dask array has unknown chunk sizes; call compute_chunk_sizes() first"
            )
        ns: Optional[npt.NDArray[np.int64]] = None
        if dates is not None:
            ns = _pd.pandas_dates_ns(pd.DatetimeIndex(cast(Any, dates)), _SORT_HINT)
            if len(ns) != rows:
                raise InputError(f"dates has {len(ns)} elements, but data has {rows} rows")
        elif need_dates:
            raise InputTypeError("dates= is required with a dask array: one date per row")
        labels = pd.RangeIndex(cols) if funds is None else pd.Index(funds)
        if len(labels) != cols:
            raise InputError(f"funds has {len(labels)} labels, but data has {cols} columns")
        if not labels.is_unique:
            raise InputError(
                "fund labels must be unique; duplicated: "
                f"{labels[labels.duplicated()].unique().tolist()[:10]}"
            )
        arr = panel if panel.dtype == np.float64 else panel.astype(np.float64)
        if len(arr.chunks[0]) > 1 or funds_per_chunk is not None:
            arr = arr.rechunk({0: -1, 1: funds_per_chunk or arr.chunks[1]})
        return arr, ns, labels
    raise InputTypeError(
        f"data must be a dask DataFrame or a dask array, not {type(panel).__name__}"
    )


def _column_blocks(arr: da.Array, funds: pd.Index) -> list[tuple[Any, pd.Index]]:
    """The delayed column blocks of an array whose rows are in one chunk, with their funds."""
    blocks = arr.to_delayed()
    assert blocks.shape[0] == 1
    out = []
    lo = 0
    for j, width in enumerate(arr.chunks[1]):
        out.append((blocks[0, j], funds[lo : lo + width]))
        lo += width
    return out


def _lazy(parts: list[Any], meta: Union[pd.Series, pd.DataFrame]) -> Any:
    """One partition per delayed part, in order; the parts are built to match meta."""
    return dd.from_delayed(parts, meta=meta, verify_meta=False)


def _block(
    values: npt.NDArray[np.float64],
    funds: pd.Index,
    dates: Optional[npt.NDArray[np.int64]],
    name: str,
    navs: bool,
    calendar: str,
    options: dict[str, Any],
) -> _pd.Labelled:
    """The work of one task: an indicator on a block of funds with all its rows."""
    columns = _panel.compute(
        name, values, dates, list(funds), navs=navs, calendar=calendar, **options
    )
    return _pd.to_pandas(name, columns, funds)


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
        return _per_long_block(name, data, long, dates, funds, funds_per_chunk, navs, with_calendar)
    need_dates = INDICATORS[name].needs_dates
    arr, ns, labels = _prepare(data, dates, funds, funds_per_chunk, need_dates=need_dates)
    shared = delayed(ns, pure=True)
    # The options (window bounds may be keyed by fund): one copy in the graph.
    opts = delayed(options, pure=True)
    fn = delayed(_block, pure=True)
    parts = [
        fn(block, part, shared, name, navs, calendar, opts)
        for block, part in _column_blocks(arr, labels)
    ]
    meta = _pd.to_pandas(name, _panel.empty_columns(name, **options), labels[:0])
    return _lazy(parts, meta)


def _long_columns(long: tuple[Any, Any, Any], dates: Dates, funds: Funds) -> tuple[Any, Any, Any]:
    """fund=, date= and value= of a long table, which brings its own dates and funds."""
    fund, date, value = long
    if value is None:
        raise InputTypeError("a long table needs value= as well as fund=: the column of the values")
    if dates is not None or funds is not None:
        raise InputTypeError(
            "a long table brings its dates and funds: pass dates= and funds= only with a dask array"
        )
    return fund, date, value


def _long_spec(
    fund: Optional[str], date: str, value: Optional[str]
) -> Optional[tuple[Any, Any, Any]]:
    if fund is None:
        if value is not None:
            raise InputTypeError("value= names the value column of a long table: give fund= too")
        return None
    return fund, date, value


def _per_long_block(
    name: str,
    returns: Any,
    long: tuple[Any, Any, Any],
    dates: Dates,
    funds: Funds,
    funds_per_chunk: Optional[int],
    navs: bool,
    options: dict[str, Any],
    types: object = None,
) -> Any:
    """An indicator on a long table: one task per block of funds (whole type groups when
    types are given), each gathered into its own matrix on all dates."""
    groups = None if types is None else (lambda f: _panel.group_codes(types, f, "types"))
    lb = long_blocks(returns, *_long_columns(long, dates, funds), funds_per_chunk, groups)
    task = delayed(_long_block, pure=True)
    opts = delayed(options, pure=True)
    results = [
        task(part, name, navs, opts, None if lb.codes is None else lb.codes[cols])
        for part, cols in zip(lb.parts, lb.blocks)
    ]
    empty = _panel.empty_columns(name, **(options if types is None else {"types": {}}))
    meta = _pd.to_pandas(name, empty, pd.Index([])[:0])
    return _lazy([delayed(_in_order, pure=True)(results, lb.back(), meta)], meta)


def _long_block(
    block: Gathered,
    name: str,
    navs: bool,
    options: dict[str, Any],
    codes: Optional[npt.NDArray[np.int32]],
) -> _pd.Labelled:
    """An indicator on one block of a long table (the block's matrix is the task's own)."""
    extra: dict[str, Any] = {} if codes is None else {"types": codes}
    columns = _panel.compute(
        name, block.values, block.dates, block.funds, navs=navs, owned=True, **options, **extra
    )
    return _pd.to_pandas(name, columns, pd.Index(block.funds))


def _in_order(results: list[Any], back: npt.NDArray[np.intp], meta: Any) -> Any:
    """The blocks' results, one after another, put back in fund order."""
    if not results:
        return meta
    return pd.concat(results).iloc[back]


# --- work done in the tasks: one block of funds with all its rows ----------------------


def _group_block(
    values: npt.NDArray[np.float64],
    codes: npt.NDArray[np.int32],
    funds: pd.Index,
    dates: Optional[npt.NDArray[np.int64]],
    name: str,
    navs: bool,
) -> _panel.Columns:
    return _panel.compute(name, values, dates, list(funds), navs=navs, types=codes)


def _gather(
    results: list[_panel.Columns], columns: list[npt.NDArray[np.intp]], funds: pd.Index, name: str
) -> _pd.Labelled:
    """The results of the blocks of whole type groups, back in column order."""
    if not results:
        return _pd.to_pandas(name, _panel.empty_columns(name, types={}), funds)
    where = np.concatenate(columns)
    out = {}
    for key in results[0]:
        out[key] = np.empty_like(results[0][key], shape=len(funds))
        out[key][where] = np.concatenate([res[key] for res in results])
    return _pd.to_pandas(name, out, funds)


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
        return _per_long_block(
            name, data, long, dates, funds, funds_per_chunk, navs, {}, types=types
        )
    need_dates = INDICATORS[name].needs_dates
    arr, ns, labels = _prepare(data, dates, funds, funds_per_chunk, need_dates=need_dates)
    codes = _panel.group_codes(types, list(labels), "types")
    width = funds_per_chunk or max(arr.chunks[1], default=1)
    blocks = blocks_of(len(labels), arr.shape[0], width, codes)
    # Each block's task computes its groups; only the results (one row per fund) meet.
    task = delayed(_group_block, pure=True)
    shared = delayed(ns, pure=True)
    results = [
        task(
            arr[:, cols].rechunk({1: -1}).to_delayed()[0, 0],
            codes[cols],
            labels[cols],
            shared,
            name,
            navs,
        )
        for cols in blocks
    ]
    result = delayed(_gather, pure=True)(results, blocks, labels, name)
    meta = _pd.to_pandas(name, _panel.empty_columns(name, types={}), labels[:0])
    return _lazy([result], meta)


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
    long = _long_spec(fund, date, value)
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
    long = _long_spec(fund, date, value)
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
    long = _long_spec(fund, date, value)
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
    return cast(
        dd.DataFrame,
        _per_block(
            "horizonret",
            data,
            dates,
            funds,
            funds_per_chunk,
            navs,
            _long_spec(fund, date, value),
            **options,
            calendar=calendar,
        ),  # fmt: skip
    )


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
    return cast(
        dd.DataFrame,
        _per_block(
            "extremeset",
            data,
            dates,
            funds,
            funds_per_chunk,
            navs,
            _long_spec(fund, date, value),
            mode=mode,
            calendar=calendar,
        ),  # fmt: skip
    )


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
    return cast(
        dd.DataFrame,
        _per_block(
            "streakset",
            data,
            dates,
            funds,
            funds_per_chunk,
            navs,
            _long_spec(fund, date, value),
            mode=mode,
            calendar=calendar,
        ),  # fmt: skip
    )
