"""The command's reading: CSV and Parquet files and folders, DuckDB queries, the types file
and text dates, each as an Arrow table; and which input the arguments name."""

from __future__ import annotations

import argparse
import importlib
from functools import cache
from importlib import resources
from pathlib import Path
from typing import Any, Optional

import numpy as np

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


def _read_csv(path: Path) -> Any:
    pcsv = arrow().csv
    # Multi-threaded; .gz and .bz2 are decompressed by their extension.
    return pcsv.read_csv(
        path,
        read_options=pcsv.ReadOptions(use_threads=True),
        convert_options=pcsv.ConvertOptions(strings_can_be_null=True),
    )


def read_file(name: str, labels: Optional[str] = None) -> Any:
    """A CSV or Parquet file, or a folder of them, as an Arrow table. labels: a Parquet
    column of text that repeats over many rows (a long table's funds), read
    dictionary-encoded: four bytes a row instead of its text, and no text to hash when it
    is numbered. (A CSV file's labels are typed by their text, as a types file's are, so
    that both give the same labels.)"""
    pa = arrow()
    pq = pa.parquet
    path = Path(name)
    if not path.exists():
        raise CommandError(f"no such file or folder: {name}")
    try:
        if path.is_dir():
            files = sorted(p for p in path.rglob("*") if p.is_file() and not p.name.startswith("."))
            kinds = {file_kind(p) for p in files} - {None}
            if not kinds:
                raise CommandError(f"the folder {name} holds no CSV or Parquet files")
            if len(kinds) > 1:
                raise CommandError(f"the folder {name} mixes CSV and Parquet files")
            if kinds == {"parquet"}:
                return pq.read_table(path, read_dictionary=[labels] if labels else None)
            tables = [_read_csv(p) for p in files if file_kind(p) == "csv"]
            return pa.concat_tables(tables, promote_options="permissive")
        kind = file_kind(path)
        if kind is None:
            raise CommandError(
                f"cannot tell the format of {name}: expected .csv, .csv.gz, .csv.bz2 or .parquet"
            )
        if kind == "parquet":
            return pq.read_table(path, read_dictionary=[labels] if labels else None)
        return _read_csv(path)
    except (pa.ArrowException, OSError, EOFError) as exc:
        raise CommandError(f"cannot read {name}: {exc}") from None


def read_sql(query: str, database: Optional[str]) -> Any:
    """The result of a DuckDB query, over files named in it or a database file."""
    arrow()
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


def parse_dates(table: Any, date: str) -> Any:
    """CSV files carry dates as text: a text date column parsed into timestamps (ISO dates
    and times; with a UTC offset, taken to UTC), naming the first value that is no date."""
    pa = arrow()
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


def read_types(name: str) -> Any:
    """A (fund, type) table from a file with at least two columns, both as text."""
    pa = arrow()
    table = read_file(name)
    if table.num_columns < 2:
        raise CommandError(f"the types file {name} needs two columns: fund and type")
    names = table.column_names[:2]
    return pa.table([table.column(n).cast(pa.string()) for n in names], names=names)


def _shipped(name: str) -> str:
    return str(resources.files("fundkernels").joinpath(name))


def input_table(args: argparse.Namespace) -> tuple[Any, str, str, Optional[str]]:
    """The input table, what to call it, its date column and the types file, if any."""
    if args.sql and args.input:
        raise CommandError("give either an input file or --sql, not both")
    if args.database and not args.sql:
        raise CommandError("--database needs --sql with a query over it")
    if args.sql:
        source = "SQL query" + (f" over {args.database}" if args.database else "")
        return read_sql(args.sql, args.database), source, args.date or "date", args.types
    if args.input:
        table = read_file(args.input, labels=args.fund)
        return table, args.input, args.date or "date", args.types
    if args.fund or args.value or args.navs:
        raise CommandError(
            "--fund, --value and --navs need an input: the shipped panel is wide returns"
        )
    table = read_file(_shipped(SHIPPED_PANEL)).drop_columns(list(SHIPPED_NOT_FUNDS))
    source = "the panel shipped with fundkernels (30 US equity portfolios, monthly)"
    return table, source, args.date or SHIPPED_DATE, args.types or _shipped(SHIPPED_TYPES)

