"""The dask front end on a local two-process cluster, bit for bit against one whole call."""

import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest

import fundkernels.dask as fkd
import fundkernels.pandas as fkp
from fundkernels import PriceLikeWarning
from helpers import awkward_matrix

pytestmark = pytest.mark.slow  # starts a local dask cluster

ROWS, COLS = 30, 23

# Seconds to wait for a result: a worker that dies must fail the test, not hang the suite
# (generous, for the sanitizer builds).
RESULT_TIMEOUT = 300


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(11)
    index = pd.date_range("2001-01-31", periods=ROWS, freq="ME", tz="Europe/Paris")
    return pd.DataFrame(
        awkward_matrix(rng, ROWS, COLS), index=index, columns=[f"f{c:02d}" for c in range(COLS)]
    )


# Groups of 1 to 8 funds, interleaved over the columns: with blocks of 3 funds, a split
# group would change its medians.
CODES = np.array([0, 1, 2, 1, 3, 1, 4, 2, 1, 5, 1, 6, 6, 1, 7, 2, 1, 8, 8, 8, 2, 9, 1])


def calls(name, frame, **extra):
    """(front-end function, extra arguments, reference result from the pandas front end);
    `extra` keywords go to both."""
    codes = pd.Series(CODES, index=frame.columns)
    windows = {"start": {"f03": "2001-06-30"}, "end": pd.Timestamp("2003-01-01"), **extra}
    if name == "crossodds":
        return fkd.crossodds, (codes,), extra, fkp.crossodds(frame, codes, **extra)
    if name == "summary-ranked":  # ranks across the blocks of funds
        ranked = {"types": codes, "risk_free": 0.02, **extra}
        return fkd.summary, (), ranked, fkp.summary(frame, **ranked)
    if name == "horizonret":
        return fkd.horizonret, ("6M",), windows, fkp.horizonret(frame, "6M", **windows)
    if name == "troughmend-details":
        details = {"details": True, **extra}
        return fkd.troughmend, (), details, fkp.troughmend(frame, **details)
    if name in ("extremeset-loss", "streakset-loss"):
        base = name.split("-")[0]
        return getattr(fkd, base), ("loss",), extra, getattr(fkp, base)(frame, "loss", **extra)
    return getattr(fkd, name), (), extra, getattr(fkp, name)(frame, **extra)


def bits(obj):
    """Labels, dtypes and the exact bits of every value (dates as their int64 count)."""
    frame = obj.to_frame() if isinstance(obj, pd.Series) else obj
    out = [list(frame.index), list(frame.columns), [str(t) for t in frame.dtypes]]
    for _, col in frame.items():
        values = col.to_numpy()
        out.append(values.view(np.int64).tolist() if values.dtype.kind in "fM" else values.tolist())
    return out


NAMES = [
    "summary",
    "summary-ranked",
    "troughmend",
    "troughmend-details",
    "crossodds",
    "horizonret",
    "extremeset",
    "extremeset-loss",
    "streakset",
    "streakset-loss",
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "kind, per_chunk",
    [("frame", None), ("frame", 3), ("array", None), ("array", 3), ("array-one-chunk", None)],
)
def test_cluster_result_equals_whole_call(client, frame, name, kind, per_chunk):
    fn, args, kwargs, want = calls(name, frame)
    if kind == "frame":
        panel = dd.from_pandas(frame, npartitions=4)  # blocks of rows: must be regrouped
    else:
        chunks = (-1, -1) if kind == "array-one-chunk" else (7, 5)
        panel = da.from_array(frame.to_numpy(), chunks=chunks)
        kwargs = dict(kwargs, dates=frame.index, funds=frame.columns)
    lazy = fn(panel, *args, **kwargs, funds_per_chunk=per_chunk)
    got = client.compute(lazy).result(timeout=RESULT_TIMEOUT)
    assert bits(got) == bits(want)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", ["frame", "array"])
def test_navs_on_the_cluster_equal_the_whole_call(client, frame, name, kind):
    navs = 100.0 * (1.0 + frame.clip(-0.5, 0.5)).cumprod()  # NaN stays NaN
    fn, args, kwargs, want = calls(name, navs, navs=True)
    if kind == "frame":
        panel = dd.from_pandas(navs, npartitions=3)
    else:
        panel = da.from_array(navs.to_numpy(), chunks=(7, 5))
        kwargs = dict(kwargs, dates=navs.index, funds=navs.columns)
    got = client.compute(fn(panel, *args, **kwargs)).result(timeout=RESULT_TIMEOUT)
    assert bits(got) == bits(want)
    with pytest.warns(PriceLikeWarning):  # NAVs read as returns, on purpose
        as_returns = calls(name, navs)[3]
    assert bits(want) != bits(as_returns)  # the NAVs were not read as returns


def test_nav_errors_name_the_fund_and_row_or_date(client, frame):
    navs = np.ones((ROWS, 4))
    navs[6, 2] = -1.0
    array = da.from_array(navs, chunks=(ROWS, 2))
    with pytest.raises(ValueError, match=r"fund 2 has -1.0 on row 6$"):
        client.compute(fkd.troughmend(array, navs=True)).result(timeout=RESULT_TIMEOUT)
    with pytest.raises(ValueError, match=r"fund 'c' has -1.0 on 2001-07-30 22:00:00$"):
        lazy = fkd.streakset(array, dates=frame.index, funds=list("abcd"), navs=True)
        client.compute(lazy).result(timeout=RESULT_TIMEOUT)


def test_integer_array_without_labels(client, frame):
    values = (np.arange(ROWS * 4).reshape(ROWS, 4) % 5 - 2).astype(np.int32)
    got = client.compute(
        fkd.streakset(da.from_array(values, chunks=(10, 2)), dates=frame.index)
    ).result(timeout=RESULT_TIMEOUT)
    want = fkp.streakset(pd.DataFrame(values.astype(np.float64), index=frame.index))
    assert bits(got) == bits(want)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: fkd.horizonret(da.zeros((ROWS, 3)), "1Y"), TypeError, "dates= is required"),
        (
            lambda f: fkd.troughmend(da.zeros((ROWS, 3)), details=True),
            TypeError,
            "dates= is required",
        ),
        (lambda f: fkd.troughmend(da.zeros((ROWS, 3, 2))), ValueError, "two-dimensional"),
        (
            lambda f: fkd.extremeset(da.zeros((ROWS, 3)), dates=f.index[:-1]),
            ValueError,
            "dates has 29 elements, but data has 30 rows",
        ),
        (
            lambda f: fkd.streakset(da.zeros((ROWS, 3)), dates=f.index[::-1]),
            ValueError,
            "ascending order",
        ),
        (
            lambda f: fkd.troughmend(da.zeros((ROWS, 3)), funds=["a", "b"]),
            ValueError,
            "funds has 2 labels",
        ),
        (lambda f: fkd.troughmend(da.zeros((ROWS, 2)), funds=["a", "a"]), ValueError, "unique"),
        (
            lambda f: fkd.troughmend(dd.from_pandas(f, npartitions=2), dates=f.index),
            TypeError,
            "only with a dask array",
        ),
        (
            lambda f: fkd.troughmend(dd.from_pandas(f.reset_index(drop=True), npartitions=2)),
            TypeError,
            "DatetimeIndex",
        ),
        (
            lambda f: fkd.troughmend(dd.from_pandas(f.assign(f01="x"), npartitions=2)),
            TypeError,
            "not numeric",
        ),
        (
            lambda f: fkd.crossodds(da.zeros((ROWS, 3)), {0: 1, 1: 1}),
            ValueError,
            r"no code for the funds \[2\]",
        ),
        (
            lambda f: fkd.troughmend(da.zeros((ROWS, 3)), funds_per_chunk=0),
            ValueError,
            "positive int",
        ),
        (lambda f: fkd.troughmend(f), TypeError, "dask DataFrame or a dask array"),
    ],
)
def test_bad_input_is_rejected_before_computing(frame, call, error, message):
    with pytest.raises(error, match=message):
        call(frame)
