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
import sys
import tempfile
import time
from collections.abc import Iterator, Mapping, Sequence
from contextlib import ExitStack, contextmanager
from functools import cache
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any, Optional, cast

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
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2")
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
    src.add_argument(
        "--sql", metavar="QUERY", help="a query run by DuckDB; its result is the input"
    )
    src.add_argument(
        "--database", metavar="FILE", help="a DuckDB database file for --sql (opened read-only)"
    )
    src.add_argument("--date", default=None, metavar="COL", help="the date column (default: date)")
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


def _horizons(given: Optional[list[str]]) -> list[str]:
    """The horizon codes, checked, duplicates dropped, in the order given."""
    from fundkernels._core import horizon_code

    out: list[str] = []
    for code in given or ["1Y"]:
        if horizon_code(code) not in out:
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
        raise CommandError(f"{PROG} needs pyarrow: pip install 'fundkernels[cli]'") from None
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


def read_file(name: str) -> Any:
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
        raise CommandError("--sql needs duckdb: pip install 'fundkernels[cli]'") from None
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


# --- the panel -------------------------------------------------------------------------


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


def _text_dates(table: Any, date: str) -> Any:
    """CSV files carry dates as text: a text date column parsed into timestamps (ISO dates
    and times; with a UTC offset, taken to UTC), naming the first value that is no date."""
    pa = _arrow()
    if date not in table.column_names:
        return table  # the table reading names the missing column
    col = table.column(date)
    if not (pa.types.is_string(col.type) or pa.types.is_large_string(col.type)):
        return table
    try:
        try:
            parsed = pa.compute.cast(col, pa.timestamp("ns"))
        except pa.ArrowInvalid:
            parsed = pa.compute.cast(col, pa.timestamp("ns", tz="UTC"))
    except pa.ArrowInvalid as exc:
        if "out of bounds" in str(exc):
            raise CommandError(f"the dates in {date!r} must lie between 1677 and 2262") from None
        row, text = next(
            ((i, v) for i, v in enumerate(col.to_pylist()) if v is not None and not _is_date(v)),
            (0, "?"),
        )
        raise CommandError(f"unparseable date {text!r} in column {date!r} at row {row}") from None
    return table.set_column(table.column_names.index(date), date, parsed)


def _is_date(text: str) -> bool:
    try:
        np.datetime64(text.replace(" ", "T").rstrip("Z"))
    except ValueError:
        return False
    return True


def _as_text(table: Any, name: Optional[str]) -> Any:
    """A column as text, so that fund labels match those of a types file or a wide table's
    column names whatever type a file gave them."""
    pa = _arrow()
    if name is None or name not in table.column_names:
        return table
    col = table.column(name)
    if pa.types.is_string(col.type):
        return table
    return table.set_column(table.column_names.index(name), name, col.cast(pa.string()))


def read_types(name: str) -> Any:
    """A (fund, type) table from a file with at least two columns, both as text."""
    pa = _arrow()
    table = read_file(name)
    if table.num_columns < 2:
        raise CommandError(f"the types file {name} needs two columns: fund and type")
    names = table.column_names[:2]
    return pa.table([table.column(n).cast(pa.string()) for n in names], names=names)


def _shipped(name: str) -> str:
    return str(resources.files("fundkernels").joinpath(name))


def _prefixed(prefix: str, columns: dict[str, Any]) -> dict[str, Any]:
    """An indicator's columns named after it and its options, dates as calendar days."""
    return {
        f"{prefix}_{name}": col.astype("datetime64[D]") if col.dtype.kind == "M" else col
        for name, col in columns.items()
    }


def indicator_columns(
    values: npt.NDArray[np.float64],
    dates: npt.NDArray[np.int64],
    funds: list[Any],
    codes: npt.NDArray[np.int32],
    horizons: Sequence[str],
) -> dict[str, Any]:
    """Every indicator of the shared table on one panel of returns."""
    from fundkernels import _core

    def one(name: str, **options: Any) -> dict[str, Any]:
        return _core.compute(name, values, dates, funds, **options)

    cols: dict[str, Any] = {**one("troughmend"), **one("crossodds", codes=codes)}
    whole = {"start": _core.window_bound(None, "start"), "end": _core.window_bound(None, "end")}
    for code in horizons:
        cols.update(_prefixed(f"horizonret_{code}", one("horizonret", horizon=code, **whole)))
    for name in ("extremeset", "streakset"):
        for mode in ("gain", "loss"):
            cols.update(_prefixed(f"{name}_{mode}", one(name, mode=mode)))
    return cols


def _input(args: argparse.Namespace) -> tuple[Any, str, str, Optional[str]]:
    """The input table, what to call it, its date column and the types file, if any."""
    if args.sql and args.input:
        raise CommandError("give either an input file or --sql, not both")
    if args.database and not args.sql:
        raise CommandError("--database needs --sql with a query over it")
    if args.sql:
        source = "SQL query" + (f" over {args.database}" if args.database else "")
        return read_sql(args.sql, args.database), source, args.date or "date", args.types
    if args.input:
        return read_file(args.input), args.input, args.date or "date", args.types
    if args.fund or args.value or args.navs:
        raise CommandError(
            "--fund, --value and --navs need an input: the shipped panel is wide returns"
        )
    table = read_file(_shipped(SHIPPED_PANEL)).drop_columns(list(SHIPPED_NOT_FUNDS))
    source = "the panel shipped with fundkernels (30 US equity portfolios, monthly)"
    return table, source, args.date or SHIPPED_DATE, args.types or _shipped(SHIPPED_TYPES)


def load_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Clock
) -> tuple[Panel, dict[str, Any]]:
    """Read the input, gather it once into the panel the modules read (the shared core's
    table reading, as the frames front end does) and compute every indicator on it."""
    from fundkernels import _core

    if (args.fund is None) != (args.value is None):
        raise CommandError("the long layout needs both --fund and --value")
    if args.types and args.type_column:
        raise CommandError("give the peer groups by --types or by --type-column, not both")
    table, source, date, types_file = _input(args)
    types = read_types(types_file) if types_file else None
    table = _as_text(_text_dates(table, date), args.fund)
    clock.lap("read")
    panel = _core.read_table(table, date, args.fund, args.value)
    values, dates = panel.values, panel.dates
    missing = float(np.isnan(values).mean()) if values.size else 0.0
    if args.navs:  # in place when the matrix is ours, not a view of the input
        values = _core.returns_from_navs(values, dates, panel.funds, in_place=panel.owned)
    given = None
    if types is not None or args.type_column is not None:
        # A mapping keyed by fund: each fund's type, also shown in the output.
        found = _core.table_types(panel, types, args.type_column)
        given = {f: cast(Mapping[Any, Any], found).get(f) for f in panel.funds}
    codes = _core.group_codes(given or dict.fromkeys(panel.funds, 0), panel.funds, "types")
    groups = None if given is None else [str(given[f]) for f in panel.funds]
    clock.lap("panel")
    cols = indicator_columns(values, dates, panel.funds, codes, horizons)
    clock.lap("indicators")
    first, last = (int(dates[0]), int(dates[-1])) if len(dates) else (None, None)
    funds = [str(f) for f in panel.funds]
    return Panel(funds, len(dates), first, last, groups, missing, args.navs, source), cols


# --- the dask engine -------------------------------------------------------------------


def dask_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Clock
) -> tuple[Panel, dict[str, Any]]:
    """A wide Parquet input through the dask front end, every indicator computed in one
    pass over the data, with a progress bar on stderr."""
    if args.sql or args.fund or args.value or args.type_column or not args.input:
        raise CommandError("--engine dask reads a wide Parquet file or folder named as INPUT")
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
    lazy: dict[str, Any] = {
        "troughmend": fkd.troughmend(ddf, navs=navs),
        "crossodds": fkd.crossodds(ddf, codes or dict.fromkeys(ddf.columns, 0), navs=navs),
        **{f"horizonret_{h}": fkd.horizonret(ddf, h, navs=navs) for h in horizons},
        **{
            f"{name}_{mode}": getattr(fkd, name)(ddf, mode, navs=navs)
            for name in ("extremeset", "streakset")
            for mode in ("gain", "loss")
        },
    }
    facts = {"missing": ddf.isna().sum().sum(), "rows": ddf.index.size}
    facts.update(first=ddf.index.min(), last=ddf.index.max())
    with ProgressBar(out=sys.stderr):
        done = compute(*lazy.values(), *facts.values())
    clock.lap("read and indicators (dask)")
    cols: dict[str, Any] = {}
    for key, res in zip(lazy, done):
        if isinstance(res, pd.Series):
            cols[key] = res.to_numpy()
        else:
            cols.update(_prefixed(key, {c: res[c].to_numpy() for c in res.columns}))
    missing, rows, first, last = done[len(lazy) :]
    rows = int(rows)
    lo, hi = (pd.Timestamp(first).value, pd.Timestamp(last).value) if rows else (None, None)
    groups = [str(codes[f]) for f in funds] if codes else None
    share = float(missing) / (rows * len(funds)) if rows and funds else 0.0
    return Panel(funds, rows, lo, hi, groups, share, navs, args.input), cols


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
        "{" + ", ".join(f"{k}: {_json(v)}" for k, v in zip(keys, row)) + "}" for row in zip(*lists)
    )
    return "[\n" + ",\n".join(rows) + "\n]\n"


@contextmanager
def replaced_atomically(path: str) -> Iterator[Any]:
    """A temporary file beside path, renamed over it only when the block succeeds."""
    target = Path(path)
    fd, tmp = tempfile.mkstemp(
        prefix=f".{target.name}.", suffix=".tmp", dir=target.resolve().parent
    )
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
    lines = [
        "  ".join(n.ljust(w) if n in left else n.rjust(w) for n, w in zip(names, widths)).rstrip()
    ]
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
        panel, cols = dask_columns(args, horizons, clock)
    else:
        panel, cols = load_columns(args, horizons, clock)
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
            write_output(
                stack.enter_context(replaced_atomically(args.output)), out_fmt or "csv", columns
            )
    if not args.output:
        sys.stdout.write(aligned_text(columns))
    clock.lap("write")
    if args.timings:
        print(clock.line(), file=sys.stderr)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console script: exit status 0 on success, 2 with one line on stderr when the
    arguments or the input are at fault (1 for a fault of the command itself)."""
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
        # The reader of stdout went away (| head): not an error of the command. Point
        # stdout at /dev/null so the interpreter's last flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as exc:
        _fail(f"{exc.strerror or exc}: {exc.filename}" if exc.filename else str(exc))
        return 2
    except (ValueError, TypeError) as exc:
        _fail(str(exc))
        return 2
    except Exception as exc:  # a fault of the command itself: still one line, status 1
        _fail(f"internal error ({type(exc).__name__}): {exc}")
        return 1


def _fail(message: str) -> None:
    line = " ".join(message.split())
    print(f"{PROG}: error: {line}", file=sys.stderr)
