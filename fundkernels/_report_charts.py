"""The report's charts, drawn in Python as inline SVG: axes with readable ticks, the value
and underwater lines of a few funds on a date axis, and box plots of a column by peer group.

Charts are drawn at the size they are shown (no scaling by the browser), so that their text
keeps its 12 px on a phone too; the page carries a wide and a narrow drawing of each line
chart and shows the one that fits.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from html import escape
from typing import Callable, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

# Distinct hues, told apart in print and by most colour-blind readers.
COLOURS = ("#1f5fa6", "#c0392b", "#2e8b57", "#8e44ad", "#d68910", "#138d90", "#7f5539", "#c2185b")
FONT = 12  # px, every text of every chart


def svg_open(width: float, height: float, label: str) -> str:
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width:g}" height="{height:g}"'
        f' viewBox="0 0 {width:g} {height:g}" role="img" aria-label="{escape(label)}">'
    )


def text(x: float, y: float, body: str, anchor: str = "start", cls: str = "") -> str:
    klass = f' class="{cls}"' if cls else ""
    return f'<text x="{x:.1f}" y="{y:.1f}" text-anchor="{anchor}"{klass}>{escape(body)}</text>'


# --- ticks -----------------------------------------------------------------------------


def nice_step(span: float, target: int) -> float:
    """A step of 1, 2, 2.5 or 5 times a power of ten giving about target steps over span."""
    raw = span / max(target, 1)
    if not raw > 0 or not math.isfinite(raw):
        return 1.0
    mag = 10.0 ** math.floor(math.log10(raw))
    return next(m * mag for m in (1.0, 2.0, 2.5, 5.0, 10.0) if m * mag >= raw * (1 - 1e-9))


def linear_ticks(lo: float, hi: float, target: int = 5) -> list[float]:
    step = nice_step(hi - lo, target)
    first = math.ceil(lo / step - 1e-9)
    last = math.floor(hi / step + 1e-9)
    return [k * step for k in range(first, last + 1)]


def log_ticks(lo: float, hi: float, target: int = 5) -> list[float]:
    """Ticks for a log axis: powers of ten (every few when they are many), with 2 and 5
    between them when few decades are shown; plain linear ticks within one decade."""
    decades = math.log10(hi / lo)
    if decades < 1:
        return [t for t in linear_ticks(lo, hi, target) if t > 0]
    every = max(1, math.ceil(decades / target))
    mantissas = (1.0, 2.0, 5.0) if decades <= 2.5 else (1.0,)
    out = []
    for k in range(math.floor(math.log10(lo)), math.ceil(math.log10(hi)) + 1):
        if k % every:
            continue
        out += [m * 10.0**k for m in mantissas if lo <= m * 10.0**k <= hi]
    return out


def step_format(step: float, percent: bool) -> Callable[[float], str]:
    """Labels with as many decimals as the step needs."""
    scale = 100.0 if percent else 1.0
    s = abs(step) * scale
    decimals = 0 if s >= 1 or s == 0 else min(6, -math.floor(math.log10(s) + 1e-9))
    if s and round(s * 10**decimals) % 1:
        decimals += 1

    def fmt(v: float) -> str:
        v = v * scale
        if abs(v) >= 10000 and not percent:
            return f"{v:,.0f}"
        out = f"{v:.{decimals}f}"
        if out.startswith("-") and float(out) == 0:
            out = out[1:]
        return out + ("%" if percent else "")

    return fmt


def date_ticks(lo: np.datetime64, hi: np.datetime64, most: int) -> list[tuple[np.datetime64, str]]:
    """Ticks on the first day of years (every 1, 2, 5, ... years) or of months for short
    spans, labelled 2010 or 2010-03; the two ends when the span is shorter still."""
    y0, y1 = int(str(lo)[:4]), int(str(hi)[:4])
    for step in (1, 2, 5, 10, 20, 50, 100):
        years = [y for y in range(y0 + (-y0) % step, y1 + 1, step)]
        days = [np.datetime64(f"{y:04d}-01-01", "D") for y in years]
        days = [d for d in days if lo <= d <= hi]
        if 2 <= len(days) <= most:
            return [(d, str(d)[:4]) for d in days]
        if len(days) < 2:
            break
    first_month = int(lo.astype("datetime64[M]").astype(np.int64))
    last_month = int(hi.astype("datetime64[M]").astype(np.int64))
    for step in (1, 2, 3, 6):
        starts = [
            np.datetime64(m, "M").astype("datetime64[D]")
            for m in range(first_month, last_month + 1)
            if m % step == 0
        ]
        within = [d for d in starts if lo <= d <= hi]
        if 2 <= len(within) <= most:
            return [(d, str(d)[:7]) for d in within]
    return [(lo, str(lo)), (hi, str(hi))] if lo != hi else [(lo, str(lo))]


# --- the value and underwater series ---------------------------------------------------


class Drawdown(NamedTuple):
    """One spell below the running peak: rows of the peak (-1: the starting value 1.0),
    the trough and the recovery (-1: still below at the last row), its depth (the trough's
    value over the peak, minus 1) and its length in rows below the peak."""

    peak: int
    trough: int
    recovery: int
    depth: float
    length: int


def compounded(returns: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The value compounded from 1.0 row by row (a missing return keeps it flat), in the
    order and rounding the modules use, so that its drawdowns are the modules' drawdowns."""
    growth = np.where(np.isnan(returns), 1.0, returns + 1.0)
    return np.multiply.accumulate(growth)


def running_peak(value: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The highest value so far, starting from 1.0; a NaN value raises nothing."""
    return np.fmax.accumulate(np.concatenate(([1.0], value)))[1:]


def underwater(value: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    peak = running_peak(value)
    return value / peak - 1.0


def drawdowns(returns: npt.NDArray[np.float64]) -> list[Drawdown]:
    """Every spell below the running peak of one fund, in date order: the rows troughmend
    counts (the value differs from the peak in force, NaN included), the peak raised only
    by a strictly greater value."""
    value = compounded(returns)
    n = value.size
    if n == 0:
        return []
    peak = running_peak(value)
    before = np.concatenate(([1.0], peak[:-1]))
    raised = value > before
    peak_row = np.maximum.accumulate(np.where(raised, np.arange(n), -1))
    below = (value - peak) / peak != 0.0
    edges = np.flatnonzero(np.diff(np.concatenate(([False], below, [False])).astype(np.int8)))
    out = []
    for first, end in zip(edges[::2].tolist(), edges[1::2].tolist()):
        spell = value[first:end]
        if np.isnan(spell).all():
            trough = first
        else:
            trough = first + int(np.nanargmin(spell))  # the earliest of equal lows
        out.append(
            Drawdown(
                peak=int(peak_row[first]),
                trough=trough,
                recovery=end if end < n else -1,
                depth=float(value[trough] / peak[first] - 1.0),
                length=end - first,
            )
        )
    return out


def deepest(spells: Sequence[Drawdown], k: int = 5) -> list[Drawdown]:
    """The k deepest spells, deepest first (of equal depth the earlier)."""
    return sorted(spells, key=lambda s: (math.isnan(s.depth), s.depth))[:k]


# --- line charts on a date axis --------------------------------------------------------


class Frame(NamedTuple):
    width: int
    height: int
    left: int = 58
    right: int = 14
    top: int = 12
    bottom: int = 30


WIDE = Frame(1080, 320)
NARROW = Frame(360, 240, left=50, right=10)


def _thin(
    x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], width: float = 2.0
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The lowest and highest point of every strip of `width` pixels, in date order: a
    line of thousands of dates drawn with what a person can see of it, every peak and
    trough kept."""
    strip = np.floor(x / width).astype(np.int64)
    starts = np.flatnonzero(np.diff(np.concatenate(([strip[0] - 1], strip))))
    if starts.size * 2 >= x.size:
        return x, y
    ends = np.concatenate((starts[1:], [x.size]))
    keep = []
    for s, e in zip(starts.tolist(), ends.tolist()):
        seg = y[s:e]
        lo, hi = s + int(np.argmin(seg)), s + int(np.argmax(seg))
        keep += sorted({lo, hi})
    idx = np.array(keep)
    return x[idx], y[idx]


def _tenths(v: float) -> str:
    out = f"{v / 10:g}"
    return out.replace("0.", ".", 1) if out.startswith(("0.", "-0.")) else out


def _path(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> str:
    """A polyline as a path: the first point, then steps from point to point, all in
    tenths of a pixel (the steps summed from rounded points, so no error accumulates)."""
    tx = np.rint(x * 10).astype(np.int64)
    ty = np.rint(y * 10).astype(np.int64)
    steps = " ".join(
        f"{_tenths(u)},{_tenths(v)}" for u, v in zip(np.diff(tx).tolist(), np.diff(ty).tolist())
    )
    start = f"M{_tenths(int(tx[0]))},{_tenths(int(ty[0]))}"
    return f"{start}l{steps}" if steps else f"{start}h.5"


def line_chart(
    frame: Frame,
    days: npt.NDArray[np.datetime64],  # datetime64[D], one per row
    series: Sequence[npt.NDArray[np.float64]],  # one per fund, NaN where not drawn
    *,
    log: bool = False,
    percent: bool = False,
    base: Optional[float] = None,
    label: str = "",
) -> str:
    """Lines of a few funds over the dates, with date ticks below and value ticks left."""
    f = frame
    pw, ph = f.width - f.left - f.right, f.height - f.top - f.bottom
    finite = [s[np.isfinite(s) & ((s > 0) if log else True)] for s in series]
    allv = np.concatenate(finite + [np.array([base] if base is not None else [])])
    parts = [svg_open(f.width, f.height, label)]
    if allv.size == 0 or days.size == 0:
        parts.append(text(f.width / 2, f.height / 2, "no values to draw", "middle"))
        return "".join(parts) + "</svg>"
    lo, hi = float(allv.min()), float(allv.max())
    if lo == hi:
        lo, hi = (lo / 2, hi * 2) if log else (lo - 0.5 if lo == 0 else lo - abs(lo) / 2, hi + 0.5)
    if log:
        ticks = log_ticks(lo, hi, max(3, ph // 45))
        to = math.log10
        fmt = step_format(min(ticks) if ticks else lo, percent)
        if len(ticks) > 1 and math.log10(hi / lo) < 1:
            fmt = step_format(ticks[1] - ticks[0], percent)
    else:
        ticks = linear_ticks(lo, hi, max(3, ph // 45))
        to = float
        fmt = step_format(ticks[1] - ticks[0] if len(ticks) > 1 else hi - lo, percent)
    ylo, yhi = to(lo), to(hi)

    def ypix(v: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        t = np.log10(v) if log else v
        return f.top + ph * (1 - (t - ylo) / (yhi - ylo))

    t0, t1 = days[0].astype(np.int64), days[-1].astype(np.int64)
    span = max(int(t1 - t0), 1)

    def xpix(d: npt.NDArray[np.datetime64]) -> npt.NDArray[np.float64]:
        return np.asarray(f.left + pw * (d.astype(np.int64) - t0) / span, dtype=np.float64)

    for t in ticks:
        y = float(ypix(np.array(t)))
        cls = "base" if base is not None and t == base else "grid"
        parts.append(f'<line class="{cls}" x1="{f.left}" x2="{f.width - f.right}"'
                     f' y1="{y:.1f}" y2="{y:.1f}"/>')  # fmt: skip
        parts.append(text(f.left - 5, y + FONT / 3, fmt(t), "end"))
    axis_y = f.top + ph
    parts.append(f'<line class="axis" x1="{f.left}" x2="{f.width - f.right}"'
                 f' y1="{axis_y}" y2="{axis_y}"/>')  # fmt: skip
    for d, name in date_ticks(days[0], days[-1], max(2, pw // 70)):
        x = float(xpix(np.array(d)))
        parts.append(f'<line class="axis" x1="{x:.1f}" x2="{x:.1f}" y1="{axis_y}"'
                     f' y2="{axis_y + 5}"/>')  # fmt: skip
        parts.append(text(x, axis_y + 5 + FONT, name, "middle"))
    xs = xpix(days)
    for i, s in enumerate(series):
        ok = np.isfinite(s) & ((s > 0) if log else True)
        if not ok.any():
            continue
        # One path of runs: a gap where the fund has no value lifts the pen.
        pen = np.flatnonzero(np.diff(np.concatenate(([0], ok.astype(np.int8), [0]))))
        runs = [
            _path(*_thin(xs[a:b], ypix(s[a:b])))
            for a, b in zip(pen[::2].tolist(), pen[1::2].tolist())
        ]
        colour = COLOURS[i % len(COLOURS)]
        parts.append(f'<path class="line" stroke="{colour}" d="{" ".join(runs)}"/>')
    return "".join(parts) + "</svg>"


# --- box plots by peer group -----------------------------------------------------------


def box_plot(
    values: npt.NDArray[np.float64],
    group_of: npt.NDArray[np.int64],
    groups: Sequence[str],
    percent: bool,
    label: str,
    value_text: Callable[[float], str],
    width: int = 360,
    most: int = 25,
) -> str:
    """One row per peer group: the box spans the 25th to 75th percentile, the bar inside
    is the median, the whiskers reach the 5th and 95th percentiles. Every group shares the
    axis; the largest groups are drawn when there are more than `most`."""
    v = np.asarray(values, dtype=np.float64)
    stats = []
    for g in range(len(groups)):
        x = v[(group_of == g) & np.isfinite(v)]
        if x.size:
            q = np.percentile(x, [5, 25, 50, 75, 95])
            stats.append((g, x.size, q))
    stats.sort(key=lambda s: -s[1])
    shown = sorted(stats[:most], key=lambda s: s[0])
    left, right, row, top = 118, 12, 24, 6
    height = top + row * max(len(shown), 1) + 34
    parts = [svg_open(width, height, label)]
    if not shown:
        parts.append(text(width / 2, top + 14, "no fund has a finite value", "middle"))
        return "".join(parts) + "</svg>"
    lo = min(float(s[2][0]) for s in shown)
    hi = max(float(s[2][4]) for s in shown)
    if lo == hi:
        lo, hi = lo - (abs(lo) / 10 or 0.5), hi + (abs(hi) / 10 or 0.5)
    pw = width - left - right
    ticks = linear_ticks(lo, hi, max(2, pw // 60))
    fmt = step_format(ticks[1] - ticks[0] if len(ticks) > 1 else hi - lo, percent)

    def xp(t: float) -> float:
        return left + pw * (t - lo) / (hi - lo)

    bottom = top + row * len(shown)
    for t in ticks:
        parts.append(f'<line class="grid" x1="{xp(t):.1f}" x2="{xp(t):.1f}" y1="{top}"'
                     f' y2="{bottom}"/>')  # fmt: skip
        parts.append(text(xp(t), bottom + 4 + FONT, fmt(t), "middle"))
    for i, (g, n, q) in enumerate(shown):
        y = top + i * row + row / 2
        name = groups[g]
        short = name if len(name) <= 13 else name[:12] + "…"
        a5, a25, a50, a75, a95 = (value_text(float(t)) for t in q)
        tip = (
            f"{name}: {n} funds; median {a50}, middle half {a25} to {a75},"
            f" 5th to 95th percentile {a5} to {a95}"
        )
        x5, x25, x50, x75, x95 = (round(xp(float(t)), 1) for t in q)
        parts.append(
            f'<g transform="translate(0,{y:g})"><title>{escape(tip)}</title>'
            f'<text x="{left - 6}" y="{FONT / 3:g}" text-anchor="end">{escape(short)} ({n})</text>'
            f'<path class="whisker" d="M{x5:g},0H{x95:g}"/>'
            f'<rect class="box" x="{x25:g}" y="-7" width="{max(x75 - x25, 1):.1f}" height="14"/>'
            f'<path class="median" d="M{x50:g},-7v14"/></g>'
        )
    if len(stats) > len(shown):
        parts.append(text(left, height - 4, f"the {len(shown)} largest of {len(stats)} groups"))
    return "".join(parts) + "</svg>"
