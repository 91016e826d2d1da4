"""Cells written as text, as the command reads them: dates and numbers.

With ``--date-format`` every date is read by that format (strptime codes). Without it the
first date of a column decides its form, among those that can only mean one day: ISO dates
(with or without a time and a UTC offset), ``YYYYMMDD``, ``YYYY/MM/DD``, ``YYYYMM`` (the
month's first day), and month names (``Jan 1 2000``, ``January 1, 2000``, ``1 Jan 2000``,
``01-Jan-2000``). A date such as ``01/02/2020`` may be the first of February or the second
of January: its order is never guessed, the message says which format to give.

Numbers written as text (a column that a reader could not take as numbers, or one of text
in a Parquet file or a query's result) are read with the missing-value markers as missing;
the first cell that is no number is named with its line.
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Callable, Sequence
from typing import Any, Optional

from ._arrow_numpy import timestamps_ns
from ._errors import CommandError

_MONTH = r"[A-Za-z]{3,9}\.?"
# (pattern of the first date, the formats tried in order; None: ISO, read by Arrow's cast)
_FORMS: list[tuple[re.Pattern[str], tuple[Optional[str], ...]]] = [
    (re.compile(r"\d{4}-\d{1,2}-\d{1,2}([T ].*)?"), (None,)),
    (re.compile(r"\d{8}"), ("%Y%m%d",)),
    (re.compile(r"\d{6}"), ("%Y%m",)),
    (re.compile(r"\d{4}/\d{1,2}/\d{1,2}"), ("%Y/%m/%d",)),
    (re.compile(_MONTH + r" \d{1,2},? \d{4}"), ("%b %d %Y", "%B %d %Y", "%b %d, %Y", "%B %d, %Y")),
    (re.compile(r"\d{1,2} " + _MONTH + r" \d{4}"), ("%d %b %Y", "%d %B %Y")),
    (re.compile(r"\d{1,2}-" + _MONTH + r"-\d{4}"), ("%d-%b-%Y", "%d-%B-%Y")),
]
_DAY_MONTH = re.compile(r"\d{1,2}([/.-])\d{1,2}\1\d{2}(\d{2})?")


def parse_dates(
    col: Any, fmt: Optional[str], column: str, place: Callable[[int], str], pa: Any
) -> Any:
    """A column of dates (text, integers such as 20240131, dates or timestamps of any unit)
    as timestamps[ns]: naive ones are UTC, zoned ones keep their zone.

    column names the date column and place(i) the i-th row of the piece being read (its
    file and line) for the messages."""
    if isinstance(col, pa.ChunkedArray):
        col = col.combine_chunks()
    if col.null_count:
        row = _first_true(_compute().is_null(col))
        raise CommandError(f"{place(row)}: the date column {column!r} has no date")
    if pa.types.is_date(col.type) or pa.types.is_timestamp(col.type):
        stamps = timestamps_ns(col, pa)
        if stamps is not None:
            return stamps
        try:
            return col.cast(pa.timestamp("ns", tz=getattr(col.type, "tz", None)))
        except pa.ArrowInvalid as exc:
            raise CommandError(
                f"the dates in column {column!r} must lie between 1677 and 2262: {exc}"
            ) from None
    if pa.types.is_integer(col.type):
        col = col.cast(pa.string())
    if not (pa.types.is_string(col.type) or pa.types.is_large_string(col.type)):
        raise CommandError(f"{place(0)}: the date column {column!r} holds {col.type}, not dates")
    col = _compute().utf8_trim_whitespace(col)
    if len(col) == 0:
        return col.cast(pa.timestamp("ns"))
    if fmt is not None:
        return _strptime(col, (fmt,), column, place, pa, f"--date-format {fmt}")
    first = str(col[0])
    for pattern, formats in _FORMS:
        if pattern.fullmatch(first):
            return _strptime(col, formats, column, place, pa, None)
    hint = "; give its format with --date-format, for example --date-format %Y-%m-%d"
    match = _DAY_MONTH.fullmatch(first)
    if match:
        sep, year = match.group(1), "%Y" if match.group(2) else "%y"
        hint = (
            f": the order of day and month is not guessed, give --date-format"
            f" %m{sep}%d{sep}{year} (month first) or %d{sep}%m{sep}{year} (day first)"
        )
    raise CommandError(f"{place(0)}: cannot tell the date {first!r} in column {column!r}{hint}")


def _strptime(
    col: Any,
    formats: tuple[Optional[str], ...],
    column: str,
    place: Callable[[int], str],
    pa: Any,
    given: Optional[str],
) -> Any:
    """The column read by the first format that reads all of it; else the first date that
    none reads, named."""
    pc = _compute()
    best, best_bad = None, -1
    for fmt in formats:
        if fmt is None:
            out = _iso(col, pa)
        else:
            out = pc.strptime(col, format=fmt, unit="ns", error_is_null=True)
            if pa.types.is_timestamp(out.type) and out.type.tz is not None:
                out = out.cast(pa.timestamp("ns", tz="UTC")).cast(pa.timestamp("ns"))
        if out is not None and out.null_count == 0:
            return out
        if out is not None:
            bad = _first_true(pc.is_null(out))
            if bad > best_bad:
                best, best_bad = out, bad
    row = best_bad if best is not None else 0
    text = str(col[row])
    form = given or f"the form of {str(col[0])!r} on the first row"
    raise CommandError(
        f"{place(row)}: cannot read the date {text!r} in column {column!r} by {form}"
        + ("" if given else "; give its format with --date-format")
    )


def _iso(col: Any, pa: Any) -> Any:
    """ISO dates and times; with a UTC offset taken to UTC. None: not all of them read."""
    for kind in (pa.timestamp("ns"), pa.timestamp("ns", tz="UTC")):
        try:
            out = _compute().cast(col, kind)
        except pa.ArrowInvalid as exc:
            if "out of bounds" in str(exc):
                raise CommandError(
                    f"the dates must lie between 1677 and 2262 (nanosecond timestamps): {exc}"
                ) from None
            continue
        return out.cast(pa.timestamp("ns")) if kind.tz else out
    # Which row fails: read one by one (only on the way to an error).
    ok = [_iso_ok(v, pa) for v in col.to_pylist()]
    return pa.array([0 if good else None for good in ok], pa.timestamp("ns"))


def _iso_ok(text: str, pa: Any) -> bool:
    arr = pa.array([text])
    for kind in (pa.timestamp("ns"), pa.timestamp("ns", tz="UTC")):
        try:
            _compute().cast(arr, kind)
            return True
        except pa.ArrowInvalid:
            continue
    return False


def is_number(kind: Any, pa: Any) -> bool:
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_null(kind))


def parse_numbers(
    col: Any, na_values: Sequence[str], column: str, place: Callable[[int], str], pa: Any
) -> Any:
    """A column of text (or other cells) as float64, the missing-value markers as missing;
    else the first cell that is not a number, named."""
    pc = _compute()
    if isinstance(col, pa.ChunkedArray):
        col = col.combine_chunks()
    if pa.types.is_decimal(col.type) or pa.types.is_boolean(col.type):
        return col.cast(pa.float64())
    if not (pa.types.is_string(col.type) or pa.types.is_large_string(col.type)):
        raise CommandError(
            f"{place(0)}: the column {column!r} holds {col.type}, not numbers;"
            " leave it out with --exclude or name the funds with --funds"
        )
    text = pc.utf8_trim_whitespace(col)
    markers = pa.array(list(na_values), pa.string())
    text = pc.if_else(pc.is_in(text, value_set=markers), None, text)
    try:
        return text.cast(pa.float64())
    except pa.ArrowInvalid:
        pass
    for row, cell in enumerate(text.to_pylist()):
        if cell is None:
            continue
        try:
            float(cell)
        except ValueError:
            raise CommandError(
                f"{place(row)}: {cell!r} in column {column!r} is not a number (for a"
                " missing value see --na-values; for a column that is no fund, --exclude)"
            ) from None
    raise CommandError(f"{place(0)}: the column {column!r} is not numbers")


def _compute() -> Any:
    """pyarrow's compute module, loaded by the first reading that needs it."""
    return importlib.import_module("pyarrow.compute")


def _first_true(mask: Any) -> int:
    import numpy as np

    return int(np.argmax(np.asarray(mask.to_numpy(zero_copy_only=False), dtype=bool)))
