"""Each fund on its own dates: in every front end, a fund's result is the indicator on that
fund alone (its own values and dates), whatever other funds share the table."""

import subprocess
import sys

import dask.array as da
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fundkernels.dask as fkd
import fundkernels.frames as fkf
import fundkernels.pandas as fkp
from fundkernels import _ownhorizon, _pack, _panel
from fundkernels._registry import INDICATORS
from fundkernels._summary_columns import median_spacing
from helpers import LAYOUTS, same_bits, examples

pl = pytest.importorskip("polars")

DAY = 86_400 * 10**9
# Every indicator that follows a fund through its own dates, with its options.
KINDS = {
    "troughmend": ("troughmend", {}),
    "details": ("drawdown", {}),
    "extremeset-gain": ("extremeset", {"mode": "gain"}),
    "extremeset-loss": ("extremeset", {"mode": "loss"}),
    "streakset-gain": ("streakset", {"mode": "gain"}),
    "streakset-loss": ("streakset", {"mode": "loss"}),
    "horizonret": ("horizonret", {"horizon": "1M"}),
    "summary": ("summary", {}),
}
STEPS = np.array([-0.5, -0.1, -0.02, -0.01, 0.0, 0.0, 0.01, 0.02, 0.05, 0.3])


@st.composite
def panels(draw, max_rows=28, max_funds=6):
    """(returns, navs, dates, funds): funds on up to three calendars (exchanges with their
    own holidays), starting and stopping inside the panel, with values missing at random."""
    rows = draw(st.integers(0, max_rows))
    cols = draw(st.integers(0, max_funds))
    exchanges = draw(st.integers(1, 3))
    missing = draw(st.sampled_from([0.0, 0.05, 0.3]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    gaps = rng.integers(1, 20, rows)  # days apart: horizons of a month span a few rows
    dates = np.datetime64("2019-12-20", "ns").astype(np.int64) + np.cumsum(gaps) * DAY
    dates += draw(st.sampled_from([0, 15 * 3600 * 10**9]))  # a time of day
    trades = rng.random((exchanges, rows)) < 0.85
    own = np.zeros((rows, cols), dtype=bool)
    for c in range(cols):
        lo, hi = np.sort(rng.integers(0, rows + 1, 2))
        if rng.random() < 0.5:
            lo, hi = 0, rows if rng.random() < 0.5 else hi
        own[lo:hi, c] = trades[rng.integers(exchanges), lo:hi]
        own[:, c] &= rng.random(rows) >= missing
    returns = rng.choice(STEPS, (rows, cols)) + rng.normal(0, 0.002, (rows, cols))
    returns[rng.random((rows, cols)) < 0.1] = 0.0  # flat rows: ties, ends of runs
    navs = 100 * np.cumprod(1 + returns, axis=0)
    returns[~own] = np.nan
    navs[~own] = np.nan
    funds = [f"f{c}" for c in range(cols)]
    return returns, navs, dates, funds


@st.composite
def windows(draw, dates, funds):
    """horizonret's start and end: none, one date for all, or dates by fund."""
    span = (int(dates[0]) - 20 * DAY, int(dates[-1]) + 20 * DAY) if len(dates) else (0, 0)
    when = st.integers(*span).map(lambda ns: np.datetime64(ns, "ns"))
    bound = st.one_of(
        st.none(), when, st.dictionaries(st.sampled_from(funds), when) if funds else st.none()
    )
    return {"start": draw(bound), "end": draw(bound)}


def options_of(kind, bounds):
    """The indicator's name and its options as its kernel takes them."""
    name, options = KINDS[kind]
    given = {**options, **bounds} if name == "horizonret" else options
    return name, INDICATORS[name].checked(given)


def same_columns(got, want):
    assert list(got) == list(want)
    for key in want:
        g, w = np.asarray(got[key]), np.asarray(want[key])
        if w.dtype.kind == "M":
            g, w = g.view(np.int64), w.view(np.int64)
        assert same_bits(g, w), (key, g, w)


def alone(name, values, dates, funds, c, navs, **options):
    """The indicator on fund c alone: its own values and dates, a panel of one fund."""
    keep = ~np.isnan(values[:, c])
    return _panel.compute(
        name,
        values[keep][:, [c]],
        dates[keep],
        [funds[c]],
        navs=navs,
        calendar="panel",
        **options,
    )


@pytest.mark.parametrize("kind", KINDS)
@settings(max_examples=examples(60), deadline=None)
@given(data=st.data())
def test_each_fund_is_the_indicator_on_that_fund_alone(kind, data):
    returns, navs, dates, funds = data.draw(panels())
    name, options = options_of(kind, data.draw(windows(dates, funds)))
    for values, is_navs in ((returns, False), (navs, True)):
        got = _panel.compute(name, values.copy(), dates, funds, navs=is_navs, **options)
        for c in range(len(funds)):
            one = {k: v[[c]] for k, v in got.items()}
            same_columns(one, alone(name, values, dates, funds, c, is_navs, **options))
        # Unrelated funds taken away, the others shuffled: the same results, moved along.
        order = data.draw(st.permutations(range(len(funds))))[: data.draw(st.integers(0, 5))]
        some = _panel.compute(
            name, values[:, order], dates, [funds[c] for c in order], navs=is_navs, **options
        )
        same_columns(some, {k: v[order] for k, v in got.items()})


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kind", ["troughmend", "details", "extremeset-loss", "streakset-gain"])
@settings(max_examples=examples(8), deadline=None)
@given(data=st.data())
def test_wide_panels_of_every_layout_give_each_fund_its_own_result(kind, layout, data):
    """The own-rows variants walk the panel in place: strips and blocks of many funds, a
    narrower last one, in every layout, each fund still on its own rows alone."""
    returns, navs, dates, funds = data.draw(panels(max_rows=40, max_funds=45))
    name, options = options_of(kind, {})
    for values, is_navs in ((returns, False), (navs, True)):
        view = LAYOUTS[layout](values.copy())
        got = _panel.compute(name, view, dates, funds, navs=is_navs, **options)
        for c in range(len(funds)):
            one = {k: v[[c]] for k, v in got.items()}
            same_columns(one, alone(name, values, dates, funds, c, is_navs, **options))


@pytest.mark.parametrize("path", ["avx2", "avx512"])
@settings(max_examples=examples(20), deadline=None)
@given(data=st.data())
def test_own_horizons_give_the_baseline_bits_on_every_path(path, data):
    """horizonret on each fund's own rows, in one call: every instruction-set path gives
    the baseline path's bits (blocks of eight funds and of one)."""
    if not hasattr(_ownhorizon, "__fk_use_path__"):
        pytest.skip("built without FK_TEST_DISPATCH: the paths cannot be chosen")
    returns, _, dates, funds = data.draw(panels(max_funds=11))
    name, options = options_of("horizonret", data.draw(windows(dates, funds)))
    mine = _ownhorizon.__fk_path__()
    try:
        _ownhorizon.__fk_use_path__("baseline")
        want = _panel.compute(name, returns, dates, funds, **options)
        try:
            _ownhorizon.__fk_use_path__(path)
        except ValueError:
            pytest.skip(f"this CPU cannot run the {path} path")
        same_columns(_panel.compute(name, returns, dates, funds, **options), want)
    finally:
        _ownhorizon.__fk_use_path__(mine)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_scan_and_pack_follow_each_column(layout):
    rng = np.random.default_rng(5)
    values = rng.normal(0, 0.01, (70, 11))
    values[rng.random(values.shape) < 0.2] = np.nan
    values[:, 3] = np.nan  # no value
    values[:69, 4] = np.nan  # one value, on the last row
    values[10:, 5] = np.nan  # stops reporting
    values[:30, 6] = np.nan  # starts late, no gap
    values[:, 7] = 0.5  # no gap at all
    values[:, 8], values[:, 9] = 0.1, 0.2  # one value missing: in the last rows, or amid
    values[69, 8] = values[40, 9] = np.nan
    view = LAYOUTS[layout](values)
    first, count = _pack.scan(view)
    valid = ~np.isnan(values)
    assert np.array_equal(count, valid.sum(axis=0))
    assert np.array_equal(first, np.where(valid.any(axis=0), valid.argmax(axis=0), 70))
    # The first row is the caller's: a fund's first NAV, whose return is missing.
    first[2] = max(first[2] - 1, 0)
    count[2] = valid[first[2] :, 2].sum() + (not valid[first[2], 2])
    cols = np.array([0, 2, 3, 4, 5, 6, 7])
    packed, holes, offsets = _pack.pack(view, first, count, cols)
    for j, c in enumerate(cols):
        rows = np.arange(first[c], 70)
        own = rows[(rows == first[c]) | valid[first[c] :, c]]
        assert same_bits(packed[70 - len(own) :, j], values[own, c])
        assert np.isnan(packed[: 70 - len(own), j]).all()
        assert np.array_equal(holes[offsets[j] : offsets[j + 1]], np.setdiff1d(rows, own))
    with pytest.raises(ValueError, match="count does not match"):
        _pack.pack(view, first, count + (count < 70 - first), cols)
    # The scan may leave a column with a gap uncounted.
    fast = _pack.scan(view, counts=False)
    gapped = count != 70 - fast[0]
    assert np.array_equal(fast[0], _pack.scan(view)[0])
    assert np.isin(fast[1][gapped], [-1, *count[gapped]]).all()
    assert np.array_equal(fast[1][~gapped], count[~gapped])
    # The median spacing of each column's own dates, as NumPy's median takes it: the mean
    # of the two middle differences for an even count.
    dates = np.cumsum(rng.integers(1, 10**6, 70)) * 10**9
    spacing = _pack.spacing(view, first, cols, dates)
    for j, c in enumerate(cols):
        rows = np.arange(first[c], 70)
        own = rows[(rows == first[c]) | valid[first[c] :, c]]
        want = np.median(np.diff(dates[own])) if len(own) > 1 else np.nan
        assert same_bits(spacing[j : j + 1], np.array([want])), c
        # The same by the partition that serves the columns without a gap.
        got = median_spacing(np.diff(dates[own]))
        assert same_bits(np.array([got]), np.array([want])), c


@settings(max_examples=examples(60), deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    rows=st.integers(0, 40),
    share=st.sampled_from([0.0, 0.05, 0.3, 0.8, 1.0]),
    kind=st.sampled_from(["business", "random", "two gaps"]),
    layout=st.sampled_from(sorted(LAYOUTS)),
)
def test_spacing_is_the_median_of_each_columns_own_differences(seed, rows, share, kind, layout):
    # Many equal differences (business days), all different ones, and two values only: the
    # median is found among the panel's differences less those a column skips, so ties,
    # leading and trailing holes and runs of holes are where it could slip.
    rng = np.random.default_rng(seed)
    values = rng.normal(0, 0.01, (rows, 9))
    values[rng.random(values.shape) < share] = np.nan
    if rows:
        values[rng.integers(0, rows) :, 1] = np.nan
        values[: rng.integers(0, rows), 2] = np.nan
    if kind == "business":
        dates = pd.bdate_range("2001-01-01", periods=rows).values.astype(np.int64)
    elif kind == "random":
        dates = np.cumsum(rng.integers(1, 10**6, rows)) * 10**9
    else:
        dates = np.cumsum(rng.choice([5, 7], rows)).astype(np.int64)
    view = LAYOUTS[layout](values)
    first = _pack.scan(view)[0]
    # The caller's first row may hold no value (a fund's first NAV, its return missing).
    first[3] = max(first[3] - 2, 0)
    cols = np.arange(9, dtype=np.int64)
    got = _pack.spacing(view, first, cols, dates)
    for c in cols:
        own = np.arange(first[c], rows)
        own = own[(own == first[c]) | ~np.isnan(values[first[c] :, c])]
        want = np.median(np.diff(dates[own])) if len(own) > 1 else np.nan
        assert same_bits(got[c : c + 1], np.array([want])), (c, got[c], want)


# --- hand-made cases -------------------------------------------------------------------

DAYS = pd.to_datetime(["2008-11-25", "2008-11-26", "2008-11-27", "2008-11-28", "2008-12-01"])


@pytest.mark.parametrize(
    "index, want_own, want_panel",
    [
        # A holiday the other fund trades: the index is under water on the 26th and the
        # 28th, and the 27th is no row of its own.
        ([0.01, -0.02, np.nan, 0.01, 0.015], 2, 3),
        # A fund that stops reporting inside its drawdown: it ends with its last value.
        ([0.01, -0.02, 0.005, np.nan, np.nan], 2, 4),
        ([np.nan, np.nan, -0.01, np.nan, np.nan], 1, 3),  # one value
        ([np.nan] * 5, 0, 0),  # no value
    ],
    ids=["holiday", "stops", "one-value", "no-value"],
)
def test_hand_made_funds_beside_one_that_trades_every_day(index, want_own, want_panel):
    frame = pd.DataFrame({"index": index, "oil": [0.01, -0.01, 0.005, -0.01, 0.02]}, DAYS)
    assert fkp.troughmend(frame)["index"] == want_own
    assert fkp.troughmend(frame, calendar="panel")["index"] == want_panel
    alone_frame = frame[["index"]].dropna()
    for fn, args in [
        ("troughmend", {"details": True}),
        ("horizonret", {"horizon": "1M", "start": "2008-11-01"}),
        ("extremeset", {"mode": "loss"}),
        ("streakset", {}),
    ]:
        got = getattr(fkp, fn)(frame, **args).loc[["index"]]
        want = getattr(fkp, fn)(alone_frame, calendar="panel", **args)
        pd.testing.assert_frame_equal(got, want.reindex(["index"]), check_exact=True)


def test_calendar_must_be_own_or_panel():
    frame = pd.DataFrame({"a": [0.1]}, pd.to_datetime(["2020-01-01"]))
    with pytest.raises(ValueError, match="calendar must be 'own' or 'panel', not 'Own'"):
        fkp.streakset(frame, calendar="Own")


# --- every front end ---------------------------------------------------------------------

FRONT_KINDS = ["details", "extremeset-loss", "streakset-gain", "horizonret"]


def pandas_call(kind, frame, bounds, **extra):
    name, options = KINDS[kind]
    if name == "drawdown":
        return fkp.troughmend(frame, details=True, **extra)
    if name == "horizonret":
        return fkp.horizonret(frame, options["horizon"], **bounds, **extra)
    return getattr(fkp, name)(frame, options["mode"], **extra)


def frames_call(kind, table, bounds, **extra):
    name, options = KINDS[kind]
    if name == "drawdown":
        return fkf.troughmend(table, details=True, **extra)
    if name == "horizonret":
        return fkf.horizonret(table, options["horizon"], **bounds, **extra)
    return getattr(fkf, name)(table, options["mode"], **extra)


def dask_call(kind, values, dates, funds, bounds, navs):
    name, options = KINDS[kind]
    panel = da.from_array(values, chunks=(max(len(dates) // 2, 1), 2))
    where = {"dates": pd.DatetimeIndex(dates), "funds": funds, "navs": navs}
    if name == "drawdown":
        return fkd.troughmend(panel, details=True, **where)
    if name == "horizonret":
        return fkd.horizonret(panel, options["horizon"], **bounds, **where)
    return getattr(fkd, name)(panel, options["mode"], **where)


def to_pandas(table):
    frame = table if isinstance(table, pd.DataFrame) else table.to_pandas()
    frame = frame.set_index("fund")
    for col in frame:
        if frame[col].dtype.kind == "O" or str(frame[col].dtype).startswith("date"):
            frame[col] = pd.to_datetime(frame[col]).astype("M8[ns]")
    return frame


@pytest.mark.parametrize(
    "front", ["pandas", "frames-wide", "frames-long", pytest.param("dask", marks=pytest.mark.slow)]
)
@pytest.mark.parametrize("kind", FRONT_KINDS)
@settings(
    max_examples=examples(12),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(data=st.data())
def test_every_front_end_gives_each_fund_its_result_alone(front, kind, data, request):
    returns, navs, dates, funds = data.draw(panels(max_funds=4))
    bounds = data.draw(windows(dates, funds))
    is_navs = data.draw(st.booleans())
    values = navs if is_navs else returns
    index = pd.DatetimeIndex(dates.view("M8[ns]"), name="date")
    frame = pd.DataFrame(values, index=index, columns=funds)
    if front == "pandas":
        got = pandas_call(kind, frame, bounds, navs=is_navs)
    elif front == "frames-wide":
        got = to_pandas(
            frames_call(kind, pl.from_pandas(frame.reset_index()), bounds, navs=is_navs)
        )
    elif front == "frames-long":
        long = frame.reset_index().melt(id_vars="date", var_name="fund", value_name="value")
        table = pl.from_pandas(long.dropna())
        got = to_pandas(frames_call(kind, table, bounds, fund="fund", value="value", navs=is_navs))
    else:
        request.getfixturevalue("client")
        got = dask_call(kind, values, dates, funds, bounds, is_navs).compute()
    for fund in got.index:
        mine = frame[[fund]].dropna()
        if front.startswith("frames"):  # dates as the frames front end gives them
            one = pl.from_pandas(mine.reset_index())
            want = to_pandas(frames_call(kind, one, bounds, navs=is_navs, calendar="panel"))
        else:
            want = pandas_call(kind, mine, bounds, navs=is_navs, calendar="panel")
        pd.testing.assert_frame_equal(
            got.loc[[fund]], want, check_exact=True, check_names=False, check_index_type=False
        )
    expected = funds if front != "frames-long" else [f for f in funds if frame[f].notna().any()]
    assert list(got.index) == expected


# --- the command -----------------------------------------------------------------------


@pytest.mark.arrow_threads
@pytest.mark.slow  # the command in a subprocess
def test_command_on_two_funds_takes_each_on_its_own_dates(tmp_path):
    closes = pd.DataFrame(
        {
            "date": DAYS.append(pd.DatetimeIndex(["2008-12-02"])),
            "stocks": [100.0, 98.0, np.nan, 99.0, 97.0, 101.0],
            "oil": [50.0, 49.0, 50.0, 48.0, 47.0, 52.0],
        }
    )
    both, one = tmp_path / "both.csv", tmp_path / "stocks.csv"
    closes.to_csv(both, index=False)
    closes[["date", "stocks"]].dropna().to_csv(one, index=False)

    def table(path, *extra):
        out = tmp_path / f"{path.stem}{len(extra)}.csv"
        cmd = [sys.executable, "-m", "fundkernels", str(path), "--navs", "-o", str(out), *extra]
        subprocess.run(cmd, check=True, capture_output=True)
        return pd.read_csv(out).set_index("fund")

    own, panel, single = table(both), table(both, "--calendar", "panel"), table(one)
    indicators = [c for c in single.columns if c not in ("type", "crossodds")]
    pd.testing.assert_frame_equal(own.loc[["stocks"], indicators], single[indicators])
    assert own.loc["stocks", "troughmend"] == 3  # the 26th, 28th and 1 December
    assert panel.loc["stocks", "troughmend"] == 4  # and the 27th, the oil market's
    assert own.loc["oil", "troughmend"] == panel.loc["oil", "troughmend"]
