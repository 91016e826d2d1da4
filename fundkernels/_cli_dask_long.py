"""The command's dask engine on long tables (--fund, --value), larger than memory.

The input, a Parquet file or folder (partitioned by fund or not) or a folder of CSV files,
is read a piece at a time (a Parquet row group, a CSV file), as the arrow engine reads the
whole: labels as text, text dates parsed alike. Dask runs two rounds of tasks on its local
scheduler, with a progress bar:

1. Each piece is split by block of funds into files of numbers only (the fund's index
   among the piece's funds, the date in nanoseconds, the value), written to a scratch
   folder; the task returns the piece's funds in order of first appearance and its
   distinct dates. Blocks hold whole peer groups (crossodds compares a fund with its
   group), packed from the types file: so a row's block is known before any survey.
2. After the funds (in order of first appearance over all pieces) and the dates are
   merged, each block reads its files back, is gathered into its own matrix on all dates,
   as the whole table would be, and every indicator of the table is computed on it.

Only the results (one row per fund) meet, so memory stays near a piece plus a block. The
scratch files (about 20 bytes a row) live in the system's temporary folder ($TMPDIR) and
go when the command ends. Without peer groups (--types), all funds form one group, and so
one block: the whole matrix is then gathered in one task.
"""

from __future__ import annotations

import argparse
import importlib
import os
import shutil
import sys
import tempfile
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._cli_cells import parse_dates
from ._cli_read import Layout, _read_csv, arrow, as_text, file_kind, read_types
from ._errors import CommandError, InputError

INPUTS = "--engine dask reads a Parquet file or folder, or a folder of CSV files, named as INPUT"
# Funds per block when no group is larger (a block's matrix: this many columns).
BLOCK_FUNDS = 2048


@dataclass
class _Piece:
    """What a piece's split tells: its funds in order of first appearance, its distinct
    dates (ns) and the blocks it wrote files for."""

    funds: list[Any]
    dates: npt.NDArray[np.int64]
    blocks: list[int]


def _units(path: Path, fund: str) -> list[tuple[str, Any]]:
    """The pieces of the input: Parquet row groups (hive partitions by fund included), or
    CSV files."""
    pa = arrow()
    files = [path] if path.is_file() else sorted(p for p in path.rglob("*") if p.is_file())
    kinds = {file_kind(p) for p in files if not p.name.startswith(".")}
    if kinds == {"csv"}:
        return [("csv", p) for p in files if file_kind(p) == "csv"]
    if kinds != {"parquet"}:
        raise CommandError(INPUTS)
    ds = importlib.import_module("pyarrow.dataset")  # by name: no type information

    fmt = ds.ParquetFileFormat(read_options=ds.ParquetReadOptions(dictionary_columns=[fund]))
    data = ds.dataset(str(path), format=fmt, partitioning="hive")
    try:
        return [
            ("parquet", (g, data.schema))
            for f in data.get_fragments()
            for g in f.split_by_row_group()
        ]
    except pa.ArrowException as exc:
        raise CommandError(f"cannot read {path}: {exc}") from None


def _read(unit: tuple[str, Any], fund: str, date: str, value: str) -> tuple[Any, str]:
    """A piece as an Arrow table of the three columns, and its name for messages."""
    kind, what = unit
    if kind == "csv":
        table, name = _read_csv(what, Layout(date=date, fund=fund)), str(what)
    else:
        fragment, schema = what  # the dataset's schema brings the partition columns
        name = f"{fragment.path} (row group {fragment.row_groups[0].id})"
        present = [c for c in (fund, date, value) if c in schema.names]
        table = fragment.to_table(schema=schema, columns=present)
    for role, col in (("fund", fund), ("date", date), ("value", value)):
        if col not in table.column_names:
            raise CommandError(f"no {role} column {col!r} in {name}")
    table = table.select([fund, date, value])
    stamps = parse_dates(table.column(date), None, date, lambda r: f"{name} row {r + 1}", arrow())
    table = as_text(table.set_column(1, date, stamps), fund)
    return table.combine_chunks(), name


def _split(
    k: int,
    unit: tuple[str, Any],
    names: tuple[str, str, str],
    block_of: _Blocks,
    folder: str,
) -> _Piece:
    """Round 1 on one piece (see the module's description)."""
    pa = arrow()
    pc = pa.compute
    fund, date, value = names
    table, name = _read(unit, fund, date, value)
    labels = table.column(fund).chunk(0) if table.num_rows else pa.array([], pa.string())
    if labels.null_count:
        row = int(np.argmax(np.asarray(labels.is_null())))
        raise CommandError(f"the fund column {fund!r} holds a missing fund at row {row} of {name}")
    if not pa.types.is_dictionary(labels.type):
        labels = labels.dictionary_encode()
    # The piece's funds in order of first appearance, and each row's index among them.
    used = pc.unique(labels.indices)
    rank = np.zeros(len(labels.dictionary), np.int32)
    rank[np.asarray(used)] = np.arange(len(used), dtype=np.int32)
    codes = rank[np.asarray(labels.indices)]
    funds = labels.dictionary.take(used).to_pylist()
    blocks = block_of(funds)[codes]
    days = table.column(date).chunk(0) if table.num_rows else pa.array([], pa.timestamp("ns"))
    if not (pa.types.is_timestamp(days.type) or pa.types.is_date(days.type)):
        raise CommandError(f"the date column {date!r} must hold dates or datetimes in {name}")
    if days.null_count:
        row = int(np.argmax(np.asarray(days.is_null())))
        raise CommandError(f"the date column {date!r} holds a missing date at row {row} of {name}")
    unit = pa.timestamp("ns", getattr(days.type, "tz", None))
    ns = np.asarray(pc.cast(days.cast(unit), pa.int64()))
    distinct = np.asarray(pc.cast(pc.unique(days).cast(unit), pa.int64()))
    numbers = table.column(value).chunk(0) if table.num_rows else pa.array([], pa.float64())
    if not (pa.types.is_integer(numbers.type) or pa.types.is_floating(numbers.type)):
        raise CommandError(f"the value column {value!r} must be numeric in {name}")
    floats = np.asarray(pc.fill_null(numbers.cast(pa.float64()), float("nan")))
    # Rows by block: a counting sort (radix on small integers), then a slice per block.
    counts = np.bincount(blocks, minlength=1)
    if len(counts) > 1:
        order = np.argsort(
            blocks.astype(np.int16 if len(counts) < 2**15 else np.int32), kind="stable"
        )
        codes, ns, floats = codes[order], ns[order], floats[order]
    ends = np.cumsum(counts)
    written = []
    for b in np.flatnonzero(counts).tolist():
        lo, hi = int(ends[b] - counts[b]), int(ends[b])
        part = pa.table({"f": codes[lo:hi], "d": ns[lo:hi], "v": floats[lo:hi]})
        target = Path(folder) / str(b)
        target.mkdir(exist_ok=True)
        with pa.ipc.new_file(str(target / f"{k}.arrow"), part.schema) as out:
            out.write_table(part)
        written.append(b)
    return _Piece(funds, distinct, written)


def _block(
    b: int,
    pieces: list[int],
    luts: list[npt.NDArray[np.int64]],
    members: npt.NDArray[np.intp],
    labels: list[str],
    axis: npt.NDArray[np.int64],
    codes: npt.NDArray[np.int32],
    horizons: Sequence[str],
    navs: bool,
    folder: str,
    statistics: dict[str, Any],
) -> tuple[dict[str, Any], int]:
    """Round 2 on one block: its matrix and every indicator on it, and how many of its
    cells had no value."""
    from fundkernels import _panel
    from fundkernels._gather import gather

    from ._cli_compute import indicator_columns

    pa = arrow()
    numbers, dates, values = [], [], []
    for k, lut in zip(pieces, luts):
        with pa.memory_map(str(Path(folder) / str(b) / f"{k}.arrow")) as source:
            part = pa.ipc.open_file(source).read_all()
        numbers.append(lut[np.asarray(part.column("f"))])
        dates.append(np.asarray(part.column("d")))
        values.append(np.asarray(part.column("v")))
    got = gather(
        np.concatenate(numbers),
        np.concatenate(dates),
        np.concatenate(values),
        labels=members.tolist(),
        axis=axis,
        rows_named=False,
        names=labels,
        threads=1,  # the blocks run side by side
    )
    shutil.rmtree(Path(folder) / str(b), ignore_errors=True)
    matrix = got.values
    missing = int(np.count_nonzero(np.isnan(matrix)))
    if navs:
        matrix = _panel.returns_from_navs(matrix, axis, labels, in_place=True)
    return indicator_columns(matrix, axis, labels, codes, horizons, statistics), missing


class _Blocks:
    """Each fund's block: whole groups (from the types file) packed into blocks of about
    BLOCK_FUNDS funds; without types, every fund in block 0. (An object of its own, which
    the scheduler passes to tasks as it is, rather than a mapping it would copy.)"""

    def __init__(self, given: dict[str, Any], by_group: bool) -> None:
        from fundkernels._dask_long import blocks_of

        self.by_group = by_group
        self.of: dict[Hashable, int] = {}
        if by_group:
            funds = list(given)
            numbers: dict[Hashable, int] = {}
            codes = np.array([numbers.setdefault(given[f], len(numbers)) for f in funds], np.int32)
            for k, members in enumerate(blocks_of(len(funds), 0, BLOCK_FUNDS, codes)):
                self.of.update((funds[i], k) for i in members)

    def __call__(self, funds: list[Any]) -> npt.NDArray[np.int32]:
        if not self.by_group:
            return np.zeros(len(funds), np.int32)
        missing = [f for f in funds if f not in self.of]
        if missing:
            raise InputError(f"types has no code for the funds {missing[:10]}")
        return np.array([self.of[f] for f in funds], np.int32)


def dask_long_columns(
    args: argparse.Namespace, horizons: Sequence[str], clock: Any
) -> tuple[Any, dict[str, Any]]:
    """A long table through dask, every indicator per block of funds, with a progress bar
    on stderr."""
    from fundkernels import _panel

    from ._cli_compute import Panel, indicator_columns, statistics_options

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
    except ImportError as exc:
        raise CommandError(
            f"--engine dask needs dask: pip install 'fundkernels[cli]' ({exc})"
        ) from None
    names = (args.fund, args.date or "date", args.value)
    given: dict[Any, Any] = {}
    if args.types:
        types = read_types(args.types).columns
        given = dict(zip(types[0].to_pylist(), types[1].to_pylist()))
    block_of = _Blocks(given, by_group=bool(args.types))
    units = _units(path, args.fund)
    folder = tempfile.mkdtemp(prefix="fundkernels-", dir=os.environ.get("TMPDIR"))
    try:
        with ProgressBar(out=sys.stderr):
            split = delayed(_split, pure=True)
            pieces = compute(
                *[split(k, u, names, block_of, folder) for k, u in enumerate(units)],
                scheduler="threads",
            )
            # Funds in order of first appearance over all pieces, and every date.
            known: dict[Hashable, int] = {}
            luts = [
                np.array([known.setdefault(f, len(known)) for f in p.funds], np.int64)
                for p in pieces
            ]
            funds = list(known)
            days = [p.dates for p in pieces]
            axis = np.unique(np.concatenate(days)) if days else np.empty(0, np.int64)
            found = {f: given.get(f) for f in funds} if args.types else dict.fromkeys(funds, 0)
            codes = _panel.group_codes(found, funds, "types")
            where = block_of(funds)
            blocks = sorted({b for p in pieces for b in p.blocks})
            members = {b: np.flatnonzero(where == b) for b in blocks}
            task = delayed(_block, pure=True)
            done = compute(
                *[
                    task(
                        b,
                        [k for k, p in enumerate(pieces) if b in p.blocks],
                        [luts[k] for k, p in enumerate(pieces) if b in p.blocks],
                        members[b],
                        [str(funds[i]) for i in members[b]],
                        axis,
                        codes[members[b]],
                        tuple(horizons),
                        args.navs,
                        folder,
                        statistics_options(args),
                    )
                    for b in blocks
                ],
                scheduler="threads",
            )
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    clock.lap("read and indicators (dask)")
    labels = [str(f) for f in funds]
    if done:
        order = np.concatenate([members[b] for b in blocks])
        back = np.empty(len(order), np.intp)
        back[order] = np.arange(len(order))
        cols = {key: np.concatenate([d[0][key] for d in done])[back] for key in done[0][0]}
    else:
        cols = indicator_columns(
            np.empty((0, 0)), np.empty(0, np.int64), [], np.empty(0, np.int32), horizons,
            statistics_options(args),
        )  # fmt: skip
    rows = len(axis)
    first, last = (int(axis[0]), int(axis[-1])) if rows else (None, None)
    missing = sum(d[1] for d in done) / (rows * len(funds)) if rows and funds else 0.0
    shown = [str(given.get(f)) for f in labels] if args.types else None
    return Panel(labels, rows, first, last, shown, missing, args.navs, args.input), cols
