"""Long dask DataFrames (one row per fund and date) as blocks of whole funds.

A long table larger than memory is turned into matrices a block of funds at a time:

1. A survey reads the fund and date columns once, partition by partition, and keeps only
   what is distinct in each: every fund in order of first appearance and every date.
2. The funds are cut into blocks (consecutive in that order, or whole peer groups when a
   fund's result depends on its group), and the rows are shuffled by block: dask's
   shuffle, which spills to disk (locally) or moves data between workers (distributed),
   so that no task holds more than a block of rows.
3. Each block's rows are gathered into the block's own matrix on all the table's dates,
   as the whole table would be, so that every fund's result is the one the whole matrix
   gives.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from itertools import chain
from typing import Any, Optional, cast

import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.base import compute
from dask.delayed import Delayed, delayed

from ._errors import InputError, InputTypeError
from ._blocks import blocks_of
from ._dates import datetimes_ns
from ._gather import Gathered, gather

_BLOCK = "__fundkernels_block"


@dataclass
class LongBlocks:
    """A long table surveyed and shuffled: every fund (in order of first appearance),
    every date (sorted, int64 ns), the positions of each block's funds among all funds,
    per block a delayed Gathered (its matrix on all dates), and the funds' groups."""

    funds: list[Any]
    dates: npt.NDArray[np.int64]
    blocks: list[npt.NDArray[np.intp]]
    parts: list[Delayed]
    codes: Optional[npt.NDArray[np.int32]] = None  # each fund's group, when blocks keep groups

    def back(self) -> npt.NDArray[np.intp]:
        """Where each fund's result is among the results of the blocks, one after another."""
        order = np.concatenate(self.blocks) if self.blocks else np.empty(0, np.intp)
        back = np.empty(len(order), np.intp)
        back[order] = np.arange(len(order))
        return back


def check_long(ddf: object, fund: object, date: object, value: object) -> dd.DataFrame:
    """A long dask DataFrame's three columns, checked by name and type (from its meta)."""
    if not isinstance(ddf, dd.DataFrame):
        raise InputTypeError(f"a long table must be a dask DataFrame, not {type(ddf).__name__}")
    for role, name in (("fund", fund), ("date", date), ("value", value)):
        if not isinstance(name, str):
            raise InputTypeError(f"{role}= must be a column name (str), not {type(name).__name__}")
        if name not in ddf.columns:
            raise InputError(f"no {role} column {name!r}; the columns are {list(ddf.columns)[:10]}")
    kind = ddf._meta[value].dtype
    if getattr(kind, "kind", "O") not in "iuf":
        raise InputTypeError(f"the value column {value!r} must be numeric, not {kind}")
    return cast(dd.DataFrame, ddf[[fund, date, value]])


def _dates_ns(column: pd.Series, date: str, k: int) -> npt.NDArray[np.int64]:
    """A partition's dates as int64 ns (UTC), a missing date naming its row."""
    where = f"the date column {date!r} (partition {k})"
    if isinstance(column.dtype, pd.ArrowDtype):  # Arrow dates and timestamps, as read
        pa = importlib.import_module("pyarrow")  # by name: it ships no type information
        kind = column.dtype.pyarrow_dtype
        if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
            zoned = pa.types.is_timestamp(kind) and kind.tz is not None
            column = column.astype("datetime64[ns, UTC]" if zoned else "datetime64[ns]")
    if isinstance(column.dtype, pd.DatetimeTZDtype):
        column = column.dt.tz_convert("UTC").dt.tz_localize(None)
    values = np.asarray(column.to_numpy())
    if values.dtype.kind != "M":
        raise InputTypeError(f"{where} must hold dates or datetimes, not {column.dtype}")
    return datetimes_ns(values, where)


def _survey(part: pd.DataFrame, fund: str, date: str, k: int) -> tuple[list[Any], Any]:
    """A partition's distinct funds (in order of first appearance) and distinct dates."""
    labels = part[fund]
    missing = labels.isna().to_numpy()
    if missing.any():
        row = int(np.argmax(missing))
        raise InputError(
            f"the fund column {fund!r} holds a missing fund in partition {k} at row {row}"
        )
    return labels.drop_duplicates().tolist(), np.unique(_dates_ns(part[date], date, k))


def _tag(
    part: pd.DataFrame, fund: str, date: str, value: str, index: pd.Index, block_of: Any
) -> pd.DataFrame:
    """A partition as numbers only, which shuffle cheaply: each row's block, its fund's
    number among all funds, its date in int64 ns and its value as float64."""
    number = index.get_indexer(pd.Index(part[fund]))
    return pd.DataFrame(
        {
            _BLOCK: block_of[number],
            fund: number.astype(np.int32),
            date: _dates_ns(part[date], date, 0),
            value: part[value].to_numpy(dtype=np.float64, na_value=np.nan),
        },
        index=part.index,
    )


def _gather_block(
    part: pd.DataFrame,
    fund: str,
    date: str,
    value: str,
    members: npt.NDArray[np.intp],
    labels: list[Any],
    dates: npt.NDArray[np.int64],
) -> Gathered:
    """A block's rows as its matrix: its funds (numbered among all) in order, all dates."""
    got = gather(
        part[fund].to_numpy(),
        part[date].to_numpy(),
        part[value].to_numpy(),
        fund_column=fund,
        date_column=date,
        labels=members.tolist(),
        axis=dates,
        rows_named=False,
        names=labels,
        threads=1,  # the scheduler runs blocks side by side
    )
    got.funds = labels
    return got


def survey(ddf: dd.DataFrame, fund: str, date: str) -> tuple[list[Any], npt.NDArray[np.int64]]:
    """Every fund in order of first appearance and every date: one pass over the two
    columns, keeping only what is distinct in each partition."""
    parts = ddf[[fund, date]].to_delayed()
    task = delayed(_survey, pure=True)
    found = compute(*[task(p, fund, date, k) for k, p in enumerate(parts)])
    funds = list(dict.fromkeys(chain.from_iterable(labels for labels, _ in found)))
    days = [d for _, d in found]
    dates = np.unique(np.concatenate(days)) if days else np.empty(0, np.int64)
    return funds, dates.astype(np.int64)


def long_blocks(
    ddf: dd.DataFrame,
    fund: str,
    date: str,
    value: str,
    funds_per_chunk: Optional[int] = None,
    groups: Optional[Any] = None,
) -> LongBlocks:
    """Survey a long table and shuffle its rows into blocks of funds (see the module's
    description). groups: a function from the list of funds to their group codes (int32),
    when blocks must hold whole groups."""
    table = check_long(ddf, fund, date, value)
    funds, dates = survey(table, fund, date)
    codes = None if groups is None else groups(funds)
    blocks = blocks_of(len(funds), len(dates), funds_per_chunk, codes)
    if not blocks:
        return LongBlocks(funds, dates, [], [], codes)
    block_of = np.empty(len(funds), np.int64)
    for k, members in enumerate(blocks):
        block_of[members] = k
    index = pd.Index(funds)
    meta = pd.DataFrame(
        {
            _BLOCK: np.empty(0, np.int64),
            fund: np.empty(0, np.int32),
            date: np.empty(0, np.int64),
            value: np.empty(0, np.float64),
        }
    )
    tagged = table.map_partitions(
        _tag,
        fund,
        date,
        value,
        delayed(index, pure=True),
        delayed(block_of, pure=True),
        meta=meta,
        enforce_metadata=False,
    )
    shuffled = tagged.set_index(_BLOCK, divisions=list(range(len(blocks) + 1)))
    axis = delayed(dates, pure=True)
    task = delayed(_gather_block, pure=True)
    parts = [
        task(p, fund, date, value, members, [funds[i] for i in members], axis)
        for p, members in zip(shuffled.to_delayed(), blocks)
    ]
    return LongBlocks(funds, dates, blocks, parts, codes)
