"""The command's computing: a panel read by the arrow or the dask engine, every indicator on
it, as named columns (one value per fund) and what the output and the report say about it."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional, cast

import numpy as np
import numpy.typing as npt

from . import _panel
from ._cli_read import as_text, file_kind, input_table, parse_dates, read_types
from ._errors import CommandError
from ._ranks import peer_ranks
from ._registry import command_columns, command_runs


class Clock:
    """Wall time of the command's phases, for --timings."""

    def __init__(self) -> None:
        self.laps: dict[str, float] = {}
        self._last = time.perf_counter()

    def lap(self, phase: str) -> None:
        now = time.perf_counter()
        self.laps[phase] = self.laps.get(phase, 0.0) + now - self._last
        self._last = now

    def line(self) -> str:
        return "timings: " + ", ".join(f"{k} {v:.3f} s" for k, v in self.laps.items())



@dataclass
class Panel:
    """What the output and the report say about the input."""

    funds: list[str]
    dates: int  # how many
    first: Optional[int]  # first and last date, ns since the epoch (UTC); None: no dates
    last: Optional[int]
    groups: Optional[list[str]]  # each fund's peer group; None: one group of all funds
    missing: float  # share of (date, fund) cells without a value in the input
    navs: bool
    source: str
    # The returns of some funds, by position: (dates in ns, matrix of their columns).
    series: Optional[Callable[[Sequence[int]], tuple[Any, Any]]] = None



def statistics_options(args: argparse.Namespace) -> dict[str, Any]:
    """The summary statistics' options from the command's flags."""
    return {"periods_per_year": args.periods_per_year, "risk_free": args.risk_free}


def table_ranks(panel: Panel, cols: Mapping[str, Any], horizons: Sequence[str]) -> dict[str, Any]:
    """Every fund's percentile rank within its peer group (all funds without groups) on
    every column of the table that ranks funds, and the size of its group."""
    better = {out.name: out.column.better for out in command_columns(horizons)}
    groups = panel.groups if panel.groups is not None else [""] * len(panel.funds)
    codes = np.unique(np.asarray(groups, dtype=object).astype(str), return_inverse=True)[1]
    return peer_ranks(cols, codes.astype(np.int64), better)


def indicator_columns(
    values: npt.NDArray[np.float64],
    dates: npt.NDArray[np.int64],
    funds: list[Any],
    codes: npt.NDArray[np.int32],
    horizons: Sequence[str],
    statistics: Optional[Mapping[str, Any]] = None,
    calendar: str = "own",
    navs: bool = False,
) -> dict[str, Any]:
    """Every indicator of the registry on one panel of returns (of NAVs: navs=True, each
    call converting them, since a fund's own dates are those of its NAVs), under the
    command's names. statistics: the summary's options (periods_per_year, risk_free;
    default: their own)."""
    cols: dict[str, Any] = {}
    for run in command_runs(horizons, types=codes, **(statistics or {})):
        got = _panel.compute(
            run.indicator, values, dates, funds, navs=navs, calendar=calendar, **run.options
        )
        cols.update(run.named(got))
    return cols


def load_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Clock
) -> tuple[Panel, dict[str, Any]]:
    """Read the input, gather it once into the panel the modules read (the shared core's
    table reading, as the frames front end does) and compute every indicator on it."""
    from ._narwhals_adapter import read_table, table_types  # narwhals: only for this engine

    if (args.fund is None) != (args.value is None):
        raise CommandError("the long layout needs both --fund and --value")
    if args.types and args.type_column:
        raise CommandError("give the peer groups by --types or by --type-column, not both")
    table, source, date, types_file = input_table(args)
    types = read_types(types_file) if types_file else None
    table = as_text(parse_dates(table, date), args.fund)
    clock.lap("read")
    panel = read_table(table, date, args.fund, args.value)
    values, dates = panel.values, panel.dates
    missing = float(np.isnan(values).mean()) if values.size else 0.0
    navs: Optional[npt.NDArray[np.float64]] = None
    if args.navs:  # in place when the matrix is ours, not a view of the input
        # On the own calendar every indicator takes the NAVs themselves (see above).
        navs = values if args.calendar == "own" else None
        own = panel.owned and navs is None
        values = _panel.returns_from_navs(values, dates, panel.funds, in_place=own)
    given = None
    if types is not None or args.type_column is not None:
        # A mapping keyed by fund: each fund's type, also shown in the output.
        found = table_types(panel, types, args.type_column)
        given = {f: cast(Mapping[Any, Any], found).get(f) for f in panel.funds}
    codes = _panel.group_codes(given or _panel.ALL_FUNDS, panel.funds, "types")
    groups = None if given is None else [str(given[f]) for f in panel.funds]
    labels = panel.funds
    # The input table is not needed beyond this point: let it go before the indicators
    # (whose own temporaries include a negated copy of the matrix). A matrix that is a
    # view of the table keeps what it needs.
    del panel, table
    clock.lap("panel")
    stats = statistics_options(args)
    if args.navs and navs is not None:
        cols = indicator_columns(
            navs, dates, labels, codes, horizons, stats, args.calendar, navs=True
        )
    else:
        cols = indicator_columns(values, dates, labels, codes, horizons, stats, args.calendar)
    del navs
    clock.lap("indicators")
    first, last = (int(dates[0]), int(dates[-1])) if len(dates) else (None, None)
    funds = [str(f) for f in labels]

    def series(picked: Sequence[int]) -> tuple[Any, Any]:
        return dates, values[:, list(picked)]

    # The matrix is kept past this point only for the report's charts.
    keep = series if args.report else None
    info = Panel(funds, len(dates), first, last, groups, missing, args.navs, source, keep)
    return info, cols


# --- the dask engine -------------------------------------------------------------------


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
    with ProgressBar(out=sys.stderr):
        done = compute(*lazy, *facts.values())
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
            values = _panel.returns_from_navs(values, stamps, names, in_place=True)
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


# --- output ----------------------------------------------------------------------------


def result_columns(panel: Panel, cols: dict[str, Any]) -> dict[str, Any]:
    """The output table's columns: the fund, its peer group ("all" when no type codes
    were given: crossodds then compares every fund with the median of all funds), then
    every indicator."""
    group = panel.groups if panel.groups is not None else ["all"] * len(panel.funds)
    return {"fund": list(panel.funds), "peer_group": list(group), **cols}

