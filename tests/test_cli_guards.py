"""The command's guards, run as a subprocess on small files made here: what it refuses (exit
2, one line, nothing read or written changed), what it guesses and says (a note, the run goes
on), the dates it recognises, and its faults (a traceback, exit 1)."""

import os
import pty
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import fundkernels.frames as fkf
import fundkernels.pandas as fkp
from fundkernels import InputError, _cli_compute, cli
from fundkernels._errors import PriceLikeWarning
from helpers import run_command as run

pytestmark = [pytest.mark.arrow_threads, pytest.mark.slow]  # the command in subprocesses

DAYS = pd.date_range("2000-01-01", periods=30, freq="MS")
RNG = np.random.default_rng(3)
RETS = RNG.normal(0.005, 0.04, (30, 3))
PRICES = 100 * np.cumprod(1 + RETS, axis=0)


def wide_csv(values, dates=None, names=("a", "b", "c"), extra=None):
    dates = [f"{d:%Y-%m-%d}" for d in DAYS] if dates is None else dates
    cols = dict(extra or {})
    head = ["date", *cols, *names]
    lines = [",".join(head)]
    for i, d in enumerate(dates):
        lines.append(
            ",".join([d, *[str(c[i]) for c in cols.values()], *(repr(float(v)) for v in values[i])])
        )
    return "\n".join(lines) + "\n"


def make(t):
    """The files every case may read or name."""
    (t / "p.csv").write_text(wide_csv(RETS))
    (t / "types.csv").write_text("fund,type\na,x\nb,x\nc,y\n")
    pd.DataFrame(RETS, columns=list("abc")).assign(date=DAYS).to_parquet(t / "w.parquet")
    (t / "parts").mkdir()
    (t / "parts" / "one.csv").write_text(wide_csv(RETS[:15], [f"{d:%Y-%m-%d}" for d in DAYS[:15]]))
    bad = wide_csv(RETS[15:], [f"{d:%Y-%m-%d}" for d in DAYS[15:]]).replace(
        repr(float(RETS[16, 1])), "x"
    )
    (t / "parts" / "two.csv").write_text(bad)
    (t / "link.csv").symlink_to(t / "p.csv")
    os.link(t / "p.csv", t / "hard.csv")
    (t / "old.csv").write_text("kept\n")
    (t / "empty.csv").write_text("date,a,b\n")
    (t / "nofunds.csv").write_text("date\n2000-01-01\n2000-02-01\n")
    (t / "novalues.csv").write_text("date,a\n2000-01-01,NA\n2000-02-01,.\n")
    (t / "dup.csv").write_text("date,a\n2000-01-01,0.1\n2000-02-01,0.2\n2000-01-01,0.3\n")
    (t / "dmy.csv").write_text("date,a\n01/02/2020,0.1\n01/03/2020,0.2\n")
    (t / "outdir.csv").mkdir()
    (t / "r.html").symlink_to(t / "old.csv")
    (t / "bad.parquet").write_bytes(b"PAR1 but not a Parquet file\n")
    (t / "lake").mkdir()
    pd.DataFrame(RETS, columns=list("abc")).assign(date=DAYS).to_parquet(t / "lake" / "1.parquet")
    (t / "lake" / "2.parquet").write_bytes(b"PAR1 cut short")


def snapshot(t):
    return {
        str(p.relative_to(t)): (p.read_bytes(), p.stat().st_mtime_ns)
        for p in sorted(t.rglob("*"))
        if p.is_file() and not p.is_symlink()
    }


# (arguments, the message); every case also names --output old.csv unless it names one.
REFUSED = [
    (["p.csv", "-o", "p.csv"], "--output p.csv would write over the input file p.csv"),
    (["p.csv", "-o", "./parts/../p.csv"], "would write over the input file p.csv"),
    (["p.csv", "-o", "link.csv"], "--output link.csv would write over the input file p.csv"),
    (["p.csv", "-o", "hard.csv"], "--output hard.csv would write over the input file p.csv"),
    (["w.parquet", "-o", "w.parquet"], "would write over the input file w.parquet"),
    (["parts", "-o", "parts/new.csv"], "would write over the input folder parts"),
    (["p.csv", "--types", "types.csv", "-o", "types.csv"], "over the input file types.csv"),
    (["--sql", "SELECT * FROM 'w.parquet'", "-o", "w.parquet"], "over the input file w.parquet"),
    (["p.csv", "--report", "r.html"], "--output and --report name the same file"),
    (["empty.csv"], "empty.csv has no data rows"),
    (["nofunds.csv"], "nofunds.csv has no fund columns beside the date column 'date'"),
    (["novalues.csv"], "novalues.csv holds no values"),
    (["dup.csv"], "the date 2000-01-01 occurs twice in a wide table (dup.csv lines 2 and 4)"),
    (["p.csv", "--horizon", "0M"], "--horizon 0M has no length"),
    (["dmy.csv"], "dmy.csv line 2: cannot tell the date '01/02/2020' in column 'date': the"
     " order of day and month is not guessed, give --date-format %m/%d/%Y (month first) or"
     " %d/%m/%Y (day first)"),
    (["dmy.csv", "--date-format", "%Y-%m-%d"], "dmy.csv line 2: cannot read the date"
     " '01/02/2020' in column 'date' by --date-format %Y-%m-%d"),
    (["parts"], "parts/two.csv line 3: 'x' in column 'b' is not a number"),
    (["p.csv", "--type-column", "t"], "--type-column names a column of a long table"),
    (["p.csv", "--funds", "a,zz"], "--funds names 'zz', which is no column of p.csv"),
    (["p.csv", "--all-columns"], "--columns and --all-columns choose what is printed"),
    (["p.csv", "-o", "outdir.csv"], "--output outdir.csv is a folder"),
    (["--sql", "COPY (SELECT 1 AS a) TO 'x.csv'"], "--sql only reads: give a SELECT query, not a COPY"),
    (["--sql", "ATTACH 'x.duckdb' AS x"], "not a ATTACH statement"),
    (["--sql", "INSTALL httpfs"], "--sql only reads"),
    (["--sql", "CREATE TABLE x AS SELECT 1"], "not a CREATE statement"),
    (["--sql", "SET threads = 1"], "--sql only reads"),
    (["--sql", "SELECT 1; SELECT 2"], "--sql runs one query, not 2 statements"),
    (["bad.parquet"], "cannot read bad.parquet: Parquet magic bytes not found"),
    (["lake"], "cannot read lake/2.parquet: "),
    (["p.csv", "--types", "bad.parquet"], "cannot read bad.parquet: Parquet magic bytes"),
]  # fmt: skip


@pytest.mark.parametrize("args, message", REFUSED, ids=[" ".join(a)[:40] for a, _ in REFUSED])
def test_refused_with_one_line_and_nothing_changed(tmp_path, args, message):
    make(tmp_path)
    before = snapshot(tmp_path)
    out = [] if "-o" in args else ["-o", "old.csv"]
    done = run(*args, *out, cwd=tmp_path)
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("fundkernels: error: ")
    assert message in done.stderr, done.stderr
    assert snapshot(tmp_path) == before  # inputs and the old output as they were
    assert not any(n.endswith(".tmp") or n == "x.csv" for n in os.listdir(tmp_path))


def _funds(out):
    return pd.read_csv(out)["fund"].tolist()


# (file text, arguments, the note on stderr (None: no note of this kind), check of the table)
GUESSED = [
    (wide_csv(PRICES), [], "the values of 'a', 'b', 'c' look like prices or NAVs",
     lambda t: len(t) == 3),
    (wide_csv(PRICES), ["--returns"], None, lambda t: len(t) == 3),
    (wide_csv(PRICES), ["--navs"], None, lambda t: len(t) == 3),
    (wide_csv(RETS), [], None, lambda t: len(t) == 3),
    (wide_csv(RETS, extra={"rownames": range(1, 31), "t": range(30)}), [],
     "left out columns that are not funds: 'rownames', 't'",
     lambda t: t["fund"].tolist() == ["a", "b", "c"]),
    (wide_csv(RETS, extra={"rownames": range(1, 31)}), ["--funds", "b,a"], None,
     lambda t: t["fund"].tolist() == ["b", "a"]),
    (wide_csv(RETS, extra={"t": range(30)}), ["--exclude", "t,c"], None,
     lambda t: t["fund"].tolist() == ["a", "b"]),
    ("\n".join(wide_csv(RETS).splitlines()[:1] + wide_csv(RETS).splitlines()[:0:-1]) + "\n",
     [], "the rows of p.csv are not in date order: sorted by date",
     lambda t: t["troughmend"].tolist() == fkp.troughmend(
         pd.DataFrame(RETS, index=DAYS, columns=list("abc"))).tolist()),
    (wide_csv(RETS), ["--horizon", "5Y"], "--horizon 5Y: no fund has a horizon of that length",
     lambda t: t["horizonret_5Y_mean"].isna().all()),
    (wide_csv(RETS).replace(repr(float(RETS[4, 0])), ".").replace(repr(float(RETS[5, 1])), "#N/A"), [], None,
     lambda t: t["fund"].tolist() == ["a", "b", "c"]),
    (wide_csv(RETS).replace(repr(float(RETS[4, 0])), "missing"), ["--na-values", "missing"], None,
     lambda t: len(t) == 3),
]  # fmt: skip


@pytest.mark.parametrize("text, args, note, check", GUESSED)
def test_guessed_and_said(tmp_path, text, args, note, check):
    (tmp_path / "p.csv").write_text(text)
    done = run("p.csv", *args, "-o", "out.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    notes = [line for line in done.stderr.splitlines() if "no type codes given" not in line]
    if note is None:
        assert notes == [], done.stderr
    else:
        assert len(notes) == 1 and note in notes[0], done.stderr
    assert check(pd.read_csv(tmp_path / "out.csv"))


def test_missing_markers_are_missing_values(tmp_path):
    base = wide_csv(RETS)
    (tmp_path / "iso.csv").write_text(base.replace(repr(float(RETS[4, 0])), ""))
    (tmp_path / "dot.csv").write_text(base.replace(repr(float(RETS[4, 0])), "."))
    for name in ("iso", "dot"):
        assert run(f"{name}.csv", "-o", f"{name}.out.csv", cwd=tmp_path).returncode == 0
    assert (tmp_path / "iso.out.csv").read_bytes() == (tmp_path / "dot.out.csv").read_bytes()


# Each written form of the dates of DAYS (the first of each month), with --date-format if
# needed; every one must give the table that ISO dates give.
FORMS = [
    ("{d:%Y-%m-%dT00:00:00}", []),
    ("{d:%Y-%m-%d 00:00:00+00:00}", []),
    ("{d:%Y%m%d}", []),
    ("{d:%Y%m}", []),
    ("{d:%Y/%m/%d}", []),
    ("{d:%b} {d.day} {d:%Y}", []),
    ('"{d:%B} {d.day}, {d:%Y}"', []),
    ("{d.day} {d:%b %Y}", []),
    ("{d:%d-%b-%Y}", []),
    ("{d.month}/{d.day}/{d:%Y}", ["--date-format", "%m/%d/%Y"]),
    ("{d:%d.%m.%Y}", ["--date-format", "%d.%m.%Y"]),
]


@pytest.mark.parametrize("form, args", FORMS, ids=[f for f, _ in FORMS])
def test_recognised_date_forms(tmp_path, form, args):
    (tmp_path / "iso.csv").write_text(wide_csv(RETS))
    (tmp_path / "p.csv").write_text(wide_csv(RETS, [form.format(d=d) for d in DAYS]))
    assert run("iso.csv", "-o", "iso.out.csv", cwd=tmp_path).returncode == 0
    done = run("p.csv", *args, "-o", "out.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "iso.out.csv").read_bytes()


@pytest.mark.parametrize(
    "kind", ["date32", "timestamp[s]", "timestamp[ms, tz=UTC]", "timestamp[us, tz=Asia/Tokyo]"]
)
def test_parquet_and_query_dates_of_any_type(tmp_path, kind):
    import pyarrow as pa
    import pyarrow.parquet as pq

    (tmp_path / "iso.csv").write_text(wide_csv(RETS))
    assert run("iso.csv", "-o", "iso.out.csv", cwd=tmp_path).returncode == 0
    unit, _, zone = kind.removeprefix("timestamp[").rstrip("]").partition(", tz=")
    days = pa.array(DAYS.to_numpy())
    dates = days.cast(pa.date32()) if kind == "date32" else days.cast(pa.timestamp(unit))
    if zone:  # the same instants, told in another zone
        dates = dates.cast(pa.timestamp(unit, tz=zone))
    pq.write_table(
        pa.table({"date": dates, **{f: RETS[:, i] for i, f in enumerate("abc")}}),
        tmp_path / "p.parquet",
    )
    for how in (["p.parquet"], ["--sql", "SELECT * FROM 'p.parquet'"]):
        done = run(*how, "-o", "out.csv", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "iso.out.csv").read_bytes()


def _fault(*_args, **_kwargs):
    raise KeyError("a bug")


def _refusal(*_args, **_kwargs):
    raise InputError("refused on purpose")


@pytest.mark.parametrize(
    "patched, status, shown",
    [(_fault, 1, "KeyError: 'a bug'"), (_refusal, 2, "fundkernels: error: refused on purpose")],
    ids=["fault", "refusal"],
)
def test_faults_show_their_traceback(tmp_path, monkeypatch, capsys, patched, status, shown):
    (tmp_path / "p.csv").write_text(wide_csv(RETS))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_cli_compute, "wide_arrow", patched)  # a wide table's reading
    assert cli.main(["p.csv", "-o", "out.csv"]) == status
    err = capsys.readouterr().err
    assert shown in err
    assert ("Traceback (most recent call last)" in err) == (status == 1)
    assert ("this is a fault in fundkernels" in err) == (status == 1)
    assert os.listdir(tmp_path) == ["p.csv"]


def test_version_and_glossary(tmp_path):
    from importlib.metadata import version

    done = run("--version", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.strip() == f"fundkernels {version('fundkernels')}"
    text = run("--help", cwd=tmp_path).stdout
    glossary = text[text.index("output columns") :]
    lines = [
        line.split()[0]
        for line in glossary.splitlines()[1:]
        if line.startswith("  ") and line[2] != " "
    ]
    for family in ("troughmend", "crossodds"):
        assert lines.count(family) == 1, family


@pytest.mark.parametrize(
    "args, widest", [([], 80), (["--all-columns"], None), (["--columns", "crossodds"], 40)]
)
def test_terminal_table_fits(tmp_path, args, widest):
    (tmp_path / "p.csv").write_text(wide_csv(RETS))
    main, other = pty.openpty()
    env = {**os.environ, "COLUMNS": "80", "LINES": "24"}
    proc = subprocess.run(
        [sys.executable, "-m", "fundkernels", "p.csv", *args],
        cwd=tmp_path,
        stdout=other,
        stderr=subprocess.PIPE,
        env=env,
        timeout=300,
    )
    os.close(other)
    chunks = []
    while True:
        try:
            chunk = os.read(main, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(main)
    lines = b"".join(chunks).decode().splitlines()
    assert proc.returncode == 0 and len(lines) == 4
    width = max(map(len, lines))
    if widest is None:
        assert width > 80 and "extremeset_loss_last" in lines[0]
    else:
        assert width <= widest and lines[0].split()[:2] == [
            "fund",
            "peer_group" if not args else "crossodds",
        ]


@pytest.mark.parametrize("front", ["pandas", "frames"])
@pytest.mark.parametrize(
    "values, navs, warned", [(PRICES, False, True), (PRICES, True, False), (RETS, False, False)]
)
def test_price_like_warning(front, values, navs, warned):
    df = pd.DataFrame(values, index=DAYS, columns=list("abc"))
    call = (
        (lambda: fkp.troughmend(df, navs=navs))
        if front == "pandas"
        else (lambda: fkf.troughmend(df.rename_axis("date").reset_index(), navs=navs))
    )
    if warned:
        with pytest.warns(PriceLikeWarning, match="'a', 'b', 'c' look like prices") as seen:
            call()
        assert seen[0].filename == __file__  # points at the caller, not into the package
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            call()


@pytest.mark.parametrize(
    "count, tail",
    [(5, "'f4' look"), (6, "'f4' and 1 more fund look"), (8, "'f4' and 3 more funds look")],
)
def test_price_like_warning_counts_the_funds_it_does_not_name(count, tail):
    df = pd.DataFrame(
        np.tile(PRICES[:, :1], (1, count)), index=DAYS, columns=[f"f{i}" for i in range(count)]
    )
    with pytest.warns(PriceLikeWarning, match=f"^the values of 'f0', .*{tail} like prices"):
        fkp.troughmend(df)
