"""The HTML report: its drawdown spells against the drawdown kernel, its axes, its escaping
of hostile names, its size for 5000 funds, and what a person sees in headless Chromium
(the rows a sort in the URL asks for, nothing run from a fund's name, screenshots at
desktop and phone width). The browser tests skip where Debian's chromium is absent."""

import base64
import fcntl
import io
import json
import math
import os
import re
import select
import shutil
import subprocess
import time
import zlib
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import numpy as np
import pytest

from fundkernels import _report, _report_data
from fundkernels import _report_charts as charts
from fundkernels._drawdown import drawdown as drawdown_kernel
from fundkernels._ranks import GROUP_SIZE, peer_ranks
from fundkernels._summary_columns import summary_columns
from fundkernels._cli_compute import Panel, indicator_columns, result_columns

XHTML = "{http://www.w3.org/1999/xhtml}"
HOSTILE = [
    "</script><script>document.title='RAN'</script>",
    "<img src=x onerror=\"document.body.setAttribute('data-ran','1')\">",
    "<!-- a & b -->",
    "]]> \u2028 ' \"",
]


def panel_returns(rows, funds, seed):
    rng = np.random.default_rng(seed)
    r = rng.normal(0.004, 0.05, (rows, funds))
    r[rng.random(r.shape) < 0.05] = np.nan
    r[: rows // 5, 0] = np.nan  # starts late
    r[-3:, 1 % funds] = np.nan  # ends early
    r[0, 2 % funds] = -0.2  # a loss on the first row: the peak is the starting value
    return r


def make_page(returns, funds, groups=None, chosen=None, horizons=("1Y",)):
    """The report on a panel, with the classic statistics and the peer-group ranks where
    the command does not give them (yet)."""
    days = np.datetime64("2001-01-31") + np.arange(returns.shape[0]) * np.timedelta64(30, "D")
    dates = days.astype("datetime64[ns]").astype(np.int64)
    codes = np.array([sorted(set(groups)).index(g) for g in groups] if groups else [0] * len(funds),
                     dtype=np.int32)  # fmt: skip
    cols = indicator_columns(returns, dates, funds, codes, horizons)
    if "sharpe" not in cols:
        cols.update(summary_columns(returns, dates, funds))
    panel = Panel(list(funds), len(dates), int(dates[0]), int(dates[-1]),
                  None if groups is None else list(groups), 0.0, False, "test panel",
                  lambda picked: (dates, returns[:, list(picked)]))  # fmt: skip
    columns = result_columns(panel, cols)
    if GROUP_SIZE not in columns:
        meta = _report_data.describe(columns, horizons)
        better = {k: m.better for k, m in meta.items() if m.kind != "date"}
        columns.update(peer_ranks({k: columns[k] for k in better}, codes, better))
    return _report.render(panel, columns, horizons, panel.series, chosen), columns


def page_data(page):
    """The table's data as the page's script reads it (plain, or deflated in base64)."""
    found = re.search(r'<script type="([a-z/-]+)" id="fk-data"([^>]*)>(.*?)</script>', page, re.S)
    kind, attrs, text = found.groups()
    if "deflate-raw" in attrs:
        assert kind == "application/octet-stream"
        text = zlib.decompress(base64.b64decode(text), -15).decode("utf-8")
    else:
        assert kind == "application/json"
    return json.loads(text)


# --- drawdown spells --------------------------------------------------------------------


@pytest.mark.parametrize(
    "column",
    [
        [0.1, -0.05, -0.05, 0.2, -0.02],  # recovers, then an open drawdown
        [-0.1, 0.05, 0.05, 0.01, 0.01],  # below the starting value at once
        [np.nan, np.nan, -0.1, np.nan, 0.2],  # late start, a gap inside a drawdown
        [0.01, 0.02, 0.0, 0.03],  # never below its peak
        [-0.05, -0.05, 0.1, 0.0, -0.1, 0.2, -0.01, -0.01, 0.03],  # equally long spells
        [np.nan] * 4,
        [],
    ],
)
def test_longest_spell_is_the_kernels(column):
    r = np.array(column, dtype=np.float64)
    spells = charts.drawdowns(r)
    length, peak, _, _, trough, depth, recovery = (p[0] for p in drawdown_kernel(r[:, None]))
    if not spells:
        assert length == 0
        return
    longest = max(reversed(spells), key=lambda s: s.length)  # the latest of equal lengths
    assert (longest.length, longest.peak, longest.trough, longest.recovery) == (
        length, peak, trough, recovery)  # fmt: skip
    assert longest.depth == depth


@pytest.mark.parametrize("seed", range(4))
def test_spells_on_random_panels(seed):
    r = panel_returns(300, 6, seed)
    length, peak, _, _, trough, depth, recovery = drawdown_kernel(r)
    for c in range(r.shape[1]):
        spells = charts.drawdowns(r[:, c])
        longest = max(reversed(spells), key=lambda s: s.length)
        assert (longest.length, longest.peak, longest.trough, longest.recovery, longest.depth) == (
            length[c], peak[c], trough[c], recovery[c], depth[c])  # fmt: skip
        # Spells are disjoint, in date order; the deepest is the underwater chart's lowest.
        ends = [(s.trough, s.recovery) for s in spells]
        assert all(a[1] != -1 and a[1] <= b[0] for a, b in zip(ends, ends[1:]))
        top = charts.deepest(spells)
        assert len(top) == min(5, len(spells))
        assert [s.depth for s in top] == sorted(s.depth for s in spells)[: len(top)]
        assert top[0].depth == np.nanmin(charts.underwater(charts.compounded(r[:, c])))


# --- axes ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi", [(0.0, 1.0), (-0.37, 0.0), (0.93, 1.07), (1.0, 1234.5), (-3e-5, 2e-5), (5.0, 5.0001)]
)
def test_linear_ticks_are_round_and_inside(lo, hi):
    ticks = charts.linear_ticks(lo, hi, 5)
    assert 2 <= len(ticks) <= 11
    assert all(lo - 1e-12 <= t <= hi + 1e-12 for t in ticks)
    step = ticks[1] - ticks[0]
    mantissa = step / 10 ** math.floor(math.log10(step))
    assert min(abs(mantissa - m) for m in (1, 2, 2.5, 5, 10)) < 1e-6
    labels = [charts.step_format(step, False)(t) for t in ticks]
    assert len(set(labels)) == len(labels)  # enough decimals to tell ticks apart


@pytest.mark.parametrize("lo, hi", [(0.5, 3.0), (0.9, 1.6), (1.0, 80.0), (0.01, 1e6)])
def test_log_ticks(lo, hi):
    ticks = charts.log_ticks(lo, hi, 5)
    assert 2 <= len(ticks) <= 12 and ticks == sorted(ticks)
    assert all(lo <= t <= hi for t in ticks)


@pytest.mark.parametrize(
    "first, last, label",
    [
        ("1949-01-31", "2017-12-31", r"\d{4}"),
        ("2019-06-30", "2023-03-31", r"\d{4}"),
        ("2024-01-31", "2024-06-30", r"\d{4}-\d\d"),
        ("2024-03-04", "2024-03-08", r"\d{4}-\d\d-\d\d"),
    ],
)
def test_date_ticks(first, last, label):
    lo, hi = np.datetime64(first), np.datetime64(last)
    ticks = charts.date_ticks(lo, hi, 10)
    assert 2 <= len(ticks) <= 10
    assert all(lo <= d <= hi and re.fullmatch(label, text) for d, text in ticks)
    assert [d for d, _ in ticks] == sorted({d for d, _ in ticks})


# --- the page -----------------------------------------------------------------------------


def test_hostile_names_stay_text():
    funds = HOSTILE + ["plain"]
    groups = ["<b>bold</b>", "x&y", "<b>bold</b>", "x&y", "</script>"]
    r = panel_returns(120, len(funds), 3)
    page, _ = make_page(r, funds, groups, chosen=funds[:3])
    root = ET.fromstring(page.removeprefix("<!DOCTYPE html>"))  # still well-formed
    scripts = list(root.iter(f"{XHTML}script"))
    assert len(scripts) == 2 and scripts[0].get("type") == "application/json"
    for bad in ("<img", "<b>", "<!-- a", "</script><script>"):
        assert page.count(bad) == 0, bad
    data = page_data(page)
    assert data["funds"] == funds and sorted(data["groups"]) == sorted(set(groups))
    legend = ["".join(li.itertext()) for li in root.iter(f"{XHTML}li")]
    assert legend == funds[:3]
    options = [o.text for o in root.iter(f"{XHTML}option")][1:]
    assert options == sorted(set(groups))
    captions = [t.get("data-fund") for t in root.iter(f"{XHTML}table") if t.get("data-fund")]
    assert captions == funds[:3]


def test_chosen_funds_and_their_deepest_drawdowns():
    funds = [f"f{i}" for i in range(12)]
    r = panel_returns(200, 12, 5)
    page, columns = make_page(r, funds)
    root = ET.fromstring(page.removeprefix("<!DOCTYPE html>"))
    tables = {t.get("data-fund"): t for t in root.iter(f"{XHTML}table") if t.get("data-fund")}
    # By default the two best and the two worst by Sharpe ratio.
    order = np.argsort(-columns["sharpe"], kind="stable")
    assert list(tables) == [funds[i] for i in (*order[:2], *order[-2:])]
    # The deepest drawdown of each is the one the summary kernel finds on its own.
    for fund, table in tables.items():
        j = funds.index(fund)
        first = [td.text for td in next(iter(table.iter(f"{XHTML}tbody"))).iter(f"{XHTML}td")][:6]
        peak, trough, recovery = (np.datetime64(columns[f"max_drawdown_{k}"][j], "D") for k in
                                  ("peak", "trough", "recovery"))  # fmt: skip
        assert first[1] == ("start" if np.isnat(peak) else str(peak))
        assert first[2] == str(trough)
        assert first[3] == ("not yet" if np.isnat(recovery) else str(recovery))
        assert first[4] == _report_data.show(columns["max_drawdown"][j], "pct")
    with pytest.raises(ValueError, match="no fund named 'nope'"):
        make_page(r, funds, chosen=["f1", "nope"])
    with pytest.raises(ValueError, match="at most 8"):
        make_page(r, funds, chosen=funds[:9])


def test_few_funds_no_duplicates():
    page, columns = make_page(panel_returns(60, 3, 1), ["a", "b", "c"])
    data = page_data(page)
    assert data["funds"] == ["a", "b", "c"]
    for c in data["columns"]:
        assert len(data["values"][c["key"]]) == 3
    shown = [t.get("data-fund") for t in ET.fromstring(page.removeprefix("<!DOCTYPE html>")).iter(
        f"{XHTML}table") if t.get("data-fund")]  # fmt: skip
    assert sorted(shown) == sorted(set(shown))


# Under a sanitizer's runtime (the interpreter is not instrumented, the kernels are) the
# large page takes many minutes of NumPy work on shadowed memory; its size and its sorting
# in the browser are the report's, which the plain suite checks.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan"))


@pytest.fixture(scope="module")
def large_page(tmp_path_factory):
    """5000 funds in 40 peer groups over 2520 dates, every column with its ranks."""
    if SANITIZED:
        pytest.skip("the 5000-fund page is left to the suite without a sanitizer")
    n = 5000
    groups = [f"category {i % 40}" for i in range(n)]
    funds = [f"Fund {i:05d} Global Equity Accumulation" for i in range(n)]
    page, columns = make_page(panel_returns(2520, n, 9), funds, groups)
    path = tmp_path_factory.mktemp("large") / "report.html"
    path.write_text(page)
    return path, columns


@pytest.mark.slow
def test_page_under_2mb_for_5000_funds(large_page):
    path, columns = large_page
    size = path.stat().st_size
    assert size < 2_000_000, size
    data = page_data(path.read_text())
    assert len(data["funds"]) == 5000
    ranks = [c["key"] for c in data["columns"] if c["key"].endswith("_rank")]
    assert len(ranks) >= 25 and len(data["columns"]) >= 60


# --- in the browser -----------------------------------------------------------------------

CHROMIUM = shutil.which("chromium")


def browser(test):
    """A test in headless Chromium: slow, skipped where chromium is absent."""
    skip = pytest.mark.skipif(CHROMIUM is None, reason="needs Debian's chromium")
    return pytest.mark.slow(skip(test))


# The browser runs without the sanitizer runtimes that the suite's own builds may preload.
BROWSER_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD",)}


def run_chromium(tmp_path, *args, width=1280, height=2000):
    cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
           f"--user-data-dir={tmp_path / 'profile'}", "--hide-scrollbars",
           f"--window-size={width},{height}", "--virtual-time-budget=5000", *args]  # fmt: skip
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=180, env=BROWSER_ENV)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


class Rows(HTMLParser):
    """The screening table's rows as the browser left them: fund position and cells."""

    def __init__(self):
        super().__init__()
        self.rows, self.body_attrs, self.title, self._cell, self._in = [], {}, "", None, ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "body":
            self.body_attrs = a
        elif tag == "title":
            self._in = "title"
        elif tag == "tr" and "data-row" in a:
            self.rows.append({"row": int(a["data-row"]), "cells": {}})
        elif tag == "td" and self.rows and self._in != "done":
            self._cell = a.get("data-key") or a.get("class")
            self.rows[-1]["cells"][self._cell] = ""

    def handle_endtag(self, tag):
        if tag == "td":
            self._cell = None
        elif tag == "title":
            self._in = ""

    def handle_data(self, data):
        if self._in == "title":
            self.title += data
        elif self._cell is not None:
            self.rows[-1]["cells"][self._cell] += data


def dom(tmp_path, page_path, fragment="", width=1280):
    parser = Rows()
    parser.feed(run_chromium(tmp_path, "--dump-dom", page_path.as_uri() + fragment, width=width))
    return parser


def expected_order(values, down, rows):
    v = np.asarray(values, dtype=np.float64)
    key = [(math.isnan(v[i]), 0.0 if math.isnan(v[i]) else (-v[i] if down else v[i]), i)
           for i in rows]  # fmt: skip
    return [k[2] for k in sorted(key)]


@browser
@pytest.mark.parametrize(
    "fragment, column, down, group",
    [
        ("#sort=-troughmend", "troughmend", True, None),
        ("#sort=crossodds&group=bond", "crossodds", False, "bond"),
        ("#sort=-horizonret_1Y_win", "horizonret_1Y_win", True, None),
        ("#sort=streakset_loss_length&q=fund%201", "streakset_loss_length", False, None),
    ],
)
def test_sort_and_filter_from_the_fragment(tmp_path, fragment, column, down, group):
    n = 150
    funds = [f"fund {i}" for i in range(n)]
    groups = ["bond" if i % 3 else "equity" for i in range(n)]
    page, columns = make_page(panel_returns(130, n, 7), funds, groups)
    path = tmp_path / "report.html"
    path.write_text(page)
    seen = dom(tmp_path, path, fragment)
    rows = [i for i in range(n) if group is None or groups[i] == group]
    if "q=" in fragment:
        rows = [i for i in rows if "fund 1" in funds[i]]
    # The page sorts on what it shows (ties in fund order).
    fmt = _report_data.describe(columns, ["1Y"])[column].fmt
    shown = [_report_data.shown_units(float(v), fmt) for v in columns[column]]
    want = expected_order(shown, down, rows)[:100]  # the first page
    assert [r["row"] for r in seen.rows] == want
    assert [r["cells"]["fund"] for r in seen.rows] == [funds[i] for i in want]
    assert [r["cells"][column] for r in seen.rows] == [_report_data.show(columns[column][i], fmt)
                                                       for i in want]  # fmt: skip


@browser
def test_large_page_sorts_in_the_browser(tmp_path, large_page):
    path, columns = large_page
    seen = dom(tmp_path, path, "#sort=-sharpe_rank&group=category%207")
    rows = [i for i in range(5000) if i % 40 == 7]
    shown = [_report_data.shown_units(v, "rank") for v in columns["sharpe_rank"]]
    want = expected_order(shown, True, rows)[:100]
    assert [r["row"] for r in seen.rows] == want
    assert [r["cells"]["sharpe_rank"] for r in seen.rows] == [
        _report_data.show(columns["sharpe_rank"][i], "rank") for i in want]  # fmt: skip


@browser
def test_hostile_names_run_nothing_in_the_browser(tmp_path):
    funds = HOSTILE + ["plain"]
    page, _ = make_page(panel_returns(90, len(funds), 4), funds, chosen=funds[:2])
    path = tmp_path / "report.html"
    path.write_text(page)
    seen = dom(tmp_path, path, "#sort=fund")
    assert "data-ran" not in seen.body_attrs and "RAN" not in seen.title
    assert [r["cells"]["fund"] for r in seen.rows] == sorted(funds)


class Devtools:
    """Chromium driven over its DevTools pipe (file descriptors 3 and 4 of the child,
    JSON messages ended by a NUL byte): the only way to lay a page out at a phone's
    400 px, below the 500 px that a headless window is at least."""

    def __init__(self, tmp_path):
        to_chrome, self._out = os.pipe()
        self._in, from_chrome = os.pipe()

        def child_fds():  # moved above 10 first, so that neither lands on the other
            a, b = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_chrome, from_chrome))
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--remote-debugging-pipe", f"--user-data-dir={tmp_path / 'devtools'}",
             "--hide-scrollbars", "about:blank"],
            close_fds=False, preexec_fn=child_fds, env=BROWSER_ENV,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )  # fmt: skip
        os.close(to_chrome)
        os.close(from_chrome)
        self._buf, self._id = b"", 0

    def send(self, method, session=None, **params):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._out, json.dumps(msg).encode() + b"\0")
        while True:
            while b"\0" not in self._buf:
                ready, _, _ = select.select([self._in], [], [], 60)
                chunk = os.read(self._in, 1 << 20) if ready else b""
                assert chunk, f"chromium gave no answer to {method}"
                self._buf += chunk
            raw, self._buf = self._buf.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._id:
                assert "error" not in answer, answer["error"]
                return answer["result"]

    def open(self, url, width, height):
        """A page laid out at width x height CSS pixels (a phone below 600), loaded."""
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        s = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.send("Emulation.setDeviceMetricsOverride", s, width=width, height=height,
                  deviceScaleFactor=1, mobile=width < 600)  # fmt: skip
        self.send("Page.navigate", s, url=url)
        for _ in range(600):
            if self.eval(s, "document.readyState") == "complete":
                return s
            time.sleep(0.05)
        raise AssertionError(f"{url} did not load")

    def eval(self, session, expression):
        res = self.send("Runtime.evaluate", session, expression=expression, returnByValue=True)
        return res["result"].get("value")

    def close(self):
        try:
            self.send("Browser.close")
        finally:
            self.proc.wait(30)
            os.close(self._out)
            os.close(self._in)


def png_facts(data):
    from PIL import Image

    with Image.open(io.BytesIO(data)) as im:
        rgb = np.asarray(im.convert("RGB"))
    colours = np.unique(rgb.reshape(-1, 3), axis=0)
    white = (rgb.min(axis=2) > 245).mean()
    return rgb.shape[1], rgb.shape[0], len(colours), white


@browser
@pytest.mark.parametrize("width", [1280, 400])
def test_screenshots_and_phone_width(tmp_path, width):
    n = 60
    funds = [f"Fund {i} with a long name" for i in range(n)]
    groups = [("industry", "size", "momentum")[i % 3] for i in range(n)]
    page, _ = make_page(panel_returns(400, n, 11), funds, groups)
    path = tmp_path / "report.html"
    path.write_text(page)
    chrome = Devtools(tmp_path)
    try:
        s = chrome.open(path.as_uri() + "#sort=-troughmend", width, 2400)
        # Laid out at the width asked, nothing wider than the screen but the tables that
        # scroll inside their own box; the table drawn by the script, the first 100 rows.
        assert chrome.eval(s, "innerWidth") == width
        assert chrome.eval(s, "document.documentElement.scrollWidth") <= width
        assert chrome.eval(s, "document.querySelectorAll('#funds tbody tr').length") == 60
        smallest = chrome.eval(s, "Math.min.apply(null, Array.from(document.querySelectorAll("
                               "'svg text, td, th, p, label'), function (e) {"
                               " return parseFloat(getComputedStyle(e).fontSize); }))")  # fmt: skip
        assert smallest >= 11

        # One value chart shown, the one of the screen's width, the tick box switching
        # between the linear and the log scale.
        def shown():
            return chrome.eval(s, "Array.from(document.querySelectorAll('.v')).filter("
                               "function (e) { return getComputedStyle(e).display !== 'none'; })"
                               ".map(function (e) { return e.className; })")  # fmt: skip

        size = "wide" if width > 640 else "narrow"
        before = shown()
        assert len(before) == 1 and size in before[0]
        chrome.eval(s, "document.getElementById('logscale').click()")
        after = shown()
        assert len(after) == 1 and size in after[0]
        assert {"lin" in before[0], "lin" in after[0]} == {True, False}
        shot = base64.b64decode(chrome.send("Page.captureScreenshot", s, format="png")["data"])
    finally:
        chrome.close()
    (tmp_path / f"shot{width}.png").write_bytes(shot)
    w, h, colours, white = png_facts(shot)
    assert (w, h) == (width, 2400)
    assert colours >= 20 and 0.3 < white < 0.98, (colours, white)
