import math
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fundkernels._summary import summary
from fundkernels._summary_columns import COLUMNS, periods_from_dates, summary_columns
from helpers import LAYOUTS, awkward_matrix, matrices, same_bits, examples
from fk_references.summary import INTEGER_PARTS, PARTS, agree, equal

nan, inf = math.nan, math.inf
FRENCH = Path(str(resources.files("fundkernels").joinpath("data", "french.csv.bz2")))
SHARED = Path("/work/shared/data")
F = 0.0001  # risk-free return per period in the kernel's tests


def parts(x, f=F):
    return dict(zip(PARTS, summary(x, f)))


def check_against_reference(x, f=F):
    got = parts(x, f)
    agree(x, f, tuple(got.values()))
    for p in INTEGER_PARTS:
        assert got[p].dtype == np.int64
    return got


# One fund's returns and some of its parts (rows for the drawdown: peak, trough, recovery).
CASES = {
    "recovers": (
        [0.1, -0.05, -0.05, 0.2],
        dict(
            periods=4,
            hits=2,
            peak=0,
            trough=2,
            recovery=3,
            depth=1.1 * 0.95 * 0.95 / 1.1 - 1,
            best=0.2,
            worst=-0.05,
        ),
    ),
    "open at the end": ([0.1, -0.1, 0.05], dict(peak=0, trough=1, recovery=-1)),
    "loss on the first row": (
        [-0.1, 0.05, 0.2],
        dict(peak=-1, trough=0, recovery=2, depth=0.9 - 1),
    ),
    "deeper later drawdown": ([-0.1, 0.2, -0.3, 0.5], dict(peak=1, trough=2, recovery=3)),
    "equal lows: the earliest": ([-0.1, 0.0, nan, 0.5], dict(trough=0, recovery=3)),
    "value equal to the peak recovers": ([0.25, -0.2, 0.25], dict(trough=1, recovery=2)),
    "only gains": ([0.01, 0.0, 0.02], dict(depth=0.0, peak=-1, trough=-1, recovery=-1, hits=2)),
    "total loss": ([0.1, -1.0, 0.5], dict(depth=-1.0, value=0.0, trough=1, recovery=-1)),
    "all missing": (
        [nan, nan],
        dict(
            periods=0,
            hits=0,
            value=nan,
            mean=nan,
            std=nan,
            depth=nan,
            best=nan,
            var=nan,
            cvar=nan,
            peak=-1,
            trough=-1,
        ),
    ),
    "one value": (
        [nan, 0.03],
        dict(periods=1, mean=0.03, std=nan, skew=nan, var=0.03, cvar=0.03, best=0.03, worst=0.03),
    ),
    "two values": (
        [0.01, 0.03],
        dict(std=math.sqrt(0.0002), skew=nan, kurtosis=nan, var=0.01 + 0.02 * 0.05),
    ),
    "three values": (
        [0.01, 0.02, 0.06],
        dict(skew=pd.Series([0.01, 0.02, 0.06]).skew(), kurtosis=nan),
    ),
    "constant": (
        [0.01] * 7,
        dict(
            mean=0.01, std=0.0, skew=nan, kurtosis=nan, var=0.01, cvar=0.01, best=0.01, worst=0.01
        ),
    ),
    "constant zeros of both signs": (
        [0.0, -0.0, 0.0, -0.0],
        dict(std=0.0, var=0.0, best=0.0, worst=0.0, hits=0),
    ),
    "infinite return": ([0.1, inf, -0.1], dict(best=inf, mean=nan, std=nan, var=-0.1 + 0.2 * 0.1)),
}


@pytest.mark.parametrize("column, expected", CASES.values(), ids=CASES.keys())
def test_examples(column, expected):
    x = np.array(column).reshape(-1, 1)
    got = parts(x)
    for p, v in expected.items():
        if p == "skew" and not math.isnan(v):
            assert got[p][0] == pytest.approx(v, rel=1e-12)
        else:
            assert equal(got[p][0], v), (p, got[p][0], v)
    assert same_bits(
        got["var"],
        np.array(
            [
                np.quantile(np.array(column)[~np.isnan(column)], 0.05)
                if not np.all(np.isnan(column))
                else nan
            ]
        )
        + 0.0,
    )
    check_against_reference(x)


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_empty_shapes(shape):
    got = summary(np.zeros(shape), 0.0)
    assert [a.dtype for a in got] == [np.int64 if p in INTEGER_PARTS else np.float64 for p in PARTS]
    assert all(len(a) == shape[1] for a in got)
    if shape[1]:
        assert equal(got[PARTS.index("mean")], [nan] * shape[1])


def test_not_a_matrix():
    with pytest.raises(ValueError, match="two-dimensional"):
        summary(np.zeros(4), 0.0)


ordinary = st.one_of(
    st.floats(-0.99, 2.0, allow_nan=False),
    st.sampled_from([0.0, -0.0, -1.0, -2.0, 5e-17, 1e-300, nan, 0.01, 0.01]),
)


@settings(max_examples=examples(300), deadline=None)
@given(
    x=matrices(max_rows=24, max_cols=5, elements=ordinary),
    f=st.sampled_from([0.0, 1e-4, -2e-3, 0.05]),
)
def test_matches_reference(x, f):
    check_against_reference(x, f)


@settings(max_examples=examples(150), deadline=None)
@given(x=matrices(max_rows=15, max_cols=5))
def test_matches_reference_with_extreme_values(x):
    check_against_reference(x)


@pytest.mark.parametrize("rows", [2, 40, 2100])  # selections by network, binning, bracketing
def test_long_columns_match_reference(rows):
    rng = np.random.default_rng(rows)
    x = rng.standard_t(3, size=(rows, 9)) * 0.01 + 0.0005
    x[:, 1] = np.round(x[:, 1], 3)  # many ties
    x[rng.random(x.shape) < 0.1] = nan
    x[:, 2] = 1e-3 + 1e-12 * rng.standard_normal(rows)  # tiny spread around a large mean
    x[:, 3] = np.where(np.arange(rows) % 2, 0.02, -0.02)  # symmetric: skew 0 exactly
    # The smallest values where a sample of evenly spaced rows falls (a selection that
    # starts from such a sample must not trust it), and the same values all the way up.
    x[:, 4] = 0.01 + rng.random(rows) * 0.01
    x[(2 * np.arange(64) + 1) * rows // 128, 4] = -0.01 * rng.random(64)
    x[:, 5] = np.sort(x[:, 0])
    check_against_reference(x)


@pytest.mark.parametrize(
    "scale",
    [1.0, 1e-300, 1e-310, -2.0, 1e300, 5e-324],
    ids=["ones", "tiny", "subnormal", "negative", "huge", "least"],
)
def test_drawdowns_that_tie_within_an_ulp_match_reference(scale):
    # Values that fall to the same depth again and again, each fall a few ulps off the
    # others, at every scale the compounded value can reach: the deepest is only told by
    # the division, whatever shortcut skips rows far from it.
    rng = np.random.default_rng(abs(hash(scale)) % 1000)
    x = np.empty((400, 6))
    for c, (down, up) in enumerate([(-0.5, 1.0), (-0.1, 1 / 0.9 - 1), (-1e-9, 1e-9)] * 2):
        wobble = 1 + rng.integers(-3, 4, 400) * 2.0**-52
        x[:, c] = np.where(np.arange(400) % 2 == 0, down, up) * wobble
    x[0] = scale - 1.0  # the first value sets the scale
    x[rng.random(x.shape) < 0.05] = nan
    x[200, 3:] = -inf if scale < 0 else inf  # an infinite value half-way
    check_against_reference(x)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("cols", [1, 7, 8, 9, 70])
@pytest.mark.parametrize("rows", [2, 9, 30, 203])  # short columns end inside a vector
def test_layouts_and_blocks_give_the_same_bits(layout, cols, rows):
    x = awkward_matrix(np.random.default_rng(cols), rows, cols)
    want = summary(np.ascontiguousarray(x), F)
    got = summary(LAYOUTS[layout](x), F)
    assert all(same_bits(g, w) for g, w in zip(got, want))
    # Each column alone (one worker, a block of its own) as among the others.
    for c in (0, cols // 2, cols - 1):
        alone = summary(LAYOUTS[layout](x[:, c : c + 1]), F)
        assert all(same_bits(a, w[c : c + 1]) for a, w in zip(alone, want))


def test_threads_give_the_same_bits():
    # Enough work for every worker the machine has, then the same funds a few at a time.
    x = awkward_matrix(np.random.default_rng(4), 700, 400, special_share=0.02)
    whole = summary(np.asfortranarray(x), F)
    for lo in range(0, 400, 96):
        part = summary(x[:, lo : lo + 96], F)
        assert all(same_bits(p, w[lo : lo + 96]) for p, w in zip(part, whole))


# --- agreement with pandas and NumPy --------------------------------------------------------


def check_against_libraries(frame):
    got = parts(frame.to_numpy(), 0.0)
    n = frame.count().to_numpy()
    spread = (frame.max() > frame.min()).to_numpy()
    np.testing.assert_allclose(got["mean"], frame.mean().to_numpy(), rtol=1e-12)
    # pandas leaves a rounding error in the spread of constant returns; here it is none.
    np.testing.assert_allclose(got["std"], frame.std().to_numpy(), rtol=1e-10, atol=1e-15)
    ok = spread & (n >= 3)
    np.testing.assert_allclose(got["skew"][ok], frame.skew().to_numpy()[ok], rtol=1e-9, atol=1e-12)
    ok = spread & (n >= 4)
    np.testing.assert_allclose(
        got["kurtosis"][ok], frame.kurt().to_numpy()[ok], rtol=1e-9, atol=1e-12
    )
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN columns
            q = np.nanquantile(frame.to_numpy(), 0.05, axis=0)
    assert equal(got["var"], q)
    tails = [
        col[col <= v].mean() for (_, col), v in zip(frame.items(), got["var"]) if not math.isnan(v)
    ]
    np.testing.assert_allclose(got["cvar"][~np.isnan(got["var"])], tails, rtol=1e-12)
    assert equal(got["best"], frame.max().to_numpy())
    assert equal(got["worst"], frame.min().to_numpy())
    assert np.array_equal(got["hits"], (frame > 0).sum().to_numpy())
    return got


def test_random_panel_agrees_with_pandas_and_numpy():
    rng = np.random.default_rng(8)
    x = rng.standard_t(4, size=(600, 40)) * 0.02 + 0.001
    x[rng.random(x.shape) < 0.05] = nan
    x[:500, 3] = nan  # short funds
    x[:597, 4] = nan
    x[:, 5] = 0.004  # constant: pandas calls its skew 0, here it has none (NaN)
    got = check_against_libraries(pd.DataFrame(x))
    assert math.isnan(got["skew"][5]) and got["std"][5] == 0.0


def real_panels():
    yield "french", pd.read_csv(FRENCH, index_col="dates")
    if not SHARED.exists():
        return
    ff = pd.read_csv(SHARED / "frenchdata.csv.gz", index_col="Date") / 100.0
    yield "frenchdata", ff
    closes = {
        name: pd.read_csv(SHARED / f"{name}.csv.gz", index_col="Date")["Adj Close"]
        for name in ("sp500", "nasdaq")
    }
    yield "indices", pd.DataFrame(closes).pct_change().iloc[1:]


@pytest.mark.parametrize("name", ["french", "frenchdata", "indices"])
def test_real_panels_agree_with_pandas_and_numpy(name):
    panels = dict(real_panels())
    if name not in panels:
        pytest.skip(f"{SHARED} is not here")
    frame = panels[name]
    got = check_against_libraries(frame)
    check_against_reference(frame.to_numpy()[:, :3])
    depth = pd.Series(got["depth"], index=frame.columns)
    if name == "french":  # bills never lose; every portfolio lived through crashes
        assert depth["RF"] == 0.0
        assert (depth.drop(["RF", "MktRF", "SMB", "HML", "Mom"]) < -0.3).all()


# --- the columns --------------------------------------------------------------------------


def dates_every(days, n):
    start = np.datetime64("2001-01-01", "D")
    if days == "B":
        d = np.busday_offset(start, np.arange(n), roll="forward")
    elif days == "M":
        d = (np.datetime64("2001-01", "M") + np.arange(n)).astype("M8[D]") - 1
    elif days == "Q":
        d = (np.datetime64("2001-01", "M") + 3 * np.arange(n)).astype("M8[D]")
    elif days == "Y":
        d = (np.datetime64("2001", "Y") + np.arange(n)).astype("M8[D]")
    else:
        d = start + days * np.arange(n)
    return d.astype("M8[ns]").astype(np.int64)


@pytest.mark.parametrize(
    "spacing, periods", [("B", 252), (1, 252), (7, 52), ("M", 12), ("Q", 4), ("Y", 1)]
)
def test_periods_per_year_from_dates(spacing, periods):
    assert periods_from_dates(dates_every(spacing, 30)) == periods


@pytest.mark.parametrize("dates", [dates_every(1000, 5), dates_every(1, 5) // 48])
def test_periods_per_year_that_cannot_be_told(dates):
    with pytest.raises(ValueError, match="give periods_per_year"):
        periods_from_dates(dates)
    cols = summary_columns(np.zeros((5, 1)), dates, ["a"], periods_per_year=12)
    assert cols["periods_per_year"][0] == 12


@pytest.mark.parametrize(
    "bad, error",
    [(0, ValueError), (-12, ValueError), (nan, ValueError), ("12", TypeError), (True, TypeError)],
)
def test_bad_periods_per_year(bad, error):
    with pytest.raises(error, match="periods_per_year"):
        summary_columns(np.zeros((3, 1)), dates_every("M", 3), ["a"], periods_per_year=bad)


@pytest.mark.parametrize("bad, error", [(-1.0, ValueError), (inf, ValueError), ("3%", TypeError)])
def test_bad_risk_free(bad, error):
    with pytest.raises(error, match="risk_free"):
        summary_columns(np.zeros((3, 1)), dates_every("M", 3), ["a"], risk_free=bad)


def test_columns_follow_their_definitions():
    rng = np.random.default_rng(2)
    x = rng.normal(0.006, 0.04, (120, 6))
    x[:30, 2] = nan
    dates = dates_every("M", 120)
    rf = 0.03
    cols = summary_columns(x, dates, list("abcdef"), risk_free=rf)
    assert list(cols) == list(COLUMNS)
    f = 1.03 ** (1 / 12) - 1
    frame = pd.DataFrame(x)
    n = frame.count().to_numpy()
    growth = (1 + frame).prod().to_numpy()
    np.testing.assert_allclose(cols["total_return"], growth - 1, rtol=1e-12)
    np.testing.assert_allclose(cols["cagr"], growth ** (12 / n) - 1, rtol=1e-12)
    np.testing.assert_allclose(
        cols["volatility"], frame.std().to_numpy() * math.sqrt(12), rtol=1e-12
    )
    excess = frame - f
    np.testing.assert_allclose(
        cols["sharpe"], excess.mean() / excess.std() * math.sqrt(12), rtol=1e-10
    )
    down = np.sqrt((excess.clip(upper=0) ** 2).mean())
    np.testing.assert_allclose(cols["sortino"], excess.mean() / down * math.sqrt(12), rtol=1e-10)
    np.testing.assert_allclose(cols["calmar"], cols["cagr"] / -cols["max_drawdown"], rtol=1e-15)
    np.testing.assert_allclose(cols["hit_rate"], (frame > 0).sum().to_numpy() / n, rtol=1e-15)
    value = (1 + frame.fillna(0)).cumprod()
    dd = value / np.maximum(value.cummax(), 1.0) - 1
    np.testing.assert_allclose(cols["max_drawdown"], dd.min().to_numpy(), rtol=1e-12)
    trough = dates[dd.to_numpy().argmin(axis=0)].view("M8[ns]")
    assert np.array_equal(cols["max_drawdown_trough"], trough)
    # The peak: the date whose value the trough is measured from (NaT: the starting 1.0).
    peak_value = np.maximum(value.cummax(), 1.0).to_numpy()[dd.to_numpy().argmin(axis=0), range(6)]
    at = np.searchsorted(dates, cols["max_drawdown_peak"].view(np.int64))
    started = np.isnat(cols["max_drawdown_peak"])
    assert np.array_equal(
        value.to_numpy()[at[~started], np.flatnonzero(~started)], peak_value[~started]
    )
    assert (peak_value[started] == 1.0).all() and (
        cols["max_drawdown_peak"][~started] < trough[~started]
    ).all()
    assert cols["max_drawdown_peak"].dtype == np.dtype("M8[ns]")
    assert (cols["periods_per_year"] == 12).all()


ZERO_RISK = {
    # returns, risk_free, {column: expected}
    "constant above the risk-free rate": (
        [0.01] * 5,
        0.0,
        dict(sharpe=inf, sortino=inf, calmar=inf, volatility=0.0),
    ),
    "constant below it": ([0.001] * 5, 0.5, dict(sharpe=-inf, calmar=inf)),
    "no shortfall, no excess": (
        [0.0] * 4,
        0.0,
        dict(sharpe=nan, sortino=nan, calmar=nan, total_return=0.0, hit_rate=0.0),
    ),
    "one return": (
        [nan, 0.02],
        0.0,
        dict(volatility=nan, sharpe=nan, sortino=inf, skew=nan, periods=1),
    ),
    "no return": (
        [nan, nan],
        0.0,
        dict(cagr=nan, sharpe=nan, max_drawdown=nan, hit_rate=nan, periods=0),
    ),
    "losses only": ([-0.01, -0.02, -0.01], 0.0, dict(sortino="finite, below 0")),
}


@pytest.mark.parametrize("column, rf, expected", ZERO_RISK.values(), ids=ZERO_RISK.keys())
def test_ratios_over_zero_risk(column, rf, expected):
    cols = summary_columns(
        np.array(column).reshape(-1, 1), dates_every("M", len(column)), ["a"], risk_free=rf
    )
    for name, want in expected.items():
        if isinstance(want, str):
            assert math.isfinite(cols[name][0]) and cols[name][0] < 0
        else:
            assert equal(cols[name][0], want), (name, cols[name][0], want)


def test_no_funds_and_no_dates():
    cols = summary_columns(np.empty((0, 0)), np.empty(0, np.int64), [])
    assert list(cols) == list(COLUMNS) and all(len(c) == 0 for c in cols.values())
    cols = summary_columns(np.array([[0.01]]), dates_every("M", 1), ["a"])
    assert math.isnan(cols["periods_per_year"][0]) and math.isnan(cols["cagr"][0])
    assert cols["best"][0] == 0.01
