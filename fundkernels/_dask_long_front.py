"""Long dask DataFrames (one row per fund and date) as tasks of whole funds: the work of
``fundkernels.dask`` on such a table, once fundkernels._dask_long has surveyed it and
shuffled its rows into blocks of funds."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.delayed import delayed

from ._errors import InputTypeError
from . import _pandas_adapter as _pd
from . import _panel
from ._dask_long import long_blocks
from ._dask_wide import Dates, Funds, lazy
from ._gather import Gathered


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


def long_spec(
    fund: Optional[str], date: str, value: Optional[str]
) -> Optional[tuple[Any, Any, Any]]:
    if fund is None:
        if value is not None:
            raise InputTypeError("value= names the value column of a long table: give fund= too")
        return None
    return fund, date, value


def per_long_block(
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
    return lazy([delayed(_in_order, pure=True)(results, lb.back(), meta)], meta)


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
