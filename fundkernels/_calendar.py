"""Each fund on its own calendar: its rows are the dates on which it has a value.

A panel lays every fund on the union of all dates, so a date a fund never traded (a
holiday of its exchange that another fund's exchange trades, the months after a fund stopped
reporting) is a row with a missing value for it, and by the modules' rules a missing row
inside a drawdown is a drawdown row and ends a run. ``own_columns`` gives each fund, bit
for bit, what the indicator gives for that fund alone: the matrix of its own values and the
vector of its own dates, whatever other funds share the panel.

Missing values before a fund's first value change no indicator (the compounded value
waits at 1.0, no run or drawdown starts). troughmend (its details too), extremeset and
streakset run once on the panel's rows through their variants that leave each fund's rows
without a value out of its state (fundkernels._ownrows): result rows are the panel's, so
their dates are the fund's own. horizonret reads the dates themselves: it runs once on the
panel's rows through its variant that takes each fund's own rows (fundkernels._ownhorizon).
The summary skips missing values and names only rows holding values, so the panel's call
serves it but for the periods per year it tells from each fund's own dates. Any other
indicator runs once per group of funds with exactly the same dates.

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
from ._panel import Columns, Dates, Matrix, navs_to_returns
from ._registry import INDICATORS
from ._summary_columns import (
    check_periods,
    check_risk_free,
    median_spacing,
    periods_from_spacing,
    summary_at,
)

# The indicators whose own-rows variants walk the panel in place (fundkernels._ownrows).
_OWN_ROWS = frozenset({"troughmend", "drawdown", "extremeset", "streakset"})

CALENDARS = ("own", "panel")

# Doubles per block of columns whose holes are listed: a buffer of about 4 MiB, written and
# read while in the cache.
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
    returns: Optional[Matrix] = None,
    **options: Any,
) -> Columns:
    """An indicator the registry follows on the own calendar, each fund on its own rows
    (see the module's notes): the
    result of the indicator for each fund alone, in the panel's fund order. navs, owned
    and returns as for compute."""
    if name in _OWN_ROWS:
        # One call, each fund on its own rows: nothing to find beforehand.
        if navs:
            values = navs_to_returns(values, dates, funds, owned, returns)
        return INDICATORS[name].kernel(values, dates, funds, own_rows=True, **options)
    rows = values.shape[0]
    # Only the route by groups of funds counts each column's rows here: horizonret and the
    # summary need only where each column starts and whether it skips a row.
    grouped = name not in {"horizonret", "summary"}
    first, count = _pack.scan(values, counts=grouped)
    if navs:
        values = navs_to_returns(values, dates, funds, owned, returns)
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
    assert dates is not None
    return _by_calendar(name, values, dates, funds, first, count, options)


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
    medians = [median_spacing(np.diff(dates[f:])) if f <= rows - 2 else math.nan for f in starts]
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
