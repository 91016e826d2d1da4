"""The fundkernels command, run as a subprocess on real CSV, Parquet and DuckDB files.

Its output tables are checked bit for bit against the pandas front end on the same
returns; its failures in process, for their exit status, their one line and the files
they leave."""

import bz2
import gzip
import json
import math
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest
from helpers import same_bits, run_command

import fundkernels.pandas as fk
from fundkernels import cli
from fundkernels._ranks import percentile_ranks
from fundkernels._report_data import describe, shown_units

pytestmark = [
    pytest.mark.slow,
    pytest.mark.arrow_threads,
]  # the command in subprocesses, one on dask

FUNDS = ["Alpha", "Beta", "Gamma", "Delta", "Eps", "Zeta"]
TYPES = {"Alpha": "eq", "Beta": "eq", "Gamma": "bond", "Delta": "eq", "Eps": "bond", "Zeta": "bond"}
DATES = pd.date_range("2015-01-31", periods=48, freq="ME")
XHTML = "{http://www.w3.org/1999/xhtml}"


def _returns():
    rng = np.random.default_rng(14)
    r = rng.normal(0.004, 0.04, (len(DATES), len(FUNDS)))
    r[:7, 2] = np.nan  # starts late
    r[-5:, 3] = np.nan  # ends early
    r[10:13, 1] = np.nan  # a gap
    r[20, 4] = 0.0
    r[21:26, 5] = -np.abs(r[21:26, 5])  # a losing streak
    return r


RETURNS = _returns()
# NAVs whose returns (nav / previous valid nav - 1) are computed below from the NAVs
# themselves, as a reader of the NAV file would.
NAVS = np.where(np.isnan(RETURNS), np.nan, 100 * np.cumprod(1 + np.nan_to_num(RETURNS), axis=0))


def nav_to_returns(nav):
    out = np.full(nav.shape, np.nan)
    for c in range(nav.shape[1]):
        prev = None
        for r in range(nav.shape[0]):
            if not np.isnan(nav[r, c]):
                if prev is not None:
                    out[r, c] = nav[r, c] / prev - 1
                prev = nav[r, c]
    return out


def expected(values, horizons=("1Y",), types=None, **statistics):
    """Every output column through the pandas front end."""
    df = pd.DataFrame(values, index=DATES, columns=FUNDS)
    codes = types or dict.fromkeys(FUNDS, 0)
    cols = {
        "fund": FUNDS,
        "peer_group": [types[f] for f in FUNDS] if types else ["all"] * len(FUNDS),
    }
    for name, col in fk.summary(df, **statistics).items():
        col = col.to_numpy()
        cols[name] = col.astype("datetime64[D]") if col.dtype.kind == "M" else col
    cols["troughmend"] = fk.troughmend(df).to_numpy()
    details = fk.troughmend(df, details=True)
    for name in details.columns.drop("length"):
        col = details[name].to_numpy()
        cols[f"troughmend_{name}"] = col.astype("datetime64[D]") if col.dtype.kind == "M" else col
    cols["crossodds"] = fk.crossodds(df, codes).to_numpy()
    for h in horizons:
        hr = fk.horizonret(df, h)
        for name in fk.HORIZON_COLUMNS:
            cols[f"horizonret_{h}_{name}"] = hr[name].to_numpy()
    for ind, fn in (("extremeset", fk.extremeset), ("streakset", fk.streakset)):
        for mode in ("gain", "loss"):
            res = fn(df, mode)
            for name in fk.RUN_COLUMNS:
                col = res[name].to_numpy()
                cols[f"{ind}_{mode}_{name}"] = (
                    col.astype("datetime64[D]") if col.dtype.kind == "M" else col
                )
    return cols


# --- input files -----------------------------------------------------------------------


def _opener(path):
    name = str(path)
    return gzip.open if name.endswith(".gz") else bz2.open if name.endswith(".bz2") else open


def write_wide_csv(path, values):
    with _opener(path)(path, "wt") as fh:
        fh.write("date," + ",".join(FUNDS) + "\n")
        for d, row in zip(DATES, values):
            fh.write(
                f"{d:%Y-%m-%d},"
                + ",".join("" if np.isnan(v) else repr(float(v)) for v in row)
                + "\n"
            )


def long_rows(values, with_types=False):
    """(fund, date, value[, type]) rows of the present values, shuffled."""
    rows = [
        (f, DATES[r].date(), float(values[r, c])) + ((TYPES[f],) if with_types else ())
        for c, f in enumerate(FUNDS)
        for r in range(len(DATES))
        if not np.isnan(values[r, c])
    ]
    order = np.random.default_rng(1).permutation(len(rows))
    # Funds appear in the output in order of first appearance: keep the first row of
    # every fund in front, in fund order.
    firsts = [next(i for i, row in enumerate(rows) if row[0] == f) for f in FUNDS]
    return [rows[i] for i in firsts] + [rows[i] for i in order if i not in firsts]


def long_table(values, with_types=False):
    rows = long_rows(values, with_types)
    names = ["fund", "day", "value", "kind"][: len(rows[0])]
    return pa.table({n: [row[i] for row in rows] for i, n in enumerate(names)})


def write_long_csv(path, values, with_types=False):
    with _opener(path)(path, "wt") as fh:
        fh.write("fund,day,value" + (",kind" if with_types else "") + "\n")
        for row in long_rows(values, with_types):
            fh.write(",".join([row[0], str(row[1]), repr(row[2]), *row[3:]]) + "\n")


def write_types(path, _=None):
    path.write_text("fund,type\n" + "".join(f"{f},{t}\n" for f, t in TYPES.items()))


def wide_parquet(path, values):
    pq.write_table(pa.table({"date": DATES.to_numpy(), **dict(zip(FUNDS, values.T))}), path)


def long_parquet_folder(path, values):
    path.mkdir()
    table = long_table(values)
    half = table.num_rows // 2
    pq.write_table(table.slice(0, half), path / "part-0.parquet")
    pq.write_table(table.slice(half), path / "part-1.parquet")


def duckdb_file(path, values):
    con = duckdb.connect(str(path))
    con.register("tbl", long_table(values))
    con.execute("CREATE TABLE navs AS SELECT * FROM tbl")
    con.close()


def read_output(path):
    if path.suffix == ".json":
        rows = json.loads(path.read_text())
        return {k: [row[k] for row in rows] for k in rows[0]}
    table = pq.read_table(path) if path.suffix == ".parquet" else pcsv.read_csv(path)
    return table.to_pydict()


def as_array(got, want):
    """Output values as an array of the expected column's type (None is missing)."""
    if isinstance(want, list):
        return [str(v) for v in got]
    if want.dtype.kind == "M":
        days = [np.datetime64("NaT") if v is None else np.datetime64(str(v)) for v in got]
        return np.array(days, "datetime64[D]")
    return np.array([np.nan if v is None else v for v in got], dtype=want.dtype)


def assert_same_table(got, want):
    """The same columns in the same order, every value bit for bit."""
    assert list(got) == list(want)
    for col, w in want.items():
        g = as_array(got[col], w)
        if isinstance(w, list):
            assert g == w, col
        elif w.dtype.kind == "M":  # NaT matches NaT
            assert g.dtype == w.dtype and np.array_equal(g.view("i8"), w.view("i8")), col
        else:
            assert same_bits(g, w), col


def long_csv_with_types(path, values):
    write_long_csv(path, values, with_types=True)


LONG = ["--fund", "fund", "--date", "day", "--value", "value"]
NAV_RETURNS = nav_to_returns(NAVS)
TYPED = (write_types, "types.csv", None)
# name: (files to write: (writer, file name, values), arguments, the returns the output
#        must match, type codes, horizons, output suffix)
# fmt: off
CASES = {
    "wide csv": ([(write_wide_csv, "p.csv", RETURNS)], ["p.csv"], RETURNS, None, ["1Y"], ".csv"),
    "wide csv.gz, two horizons": (
        [(write_wide_csv, "p.csv.gz", RETURNS)],
        ["p.csv.gz", "--horizon", "6M", "--horizon", "2Y"],
        RETURNS, None, ["6M", "2Y"], ".parquet",
    ),
    "long csv.bz2 with a type column": (
        [(long_csv_with_types, "p.csv.bz2", RETURNS)],
        ["p.csv.bz2", *LONG, "--type-column", "kind"],
        RETURNS, TYPES, ["1Y"], ".json",
    ),
    "wide parquet of navs with a types file": (
        [(wide_parquet, "n.parquet", NAVS), TYPED],
        ["n.parquet", "--navs", "--types", "types.csv"],
        NAV_RETURNS, TYPES, ["1Y"], ".csv",
    ),
    "long parquet folder": (
        [(long_parquet_folder, "parts", RETURNS)],
        ["parts", *LONG, "--horizon", "3M"],
        RETURNS, None, ["3M"], ".parquet",
    ),
    "duckdb database of navs": (
        [(duckdb_file, "funds.duckdb", NAVS), TYPED],
        ["--database", "funds.duckdb", "--sql", "SELECT fund, day, value AS nav FROM navs",
         *LONG[:4], "--value", "nav", "--navs", "--types", "types.csv"],
        NAV_RETURNS, TYPES, ["1Y"], ".json",
    ),
    "duckdb query over a parquet file": (
        [(wide_parquet, "w.parquet", RETURNS)],
        ["--sql", "SELECT * FROM 'w.parquet' ORDER BY date"],
        RETURNS, None, ["1Y"], ".csv",
    ),
}
# fmt: on


@pytest.mark.parametrize("case", CASES)
def test_output_matches_the_modules(tmp_path, case):
    files, args, values, types, horizons, suffix = CASES[case]
    for write, name, data in files:
        write(tmp_path / name, data)
    out = tmp_path / f"out{suffix}"
    done = run_command(*args, "--output", out.name, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert ("no type codes given" in done.stderr) == (types is None)
    assert_same_table(read_output(out), expected(values, horizons, types))


def test_report_and_table_on_stdout(tmp_path):
    write_wide_csv(tmp_path / "p.csv", RETURNS)
    done = run_command("p.csv", "--report", "r.html", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    want = expected(RETURNS)
    lines = done.stdout.splitlines()
    assert lines[0].split() == list(want)
    assert [line.split()[0] for line in lines[1:]] == FUNDS
    at = list(want).index("troughmend")
    assert [int(line.split()[at]) for line in lines[1:]] == want["troughmend"].tolist()

    text = (tmp_path / "r.html").read_text()
    # Self-contained: the only scripts are the page's own, nothing is fetched.
    assert "src=" not in text and not re.search(r"""href=["'](?!#)""", text)
    assert "<script" in text and "<script src" not in text
    root = ET.fromstring(text.removeprefix("<!DOCTYPE html>"))  # well-formed throughout
    figures = {f.get("data-column") for f in root.iter(f"{XHTML}figure")}
    numeric = [c for c, v in want.items() if isinstance(v, np.ndarray) and v.dtype.kind in "if"]
    assert figures == set(numeric)
    data = next(s for s in root.iter(f"{XHTML}script") if s.get("id") == "fk-data")
    table = json.loads(data.text)
    assert table["funds"] == FUNDS
    meta = describe(want, ["1Y"])
    # Without --ranks in the table the report still ranks every fund within its peer group
    # (here one group of all funds) on every column that ranks funds.
    ranks = [f"{c}_rank" for c in numeric if meta[c].better]
    keys = sorted(c["key"] for c in table["columns"])
    assert keys == sorted([*numeric, *ranks, "peer_group_size"])
    best_first = percentile_ranks(want["sharpe"], np.zeros(len(FUNDS), np.int64), "higher")
    assert table["values"]["sharpe_rank"] == [shown_units(r, "rank") for r in best_first]
    for c in numeric:  # every value as shown (0.01% for percentages), n/a as null
        got = [math.nan if x is None else x for x in table["values"][c]]
        shown = [shown_units(float(x), meta[c].fmt) for x in want[c]]
        assert got == pytest.approx(shown, nan_ok=True, rel=0, abs=0), c
    charted = [t.get("data-fund") for t in root.iter(f"{XHTML}table") if t.get("data-fund")]
    by_sharpe = [FUNDS[i] for i in np.argsort(-want["sharpe"], kind="stable")]
    assert charted == [*by_sharpe[:2], *by_sharpe[-2:]]  # the two best and two worst
    summary = {
        td.get("data-key"): "".join(td.itertext())
        for td in root.iter(f"{XHTML}td")
        if td.get("data-key")
    }
    assert summary["funds"] == "6" and summary["dates"] == "48"
    assert summary["first date"] == "2015-01-31" and summary["last date"] == "2018-12-31"
    assert "one peer group of all funds" in summary["peer groups"]


def test_shipped_panel_through_the_console_script(tmp_path):
    script = Path(sys.executable).with_name("fundkernels")
    done = subprocess.run([script], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 31 and lines[1].split()[:2] == ["NoDur", "industry"]
    assert done.stderr == ""  # the shipped types give the peer groups


@pytest.mark.parametrize(
    "panel, flags, values",
    [(RETURNS, [], RETURNS), (NAVS, ["--navs"], nav_to_returns(NAVS))],
    ids=["returns", "navs"],
)
def test_dask_engine_gives_the_same_table(tmp_path, panel, flags, values):
    wide_parquet(tmp_path / "w.parquet", panel)
    write_types(tmp_path / "t.csv")
    report = ["--report", "r.html", "--report-funds", "Gamma,Alpha"]
    done = run_command(
        "w.parquet", "--engine", "dask", "--types", "t.csv", *flags, "-o", "d.parquet", *report,
        cwd=tmp_path,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "100% Completed" in done.stderr
    assert_same_table(read_output(tmp_path / "d.parquet"), expected(values, types=TYPES))
    # The charted funds' returns are read again by the dask engine: their deepest drawdown.
    root = ET.fromstring((tmp_path / "r.html").read_text().removeprefix("<!DOCTYPE html>"))
    tables = {t.get("data-fund"): t for t in root.iter(f"{XHTML}table") if t.get("data-fund")}
    assert list(tables) == ["Gamma", "Alpha"]
    for fund, table in tables.items():
        r = values[:, FUNDS.index(fund)]
        value = np.cumprod(np.where(np.isnan(r), 1.0, 1.0 + r))
        lowest = np.min(value / np.maximum.accumulate(np.maximum(value, 1.0)) - 1.0)
        first_row = next(tr for tr in table.iter(f"{XHTML}tr") if tr.find(f"{XHTML}td") is not None)
        assert [td.text for td in first_row][4] == f"{100 * lowest:.2f}%"


# --- failures --------------------------------------------------------------------------


def _bad_inputs(t):
    write_wide_csv(t / "p.csv", RETURNS)
    write_long_csv(t / "long.csv", RETURNS)
    (t / "dates.csv").write_text("date,a\n2020-01-31,0.1\n2020-13-45,0.2\n")
    (t / "text.csv").write_text("date,a,b\n2020-01-31,0.1,0.2\n2020-02-29,0.1,abc\n")
    (t / "twice.csv").write_text(
        "fund,day,value\nA,2020-01-31,0.1\nB,2020-01-31,0.2\nA,2020-01-31,0.3\n"
    )
    (t / "zero.csv").write_text("date,a\n2020-01-31,100\n2020-02-29,0\n")
    (t / "types.csv").write_text("fund,type\nAlpha,eq\n")


ERRORS = [
    (["nope.csv"], "no such file or folder: nope.csv"),
    (["p.csv", "--date", "when"], "no date column 'when'"),
    (["long.csv", "--fund", "who", "--date", "day", "--value", "value"], "no fund column 'who'"),
    (["dates.csv"], "dates.csv line 3: cannot read the date '2020-13-45' in column 'date'"),
    (["text.csv"], "text.csv line 3: 'abc' in column 'b' is not a number"),
    (
        ["twice.csv", "--fund", "fund", "--date", "day", "--value", "value"],
        "fund 'A' has two rows for 2020-01-31 (twice.csv lines 2 and 4)",
    ),
    (["zero.csv", "--navs"], "fund 'a' has 0.0 on 2020-02-29"),
    (["p.csv", "--horizon", "1W"], "such as '3M' or '1Y', not '1W'"),
    (["p.csv", "--types", "types.csv"], "types has no code for the funds ['Beta'"),
    (["p.csv", "--fund", "fund"], "needs both --fund and --value"),
    (["--sql", "SELECT * FROM nothere"], "the --sql query failed"),
    (["--sql", "SELECT 1", "--database", "none.duckdb"], "no such database file: none.duckdb"),
    (["p.csv", "--bogus"], "unrecognized arguments: --bogus"),
    (["p.csv", "--report-funds", "Alpha,Nope"], "--report-funds: no fund named 'Nope'"),
    (["p.csv", "--engine", "dask"], "--engine dask reads a wide Parquet file or folder"),
    (["p.csv", "--output", "out.xlsx"], "cannot tell the format of the output out.xlsx"),
    (
        ["p.csv", "--output", "missing/out.csv"],
        "the folder of the output missing/out.csv does not exist",
    ),
]


@pytest.mark.parametrize("args, message", ERRORS, ids=[e[1][:30] for e in ERRORS])
def test_failures_exit_2_with_one_line_and_leave_no_file(
    tmp_path, monkeypatch, capsys, args, message
):
    _bad_inputs(tmp_path)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "old.csv").write_text("kept\n")
    before = sorted(os.listdir(tmp_path))
    out = [] if "--output" in args else ["--output", "old.csv"]
    assert cli.main([*args, *out, "--report", "r.html"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("fundkernels: error: ") and message in err, err
    assert sorted(os.listdir(tmp_path)) == before  # no report, no temporary file
    assert (tmp_path / "old.csv").read_text() == "kept\n"


@pytest.mark.parametrize("calendar", ["own", "panel"])
@pytest.mark.parametrize("report", [False, True])
def test_a_bad_nav_is_refused_on_either_calendar(tmp_path, monkeypatch, capsys, calendar, report):
    # On the own calendar the NAVs are checked as each indicator turns them into returns
    # (the panel's returns are made only for a report): the same refusal either way.
    _bad_inputs(tmp_path)
    monkeypatch.chdir(tmp_path)
    shown = ["--report", "r.html"] if report else []
    args = ["zero.csv", "--navs", "--calendar", calendar, "--output", "o.csv", *shown]
    assert cli.main(args) == 2
    err = capsys.readouterr().err
    assert (
        err
        == "fundkernels: error: NAVs must be positive and finite: fund 'a' has 0.0 on 2020-02-29\n"
    )
    assert not (tmp_path / "o.csv").exists() and not (tmp_path / "r.html").exists()


def test_a_failed_write_keeps_the_old_output(tmp_path):
    old = tmp_path / "out.parquet"
    old.write_text("kept\n")
    with pytest.raises(RuntimeError):
        with cli.replaced_atomically(str(old)) as fh:
            fh.write(b"half")
            raise RuntimeError("disk full")
    assert old.read_text() == "kept\n" and os.listdir(tmp_path) == ["out.parquet"]


@pytest.mark.parametrize(
    "flags, statistics",
    [
        (["--risk-free", "0.03"], {"risk_free": 0.03}),
        (
            ["--periods-per-year", "52", "--risk-free", "-0.01"],
            {"periods_per_year": 52, "risk_free": -0.01},
        ),
    ],
)
def test_statistics_flags(tmp_path, flags, statistics):
    write_wide_csv(tmp_path / "w.csv", RETURNS)
    done = run_command("w.csv", *flags, "--output", "out.parquet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert_same_table(read_output(tmp_path / "out.parquet"), expected(RETURNS, **statistics))


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--periods-per-year", "0"], "--periods-per-year: periods_per_year must be a positive"),
        (["--risk-free", "-1.5"], "--risk-free: risk_free must be an annual rate above -1"),
        (["--risk-free", "3%"], "argument --risk-free: invalid float value"),
    ],
)
def test_bad_statistics_flags(tmp_path, flags, message):
    write_wide_csv(tmp_path / "w.csv", RETURNS)
    done = run_command("w.csv", *flags, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr, done.stderr


@pytest.mark.parametrize("typed", [True, False])
def test_ranks_within_peer_groups(tmp_path, typed):
    from fundkernels._ranks import percentile_ranks
    from fundkernels._registry import command_columns

    write_wide_csv(tmp_path / "w.csv", RETURNS)
    args = ["w.csv", "--ranks", "--output", "out.parquet"]
    if typed:
        write_types(tmp_path / "types.csv")
        args += ["--types", "types.csv"]
    done = run_command(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    got = pd.read_parquet(tmp_path / "out.parquet")
    groups = got["peer_group"].to_numpy()
    codes = pd.factorize(groups)[0]
    directed = [o for o in command_columns(["1Y"]) if o.column.better is not None]
    ranked = [c[: -len("_rank")] for c in got.columns if c.endswith("_rank")]
    assert ranked == [o.name for o in directed]  # every column that ranks, in table order
    for o in directed:
        want = percentile_ranks(got[o.name].to_numpy(), codes, o.column.better)
        assert np.array_equal(got[o.name + "_rank"].to_numpy(), want, equal_nan=True), o.name
    sizes = pd.Series(groups).map(pd.Series(groups).value_counts()).to_numpy()
    assert np.array_equal(got["peer_group_size"].to_numpy(), sizes)
    # The best Sharpe ratio of each group ranks 1, and the worst 100.
    for _, part in got.groupby("peer_group"):
        assert part.loc[part["sharpe"].idxmax(), "sharpe_rank"] == 1
        assert part.loc[part["sharpe"].idxmin(), "sharpe_rank"] == 100
