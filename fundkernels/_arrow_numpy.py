"""Arrow columns to NumPy and back through their buffers.

pyarrow's own conversions (``Array.to_numpy``, ``ChunkedArray.to_numpy``, ``pa.array`` of a
NumPy array or a list) go through its pandas layer, which imports pandas on first use when it
is installed: a quarter to half a second of every run of the command, for columns whose
values are already laid out as NumPy lays them out. These read and write the buffers
directly and fall back on pyarrow's conversions for anything else, so the values are the
same either way: NaN stays a value (never turned into a null), nulls of a float or integer
column read as NaN as pyarrow gives them.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._dates import check_ascending, date_text, datetimes_ns
from ._panel import Dates, Matrix, unique_labels

# Arrow's integer and float types by name: columns NumPy takes as numbers.
PLAIN = frozenset(f"{k}{b}" for k in ("int", "uint") for b in (8, 16, 32, 64)).union(
    {"float", "double"}
)


def _dtype(kind: Any, pa: Any) -> Optional[np.dtype[Any]]:
    """The NumPy type of an Arrow type's values buffer; None when it has no such buffer
    (booleans are bits, text has offsets) or is not one of these."""
    t = pa.types
    size = kind.bit_width // 8 if t.is_primitive(kind) and not t.is_boolean(kind) else 0
    if t.is_floating(kind):
        return np.dtype(f"f{size}")
    if t.is_signed_integer(kind):
        return np.dtype(f"i{size}")
    if t.is_unsigned_integer(kind):
        return np.dtype(f"u{size}")
    if t.is_timestamp(kind) or t.is_date(kind) or t.is_duration(kind) or t.is_time(kind):
        return np.dtype(f"i{size}")  # their integer counts
    return None


def _valid(chunk: Any) -> npt.NDArray[np.bool_]:
    bits = np.frombuffer(chunk.buffers()[0], dtype=np.uint8)
    start, n = chunk.offset, len(chunk)
    return np.unpackbits(bits, count=start + n, bitorder="little")[start:].astype(bool)


def numbers(column: Any, pa: Any) -> npt.NDArray[Any]:
    """An Arrow array or chunked array of numbers as NumPy: integers and floats as their own
    type, dates, times and timestamps as their integer counts; with nulls, floats and
    integers as float64 with NaN for each null. Anything else as pyarrow converts it. A
    single chunk without nulls is a read-only view of its buffer, else a new array."""
    dtype = _dtype(column.type, pa)
    if dtype is None or (column.null_count and dtype.kind not in "iuf"):
        return np.asarray(column.to_numpy(zero_copy_only=False))
    if isinstance(column, pa.ChunkedArray):
        # Many chunks (a CSV file's blocks) joined by Arrow at once rather than one by one
        # here, where each would cost its own few microseconds of Python.
        if column.num_chunks == 0:
            return np.empty(0, dtype=dtype)
        column = column.combine_chunks() if column.num_chunks > 1 else column.chunk(0)
    n = len(column)
    if not n:
        return np.empty(0, dtype=dtype)
    data = column.buffers()[1]
    out = np.frombuffer(data, dtype=dtype, count=n, offset=column.offset * dtype.itemsize)
    if column.null_count:
        out = out.astype(np.float64)
        out[~_valid(column)] = np.nan
    return out


def arrow_array(values: Any, pa: Any) -> Any:
    """A NumPy array of numbers, datetime64[D] dates (NaT a null date) or a list of text as
    an Arrow array: numbers and dates on a copy-free view of their buffer where NumPy lays
    them out as Arrow does, text packed into Arrow's offsets and bytes; anything else (a
    list holding something other than text, bytes that are not UTF-8) by pa.array. NaN
    stays a value."""
    if isinstance(values, np.ndarray):
        if values.dtype.kind in "iuf" and values.dtype.byteorder in "=|":
            data = np.ascontiguousarray(values)
            kind = pa.from_numpy_dtype(data.dtype)
            return pa.Array.from_buffers(kind, len(data), [None, pa.py_buffer(data)])
        if values.dtype == np.dtype("M8[D]"):
            missing = np.isnat(values)
            days = values.view(np.int64).astype(np.int32)
            valid = None
            if missing.any():
                days[missing] = 0
                valid = pa.py_buffer(np.packbits(~missing, bitorder="little"))
            return pa.Array.from_buffers(
                pa.date32(), len(days), [valid, pa.py_buffer(days)], int(missing.sum())
            )
        if values.dtype.kind == "M":
            return pa.array(values, type=pa.date32(), mask=np.isnat(values))
        return pa.array(values)
    items = list(values)
    if not all(type(v) is str for v in items):
        return pa.array(items, type=pa.string())
    try:
        encoded = [v.encode("utf-8") for v in items]
    except UnicodeEncodeError:  # a lone surrogate: pa.array says what it makes of it
        return pa.array(items, type=pa.string())
    ends = np.cumsum([len(b) for b in encoded], dtype=np.int64)
    large = bool(len(ends) and ends[-1] >= 2**31)
    offsets = np.concatenate([np.zeros(1, np.int64), ends]).astype(np.int64 if large else np.int32)
    kind = pa.large_string() if large else pa.string()
    data = pa.py_buffer(b"".join(encoded))
    return pa.Array.from_buffers(kind, len(items), [None, pa.py_buffer(offsets), data])


# Nanoseconds in one count of each unit of Arrow's dates and timestamps.
_NS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}


def timestamps_ns(column: Any, pa: Any) -> Optional[Any]:
    """An array of dates or timestamps without a null as timestamps in ns (a zoned one keeps
    its zone), as Arrow's cast gives them, from their counts: without pyarrow's compute
    module, whose loading costs every run of the command on a Parquet file tens of
    milliseconds. None for a null, another type or a count beyond nanoseconds (the cast
    then says which)."""
    kind = column.type
    if column.null_count:
        return None
    if pa.types.is_timestamp(kind):
        factor, zone = _NS[kind.unit], kind.tz
    elif pa.types.is_date32(kind):
        factor, zone = 86_400 * 10**9, None
    elif pa.types.is_date64(kind):
        factor, zone = _NS["ms"], None
    else:
        return None
    counts = numbers(column, pa).astype(np.int64)
    limit = np.iinfo(np.int64).max // factor
    if counts.size and (counts.max() > limit or counts.min() < -limit):
        return None
    ns = counts * factor
    return pa.Array.from_buffers(pa.timestamp("ns", tz=zone), len(ns), [None, pa.py_buffer(ns)])


def timestamps(column: Any, pa: Any) -> Optional[npt.NDArray[np.datetime64]]:
    """A column of timestamps without a null as datetime64 of its unit (a zoned one as its
    instants, which Arrow keeps in UTC); None for any other column."""
    if not pa.types.is_timestamp(column.type) or column.null_count:
        return None
    return numbers(column, pa).view(f"M8[{column.type.unit}]")


def arrow_matrix(table: Any, pa: Any) -> Matrix:
    """An Arrow table of integer and float columns as a column-major float64 matrix, nulls
    as NaN: by Arrow at once when every column is float64 in one piece, else column by
    column, each one contiguous copy (a row-major stack of them would write every value apart
    from its neighbours; integers become the same doubles either way)."""
    batches = table.to_batches()
    if len(batches) == 1 and all(str(t) == "double" for t in table.schema.types):
        return np.asarray(batches[0].to_tensor(null_to_nan=True, row_major=False))
    out = np.empty((table.num_rows, table.num_columns), order="F")
    for j, column in enumerate(table.columns):
        out[:, j] = numbers(column, pa)
    return out


def wide_arrow(table: Any, date: str, pa: Any) -> Optional[tuple[Matrix, Dates, list[str]]]:
    """A wide Arrow table of timestamps in its date column and integers or floats in every
    other, read by Arrow alone (no frame library): the values (dates x funds, missing values
    as NaN), the dates in ns and the funds. The same checks as a frame's (dates without a
    gap, in order, within nanoseconds; unique labels); None for any other table, which the
    frames' reading takes."""
    names = table.column_names
    if names.count(date) != 1 or len(names) < 2:
        return None
    at = names.index(date)
    types = table.schema.types
    del types[at]
    if not all(str(t) in PLAIN for t in set(types)):
        return None
    stamps = timestamps(table.column(at), pa)
    if stamps is None:
        return None
    dates = datetimes_ns(stamps, f"the date column {date!r}")
    check_ascending(dates, lambda r: date_text(int(dates[r])), "sort the rows by date first")
    funds = names[:at] + names[at + 1 :]
    unique_labels(funds)
    return arrow_matrix(table.remove_column(at), pa), dates, funds
