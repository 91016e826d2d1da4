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
the script, so that 5000 funds stay well under 2 MB: each value once, to five significant
digits, in the JSON.
"""

from __future__ import annotations

import base64
import datetime as _dt
import json
import math
import zlib
from collections.abc import Callable, Mapping, Sequence
from html import escape
from importlib import resources
from typing import Any, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from . import _report_charts as charts
from ._ranks import GROUP_SIZE
from ._ranks import RANK_SUFFIX as RANK

PLAIN_DATA = 256 * 1024  # bytes of table data kept as readable JSON; more is deflated
CHOSEN = 4  # funds charted by default: the two best and the two worst
MOST_CHOSEN = len(charts.COLOURS)
DEEPEST = 5  # drawdowns listed per chosen fund

# What returns a chosen fund's dates (ns since the epoch, UTC) and returns (one column per
# fund asked for, in the order asked) for fund positions in the table.
Series = Callable[[Sequence[int]], tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]]


class Meta(NamedTuple):
    """What the report needs to know of a column: its kind ("float", "int", "date"),
    which way is better ("higher", "lower", None), plain words, and how values read
    ("pct", "ratio", "int", "date", "num"; "rank" for the peer-group ranks)."""

    kind: str
    better: Optional[str]
    words: str
    fmt: str


def _local_meta(horizons: Sequence[str]) -> dict[str, Meta]:
    """The command's columns described here until the indicator registry describes them."""
    date = "date"
    out = {
        "troughmend": Meta("int", "lower", "rows the compounded value spent below its"
                           " previous peak, the longest such stretch", "int"),
        "troughmend_peak": Meta(date, None, "date whose value set the peak the longest"
                                " drawdown is measured from", date),
        "troughmend_first": Meta(date, None, "first date below the peak", date),
        "troughmend_last": Meta(date, None, "last date below the peak", date),
        "troughmend_trough": Meta(date, None, "date of the lowest value", date),
        "troughmend_depth": Meta("float", "higher", "lowest value of the longest drawdown"
                                 " over its peak, minus 1", "pct"),
        "troughmend_recovery": Meta(date, None, "date the value regained the peak", date),
        "crossodds": Meta("float", None, "repeated over reversed winner/loser outcomes"
                          " against the group median (above 1: runs persist)", "ratio"),
    }  # fmt: skip
    statistics = {
        "periods": ("int", None, "number of valid returns", "int"),
        "total_return": ("float", "higher", "compounded return over all valid returns", "pct"),
        "cagr": ("float", "higher", "compound annual growth rate", "pct"),
        "volatility": ("float", "lower", "annualised standard deviation of the returns", "pct"),
        "sharpe": ("float", "higher", "annualised mean excess return over its standard deviation", "ratio"),
        "sortino": ("float", "higher", "annualised mean excess return over its downside deviation", "ratio"),
        "max_drawdown": ("float", "higher", "deepest fall of the compounded value below its running peak", "pct"),
        "max_drawdown_peak": (date, None, "date of the peak before the deepest drawdown", date),
        "max_drawdown_trough": (date, None, "date of the trough of the deepest drawdown", date),
        "max_drawdown_recovery": (date, None, "date the value regained that peak", date),
        "calmar": ("float", "higher", "compound annual growth rate over the deepest drawdown", "ratio"),
        "best": ("float", "higher", "largest single return", "pct"),
        "worst": ("float", "higher", "smallest single return", "pct"),
        "hit_rate": ("float", "higher", "share of positive returns", "pct"),
        "skew": ("float", "higher", "skewness of the returns", "ratio"),
        "kurtosis": ("float", "lower", "excess kurtosis of the returns (fat tails)", "ratio"),
        "var_95": ("float", "higher", "5% quantile of the returns (value at risk)", "pct"),
        "cvar_95": ("float", "higher", "mean of the returns at or below their 5% quantile", "pct"),
        "periods_per_year": ("int", None, "periods per year used to annualise", "int"),
    }  # fmt: skip
    out.update({name: Meta(*m) for name, m in statistics.items()})
    for h in horizons:
        bands = {
            "gain_0_5": (None, "with 0 < x <= 5%"),
            "gain_5_10": (None, "with 5% < x <= 10%"),
            "gain_over_10": ("higher", "with x > 10%"),
            "loss_0_5": (None, "with -5% <= x <= 0"),
            "loss_5_10": ("lower", "with -10% <= x < -5%"),
            "loss_over_10": ("lower", "with x < -10%"),
        }
        p = f"horizonret_{h}"
        out[f"{p}_mean"] = Meta("float", "higher", f"mean of the rolling {h} horizon returns", "pct")
        out[f"{p}_median"] = Meta("float", "higher", f"median of the rolling {h} horizon returns", "pct")
        out[f"{p}_win"] = Meta("float", "higher", f"share of rolling {h} horizons that ended with a gain", "pct")
        for band, (better, words) in bands.items():
            out[f"{p}_{band}"] = Meta("float", better, f"share of rolling {h} horizons {words}", "pct")  # fmt: skip
    for name, mode in (("extremeset", "gain"), ("extremeset", "loss"), ("streakset", "gain"),
                       ("streakset", "loss")):  # fmt: skip
        gain = mode == "gain"
        run, move = ("gains", "largest rise") if gain else ("losses", "deepest fall")
        p = f"{name}_{mode}"
        out[f"{p}_return"] = Meta("float", "higher", f"compounded return of the {move} over a run of {run}", "pct")  # fmt: skip
        length = (
            f"rows in the run of {run} with the {move}"
            if name == "extremeset"
            else f"rows in the longest run of {run}"
        )
        out[f"{p}_length"] = Meta("int", "higher" if gain else "lower", length, "int")
        out[f"{p}_first"] = Meta(date, None, "first date of the run", date)
        out[f"{p}_last"] = Meta(date, None, "last date of the run", date)
    return out


def ranked(name: str, columns: Mapping[str, Any]) -> Optional[str]:
    """The column whose peer-group rank the column `name` is, if it is one."""
    base = name[: -len(RANK)]
    return base if name.endswith(RANK) and base in columns else None


def describe(columns: Mapping[str, Any], horizons: Sequence[str]) -> dict[str, Meta]:
    """Every column of the table with its metadata; a column the report does not know is
    described by its values alone (no direction, no words)."""
    known = _local_meta(horizons)
    out = {}
    for name, col in columns.items():
        if name in ("fund", "peer_group"):
            continue
        if name in known:
            out[name] = known[name]
        elif ranked(name, columns):
            out[name] = Meta("float", "lower", f"percentile rank of {ranked(name, columns)}"
                             " within the fund's peer group: 1 the best, 100 the worst", "rank")  # fmt: skip
        elif name == GROUP_SIZE:
            out[name] = Meta("int", None, "number of funds in the fund's peer group", "int")
        else:
            kind = np.asarray(col).dtype.kind
            k, f = {"M": ("date", "date"), "i": ("int", "int"), "u": ("int", "int")}.get(
                kind, ("float", "num")
            )
            out[name] = Meta(k, None, "", f)
    return out


# --- formatting --------------------------------------------------------------------------


# Values travel in the page's data as they are shown, in units of their last shown digit:
# a percentage with two decimals as an integer number of 0.0001, a ratio with three as
# one of 0.001. The table then sorts on what it shows, and 5000 funds stay small. Ranks
# (1 to 100, fractions where a group is not 100 funds) are kept in tenths, shown whole.
SCALE = {"pct": 10_000, "ratio": 1_000, "int": 1, "rank": 10}
DIGITS = 4  # significant digits of other values


def shown_units(v: float, fmt: str) -> float:
    """A value in its shown units (NaN and the infinities as they are)."""
    if not math.isfinite(v):
        return v
    if fmt in SCALE:
        return float(round(v * SCALE[fmt]))
    return float(f"{v:.{DIGITS}g}")


def show(v: Any, fmt: str) -> str:
    """A value as the page shows it (the script's format() does the same in the table)."""
    if fmt == "date":
        return "-" if v is None or np.isnat(v) else str(v)
    q = shown_units(float(v), fmt)
    if math.isnan(q):
        return "n/a"
    if math.isinf(q):
        return "inf" if q > 0 else "-inf"
    if fmt == "pct":
        return f"{q / 100:.2f}%"
    if fmt == "ratio":
        return f"{q / 1000:.3f}"
    if fmt == "rank":  # kept in tenths, so that the order is true; shown whole, half up
        return str(math.floor(q / 10 + 0.5))
    if fmt == "int" or (q == int(q) and abs(q) < 1e15):
        return str(int(q))
    return repr(q)


def _json_number(q: float) -> str:
    """A value in shown units for the page's data: null for NaN, +-1e999 for the
    infinities (JSON numbers that parse as infinite)."""
    if math.isnan(q):
        return "null"
    if math.isinf(q):
        return "1e999" if q > 0 else "-1e999"
    if q == int(q) and abs(q) < 1e15:
        return str(int(q))
    return f"{q:.{DIGITS}g}"


def script_json(obj: Any) -> str:
    """JSON for a <script> element: markup characters escaped so that no text can end the
    element or open a comment inside it."""
    text = json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


class Raw(str):
    """JSON text inserted as it is (the number arrays, already formatted)."""


def _dumps(obj: Any) -> str:
    if isinstance(obj, Raw):
        return str(obj)
    if isinstance(obj, dict):
        return "{" + ",".join(f"{script_json(k)}:{_dumps(v)}" for k, v in obj.items()) + "}"
    if isinstance(obj, list):
        return "[" + ",".join(_dumps(v) for v in obj) + "]"
    return script_json(obj)


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
            raise ValueError(
                f"--report-funds: no fund named {name!r} in the input (names are matched exactly)"
            )
        out.append(where[name])
    out = list(dict.fromkeys(out))
    if len(out) > MOST_CHOSEN:
        raise ValueError(f"--report-funds: at most {MOST_CHOSEN} funds can be charted, {len(out)} given")
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


def table_data(
    columns: Mapping[str, Any], meta: Mapping[str, Meta], shown: Sequence[str]
) -> tuple[str, list[str]]:
    """The JSON the screening table is made from, and its group names."""
    groups = sorted(set(columns["peer_group"]))
    index = {g: i for i, g in enumerate(groups)}
    cols = []
    values: dict[str, Raw] = {}
    for name in [*shown, *(n for n in meta if n not in shown)]:  # the headline first
        m = meta[name]
        if m.kind == "date":
            continue  # dates are in the output file and the drawdown tables
        v = np.asarray(columns[name], dtype=np.float64)
        units = (_json_number(shown_units(x, m.fmt)) for x in v.tolist())
        values[name] = Raw("[" + ",".join(units) + "]")
        rank = name + RANK
        cols.append(
            {
                "key": name,
                "words": m.words,
                "better": m.better,
                "fmt": m.fmt,
                "rank": rank if rank in meta else None,
                "of": ranked(name, meta),
                "show": name in shown,
            }
        )
    data = {
        "funds": [str(f) for f in columns["fund"]],
        "groups": groups,
        "group": Raw("[" + ",".join(str(index[g]) for g in columns["peer_group"]) + "]"),
        "columns": cols,
        "values": values,
    }
    return _dumps(data), groups


def data_element(data: str) -> str:
    """The table's data in the page: as JSON text, or when that is large (thousands of
    funds, many columns) deflated and in base64, about a third of the size, which the
    script inflates with the browser's own DecompressionStream."""
    raw = data.encode("utf-8")
    if len(raw) <= PLAIN_DATA:
        return f'<script type="application/json" id="fk-data">{data}</script>'
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)  # raw deflate, no header
    packed = base64.b64encode(packer.compress(raw) + packer.flush()).decode("ascii")
    return (
        '<script type="application/octet-stream" id="fk-data" data-encoding="deflate-raw">'
        f"{packed}</script>"
    )


def glossary(meta: Mapping[str, Meta]) -> str:
    out = ['<dl class="glossary">']
    for name, m in meta.items():
        if ranked(name, meta):
            continue
        better = {"higher": " Higher is better.", "lower": " Lower is better."}.get(m.better or "", "")
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


def chosen_section(
    funds: Sequence[str], picked: Sequence[int], series: Series, how: str
) -> str:
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
        + (" Small grey numbers are ranks within the peer group, 1 the best and 100 the worst."
           if any(ranked(name, meta) for name in meta) else "")
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
