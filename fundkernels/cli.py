"""The ``fundkernels`` command: every indicator for every fund of a panel, as a table.

Reads a CSV (plain, .gz, .bz2) or Parquet file or folder, or the result of a SQL query run
by DuckDB in process (over files named in the query or over a DuckDB database file), and
writes one row per fund with every indicator to a CSV, Parquet or JSON file, or prints an
aligned table; ``--report`` adds a self-contained HTML page. Without an input it runs on
the returns panel shipped inside the package.

Every problem with the input or the arguments ends the command with exit status 2 and one
line on standard error that names it. Output files are written under a temporary name in
the destination folder and renamed when complete, so an existing file is replaced only by
a finished one.

Needs the ``cli`` extra: ``pip install 'fundkernels[cli]'``.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import re
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Iterator, Sequence
from functools import cache
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

PROG = "fundkernels"

# The panel shipped with the package (the demo's data): monthly returns of 30 US equity
# portfolios, dated in the column "dates", beside factor columns that are not portfolios,
# and the portfolios' groups (industry, size/value, size/momentum) for crossodds.
SHIPPED_PANEL = "data/french.csv.bz2"
SHIPPED_TYPES = "data/french_types.csv"
SHIPPED_DATE = "dates"
SHIPPED_NOT_FUNDS = ("MktRF", "SMB", "HML", "Mom", "RF")

OUTPUT_FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".json": "json"}
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".tsv", ".txt", ".gz", ".bz2")
PARQUET_SUFFIXES = (".parquet", ".pq")


class CommandError(Exception):
    """A problem with the arguments or the input, told to the user in one line."""


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


# --- arguments -----------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, not the usage block
        raise CommandError(f"{message} (see {PROG} --help)")


def _parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        description=(
            "Compute every fund indicator (troughmend, crossodds, horizonret, extremeset,"
            " streakset) for every fund of a panel of returns or NAVs. Without INPUT or"
            " --sql it runs on the panel shipped with the package."
        ),
    )
    src = p.add_argument_group("input")
    src.add_argument(
        "input",
        nargs="?",
        help="CSV (.csv, .csv.gz, .csv.bz2) or Parquet file, or a folder of such files",
    )
    src.add_argument("--sql", metavar="QUERY", help="a query run by DuckDB; its result is the input")
    src.add_argument(
        "--database", metavar="FILE", help="a DuckDB database file for --sql (opened read-only)"
    )
    src.add_argument(
        "--date", default=None, metavar="COL", help="the date column (default: date)"
    )
    src.add_argument("--fund", metavar="COL", help="long layout: the fund column")
    src.add_argument("--value", metavar="COL", help="long layout: the value column")
    src.add_argument(
        "--navs",
        action="store_true",
        help="the values are NAVs or prices; returns are nav / previous valid nav - 1",
    )
    grp = p.add_argument_group("peer groups for crossodds (default: one group of all funds)")
    grp.add_argument("--types", metavar="FILE", help="CSV or Parquet file: fund, type")
    grp.add_argument("--type-column", metavar="COL", help="long layout: the type column")
    ind = p.add_argument_group("indicators")
    ind.add_argument(
        "--horizon",
        action="append",
        metavar="CODE",
        help="horizon for horizonret such as 3M or 1Y; repeatable (default: 1Y)",
    )
    out = p.add_argument_group("output")
    out.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="table file, .csv, .parquet or .json (default: an aligned table on stdout)",
    )
    out.add_argument("--report", metavar="FILE.html", help="a self-contained HTML report")
    out.add_argument(
        "--timings", action="store_true", help="print the time of each phase on stderr"
    )
    out.add_argument(
        "--engine",
        choices=("arrow", "dask"),
        default="arrow",
        help="dask: a wide Parquet input larger than memory, with a progress bar on stderr",
    )
    return p


_HORIZON = re.compile(r"(\d+)([MY])")
_MAX_MONTHS = 2**31 - 1


def _horizons(given: Optional[list[str]]) -> list[str]:
    """The horizon codes, checked whole, duplicates dropped, in the order given."""
    out: list[str] = []
    for code in given or ["1Y"]:
        m = _HORIZON.fullmatch(code)
        if m is None:
            raise CommandError(
                f"bad horizon {code!r}: expected a whole number of months or years such as"
                " 3M or 1Y"
            )
        if int(m.group(1)) * (12 if m.group(2) == "Y" else 1) > _MAX_MONTHS:
            raise CommandError(f"bad horizon {code!r}: longer than {_MAX_MONTHS} months")
        if code not in out:
            out.append(code)
    return out


def _output_format(path: Optional[str], what: str, formats: dict[str, str]) -> Optional[str]:
    if path is None:
        return None
    fmt = formats.get(Path(path).suffix.lower())
    if fmt is None:
        raise CommandError(
            f"cannot tell the format of {what} {path}: use one of {', '.join(formats)}"
        )
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise CommandError(f"the folder of {what} {path} does not exist")
    return fmt


# --- reading ---------------------------------------------------------------------------


@cache
def _arrow() -> Any:
    """pyarrow, with its csv, parquet and compute modules loaded (pa.csv, pa.parquet,
    pa.compute); untyped, hence Any."""
    try:
        for name in ("pyarrow.compute", "pyarrow.csv", "pyarrow.parquet"):
            importlib.import_module(name)
    except ImportError:
        raise CommandError(
            f"{PROG} needs pyarrow: pip install 'fundkernels[cli]'"
        ) from None
    return importlib.import_module("pyarrow")


def _file_kind(path: Path) -> Optional[str]:
    name = path.name.lower()
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    return None


def _read_csv(path: Path) -> Any:
    pcsv = _arrow().csv
    # Multi-threaded; .gz and .bz2 are decompressed by their extension.
    return pcsv.read_csv(
        path,
        read_options=pcsv.ReadOptions(use_threads=True),
        convert_options=pcsv.ConvertOptions(strings_can_be_null=True),
    )


def read_table(name: str) -> Any:
    """A CSV or Parquet file, or a folder of them, as an Arrow table."""
    pa = _arrow()
    pq = pa.parquet
    path = Path(name)
    if not path.exists():
        raise CommandError(f"no such file or folder: {name}")
    try:
        if path.is_dir():
            files = sorted(p for p in path.rglob("*") if p.is_file() and not p.name.startswith("."))
            kinds = {_file_kind(p) for p in files} - {None}
            if not kinds:
                raise CommandError(f"the folder {name} holds no CSV or Parquet files")
            if len(kinds) > 1:
                raise CommandError(f"the folder {name} mixes CSV and Parquet files")
            if kinds == {"parquet"}:
                return pq.read_table(path)
            tables = [_read_csv(p) for p in files if _file_kind(p) == "csv"]
            return pa.concat_tables(tables, promote_options="permissive")
        kind = _file_kind(path)
        if kind is None:
            raise CommandError(
                f"cannot tell the format of {name}: expected .csv, .csv.gz, .csv.bz2 or .parquet"
            )
        return pq.read_table(path) if kind == "parquet" else _read_csv(path)
    except (pa.ArrowException, OSError, EOFError) as exc:
        raise CommandError(f"cannot read {name}: {exc}") from None


def read_sql(query: str, database: Optional[str]) -> Any:
    """The result of a DuckDB query, over files named in it or a database file."""
    _arrow()
    try:
        import duckdb
    except ImportError:
        raise CommandError(f"--sql needs duckdb: pip install 'fundkernels[cli]'") from None
    if database is not None and not Path(database).is_file():
        raise CommandError(f"no such database file: {database}")
    try:
        con = duckdb.connect(database or ":memory:", read_only=database is not None)
        try:
            rel = con.sql(query)
            if rel is None:
                raise CommandError("the --sql query returns no table")
            if hasattr(rel, "to_arrow_table"):
                return rel.to_arrow_table()
            return rel.arrow()
        finally:
            con.close()
    except duckdb.Error as exc:
        raise CommandError(f"the --sql query failed: {exc}") from None


# --- the panel: columns of the input table into the matrix the modules read -------------
# To be replaced by the frames front end (fundkernels.frames), which owns these checks and
# conversions for every front end; kept in this one section until then.

HORIZON_COLUMNS = (
    "mean",
    "median",
    "win",
    "gain_0_5",
    "gain_5_10",
    "gain_over_10",
    "loss_0_5",
    "loss_5_10",
    "loss_over_10",
)
RUN_COLUMNS = ("return", "length", "first", "last")


@dataclass
class Panel:
    values: npt.NDArray[np.float64]  # dates x funds, returns
    dates: npt.NDArray[np.int64]  # ns since the epoch, UTC, ascending
    funds: list[str]
    groups: Optional[list[str]] = None  # each fund's type label; None: one group of all
    missing: float = 0.0  # share of (date, fund) cells without a value in the input
    navs: bool = False
    source: str = ""
    notes: list[str] = field(default_factory=list)


def _column(table: Any, name: str, role: str) -> Any:
    if name not in table.column_names:
        shown = ", ".join(table.column_names[:12])
        more = ", ..." if table.num_columns > 12 else ""
        raise CommandError(f"no {role} column {name!r} in the input (columns: {shown}{more})")
    return table.column(name)


def _dates_ns(col: Any, name: str) -> npt.NDArray[np.int64]:
    """A date column as int64 ns since the epoch, UTC (naive times taken as UTC)."""
    pa = _arrow()
    pc = pa.compute
    if col.null_count:
        row = int(np.flatnonzero(col.is_null().to_numpy(zero_copy_only=False))[0])
        raise CommandError(f"the date column {name!r} is empty at row {row + 1}")
    typ = col.type
    try:
        if pa.types.is_timestamp(typ) or pa.types.is_date(typ):
            ns = pc.cast(col, pa.timestamp("ns"))
        elif pa.types.is_string(typ) or pa.types.is_large_string(typ):
            try:
                ns = pc.cast(col, pa.timestamp("ns"))
            except pa.ArrowInvalid:
                ns = pc.cast(pc.cast(col, pa.timestamp("ns", tz="UTC")), pa.timestamp("ns"))
        else:
            raise CommandError(f"the date column {name!r} holds {typ}, not dates")
    except pa.ArrowInvalid as exc:
        if "out of bounds" in str(exc):
            raise CommandError(f"the dates in {name!r} must lie between 1677 and 2262") from None
        row, text = next(
            ((i, v) for i, v in enumerate(col.to_pylist()) if not _parses_as_date(v)), (0, "?")
        )
        raise CommandError(f"unparseable date {text!r} in column {name!r} at row {row + 1}") from None
    return np.asarray(pc.cast(ns, pa.int64()).to_numpy(), dtype=np.int64)


def _parses_as_date(text: Any) -> bool:
    try:
        np.datetime64(str(text).replace(" ", "T").rstrip("Z"))
    except ValueError:
        return False
    return True


def _float_column(col: Any, name: str) -> npt.NDArray[np.float64]:
    """A numeric column as float64, missing values as NaN."""
    pa = _arrow()
    pc = pa.compute
    typ = col.type
    if not (
        pa.types.is_integer(typ)
        or pa.types.is_floating(typ)
        or pa.types.is_decimal(typ)
        or pa.types.is_null(typ)
    ):
        bad = next(
            ((i, v) for i, v in enumerate(col.to_pylist()) if v is not None and not _is_number(v)),
            None,
        )
        where = f": row {bad[0] + 1} holds {bad[1]!r}" if bad else ""
        raise CommandError(f"column {name!r} is not numeric ({typ}){where}")
    floats = col if typ == pa.float64() else pc.cast(col, pa.float64())
    if floats.null_count:
        floats = pc.fill_null(floats, math.nan)
    return np.asarray(floats.to_numpy(zero_copy_only=False), dtype=np.float64)


def _is_number(v: Any) -> bool:
    try:
        float(v)
    except (TypeError, ValueError):
        return False
    return True


def _check_ascending(dates: npt.NDArray[np.int64], name: str) -> None:
    down = np.flatnonzero(dates[1:] < dates[:-1])
    if down.size:
        r = int(down[0]) + 1
        raise CommandError(
            f"the dates in {name!r} are not in ascending order: row {r + 1}"
            f" ({_iso(dates[r])}) comes after row {r} ({_iso(dates[r - 1])})"
        )


def _iso(ns: Any) -> str:
    return str(np.datetime64(int(ns), "ns").astype("datetime64[D]"))


def wide_panel(table: Any, date: str, not_funds: Sequence[str] = ()) -> Panel:
    """A date column and one numeric column per fund."""
    dates = _dates_ns(_column(table, date, "date"), date)
    _check_ascending(dates, date)
    names = [n for n in table.column_names if n != date and n not in not_funds]
    dup = sorted(n for n, k in Counter(names).items() if k > 1)
    if dup:
        raise CommandError(f"fund columns must have unique names; duplicated: {dup[:10]}")
    values = np.empty((len(dates), len(names)), order="F")
    for j, name in enumerate(names):
        values[:, j] = _float_column(table.column(name), name)
    missing = float(np.isnan(values).mean()) if values.size else 0.0
    return Panel(values, dates, [str(n) for n in names], missing=missing)


def long_panel(
    table: Any, fund: str, date: str, value: str, type_column: Optional[str] = None
) -> Panel:
    """One row per fund and date, in any order; funds in order of first appearance."""
    pa = _arrow()
    pc = pa.compute
    fcol = _column(table, fund, "fund")
    dcol = _column(table, date, "date")
    vcol = _column(table, value, "value")
    tcol = None if type_column is None else _column(table, type_column, "type")
    if fcol.null_count:
        row = int(np.flatnonzero(fcol.is_null().to_numpy(zero_copy_only=False))[0])
        raise CommandError(f"the fund column {fund!r} is empty at row {row + 1}")
    ns = _dates_ns(dcol, date)
    vals = _float_column(vcol, value)
    enc = pc.dictionary_encode(pc.cast(fcol, pa.string())).combine_chunks()
    funds = [str(f) for f in enc.dictionary.to_pylist()]
    fi = np.asarray(enc.indices.to_numpy(zero_copy_only=False), dtype=np.int64)
    days, di = np.unique(ns, return_inverse=True)
    key = fi * len(days) + di
    order = np.argsort(key, kind="stable")
    same = np.flatnonzero(key[order][1:] == key[order][:-1])
    if same.size:
        row = int(order[same[0]])
        raise CommandError(
            f"fund {funds[fi[row]]!r} has two rows for the date {_iso(ns[row])}"
        )
    values = np.full((len(days), len(funds)), np.nan, order="F")
    values[di, fi] = vals
    panel = Panel(values, days.astype(np.int64), funds, missing=float(np.isnan(values).mean()) if values.size else 0.0)
    if tcol is not None:
        types = pc.cast(tcol, pa.string()).to_pylist()
        per_fund: list[Optional[str]] = [None] * len(funds)
        for f, t in zip(fi.tolist(), types):
            if t is None:
                continue
            if per_fund[f] is None:
                per_fund[f] = t
            elif per_fund[f] != t:
                raise CommandError(
                    f"fund {funds[f]!r} has more than one type in {type_column!r}:"
                    f" {per_fund[f]!r} and {t!r}"
                )
        lacking = [funds[i] for i, t in enumerate(per_fund) if t is None]
        if lacking:
            raise CommandError(f"no type in {type_column!r} for the funds {lacking[:10]}")
        panel.groups = [str(t) for t in per_fund]
    return panel


def nav_returns(panel: Panel) -> None:
    """NAVs to returns in place: nav / previous valid nav - 1, missing on a fund's first
    valid NAV and wherever the NAV is missing."""
    nav = panel.values
    present = ~np.isnan(nav)
    bad = present & ~((nav > 0) & np.isfinite(nav))
    if bad.any():
        r, c = np.argwhere(bad)[0]
        raise CommandError(
            f"fund {panel.funds[c]!r} has the NAV {float(nav[r, c])!r} on {_iso(panel.dates[r])};"
            " NAVs must be positive and finite"
        )
    rows = np.arange(nav.shape[0])[:, None]
    last = np.maximum.accumulate(np.where(present, rows, -1), axis=0)
    prev = np.full_like(last, -1)
    prev[1:] = last[:-1]
    take = present & (prev >= 0)
    out = np.full(nav.shape, np.nan, order="F")
    cols = np.broadcast_to(np.arange(nav.shape[1]), nav.shape)[take]
    out[take] = nav[take] / nav[prev[take], cols] - 1.0
    panel.values = out
    panel.navs = True


def _valid_window(values: npt.NDArray[np.float64]) -> tuple[Any, Any]:
    """Per fund the first and last row holding a value (0 and -1 for none)."""
    if values.shape[0] == 0:
        return np.zeros(values.shape[1], np.int64), np.full(values.shape[1], -1, np.int64)
    valid = ~np.isnan(values)
    anyv = valid.any(axis=0)
    first = np.where(anyv, valid.argmax(axis=0), 0).astype(np.int64)
    last = np.where(anyv, values.shape[0] - 1 - valid[::-1].argmax(axis=0), -1).astype(np.int64)
    return first, last


def _group_codes(groups: Optional[list[str]], n: int) -> npt.NDArray[np.int32]:
    if groups is None:
        return np.zeros(n, np.int32)
    index: dict[str, int] = {}
    return np.array([index.setdefault(g, len(index)) for g in groups], dtype=np.int32)


def indicator_columns(panel: Panel, horizons: Sequence[str]) -> dict[str, Any]:
    """Every indicator for every fund: column name -> one value per fund (dates as
    datetime64[D], NaT where a fund has no run)."""
    from crossodds import crossodds
    from extremeset import extremeset
    from horizonret import horizonret
    from streakset import streakset
    from troughmend import troughmend

    v, d = panel.values, panel.dates
    cols: dict[str, Any] = {
        "troughmend": troughmend(v),
        "crossodds": crossodds(_group_codes(panel.groups, len(panel.funds)), v),
    }
    first, last = _valid_window(v)
    for code in horizons:
        parts = horizonret(code, v, first, last, d)
        for name, part in zip(HORIZON_COLUMNS, parts):
            cols[f"horizonret_{code}_{name}"] = part
    # The loss modes work on the sizes of the losses, the negated returns: the inverted
    # mode then compounds 1 - (-v) = 1 + v over runs of losing rows.
    neg = np.negative(v)
    for mode, mat, icode in (("gain", v, "positive"), ("loss", neg, "loss")):
        r = extremeset(mat, d, icode)
        _runs(cols, f"extremeset_{mode}", r["r"], r["p"], r["s"], r["l"])
    for mode, mat, icode in (("gain", v, "positive"), ("loss", neg, "loss")):
        ret, s, e, n = streakset(mat, d, icode)
        _runs(cols, f"streakset_{mode}", ret, n, s, e)
    return cols


# --- end of the section to be replaced -------------------------------------------------


def _runs(cols: dict[str, Any], prefix: str, ret: Any, length: Any, first: Any, last: Any) -> None:
    cols[f"{prefix}_return"] = np.asarray(ret, dtype=np.float64)
    cols[f"{prefix}_length"] = np.asarray(length, dtype=np.int64)
    cols[f"{prefix}_first"] = text_days(first)
    cols[f"{prefix}_last"] = text_days(last)


def text_days(texts: Sequence[str]) -> npt.NDArray[Any]:
    """Eight-digit date texts (YYYYMMDD) as datetime64[D]; "nan" as NaT."""
    arr = np.asarray(texts, dtype="U8")
    none = arr == "nan"
    n = np.where(none, "19700101", arr).astype(np.int64)
    months = (n // 10000 - 1970) * 12 + (n // 100 % 100 - 1)
    days = months.astype("datetime64[M]").astype("datetime64[D]") + (n % 100 - 1)
    days[none] = np.datetime64("NaT")
    return days


def read_types(name: str, funds: Sequence[str]) -> list[str]:
    """Each fund's type from a two-column (fund, type) file; every fund needs one."""
    pa = _arrow()
    table = read_table(name)
    if table.num_columns < 2:
        raise CommandError(f"the types file {name} needs two columns: fund and type")
    keys = table.column(0).cast(pa.string()).to_pylist()
    vals = table.column(1).cast(pa.string()).to_pylist()
    found: dict[str, str] = {}
    for k, t in zip(keys, vals):
        if k is None or t is None:
            continue
        if k in found and found[k] != t:
            raise CommandError(f"the types file {name} gives fund {k!r} two types: {found[k]!r} and {t!r}")
        found[k] = t
    lacking = [f for f in funds if f not in found]
    if lacking:
        raise CommandError(f"the types file {name} has no type for the funds {lacking[:10]}")
    return [found[f] for f in funds]


def _shipped(name: str) -> str:
    return str(resources.files("fundkernels").joinpath(name))


def load_panel(args: argparse.Namespace, clock: Optional[Clock] = None) -> Panel:
    """The input named by the arguments as a panel of returns, with its peer groups."""
    layout_long = args.fund is not None or args.value is not None
    if layout_long and (args.fund is None or args.value is None):
        raise CommandError("the long layout needs both --fund and --value")
    if args.type_column and not layout_long:
        raise CommandError("--type-column needs the long layout (--fund and --value)")
    if args.types and args.type_column:
        raise CommandError("give the peer groups by --types or by --type-column, not both")
    if args.database and not args.sql:
        raise CommandError("--database needs --sql with a query over it")
    if args.sql and args.input:
        raise CommandError("give either an input file or --sql, not both")
    date = args.date
    not_funds: Sequence[str] = ()
    types = args.types
    if args.sql:
        table = read_sql(args.sql, args.database)
        source = "SQL query" + (f" over {args.database}" if args.database else "")
    elif args.input:
        table = read_table(args.input)
        source = args.input
    else:
        if layout_long or args.navs:
            raise CommandError("--fund, --value and --navs need an input (the shipped panel is wide returns)")
        table = read_table(_shipped(SHIPPED_PANEL))
        source = "the panel shipped with fundkernels (30 US equity portfolios, monthly)"
        date = date or SHIPPED_DATE
        not_funds = SHIPPED_NOT_FUNDS
        types = types or _shipped(SHIPPED_TYPES)
    date = date or "date"
    if clock is not None:
        clock.lap("read")
    if layout_long:
        panel = long_panel(table, args.fund, date, args.value, args.type_column)
    else:
        panel = wide_panel(table, date, not_funds)
    panel.source = source
    if types:
        panel.groups = read_types(types, panel.funds)
    if args.navs:
        nav_returns(panel)
    return panel


# --- the dask engine -------------------------------------------------------------------


def dask_columns(args: argparse.Namespace, horizons: Sequence[str]) -> tuple[Panel, dict[str, Any]]:
    """A wide Parquet input through the dask front end, computed in one pass with a
    progress bar on stderr. The panel it returns holds no values, only what describes it."""
    if args.sql or args.fund or args.value or not args.input:
        raise CommandError("--engine dask reads a wide Parquet file or folder named as INPUT")
    if args.navs:
        raise CommandError("--engine dask takes returns; --navs needs --engine arrow")
    path = Path(args.input)
    if not path.exists():
        raise CommandError(f"no such file or folder: {args.input}")
    files = [path] if path.is_file() else [p for p in path.rglob("*") if p.is_file()]
    if not files or any(_file_kind(p) != "parquet" for p in files if not p.name.startswith(".")):
        raise CommandError("--engine dask reads a wide Parquet file or folder named as INPUT")
    try:
        import dask.dataframe as dd
        import pandas as pd
        from dask.base import compute
        from dask.diagnostics.progress import ProgressBar

        import fundkernels.dask as fkd
    except ImportError as exc:
        raise CommandError(f"--engine dask needs dask: pip install 'fundkernels[cli]' ({exc})") from None
    date = args.date or "date"
    ddf = dd.read_parquet(str(path))
    if date not in ddf.columns:
        raise CommandError(f"no date column {date!r} in the input")
    meta = ddf._meta.drop(columns=date)
    meta.index = pd.DatetimeIndex([], tz="UTC")
    ddf = ddf.map_partitions(_dated, date, meta=meta)
    funds = [str(c) for c in ddf.columns]
    groups = read_types(args.types, funds) if args.types else None
    codes = dict(zip(ddf.columns, groups)) if groups else dict.fromkeys(ddf.columns, 0)
    lazy: dict[str, Any] = {
        "troughmend": fkd.troughmend(ddf),
        "crossodds": fkd.crossodds(ddf, codes),
        **{f"h{code}": fkd.horizonret(ddf, code) for code in horizons},
        **{f"e{m}": fkd.extremeset(ddf, m) for m in ("gain", "loss")},
        **{f"s{m}": fkd.streakset(ddf, m) for m in ("gain", "loss")},
        "missing": ddf.isna().sum().sum(),
        "cells": ddf.index.size,
        "span": (ddf.index.min(), ddf.index.max()),
    }
    with ProgressBar(out=sys.stderr):
        done = dict(zip(lazy, compute(*lazy.values())))
    cols: dict[str, Any] = {
        "troughmend": done["troughmend"].to_numpy(np.int64),
        "crossodds": done["crossodds"].to_numpy(np.float64),
    }
    for code in horizons:
        for name in HORIZON_COLUMNS:
            cols[f"horizonret_{code}_{name}"] = done[f"h{code}"][name].to_numpy(np.float64)
    for ind, key in (("extremeset", "e"), ("streakset", "s")):
        for m in ("gain", "loss"):
            f = done[f"{key}{m}"]
            cols[f"{ind}_{m}_return"] = f["return"].to_numpy(np.float64)
            cols[f"{ind}_{m}_length"] = f["length"].to_numpy(np.int64)
            for side in ("first", "last"):
                cols[f"{ind}_{m}_{side}"] = pd.DatetimeIndex(f[side]).to_numpy().astype("datetime64[D]")
    rows = int(done["cells"])
    lo, hi = done["span"]
    dates = np.array([] if rows == 0 else [pd.Timestamp(lo).value, pd.Timestamp(hi).value], np.int64)
    panel = Panel(np.empty((0, len(funds))), dates, funds, groups=groups, source=args.input)
    panel.missing = float(done["missing"]) / (rows * len(funds)) if rows and funds else 0.0
    panel.notes.append(f"{rows} dates")
    return panel, cols


def _dated(part: Any, date: str) -> Any:
    """A partition of a wide table with its date column as a UTC DatetimeIndex."""
    import pandas as pd

    out = part.set_index(date)
    try:
        out.index = pd.DatetimeIndex(pd.to_datetime(out.index, utc=True))
    except (ValueError, TypeError) as exc:
        raise CommandError(f"unparseable dates in column {date!r}: {str(exc).split('. ')[0]}") from None
    return out


# --- output ----------------------------------------------------------------------------


def result_columns(panel: Panel, cols: dict[str, Any]) -> dict[str, Any]:
    """The output table's columns: the fund, its peer group ("all" when no type codes
    were given: crossodds then compares every fund with the median of all funds), then
    every indicator."""
    group = panel.groups if panel.groups is not None else ["all"] * len(panel.funds)
    return {"fund": list(panel.funds), "peer_group": list(group), **cols}


def arrow_table(columns: dict[str, Any]) -> Any:
    pa = _arrow()
    arrays = {}
    for name, col in columns.items():
        if isinstance(col, np.ndarray) and col.dtype.kind == "M":
            arrays[name] = pa.array(col, type=pa.date32(), mask=np.isnat(col))
        elif isinstance(col, np.ndarray):
            arrays[name] = pa.array(col)
        else:
            arrays[name] = pa.array(col, type=pa.string())
    return pa.table(arrays)


def _json(v: Any) -> str:
    """One JSON value; floats exactly (shortest repr), NaN as null, infinities as 1e999 and
    -1e999 (valid JSON numbers that every IEEE parser reads back as infinite)."""
    if v is None:
        return "null"
    if isinstance(v, float):
        if math.isnan(v):
            return "null"
        if math.isinf(v):
            return "1e999" if v > 0 else "-1e999"
        return repr(v)
    if isinstance(v, int):
        return str(v)
    return json.dumps(v, ensure_ascii=False)


def json_text(columns: dict[str, Any]) -> str:
    """The table as a JSON list of records, one per fund; dates as YYYY-MM-DD or null."""
    keys = [json.dumps(name, ensure_ascii=False) for name in columns]
    lists = []
    for col in columns.values():
        if isinstance(col, np.ndarray) and col.dtype.kind == "M":
            lists.append([None if np.isnat(x) else str(x) for x in col])
        elif isinstance(col, np.ndarray):
            lists.append(col.tolist())
        else:
            lists.append(list(col))
    rows = (
        "{" + ", ".join(f"{k}: {_json(v)}" for k, v in zip(keys, row)) + "}"
        for row in zip(*lists)
    )
    return "[\n" + ",\n".join(rows) + "\n]\n"


@contextmanager
def replaced_atomically(path: str) -> Iterator[Any]:
    """A temporary file beside path, renamed over it only when the block succeeds."""
    target = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.resolve().parent)
    try:
        # mkstemp makes the file private; give it the mode a new file gets (or the mode of
        # the file it replaces).
        try:
            mode = target.stat().st_mode & 0o7777
        except OSError:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        os.fchmod(fd, mode)
        with os.fdopen(fd, "wb") as fh:
            yield fh
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_output(fh: Any, fmt: str, columns: dict[str, Any]) -> None:
    """The table to an open binary file in the given format."""
    if fmt == "json":
        fh.write(json_text(columns).encode("utf-8"))
        return
    pa = _arrow()
    table = arrow_table(columns)
    if fmt == "parquet":
        pa.parquet.write_table(table, fh)
    else:
        pa.csv.write_csv(table, fh, pa.csv.WriteOptions(quoting_style="needed"))


def _cell(v: Any) -> str:
    if isinstance(v, np.datetime64):
        return "-" if np.isnat(v) else str(v)
    if isinstance(v, (float, np.floating)):
        return f"{v:.6g}"
    return str(v)


def aligned_text(columns: dict[str, Any]) -> str:
    """The table as text: a header line and one line per fund, columns aligned."""
    names = list(columns)
    cells = [[_cell(v) for v in col] for col in columns.values()]
    widths = [max([len(n), *map(len, c)]) for n, c in zip(names, cells)]
    left = {"fund", "peer_group"}
    lines = ["  ".join(n.ljust(w) if n in left else n.rjust(w) for n, w in zip(names, widths)).rstrip()]
    for row in zip(*cells):
        lines.append(
            "  ".join(
                v.ljust(w) if n in left else v.rjust(w) for n, v, w in zip(names, row, widths)
            ).rstrip()
        )
    return "\n".join(lines) + "\n"


# --- the command -----------------------------------------------------------------------


def run(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    clock = Clock()
    horizons = _horizons(args.horizon)
    out_fmt = _output_format(args.output, "the output", OUTPUT_FORMATS)
    _output_format(args.report, "the report", {".html": "html", ".htm": "html"})
    if args.engine == "dask":
        panel, cols = dask_columns(args, horizons)
        clock.lap("read and indicators (dask)")
    else:
        panel = load_panel(args, clock)
        clock.lap("panel")
        cols = indicator_columns(panel, horizons)
        clock.lap("indicators")
    columns = result_columns(panel, cols)
    if panel.groups is None:
        print(
            f"{PROG}: note: no type codes given (--types or --type-column): crossodds"
            " compares every fund with the median of all funds",
            file=sys.stderr,
        )
    # Both files are written under temporary names and renamed together at the end: a
    # failure leaves neither replaced.
    with ExitStack() as stack:
        if args.report:
            from fundkernels._report import render

            page = render(panel, columns, horizons)
            stack.enter_context(replaced_atomically(args.report)).write(page.encode("utf-8"))
            clock.lap("report")
        if args.output:
            write_output(stack.enter_context(replaced_atomically(args.output)), out_fmt or "csv", columns)
    if not args.output:
        sys.stdout.write(aligned_text(columns))
    clock.lap("write")
    if args.timings:
        print(clock.line(), file=sys.stderr)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console script: exit status 0 on success, 2 with one line on stderr when the
    arguments or the input are at fault."""
    try:
        return run(argv)
    except CommandError as exc:
        _fail(str(exc))
        return 2
    except MemoryError:
        _fail("not enough memory for this panel (try --engine dask with a Parquet input)")
        return 2
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (| head): not an error of the command.
        sys.stderr.close()
        return 0
    except OSError as exc:
        _fail(f"{exc.strerror or exc}: {exc.filename}" if exc.filename else str(exc))
        return 2
    except (ValueError, TypeError) as exc:
        _fail(str(exc))
        return 2


def _fail(message: str) -> None:
    line = " ".join(message.split())
    print(f"{PROG}: error: {line}", file=sys.stderr)
