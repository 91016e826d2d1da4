"""The command's computing: a panel read by the arrow engine (the dask engine's:
fundkernels._cli_dask), every indicator on it, as named columns (one value per fund) and
what the output and the report say about it."""

from __future__ import annotations

import argparse
import re
import time
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, cast

import numpy as np
import numpy.typing as npt

from . import _panel, _returns
from ._arrow_numpy import numbers, wide_arrow
from ._cli_files import read_types
from ._cli_read import SHIPPED_DATE, input_table, types_file
from ._cli_tables import Layout, Places, arrow, note
from ._errors import CommandError, InputError, PriceLikeWarning
from ._ranks import peer_ranks
from ._registry import command_columns, command_runs

if TYPE_CHECKING:
    from ._narwhals_adapter import Table


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
    returns: Optional[npt.NDArray[np.float64]] = None,
) -> dict[str, Any]:
    """Every indicator of the registry on one panel of returns (of NAVs: navs=True, since a
    fund's own dates are those of its NAVs; returns: their returns, turned once for every
    indicator, else each call turns them), under the command's names. statistics: the
    summary's options (periods_per_year, risk_free; default: their own)."""
    cols: dict[str, Any] = {}
    for run in command_runs(horizons, types=codes, **(statistics or {})):
        got = _panel.compute(
            run.indicator,
            values,
            dates,
            funds,
            navs=navs,
            calendar=calendar,
            returns=returns,
            **run.options,
        )
        cols.update(run.named(got))
    return cols


def layout_of(args: argparse.Namespace) -> Layout:
    """How the arguments say to read the input."""
    if (args.fund is None) != (args.value is None):
        raise CommandError("the long layout needs both --fund and --value")
    if args.types and args.type_column:
        raise CommandError("give the peer groups by --types or by --type-column, not both")
    if args.type_column and args.fund is None:
        raise CommandError(
            "--type-column names a column of a long table (with --fund and --value);"
            " for a wide table give the peer groups by --types FILE"
        )
    if args.fund is not None and (args.funds or args.exclude):
        raise CommandError("--funds and --exclude choose the columns of a wide table, not --fund")
    default = SHIPPED_DATE if not args.input and not args.sql else "date"
    return Layout(
        date=args.date or default,
        date_format=args.date_format,
        na_values=tuple(args.na_values),
        fund=args.fund,
        value=args.value,
        texts=(args.type_column,) if args.type_column else (),
        funds=args.funds,
        exclude=list(args.exclude or []),
    )


def load_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Clock
) -> tuple[Panel, dict[str, Any]]:
    """Read the input, gather it once into the panel the modules read (a wide table of
    numbers by Arrow alone, anything else by the shared table reading the frames front end
    uses) and compute every indicator on it."""
    layout = layout_of(args)
    table, places, source = input_table(args, layout)
    types_name = types_file(args)
    types = read_types(types_name) if types_name else None
    if table.num_rows == 0:
        raise CommandError(f"{source} has no data rows: nothing to compute")
    if layout.fund is None:
        table, places = _wide(table, places, layout, source)
    clock.lap("read")
    # Arrow's allocator keeps what the read freed (its buffers before the dates were
    # converted, the decoding's own) for its own reuse: hand it back to the system before
    # the matrix is made beside the table, as it is again once the table goes.
    arrow().default_memory_pool().release_unused()
    try:
        # A wide table of numbers (every Parquet file of them, and CSV files once their
        # cells are numbers) by Arrow alone; anything else, and a long table, by the frames'
        # reading (narwhals, imported only then).
        wide = wide_arrow(table, layout.date, arrow()) if layout.fund is None else None
        panel: Optional[Table] = None
        if wide is None:
            from ._narwhals_adapter import read_table

            panel = read_table(table, layout.date, layout.fund, layout.value)
            values, dates, labels, owned = panel.values, panel.dates, panel.funds, panel.owned
        else:
            values, dates, labels = wide
            owned = values.flags.owndata
    except InputError as exc:
        raise CommandError(_placed(exc, places)) from None
    gaps = np.count_nonzero(np.isnan(values))  # one pass over the matrix for both
    if gaps == values.size:
        raise CommandError(f"{source} holds no values: every cell is missing (see --na-values)")
    missing = gaps / values.size if values.size else 0.0
    given = None
    if types is not None or args.type_column is not None:
        from ._narwhals_adapter import table_types

        # A mapping keyed by fund: each fund's type, also shown in the output. (A type
        # column is one of a long table, which the frames' reading read.)
        found = table_types(panel, types, args.type_column)
        given = {f: cast(Mapping[Any, Any], found).get(f) for f in labels}
    what = f"--type-column {args.type_column!r}" if args.type_column else "--types"
    codes = _panel.group_codes(given or _panel.ALL_FUNDS, labels, what)
    groups = None if given is None else [str(given[f]) for f in labels]
    # The input table is not needed beyond this point: let it go before the NAVs become
    # returns and before the indicators (whose own temporaries include a negated copy of
    # the matrix), and hand its memory back to the system. A matrix that is a view of the
    # table keeps what it needs.
    del panel, table
    arrow().default_memory_pool().release_unused()
    navs: Optional[npt.NDArray[np.float64]] = None
    report: Optional[npt.NDArray[np.float64]] = values
    if args.navs and args.calendar == "own":
        # Every indicator takes the NAVs themselves, which tell each fund's own dates, and
        # their returns, turned (and the NAVs checked) once here for all of them.
        navs = values
        report = _returns.returns_from_navs(values, dates, labels)
    elif args.navs:  # in place when the matrix is ours, not a view of the input
        values = report = _returns.returns_from_navs(values, dates, labels, in_place=owned)
    elif not args.returns:
        _note_prices(_returns.price_like(values, labels))
    clock.lap("panel")
    stats = statistics_options(args)
    with warnings.catch_warnings():  # told once above, as a note
        warnings.simplefilter("ignore", PriceLikeWarning)
        if args.navs and navs is not None:
            cols = indicator_columns(
                navs, dates, labels, codes, horizons, stats, args.calendar, True, report
            )
        else:
            cols = indicator_columns(values, dates, labels, codes, horizons, stats, args.calendar)
    del navs
    if not args.report:
        report = None
    clock.lap("indicators")
    first, last = (int(dates[0]), int(dates[-1])) if len(dates) else (None, None)
    funds = [str(f) for f in labels]

    def series(picked: Sequence[int]) -> tuple[Any, Any]:
        assert report is not None
        return dates, report[:, list(picked)]

    # The returns are kept past this point only for the report's charts.
    del values
    keep = series if args.report else None
    info = Panel(funds, len(dates), first, last, groups, missing, args.navs, source, keep)
    return info, cols


# Column names that number rows rather than hold a fund (as R and pandas write them).
_INDEX_NAMES = re.compile(r"(|rownames|row\.names|row_names|index|unnamed: \d+)", re.I)


def _wide(table: Any, places: Places, layout: Layout, source: str) -> tuple[Any, Places]:
    """A wide table's checks: its columns that are no funds left out (unless chosen), its
    rows sorted by date, one row per date."""
    from ._dates import date_text

    date = layout.date
    if layout.funds is None and not layout.exclude:
        kinds = dict(zip(table.column_names, table.schema.types))
        if len(kinds) != table.num_columns:  # a name twice: each looked up by name
            kinds = {}
        dropped = [
            c for c in table.column_names if c != date and _counts_rows(table, c, kinds.get(c))
        ]
        if dropped:
            note(
                f"left out columns that are not funds: {', '.join(map(repr, dropped))}"
                " (they number the rows); choose the columns with --funds or --exclude"
            )
            table = table.drop_columns(dropped)
    if table.num_columns < 2:
        raise CommandError(
            f"{source} has no fund columns beside the date column {date!r}: nothing to compute"
        )
    ns = np.asarray(numbers(table.column(date), arrow()), dtype=np.int64)  # timestamps[ns]
    order = None
    if ns.size > 1 and (ns[1:] < ns[:-1]).any():
        order = np.argsort(ns, kind="stable")
        ns = ns[order]
    twice = np.flatnonzero(ns[1:] == ns[:-1])
    if twice.size:
        k = int(twice[0])
        a, b = (k, k + 1) if order is None else (int(order[k]), int(order[k + 1]))
        raise CommandError(
            f"the date {date_text(int(ns[k]))} occurs twice in a wide table"
            f" ({places.many((a, b))}): one row per date (a table with one row per fund and date needs"
            " --fund and --value)"
        )
    if order is not None:
        note(f"the rows of {source} are not in date order: sorted by date")
        table = table.take(order)
        places = places.reordered(order)
    return table, places


def _counts_rows(table: Any, name: str, kind: Any = None) -> bool:
    """Whether a column numbers the rows: named like an index, or integers 0..n-1 or 1..n.
    kind: its type when the caller has it (no integers: no need to look the column up)."""
    if _INDEX_NAMES.fullmatch(name.strip()):
        return True
    pa = arrow()
    if kind is not None and not pa.types.is_integer(kind):
        return False
    col = table.column(name)
    if not pa.types.is_integer(col.type) or col.null_count:
        return False
    v = numbers(col, pa)
    n = len(v)
    return bool(
        n > 1 and (np.array_equal(v, np.arange(n)) or np.array_equal(v, np.arange(1, n + 1)))
    )


def _placed(exc: InputError, places: Places) -> str:
    """A message of the shared table reading, its row numbers told as files and lines."""
    text = str(exc)
    if not exc.rows:
        return text
    shown = places.many(exc.rows)
    return re.sub(r"\b(at )?rows? \d+( and \d+)?", lambda m: (m.group(1) or "") + shown, text)


def _note_prices(found: Sequence[Any]) -> None:
    from ._returns import price_like_funds

    if found:
        note(
            f"{price_like_funds(found)} look like prices or NAVs, not returns: if they are,"
            " give --navs (--returns says they are returns and silences this note)"
        )


def note_empty_horizons(columns: dict[str, Any], horizons: Sequence[str], panel: Panel) -> None:
    """A note for each horizon that no fund has (longer than the panel): its columns stay,
    all missing."""
    from ._dates import date_text

    for code in horizons:
        mean = columns.get(f"horizonret_{code}_mean")
        if mean is not None and len(mean) and np.isnan(mean).all():
            span = ""
            if panel.first is not None and panel.last is not None:
                span = f" ({date_text(panel.first)} to {date_text(panel.last)})"
            note(
                f"--horizon {code}: no fund has a horizon of that length within its dates"
                f"{span}: its columns are all missing"
            )


# --- output ----------------------------------------------------------------------------


def result_columns(panel: Panel, cols: dict[str, Any]) -> dict[str, Any]:
    """The output table's columns: the fund, its peer group ("all" when no type codes
    were given: crossodds then compares every fund with the median of all funds), then
    every indicator."""
    group = panel.groups if panel.groups is not None else ["all"] * len(panel.funds)
    return {"fund": list(panel.funds), "peer_group": list(group), **cols}
