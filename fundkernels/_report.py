"""The command's HTML report: one self-contained page, charts drawn inline as SVG.

The page is well-formed XML as well as HTML (every element closed, every attribute quoted)
so that any XML parser can read it. Tables show the 20 highest and lowest funds of each
indicator, so a panel of 10,000 funds still gives a small page; the full table is the
command's --output file.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence
from html import escape
from typing import Any, Callable, NamedTuple, Optional

import numpy as np

SHOWN = 20  # funds in each top and bottom table
CHART_FUNDS = 40  # funds in the drawdown and win-share chart
BINS = 20


def _pct(v: float) -> str:
    return "n/a" if not np.isfinite(v) else f"{100 * v:.2f}%"


def _num(v: float) -> str:
    return "n/a" if np.isnan(v) else f"{v:.3f}"


def _int(v: Any) -> str:
    return str(int(v))


def _day(v: Any) -> str:
    return "-" if np.isnat(v) else str(v)


class Headline(NamedTuple):
    """An indicator with a section of its own: its column, title and meaning, how its
    values read, and the columns shown beside it in the tables."""

    column: str
    title: str
    meaning: str
    fmt: Callable[[Any], str]
    beside: list[str]


def _headlines(horizons: Sequence[str]) -> list[Headline]:
    out = [
        Headline(
            "troughmend", "Longest drawdown",
            "rows spent below the previous peak of the compounded value", _int, [],
        ),
        Headline(
            "crossodds", "Persistence against the peer group",
            "repeated over reversed winner/loser outcomes against the group median", _num, [],
        ),
    ]  # fmt: skip
    for h in horizons:
        p = f"horizonret_{h}"
        out.append(
            Headline(
                f"{p}_mean", f"Mean {h} return", f"mean of the rolling {h} horizon returns",
                _pct, [f"{p}_median"],
            )
        )  # fmt: skip
        out.append(
            Headline(
                f"{p}_win", f"Share of positive {h} returns",
                f"share of rolling {h} horizons that ended with a gain", _pct, [f"{p}_mean"],
            )
        )  # fmt: skip
    runs = [
        ("extremeset", "gain", "return", "Largest compounded rise over a run of gains"),
        ("extremeset", "loss", "return", "Deepest compounded fall over a run of losses"),
        ("streakset", "gain", "length", "Longest run of gains"),
        ("streakset", "loss", "length", "Longest run of losses"),
    ]
    for name, mode, column, title in runs:
        p = f"{name}_{mode}"
        meaning = (
            "compounded return of the run"
            if column == "return"
            else "consecutive rows, the latest of equally long runs"
        )
        beside = [f"{p}_{c}" for c in ("return", "length", "first", "last") if c != column]
        out.append(Headline(f"{p}_{column}", title, meaning, _formatter(f"{p}_{column}"), beside))
    return out


def _formatter(name: str) -> Callable[[Any], str]:
    if name.endswith(("_first", "_last")):
        return _day
    if name.endswith("_length") or name == "troughmend":
        return _int
    if name == "crossodds":
        return _num
    return _pct


def _bar(x: float, y: float, width: float, height: float, tip: str, cls: str = "") -> str:
    """One bar of a chart, its value as a tooltip."""
    klass = f' class="{cls}"' if cls else ""
    return (
        f'<rect{klass} x="{x:.1f}" y="{y:.1f}" width="{width:.1f}" height="{height:.1f}">'
        f"<title>{escape(tip)}</title></rect>"
    )


def _svg(cls: str, width: int, height: int) -> str:
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" class="{cls}" width="{width}"'
        f' height="{height}" viewBox="0 0 {width} {height}" role="img">'
    )


def ranked(values: np.ndarray, highest: bool, n: int = SHOWN) -> np.ndarray:
    """Positions of the n highest (or lowest) values, NaN left out, ties in fund order."""
    v = np.asarray(values, dtype=np.float64)
    have = np.flatnonzero(~np.isnan(v))
    key = -v[have] if highest else v[have]
    return have[np.argsort(key, kind="stable")[:n]]


def _histogram(
    values: np.ndarray, fmt: Callable[[Any], str], width: int = 360, height: int = 130
) -> str:
    v = np.asarray(values, dtype=np.float64)
    finite = v[np.isfinite(v)]
    if finite.size == 0:
        return '<p class="none">no fund has a finite value</p>'
    lo, hi = float(finite.min()), float(finite.max())
    bins = 1 if lo == hi else BINS
    counts, edges = np.histogram(
        finite, bins=bins, range=(lo, hi) if lo < hi else (lo - 0.5, lo + 0.5)
    )
    top = int(counts.max())
    plot_h, base = height - 30, height - 18
    bw = (width - 20) / bins
    bars = []
    for i, c in enumerate(counts.tolist()):
        h = 0 if top == 0 else plot_h * c / top
        tip = f"{fmt(edges[i])} to {fmt(edges[i + 1])}: {c} funds"
        bars.append(_bar(10 + i * bw, base - h, max(bw - 1, 1), h, tip))
    return (
        _svg("hist", width, height)
        + "".join(bars)
        + f'<line x1="10" y1="{base}" x2="{width - 10}" y2="{base}" class="axis"/>'
        f'<text x="10" y="{height - 4}">{escape(fmt(lo))}</text>'
        f'<text x="{width - 10}" y="{height - 4}" text-anchor="end">{escape(fmt(hi))}</text>'
        f'<text x="{width - 10}" y="10" text-anchor="end">{top} funds</text>'
        "</svg>"
    )


def _chart(funds: Sequence[str], drawdown: np.ndarray, win: np.ndarray, horizon: str) -> str:
    """The longest drawdown and the share of positive horizons, one bar pair per fund."""
    picked = ranked(drawdown, highest=True, n=CHART_FUNDS)[::-1]  # longest at the bottom
    label_w, panel_w, row_h, top = 90, 300, 14, 24
    height = top + row_h * len(picked) + 30
    width = label_w + 2 * panel_w + 40
    dmax = max(float(np.nanmax(drawdown[picked])) if picked.size else 1.0, 1.0)
    parts = [
        _svg("chart", width, height),
        f'<text x="{label_w}" y="14">longest drawdown (rows below the previous peak)</text>',
        f'<text x="{label_w + panel_w + 30}" y="14">'
        f"share of positive {escape(horizon)} horizon returns</text>",
    ]
    for i, j in enumerate(picked.tolist()):
        y = top + i * row_h
        d = float(drawdown[j])
        w = float(win[j])
        dw = panel_w * d / dmax
        ww = 0.0 if np.isnan(w) else panel_w * w
        parts.append(
            f'<text x="{label_w - 4}" y="{y + 11}" text-anchor="end">{escape(funds[j])}</text>'
        )
        parts.append(_bar(label_w, y + 2, dw, row_h - 3, f"{funds[j]}: {int(d)} rows", "dd"))
        right = label_w + panel_w + 30
        parts.append(_bar(right, y + 2, ww, row_h - 3, f"{funds[j]}: {_pct(w)}", "win"))
    base = top + row_h * len(picked) + 14
    parts.append(f'<text x="{label_w}" y="{base}">0</text>')
    parts.append(f'<text x="{label_w + panel_w}" y="{base}" text-anchor="end">{int(dmax)}</text>')
    parts.append(f'<text x="{label_w + panel_w + 30}" y="{base}">0%</text>')
    parts.append(f'<text x="{label_w + 2 * panel_w + 30}" y="{base}" text-anchor="end">100%</text>')
    parts.append("</svg>")
    return "".join(parts)


def _table(cls: str, name: str, rows: np.ndarray, columns: dict[str, Any], shown: list[str]) -> str:
    heads = ["#", "fund", "peer group", name, *shown]
    out = [f'<table class="{cls}" data-indicator="{escape(name)}"><thead><tr>']
    out += [f"<th>{escape(h)}</th>" for h in heads]
    out.append("</tr></thead><tbody>")
    for rank, j in enumerate(rows.tolist(), 1):
        cells = [str(rank), columns["fund"][j], columns["peer_group"][j]]
        cells += [_formatter(c)(columns[c][j]) for c in (name, *shown)]
        klass = ["rank", "fund", "group", "value", *["extra"] * len(shown)]
        out.append(
            "<tr>"
            + "".join(f'<td class="{k}">{escape(str(c))}</td>' for k, c in zip(klass, cells))
            + "</tr>"
        )
    out.append("</tbody></table>")
    return "".join(out)


def _day_of(ns: Optional[int]) -> str:
    return "-" if ns is None else str(np.datetime64(ns, "ns").astype("datetime64[D]"))


_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 2em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 1em 0.5em 0; }
td, th { padding: 2px 8px; text-align: right; } td.fund, td.group, th { text-align: left; }
tbody tr:nth-child(odd) { background: #f4f4f4; }
.pair { display: flex; flex-wrap: wrap; align-items: flex-start; }
svg text { font-size: 10px; fill: #333; } svg rect { fill: #4878a8; }
svg rect.dd { fill: #c04040; } svg .axis { stroke: #888; }
.grid { display: flex; flex-wrap: wrap; } .grid figure { margin: 0.5em; }
figcaption { font-size: 0.8em; } .note { color: #a05000; }
"""


def render(panel: Any, columns: dict[str, Any], horizons: Sequence[str]) -> str:
    """The report page for a panel and the command's output columns."""
    funds = columns["fund"]
    n = len(funds)
    first, last = _day_of(panel.first), _day_of(panel.last)
    groups = (
        f"{len(set(panel.groups))} peer groups from the type codes given"
        if panel.groups is not None
        else '<span class="note">one peer group of all funds: no type codes were given'
        " (--types or --type-column)</span>"
    )
    summary = [
        ("input", escape(panel.source)),
        ("funds", str(n)),
        ("dates", str(panel.dates)),
        ("first date", first),
        ("last date", last),
        ("missing values", f"{100 * panel.missing:.2f}% of fund-date cells"),
        (
            "values",
            (
                "NAVs, converted to returns (nav / previous valid nav - 1)"
                if panel.navs
                else "returns"
            ),
        ),
        ("crossodds", groups),
        ("horizons", escape(", ".join(horizons))),
    ]
    body = [
        "<!DOCTYPE html>",
        '<html xmlns="http://www.w3.org/1999/xhtml" lang="en"><head><meta charset="utf-8"/>',
        f"<title>Fund indicators: {n} funds</title><style>{_STYLE}</style></head><body>",
        f"<h1>Fund indicators for {n} funds</h1>",
        f"<p>Made by fundkernels on {_dt.datetime.now(_dt.timezone.utc):%Y-%m-%d %H:%M} UTC."
        " Tables show the 20 highest and the 20 lowest funds of each indicator; the full"
        " table is the command's --output file.</p>",
        '<h2 id="panel">The panel</h2><table class="summary"><tbody>',
        *[f'<tr><th>{k}</th><td data-key="{k}">{v}</td></tr>' for k, v in summary],
        "</tbody></table>",
    ]
    h0 = horizons[0]
    shown = min(n, CHART_FUNDS)
    body.append(f'<h2 id="chart">Longest drawdown and share of positive {escape(h0)} returns</h2>')
    body.append(
        f"<p>{'All' if shown == n else f'The {shown} of {n}'} funds"
        f"{'' if shown == n else ' with the longest drawdowns'}, longest at the bottom.</p>"
    )
    body.append(
        _chart(
            funds,
            np.asarray(columns["troughmend"]),
            np.asarray(columns[f"horizonret_{h0}_win"]),
            h0,
        )
    )
    for name, title, meaning, fmt, extra in _headlines(horizons):
        v = np.asarray(columns[name])
        have = ~np.isnan(v.astype(np.float64))
        stats = f"{int(have.sum())} of {n} funds have a value" + (
            f"; lowest {fmt(np.min(v[have]))}, median {fmt(np.median(v[have]))},"
            f" highest {fmt(np.max(v[have]))}"
            if have.any()
            else ""
        )
        body.append(f'<h2 id="{escape(name)}">{escape(title)} <code>{escape(name)}</code></h2>')
        body.append(f"<p>{escape(meaning)}. {escape(stats)}.</p>")
        body.append(_histogram(v, fmt))
        body.append('<div class="pair">')
        body.append(
            f"<div><h3>Highest</h3>{_table('top', name, ranked(v, True), columns, extra)}</div>"
        )
        body.append(
            f"<div><h3>Lowest</h3>{_table('bottom', name, ranked(v, False), columns, extra)}</div>"
        )
        body.append("</div>")
    body.append(
        '<h2 id="distributions">Distribution of every column across funds</h2><div class="grid">'
    )
    for name, col in columns.items():
        if not isinstance(col, np.ndarray) or col.dtype.kind not in "if":
            continue
        body.append(
            f'<figure data-column="{escape(name)}">{_histogram(col, _formatter(name), 260, 110)}'
            f"<figcaption>{escape(name)}</figcaption></figure>"
        )
    body.append("</div></body></html>\n")
    return "\n".join(body)
