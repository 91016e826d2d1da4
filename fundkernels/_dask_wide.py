"""Wide dask panels (a dask DataFrame with one column per fund, or a two-dimensional dask
array) as tasks of whole columns, all dates in one chunk: the work of ``fundkernels.dask``
on such a panel (its notes tell the layout). An indicator whose funds are independent gets
one task per column chunk; one that compares each fund with its type group gets whole
groups per task, only their results (one row per fund) meeting in the last one."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional, Union, cast

import dask.array as da
import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.base import compute
from dask.delayed import delayed

from ._errors import InputError, InputTypeError
from . import _pandas_adapter as _pd
from . import _panel
from ._blocks import blocks_of
from ._registry import INDICATORS

Panel = Union[dd.DataFrame, da.Array]
Dates = Union[pd.DatetimeIndex, npt.ArrayLike, None]
Funds = Union[pd.Index, Sequence[Any], None]

_SORT_HINT = "sort the rows first"


def prepare(
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


def lazy(parts: list[Any], meta: Union[pd.Series, pd.DataFrame]) -> Any:
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


def per_column_block(
    name: str,
    data: Panel,
    dates: Dates,
    funds: Funds,
    funds_per_chunk: Optional[int],
    navs: bool,
    calendar: str,
    options: dict[str, Any],
) -> Any:
    """An indicator whose funds are independent, its arguments checked: one task per column
    block, the dates and options shared by all tasks."""
    need_dates = INDICATORS[name].needs_dates
    arr, ns, labels = prepare(data, dates, funds, funds_per_chunk, need_dates=need_dates)
    shared = delayed(ns, pure=True)
    # The options (window bounds may be keyed by fund): one copy in the graph.
    opts = delayed(options, pure=True)
    fn = delayed(_block, pure=True)
    parts = [
        fn(block, part, shared, name, navs, calendar, opts)
        for block, part in _column_blocks(arr, labels)
    ]
    meta = _pd.to_pandas(name, _panel.empty_columns(name, **options), labels[:0])
    return lazy(parts, meta)


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


def per_group_block(
    name: str,
    data: Panel,
    dates: Dates,
    funds: Funds,
    funds_per_chunk: Optional[int],
    navs: bool,
    types: object,
) -> Any:
    """An indicator that compares each fund with its type group, its arguments checked:
    whole groups per task."""
    need_dates = INDICATORS[name].needs_dates
    arr, ns, labels = prepare(data, dates, funds, funds_per_chunk, need_dates=need_dates)
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
    return lazy([result], meta)
