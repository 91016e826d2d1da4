"""The command's reading: CSV and Parquet files and folders, DuckDB queries and the types
file, each as an Arrow table whose dates are timestamps and whose values are numbers; and
which files the arguments name, so that nothing read is written over.

Every message about a cell names its file (inside a folder too), its column and its line as
a text editor or a spreadsheet shows it (the header is line 1), or its row in a Parquet
file or a query's result."""

from __future__ import annotations

import argparse
import bisect
import glob
import importlib
import re
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cache
from importlib import resources
from pathlib import Path
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._cli_cells import is_number, parse_dates, parse_numbers
from ._errors import CommandError

PROG = "fundkernels"

# The panel shipped with the package (the demo's data): monthly returns of 30 US equity
# portfolios, dated in the column "dates", beside factor columns that are not portfolios,
# and the portfolios' groups (industry, size/value, size/momentum) for crossodds.
SHIPPED_PANEL = "data/french.csv.bz2"
SHIPPED_TYPES = "data/french_types.csv"
SHIPPED_DATE = "dates"
SHIPPED_NOT_FUNDS = ("MktRF", "SMB", "HML", "Mom", "RF")
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2")
PARQUET_SUFFIXES = (".parquet", ".pq")
# Cells that mean "no value" unless --na-values says otherwise.
NA_VALUES = ("", "NA", "N/A", "n/a", "NaN", "nan", "null", ".", "-", "#N/A")


def note(message: str) -> None:
    """Something the command guessed or left out, told on stderr; the run goes on."""
    print(f"{PROG}: note: {message}", file=sys.stderr)


@cache
def arrow() -> Any:
    """pyarrow, with its csv, parquet and compute modules loaded (pa.csv, pa.parquet,
    pa.compute); untyped, hence Any."""
    try:
        for name in ("pyarrow.compute", "pyarrow.csv", "pyarrow.parquet"):
            importlib.import_module(name)
    except ImportError:
        raise CommandError(f"{PROG} needs pyarrow: pip install 'fundkernels[cli]'") from None
    return importlib.import_module("pyarrow")


def file_kind(path: Path) -> Optional[str]:
    name = path.name.lower()
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    return None


@dataclass
class Layout:
    """How to read the input: its date column and format, the missing-value markers, the
    long layout's columns (fund None: wide) and the wide table's chosen columns."""

    date: str
    date_format: Optional[str] = None
    na_values: tuple[str, ...] = NA_VALUES
    fund: Optional[str] = None
    value: Optional[str] = None
    texts: tuple[str, ...] = ()  # further columns kept as text (the type column)
    funds: Optional[list[str]] = None  # --funds
    exclude: list[str] = field(default_factory=list)  # --exclude


@dataclass
class Piece:
    """A part of the input: a file, a folder of Parquet files or the query's result."""

    name: str
    csv: bool
    rows: int = 0


class Places:
    """Where row i of the whole input lies: its file and line (CSV) or row."""

    def __init__(self, pieces: Sequence[Piece]) -> None:
        self.pieces = list(pieces)
        self.starts = list(np.cumsum([0] + [p.rows for p in self.pieces[:-1]]))

        self.order: Optional[npt.NDArray[np.intp]] = None

    def __call__(self, i: int) -> str:
        if self.order is not None:
            i = int(self.order[i])
        k = max(bisect.bisect_right(self.starts, i) - 1, 0)
        return place(self.pieces[k], i - int(self.starts[k]))

    def many(self, rows: Sequence[int]) -> str:
        """Several rows: "p.csv lines 2 and 4", or each with its file."""
        at = [self(r) for r in rows]
        heads = {a.rsplit(" ", 2)[0] for a in at}
        if len(heads) == 1 and len(at) > 1:
            head, unit, _ = at[0].rsplit(" ", 2)
            return f"{head} {unit}s " + " and ".join(a.rsplit(" ", 1)[1] for a in at)
        return " and ".join(at)

    def reordered(self, order: npt.NDArray[np.intp]) -> Places:
        """The places of the rows taken in this order (the rows sorted by date)."""
        out = Places(self.pieces)
        out.order = order if self.order is None else self.order[order]
        return out


def place(piece: Piece, row: int) -> str:
    if piece.csv:
        return f"{piece.name} line {row + 2}"
    return f"{piece.name} row {row + 1}"


# --- files ----------------------------------------------------------------------------


def _read_csv(path: Path, layout: Layout) -> Any:
    pa = arrow()
    pcsv = pa.csv
    text = {c: pa.string() for c in (layout.date, layout.fund, *layout.texts) if c is not None}
    # Multi-threaded; .gz and .bz2 are decompressed by their extension.
    return pcsv.read_csv(
        path,
        read_options=pcsv.ReadOptions(use_threads=True),
        convert_options=pcsv.ConvertOptions(
            column_types=text,
            null_values=list(layout.na_values),
            strings_can_be_null=True,
            quoted_strings_can_be_null=True,
        ),
    )


def _read_parquet(path: Path, layout: Layout) -> Any:
    """A Parquet file or folder. A long table's fund column, text that repeats over many
    rows, is read dictionary-encoded: four bytes a row instead of its text, and no text to
    hash when it is numbered. (A CSV file's labels are typed by their text, as a types
    file's are, so that both give the same labels.) Without pre-buffering: on a local disk
    it only holds each column chunk's bytes beside its decoded values (a third more memory
    at the peak, and no faster)."""
    labels = [layout.fund] if layout.fund else None
    return arrow().parquet.read_table(path, read_dictionary=labels, pre_buffer=False)


def _members(path: Path) -> list[Path]:
    return sorted(p for p in path.rglob("*") if p.is_file() and not p.name.startswith("."))


def read_input(name: str, layout: Layout, shown: Optional[str] = None) -> tuple[Any, Places]:
    """A CSV or Parquet file, or a folder of them, as one table (dates as timestamps,
    values as numbers), and where each of its rows comes from."""
    arrow()  # says what to install when pyarrow is missing, before any file is looked at
    path = Path(name)
    shown = shown or name
    if not path.exists():
        raise CommandError(f"no such file or folder: {name}")
    if path.is_dir():
        files = _members(path)
        kinds = {file_kind(p) for p in files} - {None}
        if not kinds:
            raise CommandError(f"the folder {name} holds no CSV or Parquet files")
        if len(kinds) > 1:
            raise CommandError(f"the folder {name} mixes CSV and Parquet files")
        if kinds == {"parquet"}:  # one dataset (partition folders give their columns)
            table = _read(name, lambda: _read_parquet(path, layout), files)
            return _pieces([(Piece(name, csv=False), table)], layout)
        parts = [
            (Piece(str(p), csv=True), _read(str(p), lambda p=p: _read_csv(p, layout)))
            for p in files
            if file_kind(p) == "csv"
        ]
        return _pieces(parts, layout)
    kind = file_kind(path)
    if kind is None:
        raise CommandError(
            f"cannot tell the format of {name}: expected .csv, .csv.gz, .csv.bz2 or .parquet"
        )
    if kind == "parquet":
        table = _read(name, lambda: _read_parquet(path, layout))
    else:
        table = _read(name, lambda: _read_csv(path, layout))
    return _pieces([(Piece(shown, csv=kind == "csv"), table)], layout)


def _read(name: str, how: Any, members: Sequence[Path] = ()) -> Any:
    pa = arrow()
    try:
        return how()
    except (pa.ArrowException, OSError, EOFError) as exc:
        # A folder read as one dataset: name the file that cannot be read alone.
        for p in members:
            try:
                pa.parquet.read_metadata(p)
            except (pa.ArrowException, OSError, EOFError) as one:
                raise CommandError(f"cannot read {p}: {one}") from None
        raise CommandError(f"cannot read {name}: {exc}") from None


def read_sql(query: str, database: Optional[str], layout: Layout) -> tuple[Any, Places]:
    """The result of one read-only DuckDB query, over files named in it or a database file."""
    arrow()
    try:
        import duckdb
    except ImportError:
        raise CommandError("--sql needs duckdb: pip install 'fundkernels[cli]'") from None
    if database is not None and not Path(database).is_file():
        raise CommandError(f"no such database file: {database}")
    try:
        # No extension is installed on the way (a query naming a remote file would).
        con = duckdb.connect(
            database or ":memory:",
            read_only=database is not None,
            config={"autoinstall_known_extensions": False},
        )
        try:
            _read_only(con, query, duckdb)
            rel = con.sql(query)
            if rel is None:
                raise CommandError("the --sql query returns no table")
            table = rel.to_arrow_table() if hasattr(rel, "to_arrow_table") else rel.arrow()
        finally:
            con.close()
    except duckdb.Error as exc:
        raise CommandError(f"the --sql query failed: {exc}") from None
    return _pieces([(Piece("the --sql result", csv=False), table)], layout)


def _read_only(con: Any, query: str, duckdb: Any) -> None:
    """One SELECT (WITH ... SELECT, VALUES and FROM-first queries are SELECTs too), checked
    before anything runs: --sql reads, it never writes, attaches, installs or sets."""
    statements = con.extract_statements(query)
    if len(statements) != 1:
        raise CommandError(
            f"--sql runs one query, not {len(statements)} statements: give a single SELECT"
        )
    kind = statements[0].type
    if kind != duckdb.StatementType.SELECT:
        raise CommandError(f"--sql only reads: give a SELECT query, not a {kind.name} statement")


def read_types(name: str) -> Any:
    """A (fund, type) table from a file with at least two columns, both as text."""
    pa = arrow()
    path = Path(name)
    if not path.is_file():
        raise CommandError(f"no such types file: {name}")
    kind = file_kind(path)
    if kind is None:
        raise CommandError(f"cannot tell the format of the types file {name}: .csv or .parquet")
    if kind == "parquet":
        table = _read(name, lambda: pa.parquet.read_table(path))
    else:
        pcsv = pa.csv
        opts = pcsv.ConvertOptions(column_types={}, strings_can_be_null=True)
        table = _read(name, lambda: pcsv.read_csv(path, convert_options=opts))
    if table.num_columns < 2:
        raise CommandError(f"the types file {name} needs two columns: fund and type")
    names = table.column_names[:2]
    return pa.table([table.column(n).cast(pa.string()) for n in names], names=names)


# --- cells ------------------------------------------------------------------------------


def _pieces(parts: list[tuple[Piece, Any]], layout: Layout) -> tuple[Any, Places]:
    """Each part checked and converted (dates read, values as numbers, the wide table's
    columns chosen), then all of them as one table."""
    pa = arrow()
    tables = []
    for piece, table in parts:
        piece.rows = table.num_rows
        tables.append(_piece(piece, table, layout))
    first = tables[0].column_names
    for (piece, _), table in zip(parts[1:], tables[1:]):
        if set(table.column_names) != set(first):
            raise CommandError(
                f"{piece.name} has the columns {table.column_names}, but {parts[0][0].name}"
                f" has {first}: the files of a folder must have the same columns"
            )
    try:
        whole = pa.concat_tables([t.select(first) for t in tables], promote_options="permissive")
    except pa.ArrowException as exc:
        raise CommandError(f"the files of the folder do not fit together: {exc}") from None
    return whole, Places([p for p, _ in parts])


def _piece(piece: Piece, table: Any, layout: Layout) -> Any:
    pa = arrow()
    names = table.column_names
    if layout.date not in names:
        option = "" if layout.date != "date" else " (name it with --date)"
        raise CommandError(
            f"no date column {layout.date!r} in {piece.name}{option}; the columns are {names[:10]}"
        )
    for option, role, col in (("--fund", "fund", layout.fund), ("--value", "value", layout.value)):
        if col is not None and col not in names:
            raise CommandError(
                f"no {role} column {col!r} in {piece.name} ({option}); the columns are {names[:10]}"
            )
    if layout.fund is None:
        table = _choose(piece, table, layout)
        values = [c for c in table.column_names if c != layout.date]
    else:
        values = [layout.value] if layout.value else []
    dates = parse_dates(
        table.column(layout.date),
        layout.date_format,
        layout.date,
        lambda r: place(piece, r),
        pa,
    )
    table = table.set_column(table.column_names.index(layout.date), layout.date, dates)
    # Columns of numbers need nothing: told by the schema, without looking each one up by
    # name (thousands of funds); a name that occurs twice is looked up as before.
    kinds = dict(zip(table.column_names, table.schema.types))
    unique = len(kinds) == table.num_columns
    for name in values:
        if unique and (pa.types.is_integer(kinds[name]) or pa.types.is_floating(kinds[name])):
            continue
        col = table.column(name)
        if pa.types.is_null(col.type):  # every cell missing
            table = table.set_column(table.column_names.index(name), name, col.cast(pa.float64()))
        elif not is_number(col.type, pa):
            converted = parse_numbers(col, layout.na_values, name, lambda r: place(piece, r), pa)
            table = table.set_column(table.column_names.index(name), name, converted)
    for name in (layout.fund, *layout.texts):
        if name is not None and name in table.column_names:
            table = as_text(table, name)
    return table


def _choose(piece: Piece, table: Any, layout: Layout) -> Any:
    """A wide table's columns as --funds or --exclude choose them."""
    names = table.column_names
    asked = [*(layout.funds or []), *layout.exclude]
    unknown = [c for c in asked if c not in names]
    if unknown:
        option = "--funds" if layout.funds and unknown[0] in layout.funds else "--exclude"
        raise CommandError(
            f"{option} names {unknown[0]!r}, which is no column of {piece.name};"
            f" the columns are {names[:10]}"
        )
    if layout.funds is not None:
        keep = [layout.date, *[f for f in layout.funds if f != layout.date]]
        return table.select(keep)
    if layout.exclude:
        return table.drop_columns([c for c in layout.exclude if c != layout.date])
    return table


def as_text(table: Any, name: Optional[str]) -> Any:
    """A column as text, so that fund labels match those of a types file or a wide table's
    column names whatever type a file gave them."""
    pa = arrow()
    if name is None or name not in table.column_names:
        return table
    col = table.column(name)
    kind = col.type.value_type if pa.types.is_dictionary(col.type) else col.type
    if pa.types.is_string(kind):
        return table
    return table.set_column(table.column_names.index(name), name, col.cast(pa.string()))


# --- which input ----------------------------------------------------------------------


def shipped(name: str) -> str:
    return str(resources.files("fundkernels").joinpath(name))


def check_input_options(args: argparse.Namespace) -> None:
    if args.sql and args.input:
        raise CommandError("give either an input file or --sql, not both")
    if args.database and not args.sql:
        raise CommandError("--database needs --sql with a query over it")
    if not args.sql and not args.input and (args.fund or args.value or args.navs):
        raise CommandError(
            "--fund, --value and --navs need an input: the shipped panel is wide returns"
        )


def input_table(args: argparse.Namespace, layout: Layout) -> tuple[Any, Places, str]:
    """The input table, where its rows come from and what to call it."""
    check_input_options(args)
    if args.sql:
        source = "SQL query" + (f" over {args.database}" if args.database else "")
        table, places = read_sql(args.sql, args.database, layout)
        return table, places, source
    if args.input:
        table, places = read_input(args.input, layout)
        return table, places, args.input
    table, places = read_input(shipped(SHIPPED_PANEL), layout, "the shipped panel")
    table = table.drop_columns(list(SHIPPED_NOT_FUNDS))
    source = "the panel shipped with fundkernels (30 US equity portfolios, monthly)"
    return table, places, source


def types_file(args: argparse.Namespace) -> Optional[str]:
    if args.types:
        return str(args.types)
    if not args.sql and not args.input and not args.type_column:
        return shipped(SHIPPED_TYPES)
    return None


def read_paths(args: argparse.Namespace) -> list[Path]:
    """Every file and folder the command reads: the input (or the shipped panel), the types
    file, the database, and the files a --sql query names in quotes."""
    paths = []
    if args.input:
        paths.append(Path(args.input))
    elif not args.sql:
        paths.append(Path(shipped(SHIPPED_PANEL)))
    types = types_file(args)
    if types:
        paths.append(Path(types))
    if args.database:
        paths.append(Path(args.database))
    if args.sql:
        for quoted in re.findall(r"'((?:[^']|'')*)'", args.sql):
            name = quoted.replace("''", "'")
            paths.extend(Path(p) for p in glob.glob(name, recursive=True))
    return [p for p in paths if p.exists()]
