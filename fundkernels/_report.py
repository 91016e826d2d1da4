"""The command's HTML report: one self-contained page for screening a panel of funds.

- every fund in one table (its peer-group ranks beside each column that has them), sorted
  and filtered in the page by a small inline script; the state lives in the URL fragment
  (``report.html#sort=-sharpe&group=industry&q=tech``), so a view can be bookmarked;
- the plain-words meaning of every column, in the headers' tooltips and a glossary;
- for a few chosen funds, their compounded value (linear or log scale), their drawdown
  from the running peak and their five deepest drawdowns, computed here from their returns;
- each column's distribution by peer group, as box plots side by side.

Nothing is loaded from outside: charts are inline SVG drawn here, the table's data is JSON
inside the page. Every text that comes from the input (fund, group and column names) is
escaped for HTML, and in the JSON the characters that could end a script element (<, >
and &) are written as \\u escapes, so a fund named like markup shows as its name.

The page is well-formed XML as well as HTML (every element closed, every attribute quoted,
the script in a CDATA section) so that any XML parser can read it. Table cells are made by
the script, so that 5000 funds stay well under 2 MB: each value once, as shown, in the
data (_report_data).
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable, Mapping, Sequence
from html import escape
from importlib import resources
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._errors import InputError
from . import _report_charts as charts
from ._ranks import GROUP_SIZE
from ._report_data import Meta, data_element, describe, ranked, show, table_data

CHOSEN = 4  # funds charted by default: the two best and the two worst
MOST_CHOSEN = len(charts.COLOURS)
DEEPEST = 5  # drawdowns listed per chosen fund

# What returns a chosen fund's dates (ns since the epoch, UTC) and returns (one column per
# fund asked for, in the order asked) for fund positions in the table.
Series = Callable[[Sequence[int]], tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]]


# --- choosing funds ------------------------------------------------------------------------


def _first_directed(meta: Mapping[str, Meta]) -> Optional[str]:
    return next(
        (n for n, m in meta.items() if m.better and m.kind != "date" and not ranked(n, meta)),
        None,
    )


def default_chosen(columns: Mapping[str, Any], meta: Mapping[str, Meta]) -> list[int]:
    """The two best and two worst funds by Sharpe ratio, or by the first column with a
    direction when there is none; fewer when fewer funds have a value."""
    key = "sharpe" if "sharpe" in meta else _first_directed(meta)
    if key is None:
        return list(range(min(CHOSEN, len(columns["fund"]))))
    v = np.asarray(columns[key], dtype=np.float64)
    have = np.flatnonzero(~np.isnan(v))
    order = have[np.argsort(-v[have] if meta[key].better == "higher" else v[have], kind="stable")]
    best, worst = order[: CHOSEN // 2].tolist(), order[::-1][: CHOSEN // 2].tolist()
    return list(dict.fromkeys(best + worst[::-1]))


def chosen_positions(funds: Sequence[str], names: Sequence[str]) -> list[int]:
    """Fund positions for names given by the user, each checked."""
    where = {f: i for i, f in reversed(list(enumerate(funds)))}
    out = []
    for name in names:
        if name not in where:
            raise InputError(
                f"--report-funds: no fund named {name!r} in the input (names are matched exactly)"
            )
        out.append(where[name])
    out = list(dict.fromkeys(out))
    if len(out) > MOST_CHOSEN:
        raise InputError(
            f"--report-funds: at most {MOST_CHOSEN} funds can be charted, {len(out)} given"
        )
    return out


# --- sections -------------------------------------------------------------------------------

HEADLINE = (
    "cagr", "volatility", "sharpe", "sortino", "max_drawdown", "calmar", "troughmend",
    "troughmend_depth", "crossodds", "{h}_mean", "{h}_win", "extremeset_gain_return",
    "extremeset_loss_return", "streakset_gain_length", "streakset_loss_length",
)  # fmt: skip


def headline(meta: Mapping[str, Meta], horizons: Sequence[str]) -> list[str]:
    """The columns shown first: the classic statistics when present, then the indicators."""
    names = [n.format(h=f"horizonret_{horizons[0]}") for n in HEADLINE]
    out = [n for n in names if n in meta]
    if "sharpe" in meta:  # the statistics say most of what the run columns say
        out = [n for n in out if not n.startswith(("extremeset", "streakset"))]
    return out


def glossary(meta: Mapping[str, Meta]) -> str:
    out = ['<dl class="glossary">']
    for name, m in meta.items():
        if ranked(name, meta):
            continue
        better = {"higher": " Higher is better.", "lower": " Lower is better."}.get(
            m.better or "", ""
        )
        words = (m.words[:1].upper() + m.words[1:] + ".") if m.words else "No description."
        out.append(f"<dt><code>{escape(name)}</code></dt><dd>{escape(words + better)}</dd>")
    if any(ranked(n, meta) for n in meta):
        out.append(
            "<dt><code>&lt;column&gt;_rank</code></dt><dd>The fund's percentile rank for that"
            " column within its peer group: 1 the best, 100 the worst; funds without a value"
            " are not ranked.</dd>"
        )
    out.append("</dl>")
    return "".join(out)


def _figure(cls: str, wide: str, narrow: str) -> str:
    return f'<div class="{cls} wide">{wide}</div><div class="{cls} narrow">{narrow}</div>'


def chosen_section(funds: Sequence[str], picked: Sequence[int], series: Series, how: str) -> str:
    """Value and underwater charts of the chosen funds and their deepest drawdowns."""
    ns, returns = series(picked)
    days = np.asarray(ns, dtype="datetime64[ns]").astype("datetime64[D]")
    values, under, tables = [], [], []
    for k, j in enumerate(picked):
        r = np.asarray(returns[:, k], dtype=np.float64)
        valid = np.flatnonzero(~np.isnan(r))
        value = charts.compounded(r)
        drawn = np.full(r.shape, np.nan)
        if valid.size:  # from the row before its first return (at 1.0) to its last
            a, b = max(valid[0] - 1, 0), valid[-1] + 1
            drawn[a:b] = value[a:b]
            if valid[0] > 0:
                drawn[a] = 1.0
        values.append(drawn)
        under.append(np.where(np.isnan(drawn), np.nan, charts.underwater(value)))
        tables.append(_drawdown_table(funds[j], k, charts.drawdowns(r), days))
    legend = "".join(
        f'<li><span class="swatch" style="background:{charts.COLOURS[k]}"></span>'
        f"{escape(funds[j])}</li>"
        for k, j in enumerate(picked)
    )
    label = "compounded value of 1 invested"
    # A log scale by default when the values span more than tenfold: a linear one would
    # flatten every fund but the best.
    drawn = np.concatenate([v[np.isfinite(v) & (v > 0)] for v in values])
    wide = drawn.size > 0 and drawn.max() > 10 * drawn.min()
    checked = ' checked="checked"' if wide else ""

    def value_chart(frame: charts.Frame, log: bool) -> str:
        return charts.line_chart(frame, days, values, log=log, base=1.0, label=label)

    def under_chart(frame: charts.Frame) -> str:
        return charts.line_chart(
            frame, days, under, percent=True, base=0.0, label="drawdown from the running peak"
        )

    return "".join(
        [
            '<section id="chosen"><h2>Chosen funds</h2>',
            f"<p>{escape(how)}</p>",
            f'<ul class="legend">{legend}</ul>',
            "<h3>Value of 1 invested</h3>",
            f'<input type="checkbox" id="logscale"{checked}/> <label for="logscale">log scale</label>',
            '<div class="charts">',
            _figure("v lin", value_chart(charts.WIDE, False), value_chart(charts.NARROW, False)),
            _figure("v log", value_chart(charts.WIDE, True), value_chart(charts.NARROW, True)),
            "</div>",
            "<h3>Under water: drawdown from the running peak</h3>",
            _figure("u", under_chart(charts.WIDE), under_chart(charts.NARROW)),
            f"<h3>The {DEEPEST} deepest drawdowns</h3>",
            "<p>Depth: the lowest value over the peak, minus 1. Length: rows below the peak"
            " (the recovery row not counted), as troughmend counts them. Peak <i>start</i>:"
            " the starting value 1.0.</p>",
            '<div class="dd-tables">',
            *tables,
            "</div></section>",
        ]
    )


def _drawdown_table(
    fund: str, k: int, spells: Sequence[charts.Drawdown], days: npt.NDArray[np.datetime64]
) -> str:
    def day(row: int, none: str) -> str:
        return none if row < 0 else str(days[row])

    rows = [
        f"<tr><td>{i}</td><td>{day(s.peak, 'start')}</td><td>{day(s.trough, '-')}</td>"
        f"<td>{day(s.recovery, 'not yet')}</td><td>{show(s.depth, 'pct')}</td>"
        f"<td>{s.length}</td></tr>"
        for i, s in enumerate(charts.deepest(spells, DEEPEST), 1)
    ]
    body = "".join(rows) or '<tr><td colspan="6">never below its peak</td></tr>'
    return (
        f'<div class="scroll"><table class="drawdowns" data-fund="{escape(fund)}">'
        f'<caption><span class="swatch" style="background:{charts.COLOURS[k]}"></span>'
        f"{escape(fund)}</caption><thead><tr><th>#</th><th>peak</th><th>trough</th>"
        f"<th>recovery</th><th>depth</th><th>length</th></tr></thead><tbody>{body}"
        "</tbody></table></div>"
    )


def peer_section(
    columns: Mapping[str, Any], meta: Mapping[str, Meta], shown: Sequence[str], groups: list[str]
) -> str:
    index = {g: i for i, g in enumerate(groups)}
    group_of = np.array([index[g] for g in columns["peer_group"]], dtype=np.int64)
    names = [
        n for n, m in meta.items() if m.kind != "date" and not ranked(n, meta) and n != GROUP_SIZE
    ]

    def figure(name: str) -> str:
        m = meta[name]
        svg = charts.box_plot(
            np.asarray(columns[name], dtype=np.float64), group_of, groups, m.fmt == "pct",
            f"{name} by peer group", lambda v: show(v, m.fmt),
        )  # fmt: skip
        return (
            f'<figure data-column="{escape(name)}"><figcaption><code>{escape(name)}</code>'
            f" {escape(m.words)}</figcaption>{svg}</figure>"
        )

    first = [n for n in names if n in shown]
    rest = [n for n in names if n not in shown]
    return "".join(
        [
            '<section id="peers"><h2>Peer groups side by side</h2>',
            "<p>Each row is a peer group (its number of funds in brackets): the box spans the"
            " middle half of its funds (25th to 75th percentile), the bar in it is the median,"
            " the whiskers reach the 5th and 95th percentiles. Hover for the numbers.</p>",
            '<div class="grid">',
            *map(figure, first),
            "</div>",
            f"<details><summary>The other {len(rest)} columns</summary>" if rest else "",
            '<div class="grid">' if rest else "",
            *map(figure, rest),
            "</div></details>" if rest else "",
            "</section>",
        ]
    )


def _day_of(ns: Optional[int]) -> str:
    return "-" if ns is None else str(np.datetime64(ns, "ns").astype("datetime64[D]"))


def _asset(name: str) -> str:
    return resources.files("fundkernels").joinpath(name).read_text(encoding="utf-8")


def render(
    panel: Any,
    columns: dict[str, Any],
    horizons: Sequence[str],
    series: Optional[Series] = None,
    chosen: Optional[Sequence[str]] = None,
) -> str:
    """The report page for a panel and the command's output columns. series gives the
    returns of the funds to chart (none charted without it); chosen names them (default:
    the two best and the two worst by Sharpe ratio, or by the first ranked column)."""
    funds = [str(f) for f in columns["fund"]]
    n = len(funds)
    meta = describe(columns, horizons)
    shown = headline(meta, horizons)
    data, groups = table_data(columns, meta, shown)
    first, last = _day_of(panel.first), _day_of(panel.last)
    grouping = (
        f"{len(groups)} peer groups from the type codes given"
        if panel.groups is not None
        else '<span class="note">one peer group of all funds: no type codes were given'
        " (--types or --type-column)</span>"
    )
    facts = [
        ("input", escape(panel.source)),
        ("funds", str(n)),
        ("dates", str(panel.dates)),
        ("first date", first),
        ("last date", last),
        ("missing values", f"{100 * panel.missing:.2f}% of fund-date cells"),
        ("values", "NAVs, converted to returns (nav / previous valid nav - 1)"
         if panel.navs else "returns"),
        ("peer groups", grouping),
        ("horizons", escape(", ".join(horizons))),
    ]  # fmt: skip
    body = [
        "<!DOCTYPE html>",
        '<html xmlns="http://www.w3.org/1999/xhtml" lang="en"><head><meta charset="utf-8"/>',
        '<meta name="viewport" content="width=device-width, initial-scale=1"/>',
        f"<title>Fund screen: {n} funds</title><style>{_asset('_report.css')}</style></head>",
        "<body><main>",
        f"<h1>Fund screen: {n} funds</h1>",
        f"<p>Made by fundkernels on {_dt.datetime.now(_dt.timezone.utc):%Y-%m-%d %H:%M} UTC."
        " Sections: the panel, every fund, chosen funds, peer groups side by side, what each"
        " column means.</p>",
        '<h2 id="panel">The panel</h2><div class="scroll"><table class="facts"><tbody>',
        *[f'<tr><th>{k}</th><td data-key="{k}">{v}</td></tr>' for k, v in facts],
        "</tbody></table></div>",
        '<section id="screen"><h2>Every fund</h2>',
        "<p>Click a column's name to sort by it (again to reverse), hover it for its meaning."
        " Filter by name and peer group; the view is kept in the address"
        " (<code>#sort=-sharpe&amp;group=...&amp;q=...</code>) for bookmarks."
        + (
            " Small grey numbers are ranks within the peer group, 1 the best and 100 the worst."
            if any(ranked(name, meta) for name in meta)
            else ""
        )
        + "</p>",
        '<div class="controls"><label>Fund <input id="q" type="search"/></label>',
        '<label>Peer group <select id="group"><option value="">all</option>',
        *[f'<option value="{escape(g)}">{escape(g)}</option>' for g in groups],
        "</select></label>",
        '<details id="pick"><summary>Columns</summary><div id="pick-list"></div></details>',
        "</div>",
        '<p id="count"></p><noscript><p class="note">The table needs the page\'s script.</p>'
        "</noscript>",
        '<div class="scroll"><table id="funds"><thead></thead><tbody></tbody></table></div>',
        '<button id="more" type="button" hidden="hidden">Show more</button>',
        "</section>",
    ]
    if series is not None and n:
        if chosen:
            picked = chosen_positions(funds, chosen)
            how = "The funds named with --report-funds."
        else:
            picked = default_chosen(columns, meta)
            key = "Sharpe ratio" if "sharpe" in meta else _first_directed(meta)
            how = (
                f"The two best and the two worst funds by {key} (choose others with"
                " --report-funds NAME,...)."
            )
        if picked:
            body.append(chosen_section(funds, picked, series, how))
    body.append(peer_section(columns, meta, shown, groups))
    body.append('<section id="glossary"><h2>What each column means</h2>')
    body.append(glossary(meta))
    body.append("</section></main>")
    body.append(data_element(data))
    body.append(f"<script>//<![CDATA[\n{_asset('_report.js')}//]]></script>")
    body.append("</body></html>\n")
    return "\n".join(body)
