"""What the command's readers share: how to read the input (``Layout``), pyarrow, the kind
of a file by its name, where each row of the input comes from (``Places``), and each part
read (a file, a folder of Parquet files, a query's result) checked and converted into one
table whose dates are timestamps and whose values are numbers.

Every message about a cell names its file (inside a folder too), its column and its line as
a text editor or a spreadsheet shows it (the header is line 1), or its row in a Parquet
file or a query's result."""

from __future__ import annotations

import bisect
import importlib
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cache
from pathlib import Path
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._cli_cells import is_number, parse_dates, parse_numbers
from ._errors import CommandError

PROG = "fundkernels"
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2")
PARQUET_SUFFIXES = (".parquet", ".pq")
# Cells that mean "no value" unless --na-values says otherwise.
NA_VALUES = ("", "NA", "N/A", "n/a", "NaN", "nan", "null", ".", "-", "#N/A")


def note(message: str) -> None:
    """Something the command guessed or left out, told on stderr; the run goes on."""
    print(f"{PROG}: note: {message}", file=sys.stderr)


@cache
def arrow() -> Any:
    """pyarrow, with its csv and parquet modules loaded (pa.csv, pa.parquet); untyped, hence
    Any. Its compute module is loaded by what needs it: a Parquet file of numbers does not."""
    try:
        for name in ("pyarrow.csv", "pyarrow.parquet"):
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


# --- each part checked, then all of them as one table ---------------------------------


def pieces(parts: list[tuple[Piece, Any]], layout: Layout) -> tuple[Any, Places]:
    """Each part checked and converted (dates read, values as numbers, the wide table's
    columns chosen), then all of them as one table."""
    pa = arrow()
    tables = []
    for piece, table in parts:
        piece.rows = table.num_rows
        tables.append(_piece(piece, table, layout))
    if len(tables) == 1:  # nothing to join (concatenating one table still unifies it)
        return tables[0], Places([p for p, _ in parts])
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
