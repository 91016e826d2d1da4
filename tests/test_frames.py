"""The frames front end on pandas, polars and pyarrow tables, wide and long, against the
modules; NAVs as input in the pandas and frames front ends."""

import json
import subprocess
import sys

import narwhals as nw
import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

# Not importable in every suite (its library crashes under the thread sanitizer's runtime).
pl = pytest.importorskip("polars")

import fundkernels.frames as fkf
import fundkernels.pandas as fkp
from fundkernels._returns import returns_from_navs
from helpers import FRONT_END, awkward_matrix, direct, same_bits

NAMES = FRONT_END
LIBRARIES = {
    "pandas": lambda t: t,
    "polars": pl.from_pandas,
    "pyarrow": lambda t: pa.Table.from_pandas(t, preserve_index=False),
}


def returns_panel(rows=40, cols=7, seed=0, tz="America/New_York"):
    rng = np.random.default_rng(seed)
    values = awkward_matrix(rng, rows, cols)
    values[:, 0] = rng.normal(0, 0.05, rows)  # one fund on every date keeps all dates
    index = pd.date_range("2015-01-31", periods=rows, freq="ME", tz="UTC").tz_convert(tz)
    index = index + pd.Timedelta(hours=22, minutes=30)  # late evening: another day in Tokyo
    return pd.DataFrame(values, index=index.rename("date"), columns=[f"f{c}" for c in range(cols)])


def wide(frame):
    return frame.reset_index()


def long(frame, seed=1, drop=0.5):
    """One row per fund and date, shuffled; a share `drop` of the missing values left out."""
    table = frame.reset_index().melt(id_vars="date", var_name="fund", value_name="ret")
    rng = np.random.default_rng(seed)
    keep = table["ret"].notna().to_numpy() | (rng.random(len(table)) >= drop)
    return table[keep].sample(frac=1, random_state=seed).reset_index(drop=True)


def call(name, table, layout, **kwargs):
    """One call of the frames front end with the arguments `direct` uses."""
    if layout == "long":
        kwargs = dict(kwargs, fund="fund", value="ret")
    if name == "crossodds":
        return fkf.crossodds(table, {f"f{c}": c % 3 for c in range(300)}, **kwargs)
    if name == "horizonret":
        return fkf.horizonret(table, "3M", **kwargs)
    return getattr(fkf, name)(table, **kwargs)


def columns(result):
    """A result as {column: NumPy array}, dates as the modules' eight-digit texts."""
    frame = nw.from_native(result, eager_only=True)
    out = {}
    for name in frame.columns:
        values = np.asarray(frame[name].to_numpy())
        if values.dtype.kind == "M":
            text = np.datetime_as_string(values.astype("M8[D]"))
            values = ["nan" if t == "NaT" else t.replace("-", "") for t in text]
        out[name] = values
    return out


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("layout", ["wide", "long"])
def test_agrees_with_module_for_every_library_and_layout(name, library, layout):
    frame = returns_panel()
    table = LIBRARIES[library]((wide if layout == "wide" else long)(frame))
    panel = {} if name == "crossodds" else {"calendar": "panel"}
    got = columns(call(name, table, layout, **panel))
    funds = list(got.pop("fund"))
    if layout == "wide":
        assert funds == list(frame.columns)
    else:  # order of first appearance; a fund without rows is absent
        assert funds == list(dict.fromkeys(long(frame)["fund"]))
    dates = frame.index.tz_convert("UTC").as_unit("ns").asi8
    want = direct(name, frame.to_numpy(), dates)
    cols = [frame.columns.get_loc(f) for f in funds]
    assert len(got) == len(want)
    for g, w in zip(got.values(), want):
        w = [w[c] for c in cols] if isinstance(w, list) else w[cols]
        assert (list(g) == w) if isinstance(w, list) else same_bits(g, w)


def _mixed_wide(rows, where):
    """A wide pandas table whose fund columns are of several numeric types (NaN in the
    floats, values every type holds exactly), the date column first, in the middle or last;
    and the float64 matrix of its funds."""
    rng = np.random.default_rng(5)
    x = np.round(rng.normal(0, 4, (rows, 6)))
    x[rng.random(x.shape) < 0.2] = np.nan
    x[:, 2:] = np.nan_to_num(np.abs(x[:, 2:]))  # the integer columns: no gaps
    cols = {
        "a": x[:, 0],
        "b": x[:, 1].astype(np.float32),
        "c": x[:, 2].astype(np.int8),
        "d": x[:, 3].astype(np.uint64),
        "e": x[:, 4].astype(np.int64),
        "f": x[:, 5],
    }
    dates = pd.date_range("2020-01-01", periods=rows, freq="D", unit="ns")
    names = list(cols)
    names.insert({"first": 0, "middle": 3, "last": len(names)}[where], "date")
    table = pd.DataFrame({**cols, "date": dates})[names]
    return table, x


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("types", ["mixed", "float64", "float64 in pieces"])
def test_wide_values_read_exactly_whatever_the_column_types(library, where, types):
    """Every way a wide table's values reach the matrix (a library's own conversion of
    plain numbers, Arrow's at once or column by column, the column-wise fallback) gives the
    same float64 values, NaN where a value is missing, in the columns' order."""
    from fundkernels._narwhals_adapter import read_table

    table, x = _mixed_wide(30, where)
    if types != "mixed":
        table = table.astype({c: np.float64 for c in "abcdef"})
    native = LIBRARIES[library](table)
    if types == "float64 in pieces":  # Arrow: several batches; pandas: a block per column
        if library == "pyarrow":
            native = pa.concat_tables([native.slice(0, 11), native.slice(11)])
        elif library == "pandas":
            native = pd.DataFrame({c: table[c].copy() for c in table.columns})
    got = read_table(native, "date", None, None)
    assert got.funds == list("abcdef")
    assert got.values.dtype == np.float64
    assert same_bits(got.values, x.astype(np.float64))
    want = fkp.troughmend(pd.DataFrame(x, index=table["date"].rename(None)), calendar="panel")
    result = as_pandas(fkf.troughmend(native, calendar="panel"))
    assert same_bits(result["troughmend"].to_numpy(), want.to_numpy())


@pytest.mark.parametrize("name", [*NAMES, "details"])
@pytest.mark.parametrize("labels", ["str", "object"])
@pytest.mark.parametrize("where", ["first", "middle"])
def test_pandas_wide_tables_read_by_pandas_alone_as_by_narwhals(name, labels, where):
    """A wide pandas table of numbers labelled by text is read without narwhals' per-label
    route; naming its funds (funds=) takes that route: the results are the same frames,
    dtypes included."""
    frame = wide(returns_panel())
    if where == "middle":
        frame = frame[["f0", "f1", "date", *frame.columns[3:]]]
    frame.columns = frame.columns.astype(labels)
    funds = [c for c in frame.columns if c != "date"]
    kwargs = {"details": True} if name == "details" else {}
    name = "troughmend" if name == "details" else name
    fast = call(name, frame, "wide", **kwargs)
    general = call(name, frame, "wide", funds=funds, **kwargs)
    pd.testing.assert_frame_equal(fast, general, check_exact=True)


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("layout", ["wide", "long"])
def test_troughmend_details_as_the_pandas_front_end_gives_them(library, layout):
    frame = returns_panel()
    table = LIBRARIES[library]((wide if layout == "wide" else long)(frame))
    got = columns(call("troughmend", table, layout, details=True))
    funds = list(got.pop("fund"))
    want = columns(fkp.troughmend(frame, details=True).loc[funds])
    assert list(got) == list(want) == list(fkp.DRAWDOWN_COLUMNS)
    for g, w in zip(got.values(), want.values()):
        assert (list(g) == w) if isinstance(w, list) else same_bits(g, w)


def as_pandas(result):
    """A frames result as the pandas front end labels it."""
    frame = nw.from_native(result, eager_only=True).to_pandas().set_index("fund")
    frame.index.name = None
    for c in ("first", "last"):
        if c in frame:
            frame[c] = pd.to_datetime(frame[c]).astype("M8[ns]")
    return frame


@pytest.mark.parametrize(
    "library, dates",
    [
        ("pandas", lambda i: i.tz_convert("Asia/Tokyo").as_unit("s")),
        ("polars", lambda i: i.tz_convert("Asia/Tokyo").as_unit("ms")),
        ("polars", lambda i: i.tz_localize(None)),  # naive is UTC
        ("pyarrow", lambda i: i.tz_convert("America/New_York").as_unit("us")),
        ("pyarrow", lambda i: i.normalize().date),  # date32: midnight UTC
        ("polars", lambda i: i.normalize().date),
    ],
)
def test_dates_of_any_unit_and_zone_are_utc(library, dates):
    frame = returns_panel(tz="UTC").tz_convert(None)
    table = wide(frame).assign(date=dates(frame.index.tz_localize("UTC")))
    native = LIBRARIES[library](table)
    if isinstance(table["date"].iloc[0], np.datetime64) or table["date"].dtype == object:
        frame = frame.set_axis(frame.index.normalize())
    for name in ("streakset", "horizonret"):
        want = fkp.streakset(frame) if name == "streakset" else fkp.horizonret(frame, "3M")
        got = as_pandas(call(name, native, "wide"))
        pd.testing.assert_frame_equal(got, want, check_exact=True)


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("shape", [(0, 3), (5, 0)])
@pytest.mark.parametrize("name", NAMES)
def test_empty_tables(library, shape, name):
    frame = returns_panel(*shape) if shape[1] else returns_panel(shape[0], 1)[[]]
    for layout, table in (("wide", wide(frame)), ("long", long(frame))):
        got = columns(call(name, LIBRARIES[library](table), layout))
        funds = list(frame.columns) if layout == "wide" else []
        assert list(got.pop("fund")) == funds
        want = direct(name, np.zeros((shape[0], len(funds))), np.zeros(shape[0], np.int64))
        assert [len(v) for v in got.values()] == [len(w) for w in want]


def test_type_codes_as_mapping_frame_or_column():
    frame = returns_panel()
    codes = {f: ["x", "y"][i % 2] for i, f in enumerate(frame.columns)}
    want = fkp.crossodds(frame, codes)
    table = long(frame).assign(kind=lambda t: t["fund"].map(codes))
    pairs = pl.DataFrame({"name": list(codes), "group": list(codes.values())})
    for got in (
        fkf.crossodds(pl.from_pandas(wide(frame)), pairs),
        fkf.crossodds(pa.Table.from_pandas(table), fund="fund", value="ret", type="kind"),
    ):
        got = as_pandas(got)["crossodds"].reindex(want.index)
        assert same_bits(got.to_numpy(), want.to_numpy())
    # "all": one group of all funds, chosen explicitly.
    one = fkp.crossodds(frame, {f: 0 for f in frame.columns})
    got = as_pandas(fkf.crossodds(wide(frame), "all"))["crossodds"].to_numpy()
    assert same_bits(got, one.to_numpy())


def test_horizon_windows_by_fund_or_for_all():
    frame = returns_panel(tz="UTC")
    start = {"f1": "2016-01-01", "f3": pd.Timestamp("2016-06-30").date(), "f9": "2020-01-01"}
    end = "2017-12-31T23:00:00Z"
    want = fkp.horizonret(frame, "3M", start=start, end=end)
    got = as_pandas(fkf.horizonret(pl.from_pandas(wide(frame)), "3M", start=start, end=end))
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert not want.equals(fkp.horizonret(frame, "3M"))  # the bounds took effect


def navs_of(returns, seed=5):
    """NAVs whose returns (nav / previous valid nav - 1) are close to `returns`; NaN kept."""
    growth = np.where(np.isnan(returns), 1.0, 1.0 + np.clip(returns, -0.5, 0.5))
    navs = 100.0 * np.cumprod(growth, axis=0)
    navs[np.isnan(returns)] = np.nan
    return navs


def _gappy_navs(rng, funds, rows):
    """funds x rows NAVs, each fund missing a random share of its rows (none to all)."""
    navs = np.exp(rng.normal(0, 2, (funds, rows)))
    navs[rng.random((funds, rows)) < rng.random((funds, 1))] = np.nan
    return navs


def expected_returns(navs):
    """nav / prev - 1 cell by cell, the way a reader of the definition would write it."""
    out = np.full(navs.shape, np.nan)
    for c in range(navs.shape[1]):
        prev = None
        for r in range(navs.shape[0]):
            if not np.isnan(navs[r, c]):
                if prev is not None:
                    out[r, c] = navs[r, c] / prev - 1
                prev = navs[r, c]
    return out


@pytest.mark.parametrize(
    "navs",
    [
        [[np.nan, 100.0, 110.0, np.nan, 99.0, 99.0]],  # leading and inner gaps, a flat row
        [[1.0, 1e-300, 3.0, np.nan, np.nan, 1e300]],  # extremes, two missing in a row
        [[np.nan, np.nan], [7.0, np.nan], [np.nan, 5.0]],  # all missing, one value
        np.zeros((0, 2)),
        # Gaps of every length (leading, inner, trailing, a whole column, the last row)
        # over more funds than are converted at a time.
        _gappy_navs(np.random.default_rng(7), funds=300, rows=40),
    ],
)
def test_nav_returns_are_one_division_and_one_subtraction(navs):
    navs = np.array(navs, dtype=np.float64).T
    for matrix in (np.ascontiguousarray(navs), np.asfortranarray(navs)):
        got = returns_from_navs(matrix, None, list(range(navs.shape[1])))
        assert same_bits(got, expected_returns(navs))
        assert same_bits(matrix, navs)  # untouched unless converted in place


def front_call(front, name, frame, navs):
    """One indicator through the pandas front end or the frames one (polars wide or Arrow
    long), as plain columns."""
    # A fund's first NAV is a date of its own with no return: on the own calendar an
    # indicator that reads the dates may see it; the panel's dates are the same either way.
    panel = {} if name == "crossodds" else {"calendar": "panel"}
    if front == "pandas":
        args = {"crossodds": ({f: i % 3 for i, f in enumerate(frame.columns)},)}.get(name, ())
        args = ("3M",) if name == "horizonret" else args
        got = getattr(fkp, name)(frame, *args, navs=navs, **panel)
        return columns(pd.DataFrame(got).reset_index())
    if front == "polars-wide":
        return columns(call(name, pl.from_pandas(wide(frame)), "wide", navs=navs, **panel))
    table = pa.Table.from_pandas(long(frame, drop=0))
    return columns(call(name, table, "long", navs=navs, **panel))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("front", ["pandas", "polars-wide", "pyarrow-long"])
def test_navs_give_the_results_of_their_returns(name, front):
    frame = returns_panel(cols=300)  # more columns than one conversion block
    navs = frame.copy()
    navs[:] = navs_of(frame.to_numpy())
    returns = frame.copy()
    returns[:] = expected_returns(navs.to_numpy())
    got, want = front_call(front, name, navs, True), front_call(front, name, returns, False)
    assert list(got) == list(want)
    for g, w in zip(got.values(), want.values()):
        assert list(g) == list(w) if isinstance(w, list) else same_bits(g, w)


def spoil_wide(change):
    """A wide pandas table of the test panel, changed by `change`."""
    return lambda: change(wide(returns_panel(rows=8, cols=3, tz="UTC")))


def spoil_long(change):
    return lambda: change(long(returns_panel(rows=8, cols=3, tz="UTC")))


def _swap(t):
    return t.iloc[[0, 2, 1, *range(3, len(t))]]


def _twice(t):
    return pd.concat([t, t.iloc[[3]]])


def _far(t):
    return t.assign(
        date=t["date"]
        .dt.tz_localize(None)
        .astype("M8[s]")
        .where(t.index != 2, np.datetime64("2300-01-01", "s"))
    )


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize(
    "table, kwargs, error, message",
    [
        (spoil_wide(_swap), {}, ValueError, r"not in ascending order: row 2 \(2015-02-28 "),
        (
            spoil_wide(lambda t: t.assign(date=t["date"].where(t.index != 4))),
            {},
            ValueError,
            "missing date at row 4",
        ),
        (spoil_wide(_far), {}, ValueError, r"between 1677 and 2262 .*row 2"),
        (spoil_wide(lambda t: t.assign(f1="x")), {}, TypeError, r"not numeric: 'f1' \(String\)"),
        (spoil_wide(lambda t: t.assign(f2=True)), {}, TypeError, r"not numeric: 'f2' \(Boolean\)"),
        (
            spoil_wide(lambda t: t.assign(date=t["date"].astype(str))),
            {},
            TypeError,
            "must hold dates",
        ),
        (spoil_wide(lambda t: t), {"date": "day"}, ValueError, "no date column 'day'"),
        (spoil_wide(lambda t: t), {"value": "f1"}, TypeError, "give fund= too"),
        (spoil_wide(lambda t: t), {"navs": "yes"}, TypeError, "navs must be True or False"),
        (
            spoil_wide(lambda t: t.assign(f0=1.0, f1=[0.0] + [1.0] * 7, f2=1.0)),
            {"navs": True},
            ValueError,
            r"fund 'f1' has 0.0 on 2015-01-31 22:30:00$",
        ),
        (spoil_long(lambda t: t), {"fund": "fund"}, TypeError, "needs value="),
        (
            spoil_long(lambda t: t),
            {"fund": "fund", "value": "nav"},
            ValueError,
            "no value column 'nav'",
        ),
        (
            spoil_long(_twice),
            {"fund": "fund", "value": "ret"},
            ValueError,
            r"fund 'f.' has two rows for 20..-..-.. 22:30:00 \(rows 3 and 18\)",
        ),
        (
            spoil_long(lambda t: t.assign(ret=t["ret"].astype(str))),
            {"fund": "fund", "value": "ret"},
            TypeError,
            "value column 'ret' must be numeric",
        ),
        (
            spoil_long(lambda t: t.assign(fund=t["fund"].where(t.index != 5))),
            {"fund": "fund", "value": "ret"},
            ValueError,
            "missing fund at row 5",
        ),
        (
            spoil_long(lambda t: t.assign(ret=-t["ret"].abs())),
            {"fund": "fund", "value": "ret", "navs": True},
            ValueError,
            "NAVs must be positive and finite: fund 'f.",
        ),
        (
            spoil_long(lambda t: t.assign(ret=np.inf)),
            {"fund": "fund", "value": "ret", "navs": True},
            ValueError,
            "has inf on",
        ),
    ],
)
def test_bad_tables_are_rejected_with_the_fund_or_row_named(library, table, kwargs, error, message):
    native = LIBRARIES[library](table())
    with pytest.raises(error, match=message):
        fkf.troughmend(native, **kwargs)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda w, l: fkf.troughmend(w.to_numpy()), TypeError, "data must be a data frame"),
        (
            lambda w, l: fkf.troughmend(pl.from_pandas(w).lazy()),
            TypeError,
            "data must be a data frame",
        ),
        (
            lambda w, l: fkf.crossodds(w, {"f0": 1}),
            ValueError,
            r"types has no code for the funds \['f1', 'f2'\]",
        ),
        (
            lambda w, l: fkf.crossodds(w, type="kind"),
            TypeError,
            "type= names a column of a long table",
        ),
        (
            lambda w, l: fkf.crossodds(l, {}, fund="fund", value="ret", type="fund"),
            TypeError,
            "not both",
        ),
        (
            lambda w, l: fkf.crossodds(
                l.assign(kind=np.arange(len(l)) % 2), fund="fund", value="ret", type="kind"
            ),
            ValueError,
            "the type column 'kind' gives the fund 'f.' two types",
        ),
        (lambda w, l: fkf.crossodds(w, pl.DataFrame({"a": [1]})), ValueError, "two columns"),
        (lambda w, l: fkf.crossodds(w, [1, 2, 3]), TypeError, "types must be a mapping"),
        (lambda w, l: fkf.horizonret(w, "1Y", start="soon"), ValueError, "start must hold dates"),
        (lambda w, l: fkf.extremeset(w, "up"), ValueError, "mode must be 'gain' or 'loss'"),
    ],
)
def test_bad_arguments_are_rejected(call, error, message):
    frame = returns_panel(rows=8, cols=3, tz="UTC")
    with pytest.raises(error, match=message):
        call(wide(frame), long(frame))


@pytest.mark.parametrize("bad", [0.0, -0.0, -2.5, np.inf, -np.inf])
def test_pandas_nav_errors_name_fund_and_date(bad):
    frame = returns_panel(rows=6, cols=3, tz="UTC").abs() + 1.0
    frame.iloc[4, 2] = bad
    with pytest.raises(ValueError, match=rf"fund 'f2' has {bad!r} on 2015-05-31 22:30:00$"):
        fkp.streakset(frame, navs=True)


@pytest.mark.slow  # a fresh interpreter
@pytest.mark.parametrize(
    "blocked, code",
    [
        (
            "pandas",
            "import polars as pl, datetime as dt, fundkernels.frames as f;"
            "t = pl.DataFrame({'date': [dt.date(2020, 1, 1), dt.date(2020, 2, 1)], 'a': [-0.5, 0.25]});"
            "print(tuple(map(str, f.streakset(t, 'loss').row(0))))",
        ),
        (
            "narwhals",
            "import pandas as pd, fundkernels.pandas as f;"
            "t = pd.DataFrame({'a': [-0.5, 0.25]}, index=pd.to_datetime(['2020-01-01', '2020-02-01']));"
            "print(tuple(f.streakset(t, 'loss').iloc[0].astype(str)))",
        ),
    ],
)
def test_each_front_end_runs_without_the_others_library(blocked, code):
    run = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.modules[{blocked!r}] = None; {code}"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert "-0.5" in run.stdout and "2020-01-01" in run.stdout


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("cols", [1, 4])
def test_navs_leave_the_callers_table_as_it_was(library, cols):
    frame = returns_panel(rows=12, cols=cols, tz="UTC").abs() + 1.0
    table = LIBRARIES[library](wide(frame))
    kept, before = frame.to_numpy().copy(), columns(table)
    fkf.troughmend(table, navs=True)
    fkp.troughmend(frame, navs=True)
    after = columns(table)
    assert all(same_bits(after[c], before[c]) for c in frame.columns)
    assert same_bits(frame.to_numpy(), kept)


@pytest.mark.slow  # a fresh interpreter
@pytest.mark.parametrize("pyarrow", ["installed", "absent"])
def test_long_tables_with_irregular_dates_and_without_pyarrow(tmp_path, pyarrow):
    """Timestamps off any grid are placed by binary search; without pyarrow, narwhals
    numbers the funds."""
    rng = np.random.default_rng(8)
    stamps = np.sort(rng.integers(-9 * 10**18, 9 * 10**18, 30)).astype("M8[ns]")
    frame = returns_panel(rows=30, cols=5).set_axis(pd.DatetimeIndex(stamps, name="date"))
    pl.from_pandas(long(frame)).write_ipc(tmp_path / "long.arrow")
    code = (
        ("import sys; sys.modules['pyarrow'] = None;" if pyarrow == "absent" else "")
        + "import sys, json, polars as pl, fundkernels.frames as f;"
        "t = f.streakset(pl.read_ipc(sys.argv[1]), fund='fund', value='ret');"
        "print(json.dumps(t.select('fund', 'return', 'length').rows()))"
    )
    run = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path / "long.arrow")],
        cwd=tmp_path,  # the installed package, with its compiled parts
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    got = {fund: (ret, length) for fund, ret, length in json.loads(run.stdout)}
    want = fkp.streakset(frame)
    assert set(got) == set(want.index)
    assert same_bits(np.array([got[f][0] for f in want.index]), want["return"].to_numpy())
    assert [got[f][1] for f in want.index] == want["length"].tolist()


def test_summary_ranks_by_mapping_frame_column_or_all():
    frame = returns_panel()
    codes = {f: ["x", "y", "z"][i % 3] for i, f in enumerate(frame.columns)}
    want = fkp.summary(frame, types=codes, periods_per_year=12)
    assert "sharpe_rank" in want and "peer_group_size" in want
    assert "periods_rank" not in want  # a count ranks no fund
    table = long(frame).assign(kind=lambda t: t["fund"].map(codes))
    pairs = pl.DataFrame({"name": list(codes), "group": list(codes.values())})
    for got in (
        fkf.summary(pl.from_pandas(wide(frame)), types=pairs, periods_per_year=12),
        fkf.summary(
            pa.Table.from_pandas(table), fund="fund", value="ret", type="kind", periods_per_year=12
        ),
    ):
        got = as_pandas(got).reindex(want.index)
        for name in want.columns:
            w = want[name].to_numpy()
            if w.dtype.kind == "M":  # calendar days in polars and Arrow
                g = pd.to_datetime(got[name]).to_numpy().astype("M8[D]")
                assert np.array_equal(g, w.astype("M8[D]"), equal_nan=True), name
            else:
                assert same_bits(got[name].to_numpy(), w), name
    everyone = fkf.summary(pl.from_pandas(wide(frame)), types="all")
    assert (everyone["peer_group_size"] == len(frame.columns)).all()
    assert "sharpe_rank" not in fkf.summary(pl.from_pandas(wide(frame))).columns


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize(
    "choose, chosen",
    [
        ({"exclude": ["t", "code"]}, ["f0", "f1", "f2", "f3"]),
        ({"funds": ["f3", "f0"]}, ["f3", "f0"]),
        ({"funds": ["date", "f1"]}, ["f1"]),  # naming the date column too changes nothing
    ],
)
def test_wide_columns_and_text_dates_as_the_caller_chooses(library, choose, chosen):
    frame = returns_panel(rows=30, cols=4, tz="UTC")
    clean = wide(frame)
    clean["date"] = clean["date"].dt.tz_localize(None).dt.normalize()
    messy = clean.assign(t=np.arange(len(clean)), code=7)  # a row counter, a column of codes
    messy["date"] = messy["date"].dt.strftime("%m/%d/%Y")
    for name in NAMES:
        want = columns(call(name, LIBRARIES[library](clean[["date", *chosen]]), "wide"))
        got = columns(
            call(name, LIBRARIES[library](messy), "wide", date_format="%m/%d/%Y", **choose)
        )
        assert got.keys() == want.keys()
        for key in want:
            assert same_bits(got[key], want[key]) if key != "fund" else list(got[key]) == chosen


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"funds": ["f0"], "exclude": ["f1"]}, TypeError, "give funds= or exclude=, not both"),
        ({"funds": "f0"}, TypeError, "funds= must be a list of column names"),
        ({"exclude": ["f9"]}, ValueError, "exclude= names 'f9', which is no column"),
        ({"date_format": "%d/%m/%Y"}, ValueError, r"does not follow date_format='%d/%m/%Y'"),
        ({"date_format": 5}, TypeError, "date_format= must be a strptime format"),
        ({"funds": ["f0"], "fund": "f1", "value": "f2"}, TypeError, "not fund="),
    ],
)
def test_bad_column_choices_and_date_formats_are_refused(kwargs, error, message):
    table = wide(returns_panel(rows=20, cols=3, tz="UTC"))
    table["date"] = table["date"].dt.strftime("%m/%d/%Y")
    with pytest.raises(error, match=message):
        fkf.streakset(table, **kwargs)
