"""The command's dask engine on long tables (--fund, --value), larger than memory.

The table is read by dask, a partition at a time: a Parquet file or folder (partitioned by
fund or not) or a folder of CSV files. The front end's long-table blocks (see
fundkernels._dask_long) do the work: a survey of the funds and dates, a shuffle of the
rows into blocks of whole peer groups, and per block one matrix on all dates, on which
every indicator of the table is computed in the same task. Only the results (one row per
fund) meet. Without peer groups (--types), crossodds compares every fund with all others,
so that all funds form one block: the whole matrix is then gathered in one task.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._cli_read import file_kind, read_types
from ._errors import CommandError

INPUTS = "--engine dask reads a Parquet file or folder, or a folder of CSV files, named as INPUT"


def _block_columns(
    block: Any, codes: npt.NDArray[np.int32], horizons: Sequence[str], navs: bool
) -> tuple[dict[str, Any], int]:
    """Every indicator of the table on one block's matrix (its own: NAVs convert in
    place), and how many of its cells had no value."""
    from fundkernels import _core

    from ._cli_compute import indicator_columns

    values = block.values
    missing = int(np.count_nonzero(np.isnan(values)))
    if navs:
        values = _core.returns_from_navs(values, block.dates, block.funds, in_place=True)
    return indicator_columns(values, block.dates, block.funds, codes, horizons), missing


def _table(path: Path, fund: str, date: str, value: str) -> Any:
    """The input as a lazy dask DataFrame of the three columns; CSV dates parsed as the
    arrow engine parses them (ISO text; an offset taken to UTC)."""
    import dask.dataframe as dd
    import pandas as pd

    files = [path] if path.is_file() else sorted(p for p in path.rglob("*") if p.is_file())
    kinds = {file_kind(p) for p in files if not p.name.startswith(".")}
    if kinds == {"parquet"}:
        ddf = dd.read_parquet(str(path))
    elif kinds == {"csv"}:
        csvs = [str(p) for p in files if file_kind(p) == "csv"]
        # One partition per file (compressed files cannot be split); labels as text.
        ddf = dd.read_csv(csvs, blocksize=None, dtype={fund: "string"}, compression="infer")
    else:
        raise CommandError(INPUTS)
    for role, name in (("fund", fund), ("date", date), ("value", value)):
        if name not in ddf.columns:
            raise CommandError(f"no {role} column {name!r} in the input")
    ddf = ddf[[fund, date, value]]
    if kinds == {"csv"} and ddf._meta[date].dtype.kind != "M":
        meta = ddf._meta.assign(**{date: pd.Series([], dtype="datetime64[ns, UTC]")})
        ddf = ddf.map_partitions(_parsed, date, meta=meta)
    return ddf


def _parsed(part: Any, date: str) -> Any:
    import pandas as pd

    try:
        return part.assign(**{date: pd.to_datetime(part[date], utc=True, format="ISO8601")})
    except (ValueError, TypeError) as exc:
        raise CommandError(f"unparseable dates in column {date!r}: {str(exc).split('. ')[0]}")


def dask_long_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Any
) -> tuple[Any, dict[str, Any]]:
    """A long table through dask, every indicator per block of funds, with a progress bar
    on stderr."""
    from fundkernels import _core

    from ._cli_compute import Panel, indicator_columns

    if args.fund is None or args.value is None:
        raise CommandError("the long layout needs both --fund and --value")
    if args.sql or not args.input:
        raise CommandError(INPUTS)
    if args.type_column:
        raise CommandError("--engine dask takes the peer groups by --types, not --type-column")
    path = Path(args.input)
    if not path.exists():
        raise CommandError(f"no such file or folder: {args.input}")
    try:
        from dask.base import compute
        from dask.delayed import delayed
        from dask.diagnostics.progress import ProgressBar

        from fundkernels._dask_long import long_blocks
    except ImportError as exc:
        raise CommandError(
            f"--engine dask needs dask: pip install 'fundkernels[cli]' ({exc})"
        ) from None
    date = args.date or "date"
    ddf = _table(path, args.fund, date, args.value)
    given: dict[str, Any] = {}
    if args.types:
        types = read_types(args.types).columns
        given = dict(zip(types[0].to_pylist(), types[1].to_pylist()))

    def groups(funds: list[Any]) -> npt.NDArray[np.int32]:
        labels = [str(f) for f in funds]
        found = {f: given.get(f) for f in labels} if args.types else dict.fromkeys(labels, 0)
        return _core.group_codes(found, labels, "types")

    with ProgressBar(out=sys.stderr):
        lb = long_blocks(ddf, args.fund, date, args.value, groups=groups)
        assert lb.codes is not None
        task = delayed(_block_columns, pure=True)
        done = compute(
            *[task(p, lb.codes[m], tuple(horizons), args.navs) for p, m in zip(lb.parts, lb.blocks)]
        )
    clock.lap("read and indicators (dask)")
    funds = [str(f) for f in lb.funds]
    if done:
        back = lb.back()
        cols = {key: np.concatenate([d[0][key] for d in done])[back] for key in done[0][0]}
    else:
        empty = (np.empty((0, 0)), np.empty(0, np.int64), [], np.empty(0, np.int32))
        cols = indicator_columns(*empty, horizons)
    rows = len(lb.dates)
    first, last = (int(lb.dates[0]), int(lb.dates[-1])) if rows else (None, None)
    missing = sum(d[1] for d in done) / (rows * len(funds)) if rows and funds else 0.0
    groups_shown = [str(given.get(f)) for f in funds] if args.types else None
    return Panel(funds, rows, first, last, groups_shown, missing, args.navs, args.input), cols
