"""Long tables (one row per fund and date) gathered into the matrix the modules read.

``gather`` takes a table's three columns, the fund, the date and the value of each row, as
Arrow arrays (chunked or not) or NumPy arrays, and gives the distinct funds in order of
first appearance, the sorted distinct dates (int64 nanoseconds, UTC) and a column-major
float64 matrix (dates x funds, NaN where a fund has no row). Two rows for one fund and date
are refused, naming the fund, the date and both rows.

It costs about one read of the table: no sort of the rows, and temporaries of a piece of
the table (an Arrow chunk, at most ``PIECE`` rows) rather than of the whole. Pieces are
worked on by a thread per core (NumPy and Arrow release the interpreter's lock), and the
result does not depend on how many.

1. Numbering: each piece's funds are dictionary-encoded (one hashing pass; a dictionary
   column's own indices serve as they are) and its distinct dates found; the small
   per-piece results are merged in order, funds numbered by first appearance.
2. The scatter (fundkernels._scatter, one pass over a piece's rows): each row's cell, the
   first cell of its fund's column + the date's row (looked up in a table over the dates'
   grid, such as days), gets the row's value and is marked reached, a bit per cell in the
   thread's own marks.
3. Duplicates: without them, the rows reach exactly as many cells as there are rows, so
   counting the cells any thread marked (while the others become NaN) tells, in one pass
   over the marks and without reading the matrix. A short count sends the gather down the
   slow road, which finds the first duplicate by sorting the cells.

Dates are handled in their physical type (the days of a date column, the unit of a
timestamp column); only the distinct ones are converted to nanoseconds.

pyarrow is used when it is installed; without it, NumPy numbers the funds and dates (by
sorting, which is slower but gives the same result).
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable, Hashable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _scatter
from ._errors import InputError, InputTypeError

# Rows per piece: large enough that the per-piece overhead vanishes, small enough that the
# piece's temporaries (a few arrays of 4 or 8 bytes a row) stay near 10 MB.
PIECE = 1 << 20
_NS_PER = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
_DAY_NS = 86_400 * 10**9
_RANGE = "dates must lie between 1677 and 2262 to fit nanosecond timestamps"
# Words of marks (64 cells each) counted at a time, a block per thread.
_COUNT_BLOCK = 1 << 17
# A quiet NaN with a payload arithmetic does not produce: "no row has reached this cell",
# in the dask engine's blocks, written to disk piece by piece (_cli_dask_long).
_EMPTY = np.int64(0x7FF8_0DEA_DBEE_F5ED)


@dataclass
class Gathered:
    """The matrix of a long table: funds in order of first appearance, sorted dates (int64
    ns) and values (dates x funds, column-major, NaN where a fund has no row)."""

    funds: list[Any]
    dates: npt.NDArray[np.int64]
    values: npt.NDArray[np.float64]


def arrow() -> Any:
    """pyarrow and pyarrow.compute, or None when pyarrow is not installed."""
    try:  # by name: pyarrow is optional and ships no type information
        importlib.import_module("pyarrow.compute")
    except ImportError:
        return None
    return importlib.import_module("pyarrow")


def _date_text(ns: int) -> str:
    from ._dates import date_text

    return date_text(ns)


# --- the columns as pieces ----------------------------------------------------------------


def _slice(column: Any, lo: int, hi: int, pa: Any) -> Any:
    """Rows lo..hi-1 of a column as one contiguous array, without a copy."""
    if pa is not None and isinstance(column, pa.ChunkedArray):
        piece = column.slice(lo, hi - lo)
        assert piece.num_chunks == 1, "pieces follow the chunks"
        return piece.chunk(0)
    return column[lo:hi]


# --- funds ----------------------------------------------------------------------------


def _first_null(mask: npt.NDArray[np.bool_]) -> int:
    return int(np.argmax(mask))


def _missing_fund(piece: Any, lo: int, where: str, pa: Any) -> None:
    if pa is not None and isinstance(piece, (pa.Array, pa.ChunkedArray)):
        if piece.null_count == 0:
            return
        null = np.asarray(piece.is_null())
    else:
        null = _missing(piece)
        if not null.any():
            return
    row = lo + _first_null(null)
    raise InputError(f"{where} holds a missing fund at row {row}", rows=(row,))


def _missing(values: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """None or NaN in a NumPy column of labels."""
    if values.dtype.kind == "f":
        return np.asarray(np.isnan(values), dtype=np.bool_)
    if values.dtype.kind == "O":
        return np.fromiter((v is None or v != v for v in values), bool, count=len(values))
    return np.zeros(len(values), bool)


@dataclass
class _Encoded:
    """A piece's distinct labels in order of first appearance, and where each row's label
    is among them: `codes`, or for a dictionary column `entries` (the label of each
    dictionary entry; the rows' own indices say which entry)."""

    labels: list[Any]
    codes: Optional[npt.NDArray[np.int32]] = None
    entries: Optional[npt.NDArray[np.int32]] = None

    def numbers(self, piece: Any, lut: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Each row's value of lut, given by the piece's labels."""
        codes, values = self.codes_of(piece, lut)
        return np.take(values, codes)

    def codes_of(
        self, piece: Any, lut: npt.NDArray[np.int64]
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64]]:
        """Each row's code (int32 or int64) and the value of lut for each code."""
        if self.entries is not None:
            codes = np.asarray(piece.indices)
            if codes.dtype not in (np.int32, np.int64):
                codes = codes.astype(np.int32)
            return codes, lut[self.entries]
        assert self.codes is not None
        return self.codes, lut


def _encode_funds(piece: Any, pa: Any) -> _Encoded:
    """A piece's distinct labels in order of first appearance and each row's index among
    them."""
    if pa is not None:
        if pa.types.is_dictionary(piece.type):
            # The column's own indices: only the entries used, in order of first use.
            used = pa.array(
                first_seen(np.asarray(piece.indices), pa, len(piece.dictionary)), pa.int32()
            )
            entries = np.full(len(piece.dictionary), -1, np.int32)
            entries[np.asarray(used)] = np.arange(len(used), dtype=np.int32)
            labels = piece.dictionary.take(used).to_pylist()
            if any(label is None for label in labels):
                raise _NullEntry(int(np.asarray(used)[labels.index(None)]))
            return _Encoded(labels, entries=entries)
        encoded = pa.compute.dictionary_encode(piece)
        return _Encoded(encoded.dictionary.to_pylist(), np.asarray(encoded.indices))
    if piece.dtype.kind == "O":
        numbers: dict[Hashable, int] = {}
        codes = np.fromiter(
            (numbers.setdefault(v, len(numbers)) for v in piece.tolist()),
            np.int32,
            count=len(piece),
        )
        return _Encoded(list(numbers), codes)
    distinct, first, inverse = np.unique(piece, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty(len(order), np.int32)
    rank[order] = np.arange(len(order), dtype=np.int32)
    return _Encoded(distinct[order].tolist(), rank[inverse.reshape(-1)])


class _NullEntry(Exception):
    """A dictionary column whose used entry at this index is null."""

    def __init__(self, entry: int) -> None:
        self.entry = entry


# --- dates ----------------------------------------------------------------------------


def _physical(piece: Any, pa: Any, where: str = "") -> tuple[npt.NDArray[Any], int]:
    """A piece of dates as NumPy integers in their own unit and nanoseconds per unit."""
    if pa is None:
        return np.asarray(piece), 1  # int64 nanoseconds already
    kind = piece.type
    if pa.types.is_timestamp(kind):
        factor = _NS_PER[kind.unit]
        raw = piece.view(pa.int64())
    elif pa.types.is_date32(kind):
        factor = _DAY_NS
        raw = piece.view(pa.int32())
    elif pa.types.is_date64(kind):
        factor = _NS_PER["ms"]
        raw = piece.view(pa.int64())
    else:
        raise InputTypeError(f"{where} must hold dates or datetimes, not {kind}")
    return raw.to_numpy(zero_copy_only=False), factor


def _check_dates(piece: Any, lo: int, where: str, pa: Any) -> None:
    if pa is not None and isinstance(piece, pa.Array) and piece.null_count:
        row = lo + _first_null(np.asarray(piece.is_null()))
        raise InputError(f"{where} holds a missing date at row {row}", rows=(row,))


def _distinct(raw: npt.NDArray[Any], pa: Any) -> npt.NDArray[Any]:
    """The distinct values of a piece of dates (in any order): marked over their span
    when it is short (days, business days), else hashed."""
    if raw.dtype in (np.int32, np.int64):
        seen = _scatter.distinct_days(raw, 4 * len(raw) + 1025)
        if seen is not None:
            return seen
    if pa is not None:
        return np.asarray(pa.compute.unique(pa.array(raw)))
    return np.unique(raw)


def runs(index: npt.NDArray[Any]) -> Optional[tuple[npt.NDArray[Any], npt.NDArray[np.intp]]]:
    """The value and length of each run of equal values, in order (one comparison pass);
    None when runs are short (rows not grouped by fund), where hashing every row costs
    less than listing them."""
    starts = np.flatnonzero(index[1:] != index[:-1]) + 1
    if len(starts) >= len(index) // 8:
        return None
    edges = np.r_[0, starts, len(index)]
    return index[edges[:-1]], np.diff(edges)


def first_seen(index: npt.NDArray[Any], pa: Any, size: Optional[int] = None) -> list[int]:
    """The distinct values of an integer array (a dictionary column's indices, each below
    size when it is given) in order of first appearance: in one pass over a table of marks
    for int32 and int64 indices, else from its runs when rows come grouped, or by hashing."""
    if index.dtype in (np.int32, np.int64) and len(index):
        if size is None and int(index.min()) >= 0:
            size = int(index.max()) + 1
        if size is not None and size <= 16 * len(index) + (1 << 20):  # marks of a bounded size
            return list(_scatter.first_seen(index, size).tolist())
    found = runs(index) if len(index) else (index, None)
    if found is not None:
        return list(dict.fromkeys(found[0].tolist()))
    if pa is not None:
        return list(np.asarray(pa.compute.unique(pa.array(index))).tolist())
    distinct, first = np.unique(index, return_index=True)
    return list(distinct[np.argsort(first, kind="stable")].tolist())


class _DateRows:
    """The row of a date among the sorted distinct dates: a table over the dates' grid
    where they lie on one (days, business days, month ends in days), else a hash lookup
    (or a binary search without pyarrow)."""

    def __init__(self, distinct: npt.NDArray[Any], pa: Any) -> None:
        self.pa = pa
        self.distinct = distinct
        self.first = int(distinct[0]) if len(distinct) else 0
        self.table: Optional[npt.NDArray[np.int32]] = None
        self.step = 1
        if len(distinct) > 1 and int(distinct[-1]) - int(distinct[0]) < 2**62:
            step = int(np.gcd.reduce(np.diff(distinct)))
            span = (int(distinct[-1]) - int(distinct[0])) // step + 1
            if span <= 8 * len(distinct) + 1024:
                self.step = step
                self.table = np.full(span, -1, np.int32)
                self.table[(distinct - self.first) // step] = np.arange(
                    len(distinct), dtype=np.int32
                )

    def __call__(self, raw: npt.NDArray[Any]) -> npt.NDArray[Any]:
        if self.table is not None:
            offset = raw - self.first
            if self.step != 1:
                offset //= self.step
            return np.take(self.table, offset)
        if self.pa is not None:
            rows = self.pa.compute.index_in(
                self.pa.array(raw), value_set=self.pa.array(self.distinct)
            )
            return np.asarray(rows)
        return np.searchsorted(self.distinct, raw)


# --- values ---------------------------------------------------------------------------


def _floats(piece: Any, pa: Any) -> tuple[npt.NDArray[np.float64], Optional[npt.NDArray[Any]]]:
    """A piece of values as float64 (a view of an Arrow float64 column's buffer), and the
    positions of its missing values, if any (their slots in the buffer hold anything)."""
    data, valid, _ = _float_bits(piece, pa)
    if valid is None:
        return data, None
    return data, np.flatnonzero(np.asarray(piece.is_null()))


def _float_bits(
    piece: Any, pa: Any
) -> tuple[npt.NDArray[np.float64], Optional[npt.NDArray[np.uint8]], int]:
    """A piece of values as float64 (as _floats), and when some are missing Arrow's validity
    bitmap of them, with the bit of the piece's first value."""
    if pa is None:
        return np.asarray(piece, dtype=np.float64), None, 0
    if not pa.types.is_float64(piece.type):
        piece = piece.cast(pa.float64())
    data = np.frombuffer(piece.buffers()[1], np.float64, len(piece), piece.offset * 8)
    if piece.null_count == 0:
        return data, None, 0
    return data, np.frombuffer(piece.buffers()[0], np.uint8), piece.offset


# --- the gather -----------------------------------------------------------------------


def gather(
    funds: Any,
    dates: Any,
    values: Any,
    *,
    fund_column: str = "fund",
    date_column: str = "date",
    threads: Optional[int] = None,
    labels: Optional[Sequence[Any]] = None,
    axis: Optional[npt.NDArray[np.int64]] = None,
    rows_named: bool = True,
    names: Optional[Sequence[Any]] = None,
) -> Gathered:
    """A long table's columns as a matrix (see the module's description).

    funds: labels (Arrow array of any type, dictionary-encoded or not, or NumPy);
    dates: an Arrow date or timestamp array, or NumPy int64 nanoseconds (checked);
    values: an Arrow or NumPy array of numbers, missing values as null or NaN.
    The column names only serve the messages. threads: pieces worked on at once
    (default: one per core); the result is the same for any number.

    A part of a larger table (a block of its funds) is laid out as the whole would be:
    labels gives the funds in their order (every row's fund among them) and axis the
    sorted dates in nanoseconds (every row's date among them); rows_named=False leaves row
    numbers, which mean nothing in a part, out of messages; names: how messages name the
    funds of labels (when labels are numbers standing for them).
    """
    pa = arrow()
    if pa is not None:  # one road: NumPy columns become Arrow arrays (numbers: no copy)
        if not isinstance(dates, (pa.Array, pa.ChunkedArray)):
            dates = pa.array(np.asarray(dates, dtype=np.int64)).view(pa.timestamp("ns"))
        funds, values = (
            c if isinstance(c, (pa.Array, pa.ChunkedArray)) else pa.array(c, from_pandas=True)
            for c in (funds, values)
        )
    n = len(funds)
    if not len(dates) == n == len(values):
        raise InputError("the fund, date and value columns differ in length")
    table = _Columns(funds, dates, values, pa, fund_column, date_column)
    workers = min(threads or os.cpu_count() or 1, len(table.pieces))
    with ThreadPoolExecutor(max(workers, 1)) as pool:

        def each(fn: Callable[[Any], Any], items: Sequence[Any]) -> list[Any]:
            # In order; the first piece's error is the one raised.
            return list(pool.map(fn, items)) if workers > 1 else [fn(i) for i in items]

        # 1. Numbering: funds in order of first appearance, distinct dates.
        surveys = each(table.survey, range(len(table.pieces)))
        known: dict[Hashable, int] = {} if labels is None else {f: i for i, f in enumerate(labels)}
        expected = len(known)
        luts = [_number(known, found.labels) for found, _ in surveys]
        if labels is not None and len(known) != expected:
            raise InputError(f"{table.fund_where} holds funds beyond the {expected} given")
        labels = list(known)
        days = [d for _, d in surveys]
        distinct = _union(days)
        del surveys, days
        if axis is not None:
            distinct = table.on_axis(distinct, axis)
        date_ns = table.dates_ns(distinct)
        table.row_of = _DateRows(distinct, pa)

        # 2. The scatter, marking the cells reached.
        rows, cols = len(distinct), len(labels)
        cells = rows * cols
        flat = _scatter.fresh(cells)  # in small pages: see fresh
        words = (cells + 63) // 64
        marks = [np.zeros(words, np.uint64) for _ in range(max(workers, 1))]
        free = marks.copy()  # a piece at work holds one marks of its own

        def scatter(i: int) -> None:
            own = free.pop()
            try:
                table.scatter(i, luts[i], rows, flat, own)
            finally:
                free.append(own)

        each(scatter, range(len(table.pieces)))

        # 3. Duplicates: count the cells any worker marked; the others become NaN.
        for other in marks[1:]:
            np.bitwise_or(marks[0], other, out=marks[0])
        blocks = range(0, words, _COUNT_BLOCK)
        full = sum(
            each(lambda a: _scatter.settle(flat, marks[0], a, min(a + _COUNT_BLOCK, words)), blocks)
        )
    if full != n:
        shown = labels if names is None else list(names)
        _settle(table, luts, rows, shown, date_ns, rows_named)
    matrix = flat.reshape(cols, rows).T  # column-major view, no copy
    return Gathered(labels, date_ns, matrix)


def _unmark(block: npt.NDArray[np.float64]) -> int:
    """How many cells of the block no row reached (marked _EMPTY); they become plain NaN."""
    mask = block.view(np.int64) == _EMPTY
    np.copyto(block, np.nan, where=mask)
    return int(np.count_nonzero(mask))


def _union(days: list[npt.NDArray[Any]]) -> npt.NDArray[Any]:
    """The sorted distinct dates of all pieces, from each piece's own: pieces mostly hold
    the same dates, and a run of pieces with equal ones is hashed once."""
    if not days:
        return np.empty(0, np.int64)
    kept = [days[0]]
    for d in days[1:]:
        if not (len(d) == len(kept[-1]) and np.array_equal(d, kept[-1])):
            kept.append(d)
    return np.unique(np.concatenate(kept))


def _number(known: dict[Hashable, int], labels: list[Any]) -> npt.NDArray[np.int64]:
    """The numbers of a piece's distinct labels, new labels numbered on."""
    return np.fromiter(
        (known.setdefault(label, len(known)) for label in labels), np.int64, count=len(labels)
    )


class _Columns:
    """The three columns, cut into pieces that split no chunk of any column and hold at
    most PIECE rows, and the work done on each piece."""

    def __init__(
        self, funds: Any, dates: Any, values: Any, pa: Any, fund_name: str, date_name: str
    ) -> None:
        self.funds, self.dates, self.values, self.pa = funds, dates, values, pa
        self.fund_where = f"the fund column {fund_name!r}"
        self.date_where = f"the date column {date_name!r}"
        self.row_of: Optional[_DateRows] = None
        self.factor = 1
        cuts = {0, len(funds)}
        for column in (funds, dates, values):
            if pa is not None and isinstance(column, pa.ChunkedArray):
                cuts.update(np.cumsum([len(c) for c in column.chunks]).tolist())
        edges = sorted(cuts)
        self.pieces = [
            (a, min(a + PIECE, hi))
            for lo, hi in zip(edges[:-1], edges[1:])
            for a in range(lo, hi, PIECE)
        ]
        self.found: list[Optional[_Encoded]] = [None] * len(self.pieces)

    def _slice(self, column: Any, i: int) -> Any:
        lo, hi = self.pieces[i]
        return _slice(column, lo, hi, self.pa)

    def survey(self, i: int) -> tuple[_Encoded, npt.NDArray[Any]]:
        """A piece's funds (encoded; kept for the scatter) and its distinct dates."""
        lo = self.pieces[i][0]
        found = self.funds_of(i)
        self.found[i] = found
        day = self._slice(self.dates, i)
        _check_dates(day, lo, self.date_where, self.pa)
        raw, self.factor = _physical(day, self.pa, self.date_where)
        return found, _distinct(raw, self.pa)

    def funds_of(self, i: int) -> _Encoded:
        lo = self.pieces[i][0]
        piece = self._slice(self.funds, i)
        _missing_fund(piece, lo, self.fund_where, self.pa)
        try:
            return _encode_funds(piece, self.pa)
        except _NullEntry as null:
            row = lo + int(np.argmax(np.asarray(piece.indices) == null.entry))
            raise InputError(
                f"{self.fund_where} holds a missing fund at row {row}", rows=(row,)
            ) from None

    def cells(self, i: int, lut: npt.NDArray[np.int64], rows: int) -> npt.NDArray[np.int64]:
        """The cell of each row of a piece in the flat column-major matrix."""
        assert self.row_of is not None
        found = self.found[i] or self.funds_of(i)
        cell = found.numbers(self._slice(self.funds, i), lut * rows)
        cell += self.row_of(_physical(self._slice(self.dates, i), self.pa)[0])
        return cell

    def scatter(
        self,
        i: int,
        lut: npt.NDArray[np.int64],
        rows: int,
        flat: npt.NDArray[np.float64],
        marks: npt.NDArray[np.uint64],
    ) -> None:
        """A piece's rows written into the matrix, their cells marked in marks."""
        row_of = self.row_of
        assert row_of is not None
        found = self.found[i] or self.funds_of(i)
        self.found[i] = None  # a plain column's codes: no longer needed
        codes, offset = found.codes_of(self._slice(self.funds, i), lut * rows)
        days = _physical(self._slice(self.dates, i), self.pa)[0]
        if row_of.table is None:  # rows looked up by hashing
            days = row_of(days)
            if days.dtype not in (np.int32, np.int64):
                days = days.astype(np.int64)
        data, valid, valid_at = _float_bits(self._slice(self.values, i), self.pa)
        _scatter.scatter(
            codes, offset, days, rows, row_of.table, int(row_of.first), row_of.step,
            data, valid, valid_at, flat, marks,
        )  # fmt: skip

    def on_axis(self, distinct: npt.NDArray[Any], axis: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
        """The given dates in the unit of the column, checked to hold every row's date."""
        raw = np.asarray(axis, dtype=np.int64) // self.factor
        if len(distinct):
            raw = raw.astype(distinct.dtype)
        if not np.isin(distinct, raw).all():
            raise InputError(f"{self.date_where} holds dates beyond those given")
        return raw

    def dates_ns(self, distinct: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """The sorted distinct dates in nanoseconds; a date that does not fit is an error
        naming its first row."""
        values = distinct.astype(np.int64)
        factor = self.factor
        if factor == 1:
            return values
        limit = np.iinfo(np.int64).max // factor
        if len(values) and (values[-1] > limit or values[0] < -limit):
            for i, (lo, _) in enumerate(self.pieces):
                raw = _physical(self._slice(self.dates, i), self.pa)[0]
                outside = np.flatnonzero((raw > limit) | (raw < -limit))
                if outside.size:
                    row = int(outside[0])
                    shown = self._slice(self.dates, i)[row]
                    raise InputError(f"{_RANGE}: {self.date_where} holds {shown} at row {lo + row}")
        return values * factor


def _settle(
    table: _Columns,
    luts: list[npt.NDArray[np.int64]],
    rows: int,
    labels: list[Any],
    date_ns: npt.NDArray[np.int64],
    rows_named: bool,
) -> None:
    """The slow road, taken when the rows reached fewer cells than there are rows: name the
    first duplicate (by fund, then date; its first two rows)."""
    cell = np.concatenate(
        [table.cells(i, lut, rows) for i, lut in enumerate(luts)] or [np.empty(0, np.int64)]
    )
    order = np.argsort(cell, kind="stable")
    same = np.flatnonzero(cell[order][1:] == cell[order][:-1])
    if same.size:
        first, second = int(order[same[0]]), int(order[same[0] + 1])
        fund, row = labels[int(cell[first]) // rows], int(cell[first]) % rows
        numbers = f" (rows {first} and {second})" if rows_named else ""
        raise InputError(
            f"fund {fund!r} has two rows for {_date_text(int(date_ns[row]))}{numbers}",
            rows=(first, second) if rows_named else (),
        )
    raise AssertionError("the rows reached fewer cells than there are rows, but no two share one")
