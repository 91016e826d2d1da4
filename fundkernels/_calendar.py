"""Each fund on its own calendar: its rows are the dates on which it has a value.

A panel lays every fund on the union of all dates, so a date a fund never traded (a
holiday of its exchange that another fund's exchange trades, the months after a fund stopped
reporting) is a row with a missing value for it, and by the modules' rules a missing row
inside a drawdown is a drawdown row and ends a run. ``own_columns`` gives each fund, bit
for bit, what the indicator gives for that fund alone: the matrix of its own values and the
vector of its own dates, whatever other funds share the panel.

Missing values before a fund's first value change no indicator (the compounded value
waits at 1.0, no run or drawdown starts). So a column whose values run without a gap from
its first row to the last row of the panel is already its fund's own calendar, and the
panel's one module call serves it. Every other column is packed (``fundkernels._pack``):
its own values go to the bottom of a column of the panel's height, NaN above them, and the
module runs on those packed columns, block by block through one buffer. Result rows come
back through the rows each packed column skipped (its holes); the modules that report
dates get stand-in dates that number the packed rows, so that their dates can be mapped the
same way. horizonret reads the dates themselves: it runs once on the panel's rows through
its variant that takes each fund's own rows (fundkernels._ownhorizon). The summary skips
missing values and names only rows holding values, so the panel's call serves it but for
the periods per year it tells from each fund's own dates. Any other indicator runs once
per group of funds with exactly the same dates.

NAVs: a fund's own rows are those of its NAVs, the first one included (its return is
missing, as it is for the fund alone), and its return on a row is its NAV there over its
previous own NAV, minus 1 — which the panel's conversion already gives.

Frame-library free: NumPy and the modules only.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable, Iterator, Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _pack
from ._panel import Columns, Dates, Matrix, returns_from_navs
from ._registry import INDICATORS
from ._summary_columns import check_periods, check_risk_free, periods_from_spacing, summary_at

# The indicators run on packed columns with stand-in dates: their dates only name result
# rows. Of those, the ones whose dates are calendar days (eight-digit texts in the modules)
# rather than the rows' own timestamps. horizonret (which reads the dates to end its
# horizons) and the summary have routes of their own; any other indicator that follows each
# fund through its own dates runs once per group of funds on the same dates.
_PACKED = frozenset({"troughmend", "drawdown", "extremeset", "streakset"})
_DAY_DATES = frozenset({"extremeset", "streakset"})

CALENDARS = ("own", "panel")

_DAY_NS = 86_400 * 10**9
_NAT = np.iinfo(np.int64).min
# Stand-in dates are whole days; those from 1677-09-22 to 2262-04-11 have nanosecond counts.
_FIRST_DAY, _LAST_DAY = -106_751, 106_751
# Doubles per packed block: a buffer of about 4 MiB, written and read while in the cache.
_BLOCK_VALUES = 1 << 19


def check_calendar(calendar: object) -> str:
    if calendar not in CALENDARS:
        raise ValueError(f"calendar must be 'own' or 'panel', not {calendar!r}")
    return str(calendar)


def own_columns(
    name: str,
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    navs: bool = False,
    owned: bool = False,
    **options: Any,
) -> Columns:
    """An indicator the registry follows on the own calendar, each fund on its own rows
    (see the module's notes): the
    result of the indicator for each fund alone, in the panel's fund order. navs and owned
    as for compute."""
    rows = values.shape[0]
    # Only the routes by groups of funds count each column's rows here: the packed
    # indicators count them while packing, horizonret and the summary need only where each
    # column starts and whether it skips a row.
    long = name in _DAY_DATES and rows - 1 + _FIRST_DAY > _LAST_DAY
    grouped = long or name not in _PACKED | {"horizonret", "summary"}
    first, count = _pack.scan(values, counts=grouped)
    if navs:
        values = returns_from_navs(values, dates, funds, in_place=owned)
    moved = np.flatnonzero(count != rows - first)
    adapter = INDICATORS[name].kernel
    if name == "summary":
        assert dates is not None
        return _summaries(values, dates, first, moved, **options)
    if name == "horizonret":
        # One call, each fund on its own rows (fundkernels._ownhorizon).
        gapped = np.zeros(values.shape[1], dtype=bool)
        gapped[moved] = True
        return adapter(values, dates, funds, own_first=first, gapped=gapped, **options)
    if name not in _PACKED:
        assert dates is not None
        return _by_calendar(name, values, dates, funds, first, count, options)
    if moved.size == 0:
        return adapter(values, dates, funds, **options)
    if long:
        # More rows than stand-in days: each group of funds on its own rows and dates.
        assert dates is not None
        return _by_holes(name, values, dates, funds, first, count, moved, options)
    return _packed(name, values, dates, funds, first, options)


def _packed(
    name: str,
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    first: Dates,
    options: dict[str, Any],
) -> Columns:
    """Every column packed to its own rows from its first own row, block after block
    through one buffer that stays in the cache (a column without a gap is copied as it is),
    the module called on each block."""
    adapter = INDICATORS[name].kernel
    rows, cols = values.shape
    # Stand-in dates: packed row k is day k (from 1677 on when the panel is longer than
    # 2262 - 1970 years of days), or k nanoseconds for the row dates of drawdown.
    days = name in _DAY_DATES
    base = 0 if rows <= _LAST_DAY + 1 else _FIRST_DAY
    stand_in = np.arange(rows, dtype=np.int64)
    if days:
        stand_in = (stand_in + base) * _DAY_NS
    width = max(1, min(cols, _BLOCK_VALUES // max(rows, 1)))
    buffer = np.empty((rows, width), order="F")
    parts: list[Columns] = []
    counts, holes_parts = [], []
    for lo in range(0, cols, width):
        hi = min(lo + width, cols)
        out = buffer[:, : hi - lo]
        count, holes, _ = _pack.gather(values, first, lo, hi, out)
        parts.append(adapter(out, stand_in, [funds[c] for c in range(lo, hi)], **options))
        counts.append(count)
        holes_parts.append(holes)
    if not any(p.dtype.kind == "M" for p in parts[0].values()):
        return {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}
    count = np.concatenate(counts)
    holes = np.concatenate(holes_parts)
    offsets = np.concatenate([[0], np.cumsum(rows - first - count)]).astype(np.int64)
    every = np.arange(cols, dtype=np.int64)
    result: Columns = {}
    for key in parts[0]:
        joined = np.concatenate([p[key] for p in parts])
        if joined.dtype.kind == "M":
            joined = _real_dates(
                joined, every, first, count, holes, offsets, rows, dates, days, base
            )
        result[key] = joined
    return result


def _real_dates(
    stand_in: npt.NDArray[np.datetime64],
    cols: npt.NDArray[np.int64],
    first: Dates,
    count: Dates,
    holes: Dates,
    offsets: Dates,
    rows: int,
    dates: Optional[Dates],
    days: bool,
    base: int,
) -> npt.NDArray[np.datetime64]:
    """Stand-in dates of packed rows (one per packed column cols[j]) as the funds' own
    dates: the row's timestamp, or its UTC calendar day."""
    assert dates is not None
    ns = stand_in.view(np.int64)
    have = ns != _NAT
    packed = ns[have] // _DAY_NS - base if days else ns[have]
    j = np.flatnonzero(have)
    row = panel_rows(packed, j, first[cols], count[cols], holes, offsets, rows)
    when = dates[row]
    if days:
        # As the modules' date texts take it: seconds toward zero, then the day, floored.
        seconds = np.where(when < 0, -(-when // 10**9), when // 10**9)
        when = seconds // 86_400 * _DAY_NS
    out = np.full(len(ns), _NAT, dtype=np.int64)
    out[have] = when
    return out.view("M8[ns]")


def panel_rows(
    packed: Dates,
    j: npt.NDArray[np.intp],
    first: Dates,
    count: Dates,
    holes: Dates,
    offsets: Dates,
    rows: int,
) -> Dates:
    """The panel row of packed row packed[q] of packed column j[q]. Column j's own row i
    (counted from its first row) lies i rows after its first row, plus one for every hole
    that comes before it: for hole t of the column, the number of own rows before it is
    holes[t] - first - t, so the holes before own row i are those with at most i own rows
    before them. One search over all columns' holes, each column's keys kept apart."""
    columns = len(offsets) - 1
    seg = np.repeat(np.arange(columns, dtype=np.int64), np.diff(offsets))
    own_before = holes - first[seg] - (np.arange(len(holes)) - offsets[seg])
    span = rows + 1
    keys = seg * span + own_before
    i = packed - (rows - count[j])
    skipped = np.searchsorted(keys, j * span + i, side="right") - offsets[j]
    return np.asarray(first[j] + i + skipped, dtype=np.int64)


def _holes_of(
    values: Matrix, first: Dates, count: Dates, cols: npt.NDArray[np.intp]
) -> tuple[Dates, Dates]:
    """The holes of the columns cols, block by block through one buffer."""
    rows = values.shape[0]
    width = max(1, min(len(cols), _BLOCK_VALUES // max(rows, 1)))
    buffer = np.empty((rows, width), order="F")
    holes_parts = []
    for lo in range(0, len(cols), width):
        block = np.asarray(cols[lo : lo + width], dtype=np.int64)
        _, holes, _ = _pack.pack(values, first, count, block, buffer[:, : len(block)])
        holes_parts.append(holes)
    holes = np.concatenate(holes_parts) if holes_parts else np.empty(0, np.int64)
    skipped = rows - first[cols] - count[cols]
    offsets = np.concatenate([[0], np.cumsum(skipped)]).astype(np.int64)
    return holes, offsets


def _groups(
    values: Matrix, first: Dates, count: Dates, moved: npt.NDArray[np.intp]
) -> list[tuple[Optional[Dates], npt.NDArray[np.intp]]]:
    """The columns in groups that skip the same rows: (the rows skipped, the columns),
    the columns without a gap first (None: they skip nothing)."""
    cols = values.shape[1]
    holes, offsets = _holes_of(values, first, count, moved)
    by_holes: dict[bytes, list[int]] = {}
    skipped: dict[bytes, Dates] = {}
    for j, c in enumerate(moved.tolist()):
        own = holes[offsets[j] : offsets[j + 1]]
        key = own.tobytes()
        by_holes.setdefault(key, []).append(c)
        skipped.setdefault(key, own)
    in_place = np.setdiff1d(np.arange(cols), moved)
    out: list[tuple[Optional[Dates], npt.NDArray[np.intp]]] = []
    if in_place.size:
        out.append((None, in_place))
    out.extend((skipped[k], np.asarray(v, dtype=np.intp)) for k, v in by_holes.items())
    return out


def _by_holes(
    name: str,
    values: Matrix,
    dates: Dates,
    funds: Sequence[Hashable],
    first: Dates,
    count: Dates,
    moved: npt.NDArray[np.intp],
    options: dict[str, Any],
) -> Columns:
    """One module call per group of funds that skip the same rows, on the rows the group
    keeps and their dates. A fund's own rows are the group's rows from its first row on,
    and the group's rows before it are missing values for it, which change nothing."""
    adapter = INDICATORS[name].kernel
    rows, cols = values.shape

    def parts() -> Iterator[tuple[Any, Columns]]:
        for skip, members in _groups(values, first, count, moved):
            if skip is None:
                sub, kept = (values if members.size == cols else values[:, members]), dates
            else:
                keep = np.setdiff1d(np.arange(rows), skip)
                sub, kept = values[np.ix_(keep, members)], dates[keep]
            yield members, adapter(sub, kept, [funds[c] for c in members], **options)

    return _assembled(parts(), cols) or adapter(values, dates, funds, **options)


def _by_calendar(
    name: str,
    values: Matrix,
    dates: Dates,
    funds: Sequence[Hashable],
    first: Dates,
    count: Dates,
    options: dict[str, Any],
) -> Columns:
    """One module call per group of funds with exactly the same own dates, on those rows
    alone: the indicator on each fund alone, for an indicator that may read every date."""
    rows, cols = values.shape
    moved = np.flatnonzero(count != rows - first)
    holes, offsets = _holes_of(values, first, count, moved)
    by_dates: dict[tuple[int, bytes], list[int]] = {}
    where = dict(zip(moved.tolist(), range(len(moved))))
    for c in range(cols):
        j = where.get(c)
        skip = b"" if j is None else holes[offsets[j] : offsets[j + 1]].tobytes()
        by_dates.setdefault((int(first[c]), skip), []).append(c)
    adapter = INDICATORS[name].kernel

    def parts() -> Iterator[tuple[Any, Columns]]:
        for (start, skip), members in by_dates.items():
            own = np.setdiff1d(np.arange(start, rows), np.frombuffer(skip, dtype=np.int64))
            sub = values[np.ix_(own, np.asarray(members, dtype=np.intp))]
            yield members, adapter(sub, dates[own], [funds[c] for c in members], **options)

    return _assembled(parts(), cols) or adapter(values, dates, funds, **options)


def _assembled(parts: Iterable[tuple[Any, Columns]], n: int) -> Optional[Columns]:
    """The results of groups of funds (their column numbers and their columns) put in the
    panel's fund order; None when there was no group (no funds: the caller asks the
    indicator itself for its empty columns)."""
    result: Optional[Columns] = None
    for members, part in parts:
        if result is None:
            result = {k: np.empty(n, dtype=v.dtype) for k, v in part.items()}
        for k, v in part.items():
            result[k][members] = v
    return result


def _summaries(
    values: Matrix,
    dates: Dates,
    first: Dates,
    moved: npt.NDArray[np.intp],
    *,
    periods_per_year: Optional[float],
    risk_free: float,
    types: object,
) -> Columns:
    """The summary on each fund's own rows. Its statistics skip missing values, and the rows
    its drawdown's dates name hold values (or are the starting value's), so on the panel's
    rows each fund gets what it gets alone, but for the periods per year told from the
    dates: a fund's come from the median spacing of its own dates. One call per distinct
    periods per year (daily funds on any exchange share one)."""
    rf = check_risk_free(risk_free)
    given = check_periods(periods_per_year)
    cols = values.shape[1]
    if given is not None or cols == 0:
        return summary_at(values, dates, math.nan if given is None else given, rf)
    rows = values.shape[0]
    spacing = np.full(cols, math.nan)
    # A column without a gap has the panel's dates from its first row on.
    in_place = np.ones(cols, dtype=bool)
    in_place[moved] = False
    starts, where = np.unique(first[in_place], return_inverse=True)
    medians = [np.median(np.diff(dates[f:])) if f <= rows - 2 else math.nan for f in starts]
    spacing[in_place] = np.asarray(medians, dtype=np.float64)[where]
    spacing[moved] = _pack.spacing(values, first, moved.astype(np.int64), dates)
    # Periods per year of each distinct spacing, in fund order: a spacing too short to
    # tell them from refuses as it does for the first such fund alone.
    distinct, at = np.unique(spacing, return_index=True)
    periods = np.full(cols, math.nan)
    for k in np.argsort(at, kind="stable").tolist():
        same = spacing == distinct[k] if not math.isnan(distinct[k]) else np.isnan(spacing)
        periods[same] = periods_from_spacing(float(distinct[k]))

    def parts() -> Iterator[tuple[Any, Columns]]:
        for p in np.unique(periods).tolist():
            members = np.flatnonzero(periods == p if not math.isnan(p) else np.isnan(periods))
            sub = values if members.size == cols else values[:, members]
            yield members, summary_at(sub, dates, p, rf)

    result = _assembled(parts(), cols)
    assert result is not None
    return result
