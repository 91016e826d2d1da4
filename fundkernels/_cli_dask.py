"""The command's dask engine: a wide Parquet input through the dask front end, every
indicator computed in one pass over the data (a long table: fundkernels._cli_dask_long)."""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any, cast

import numpy as np

from . import _panel, _returns
from ._cli_compute import Clock, Panel, statistics_options
from ._cli_files import read_types
from ._cli_tables import file_kind, note
from ._errors import CommandError, PriceLikeWarning
from ._registry import command_runs


def dask_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Clock
) -> tuple[Panel, dict[str, Any]]:
    """A wide Parquet input through the dask front end, every indicator computed in one
    pass over the data, with a progress bar on stderr (a long table: see _cli_dask_long)."""
    if args.fund is not None or args.value is not None:
        from ._cli_dask_long import dask_long_columns

        return cast(tuple[Panel, dict[str, Any]], dask_long_columns(args, horizons, clock))
    if args.sql or args.type_column or not args.input:
        raise CommandError("--engine dask reads a wide Parquet file or folder named as INPUT")
    if args.funds or args.exclude or args.date_format:
        raise CommandError(
            "--funds, --exclude and --date-format are for the default engine; --engine dask"
            " reads every column but the date, dated by Parquet"
        )
    path = Path(args.input)
    if not path.exists():
        raise CommandError(f"no such file or folder: {args.input}")
    files = [path] if path.is_file() else [p for p in path.rglob("*") if p.is_file()]
    if not files or any(file_kind(p) != "parquet" for p in files if not p.name.startswith(".")):
        raise CommandError("--engine dask reads a wide Parquet file or folder named as INPUT")
    try:
        import dask.dataframe as dd
        import pandas as pd
        from dask.base import compute
        from dask.diagnostics.progress import ProgressBar

        import fundkernels.dask as fkd
    except ImportError as exc:
        raise CommandError(
            f"--engine dask needs dask: pip install 'fundkernels[cli]' ({exc})"
        ) from None
    date = args.date or "date"
    ddf = dd.read_parquet(str(path))
    if date not in ddf.columns:
        raise CommandError(f"no date column {date!r} in the input")
    meta = ddf._meta.drop(columns=date)
    meta.index = pd.DatetimeIndex([], tz="UTC")
    ddf = ddf.map_partitions(_dated, date, meta=meta)
    funds = [str(c) for c in ddf.columns]
    codes = None
    if args.types:
        types = read_types(args.types).columns
        codes = dict(zip(types[0].to_pylist(), types[1].to_pylist()))
    navs = args.navs
    runs = command_runs(horizons, types=codes or _panel.ALL_FUNDS, **statistics_options(args))
    lazy = [
        fkd.lazy_indicator(run.indicator, ddf, navs=navs, calendar=args.calendar, **run.options)
        for run in runs
    ]
    facts = {"missing": ddf.isna().sum().sum(), "rows": ddf.index.size}
    facts.update(first=ddf.index.min(), last=ddf.index.max())
    with ProgressBar(out=sys.stderr), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", PriceLikeWarning)
        done = compute(*lazy, *facts.values())
    if not navs and not args.returns:  # each block of funds tells its own
        for text in dict.fromkeys(str(w.message) for w in caught if w.category is PriceLikeWarning):
            note(text.replace("pass navs=True", "give --navs (--returns silences this note)"))
    clock.lap("read and indicators (dask)")
    cols: dict[str, Any] = {}
    for run, res in zip(runs, done):
        parts = res.to_frame() if isinstance(res, pd.Series) else res
        cols.update(run.named({c: parts[c].to_numpy() for c in parts.columns}))
    missing, rows, first, last = done[len(lazy) :]
    rows = int(rows)
    lo, hi = (pd.Timestamp(first).value, pd.Timestamp(last).value) if rows else (None, None)
    groups = [str(codes[f]) for f in funds] if codes else None
    share = float(missing) / (rows * len(funds)) if rows and funds else 0.0

    def series(picked: Sequence[int]) -> tuple[Any, Any]:
        """The few charted funds' columns, read again (their columns only)."""
        names = [ddf.columns[i] for i in picked]
        part = ddf[names].compute()
        values = part.to_numpy(dtype=np.float64, copy=True)
        stamps = part.index.asi8
        if navs:
            values = _returns.returns_from_navs(values, stamps, names, in_place=True)
        return stamps, values

    info = Panel(funds, rows, lo, hi, groups, share, navs, args.input, series)
    return info, cols


def _dated(part: Any, date: str) -> Any:
    """A partition of a wide table with its date column as a UTC DatetimeIndex."""
    import pandas as pd

    out = part.set_index(date)
    try:
        out.index = pd.DatetimeIndex(pd.to_datetime(out.index, utc=True))
    except (ValueError, TypeError) as exc:
        raise CommandError(
            f"unparseable dates in column {date!r}: {str(exc).split('. ')[0]}"
        ) from None
    return out
