"""The command's files: CSV and Parquet files and folders of them (the input), and the types
file, each read by pyarrow and named in every message about it."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import Any, Optional

from ._cli_tables import Layout, Piece, Places, arrow, file_kind, pieces
from ._errors import CommandError


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
    at the peak, and no faster). Memory-mapped, read-only: each column chunk is decoded
    from the page cache instead of a copy read into a buffer of its own (a sixth less CPU
    time on a wide file of thousands of columns)."""
    labels = [layout.fund] if layout.fund else None
    return _parquet(path, read_dictionary=labels, pre_buffer=False, memory_map=True)


def _parquet(path: Path, **options: Any) -> Any:
    """A Parquet file as one table, or a folder as one dataset. A file is read by itself:
    reading it as a dataset loads the dataset machinery and pandas with it, a quarter of a
    second or more of every run."""
    pq = arrow().parquet
    if path.is_dir():
        return pq.read_table(path, **options)
    with pq.ParquetFile(path, **options) as file:
        return file.read()


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
            return pieces([(Piece(name, csv=False), table)], layout)
        parts = [
            (Piece(str(p), csv=True), _read(str(p), lambda p=p: _read_csv(p, layout)))
            for p in files
            if file_kind(p) == "csv"
        ]
        return pieces(parts, layout)
    kind = file_kind(path)
    if kind is None:
        raise CommandError(
            f"cannot tell the format of {name}: expected .csv, .csv.gz, .csv.bz2 or .parquet"
        )
    if kind == "parquet":
        table = _read(name, lambda: _read_parquet(path, layout))
    else:
        table = _read(name, lambda: _read_csv(path, layout))
    return pieces([(Piece(shown, csv=kind == "csv"), table)], layout)


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
        table = _read(name, lambda: _parquet(path))
    else:
        pcsv = pa.csv
        opts = pcsv.ConvertOptions(column_types={}, strings_can_be_null=True)
        table = _read(name, lambda: pcsv.read_csv(path, convert_options=opts))
    if table.num_columns < 2:
        raise CommandError(f"the types file {name} needs two columns: fund and type")
    names = table.column_names[:2]
    return pa.table([table.column(n).cast(pa.string()) for n in names], names=names)
