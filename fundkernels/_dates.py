"""Dates as the front ends take them: int64 nanoseconds since the epoch (UTC), read from
NumPy datetimes or from the caller's own dates (text, date, datetime, timestamp), checked for
order and range, and shown in messages; and what counts as a missing value. NumPy only."""

from __future__ import annotations

import datetime as _dt
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ._errors import InputError, InputTypeError

if TYPE_CHECKING:
    from ._panel import Dates

_NS = {"D": 86_400 * 10**9, "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
RANGE_HINT = "dates must lie between 1677 and 2262 to fit nanosecond timestamps"


def is_missing(x: object) -> bool:
    """None, NaN, NaT and pandas' NA (a list or an array is not missing: it is no scalar)."""
    if x is None:
        return True
    try:
        differs = x != x
    except Exception:  # a type that cannot compare with itself is no missing value
        return False
    if isinstance(differs, (bool, np.bool_)):
        return bool(differs)
    pd = sys.modules.get("pandas")  # pandas' NA compares as NA
    return pd is not None and differs is pd.NA


def date_text(ns: int) -> str:
    """A date for messages: the day alone at midnight, else the time as well (UTC), in the
    coarsest unit that shows it whole."""
    when = np.datetime64(int(ns), "ns")
    for unit in ("D", "s", "ms", "us"):
        coarse = when.astype(f"M8[{unit}]")
        if coarse == when:
            return str(coarse).replace("T", " ")
    return str(when).replace("T", " ")


def check_ascending(ns: Dates, shown: Callable[[int], str], hint: str) -> None:
    """The rows must follow the dates: name the first row that goes back in time."""
    if ns.size > 1:
        down = np.flatnonzero(ns[1:] < ns[:-1])
        if down.size:
            r = int(down[0]) + 1
            raise InputError(
                f"the dates are not in ascending order: row {r} ({shown(r)}) comes after "
                f"row {r - 1} ({shown(r - 1)}); {hint}"
            )


def datetimes_ns(values: npt.NDArray[Any], where: str) -> Dates:
    """A NumPy datetime64 array (any unit, UTC or naive taken as UTC) as int64 nanoseconds;
    NaT and dates that do not fit nanoseconds are errors naming the first such row."""
    kind, _ = np.datetime_data(values.dtype)
    if kind not in _NS:
        raise InputTypeError(f"{where} must hold dates, not {values.dtype}")
    raw = values.view(np.int64)
    nat = raw == np.iinfo(np.int64).min
    if nat.any():
        row = int(np.argmax(nat))
        raise InputError(f"{where} holds a missing date at row {row}", rows=(row,))
    factor = _NS[kind]
    if factor == 1:
        return raw
    limit = np.iinfo(np.int64).max // factor
    outside = (raw > limit) | (raw < -limit)
    if outside.any():
        r = int(np.argmax(outside))
        raise InputError(f"{RANGE_HINT}: row {r} holds {values[r]}")
    return raw * factor


def instant_ns(value: object, what: str) -> Optional[int]:
    """One date given by the caller (ISO text, date, datetime, NumPy or pandas timestamp;
    naive means UTC) as nanoseconds since the epoch; None for a missing date."""
    if is_missing(value):
        return None
    when: Any = value
    try:
        if isinstance(when, str):
            text = when.strip()
            when = _dt.datetime.fromisoformat(text[:-1] + "+00:00" if text[-1:] == "Z" else text)
        if isinstance(when, _dt.datetime):
            if when.tzinfo is not None:
                when = when.astimezone(_dt.timezone.utc).replace(tzinfo=None)
            stamp = np.datetime64(when, "ns")
        elif isinstance(when, _dt.date):
            stamp = np.datetime64(when, "D").astype("M8[ns]")
        elif isinstance(when, np.datetime64):
            stamp = when
        else:
            raise InputError(f"{value!r} is not a date")
        return int(datetimes_ns(np.array([stamp]), what)[0])
    except (TypeError, ValueError, OverflowError) as exc:
        raise InputError(f"{what} must hold dates: {exc}") from None


def row_dates(rows: npt.NDArray[np.int64], dates: Dates) -> npt.NDArray[np.datetime64]:
    """Row numbers as the rows' dates (UTC, datetime64[ns]), -1 as NaT."""
    out = np.full(len(rows), np.datetime64("NaT", "ns"))
    have = rows >= 0
    out[have] = dates[rows[have]].view("M8[ns]")
    return out


def text_dates(texts: Sequence[str]) -> npt.NDArray[np.datetime64]:
    """The modules' eight-digit date texts as datetime64[ns], "nan" as NaT."""
    text = np.asarray(texts, dtype="U8")
    # By their digits at once: one text at a time costs a millisecond per 2000 funds and
    # column, as long as an indicator's whole walk over 2520 dates of them.
    digits = text.view(np.uint32).reshape(len(text), 8).astype(np.int64) - ord("0")
    dated = text != "nan"
    if not ((digits[dated] >= 0) & (digits[dated] <= 9)).all():
        raise ValueError(f"date texts other than eight digits or 'nan': {texts[:5]!r}")
    year = digits[:, :4] @ np.array([1000, 100, 10, 1])
    month = digits[:, 4:6] @ np.array([10, 1])
    day = digits[:, 6:] @ np.array([10, 1])
    out = np.full(len(text), np.datetime64("NaT", "ns"))
    months = (year[dated] - 1970) * 12 + month[dated] - 1
    stamps = months.astype("M8[M]").astype("M8[D]") + (day[dated] - 1).astype("m8[D]")
    out[dated] = stamps.astype("M8[ns]")
    return out
