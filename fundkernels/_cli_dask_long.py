"""The command's dask engine on long tables (--fund, --value), larger than memory.

The input, a Parquet file or folder (partitioned by fund or not) or a folder of CSV files,
is read a piece at a time (a Parquet row group, a CSV file), as the arrow engine reads the
whole: labels as text, text dates parsed alike. Funds are cut into blocks of whole peer
groups (crossodds compares a fund with its group), packed from the types file. Dask runs
three rounds of tasks on its local scheduler, with a progress bar:

1. The survey reads each piece's fund and date columns (cheap: dictionary-encoded labels
   and small integers) for its funds in order of first appearance and its distinct dates.
   Merged, they give every fund, every date, and so each fund's place in its block's
   matrix (dates x funds, column-major, as the whole matrix would lay it out).
2. The scatter reads each piece whole and writes each value straight into its cell of
   its block's matrix, in one scratch file holding the blocks one after another (a file
   the size of the whole matrix, 8 bytes a cell, on disk rather than in memory; only the
   pages a piece touches are mapped while it writes). Cells hold the value's bits XOR the
   gather's empty marker, so that the file's zeros (never written) read as "no row".
3. Each block reads its matrix back, checks by a count that every row found a cell of its
   own (else the block is gathered again from its rows, which names the first duplicate
   as the in-memory gather does), and computes every indicator on it.

Nothing but a piece, a block's matrix and the results (one row per fund) is ever in
memory. The scratch file lives in the system's temporary folder ($TMPDIR) and goes when
the command ends. Without peer groups (--types), all funds form one group, and so one
block: the whole matrix is then read back in one task.
"""

from __future__ import annotations

import argparse
import importlib
import os
import shutil
import sys
import tempfile
import warnings
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._blocks import blocks_of
from ._cli_cells import parse_dates
from ._cli_files import _read_csv, read_types
from ._cli_tables import Layout, arrow, as_text, file_kind
from ._errors import CommandError, InputError, PriceLikeWarning
from ._gather import (
    _EMPTY,
    _DateRows,
    _distinct,
    _floats,
    _physical,
    _unmark,
    first_seen,
    gather,
    runs,
)

INPUTS = "--engine dask reads a Parquet file or folder, or a folder of CSV files, named as INPUT"
# Funds per block when no group is larger (a block's matrix: this many columns).
BLOCK_FUNDS = 2048


@dataclass
class _Piece:
    """A piece's survey: its funds in order of first appearance and its distinct dates
    (ns)."""

    funds: list[Any]
    dates: npt.NDArray[np.int64]


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


class _Read:
    """A piece's columns as the arrow engine reads them: the funds' labels as text
    (dictionary-encoded: the labels and each row's index among them), the dates in their
    own unit (text dates parsed into nanoseconds) and, when whole, the values."""

    def __init__(self, unit: tuple[str, Any], names: tuple[str, str, str], whole: bool) -> None:
        pa = self.pa = arrow()
        fund, date, value = names
        kind, what = unit
        wanted = [fund, date, value] if whole else [fund, date]
        if kind == "csv":  # a CSV file is parsed whole either way
            table, name = _read_csv(what, Layout(date=date, fund=fund)), str(what)
        else:
            fragment, schema = what  # the dataset's schema brings the partition columns
            name = f"{fragment.path} (row group {fragment.row_groups[0].id})"
            present = [c for c in wanted if c in schema.names]
            table = fragment.to_table(schema=schema, columns=present)
        for role, col in zip(("fund", "date", "value"), wanted):
            if col not in table.column_names:
                raise CommandError(f"no {role} column {col!r} in {name}")
        self.name, self.rows = name, table.num_rows
        table = as_text(table.select(wanted), fund)
        labels = table.column(fund).combine_chunks()
        if labels.null_count:
            row = int(np.argmax(np.asarray(labels.is_null())))
            raise CommandError(
                f"the fund column {fund!r} holds a missing fund at row {row} of {name}"
            )
        if not pa.types.is_dictionary(labels.type):
            labels = labels.dictionary_encode()
        self.labels: list[Any] = labels.dictionary.to_pylist()
        self.indices = np.asarray(labels.indices)
        days = table.column(date).combine_chunks()
        if not (pa.types.is_timestamp(days.type) or pa.types.is_date(days.type)):
            days = parse_dates(days, None, date, lambda r: f"{name} row {r + 1}", pa)
        elif days.null_count:
            row = int(np.argmax(np.asarray(days.is_null())))
            raise CommandError(f"{name} row {row + 1}: the date column {date!r} has no date")
        self.days = days
        self.raw, self.factor = _physical(days, pa)
        values = table.column(value).combine_chunks() if whole else None
        if values is not None and not (
            pa.types.is_integer(values.type) or pa.types.is_floating(values.type)
        ):
            raise CommandError(f"the value column {value!r} must be numeric in {name}")
        self.values = values

    def funds(self) -> list[Any]:
        """The piece's funds in order of first appearance."""
        return [self.labels[u] for u in first_seen(self.indices, self.pa)]

    def counts(self) -> npt.NDArray[np.int64]:
        """Rows per label."""
        found = runs(self.indices) if len(self.indices) else None
        if found is None:
            return np.bincount(self.indices, minlength=len(self.labels)).astype(np.int64)
        out = np.zeros(len(self.labels), np.int64)
        np.add.at(out, found[0], found[1])
        return out

    def distinct_ns(self, date: str) -> npt.NDArray[np.int64]:
        """The piece's distinct dates in nanoseconds (UTC): counted over their span when
        it is short (days), else by hashing."""
        pa = self.pa
        distinct = np.sort(_distinct(self.raw, pa))
        stamps = pa.array(distinct).view(self.days.type)
        try:
            ns = stamps.cast(pa.timestamp("ns", tz=getattr(stamps.type, "tz", None)))
        except pa.ArrowInvalid as exc:
            raise CommandError(
                f"the dates in column {date!r} must lie between 1677 and 2262: {exc}"
            ) from None
        return np.asarray(ns.view(pa.int64()))

    def entries(self, funds: list[Any], numbers: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The global number of each label (-1: a label no row of the piece uses), given
        the piece's funds and their numbers."""
        number = dict(zip(funds, numbers.tolist()))
        return np.array([number.get(f, -1) for f in self.labels], np.int64)

    def date_rows(self, axis: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
        """Each row's row of the matrix (axis: every date, sorted, ns)."""
        factor = self.factor
        if factor != 1 and not np.all(axis % factor == 0):  # another piece's finer unit
            return _DateRows(axis, self.pa)(self.raw.astype(np.int64) * factor)
        return _DateRows(axis // factor, self.pa)(self.raw)


def _survey(unit: tuple[str, Any], names: tuple[str, str, str]) -> _Piece:
    """Round 1 on one piece (see the module's description)."""
    got = _Read(unit, names, whole=False)
    return _Piece(got.funds(), got.distinct_ns(names[1]))


class _Plan:
    """Where every value goes: per fund (numbered in order of first appearance) its block
    and the offset of its column in the scratch file (in cells), per block its first cell,
    its funds and how many rows it should receive. (An object of its own, which the
    scheduler passes to tasks as it is.)"""

    def __init__(
        self,
        funds: list[Any],
        axis: npt.NDArray[np.int64],
        where: npt.NDArray[np.int32],
        path: str,
        pieces: tuple[
            list[tuple[str, Any]], tuple[str, str, str], list[_Piece], list[npt.NDArray[np.int64]]
        ],
    ) -> None:
        self.funds, self.axis, self.where, self.path = funds, axis, where, path
        # What the slow road reads again: the pieces, the columns' names, and each
        # piece's funds with their global numbers.
        self.units, self.names, self.pieces, self.numbers = pieces
        rows = len(axis)
        self.blocks: list[int] = sorted(set(where.tolist()))
        self.members = {b: np.flatnonzero(where == b) for b in self.blocks}
        self.start: dict[int, int] = {}
        self.column = np.zeros(len(funds), np.int64)
        cells = 0
        for b in self.blocks:
            self.start[b] = cells
            self.column[self.members[b]] = cells + rows * np.arange(len(self.members[b]))
            cells += rows * len(self.members[b])
        self.cells = cells

    def __dask_tokenize__(self) -> str:
        return self.path  # one plan per scratch file: no need to hash its contents

    def received(
        self, written: Sequence[tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]]
    ) -> npt.NDArray[np.int64]:
        """Rows per block, from the rows each piece wrote per fund."""
        out = np.zeros(max(self.blocks, default=0) + 1, np.int64)
        for entry, counts in written:
            used = entry >= 0
            np.add.at(out, self.where[entry[used]], counts[used])
        return out


def _scatter(
    unit: tuple[str, Any],
    names: tuple[str, str, str],
    piece: _Piece,
    numbers: npt.NDArray[np.int64],
    plan: _Plan,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Round 2 on one piece: its values into their cells (numbers: the global number of
    each of the piece's funds). Returns the global number of each of its labels and how
    many rows each has."""
    got = _Read(unit, names, whole=True)
    entry = got.entries(piece.funds, numbers)
    counts = got.counts()
    assert not counts[entry < 0].any(), "a piece reads the same funds twice"
    cell = np.take(plan.column[np.maximum(entry, 0)], got.indices)
    cell += got.date_rows(plan.axis)
    data, missing = _floats(got.values, got.pa)
    bits = data.view(np.int64) ^ _EMPTY
    if missing is not None:
        bits[missing] = np.float64(np.nan).view(np.int64) ^ _EMPTY
    del got, data
    if len(cell):
        out = np.memmap(plan.path, np.int64, "r+", shape=(plan.cells,))
        out[cell] = bits
        del out  # unmapped: its pages stay in the system's cache, not in this process
    return entry, counts


def _block(
    b: int,
    plan: _Plan,
    expected: int,
    codes: npt.NDArray[np.int32],
    horizons: Sequence[str],
    options: tuple[bool, bool, str, dict[str, Any]],
) -> tuple[dict[str, Any], int, list[Any]]:
    """Round 3 on one block: its matrix and every indicator on it, how many of its cells
    had no value, and its funds whose values look like prices (unless told which)."""
    from ._cli_compute import indicator_columns
    from ._returns import price_like, returns_from_navs

    navs, returns, calendar, statistics = options
    axis, members = plan.axis, plan.members[b]
    labels = [str(plan.funds[i]) for i in members]
    cells = len(axis) * len(members)
    flat = np.fromfile(plan.path, np.int64, count=cells, offset=plan.start[b] * 8)
    flat ^= _EMPTY
    values = flat.view(np.float64)
    if cells - _unmark(values) != expected:  # a duplicate, or a value with the marker's bits
        values = _gathered(b, plan, labels)
    matrix = values.reshape(len(members), len(axis)).T  # column-major, as gathered
    missing = int(np.count_nonzero(np.isnan(matrix)))
    prices = [] if navs or returns else price_like(matrix, labels)
    # As the arrow engine does: on the own calendar every indicator takes the NAVs and
    # their returns, turned once.
    own_navs = navs and calendar == "own"
    rets = returns_from_navs(matrix, axis, labels) if own_navs else None
    if navs and not own_navs:
        matrix = returns_from_navs(matrix, axis, labels, in_place=True)
    got = indicator_columns(
        matrix, axis, labels, codes, horizons, statistics, calendar, own_navs, rets
    )
    return got, missing, prices


def _gathered(b: int, plan: _Plan, labels: list[str]) -> npt.NDArray[np.float64]:
    """A block's matrix (flat, column-major) gathered from its rows, read again: the road
    that names the first duplicate (or puts back values with the empty marker's bits)."""
    numbers, dates, values = [], [], []
    for unit, piece, lut in zip(plan.units, plan.pieces, plan.numbers):
        got = _Read(unit, plan.names, whole=True)
        fund = np.take(got.entries(piece.funds, lut), got.indices)
        keep = np.flatnonzero(plan.where[fund] == b)
        data, missing = _floats(got.values, got.pa)
        data = data.copy()
        if missing is not None:
            data[missing] = np.nan
        numbers.append(fund[keep])
        dates.append(got.raw[keep].astype(np.int64) * got.factor)
        values.append(data[keep])
    matrix = gather(
        np.concatenate(numbers),
        np.concatenate(dates),
        np.concatenate(values),
        labels=plan.members[b].tolist(),
        axis=plan.axis,
        rows_named=False,
        names=labels,
        threads=1,  # the blocks run side by side
    ).values
    return np.ascontiguousarray(matrix.T).reshape(-1)


class _Blocks:
    """Each fund's block: whole groups (from the types file) packed into blocks of about
    BLOCK_FUNDS funds; without types, every fund in block 0. (An object of its own, which
    the scheduler passes to tasks as it is, rather than a mapping it would copy.)"""

    def __init__(self, given: dict[str, Any], by_group: bool) -> None:
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

    from ._cli_compute import Panel, _note_prices, indicator_columns, statistics_options

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
    statistics = statistics_options(args)
    folder = tempfile.mkdtemp(prefix="fundkernels-", dir=os.environ.get("TMPDIR"))
    try:
        with ProgressBar(out=sys.stderr):
            survey = delayed(_survey, pure=True)
            pieces = compute(*[survey(u, names) for u in units], scheduler="threads")
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
            scratch_path = str(Path(folder) / "blocks")
            plan = _Plan(
                funds, axis, block_of(funds), scratch_path, (units, names, list(pieces), luts)
            )
            with open(scratch_path, "wb") as scratch:
                scratch.truncate(plan.cells * 8)  # sparse: zeros, "no row", cost nothing
            scatter = delayed(_scatter, pure=True)
            written = compute(
                *[scatter(u, names, p, lut, plan) for u, p, lut in zip(units, pieces, luts)],
                scheduler="threads",
            )
            received = plan.received(written)
            task = delayed(_block, pure=True)
            options = (bool(args.navs), bool(args.returns), args.calendar, statistics)
            with warnings.catch_warnings():  # told once below, as a note
                warnings.simplefilter("ignore", PriceLikeWarning)
                done = compute(
                    *[
                        task(
                            b,
                            plan,
                            int(received[b]),
                            codes[plan.members[b]],
                            tuple(horizons),
                            options,
                        )
                        for b in plan.blocks
                    ],
                    scheduler="threads",
                )
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    labels = [str(f) for f in funds]
    place = {f: i for i, f in enumerate(labels)}
    _note_prices(sorted((f for d in done for f in d[2]), key=place.__getitem__))
    clock.lap("read and indicators (dask)")
    if done:
        order = np.concatenate([plan.members[b] for b in plan.blocks])
        back = np.empty(len(order), np.intp)
        back[order] = np.arange(len(order))
        cols = {key: np.concatenate([d[0][key] for d in done])[back] for key in done[0][0]}
    else:
        cols = indicator_columns(
            np.empty((0, 0)), np.empty(0, np.int64), [], np.empty(0, np.int32), horizons,
            statistics,
        )  # fmt: skip
    rows = len(axis)
    first, last = (int(axis[0]), int(axis[-1])) if rows else (None, None)
    missing = sum(d[1] for d in done) / (rows * len(funds)) if rows and funds else 0.0
    shown = [str(given.get(f)) for f in labels] if args.types else None
    return Panel(labels, rows, first, last, shown, missing, args.navs, args.input), cols
