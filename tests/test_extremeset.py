import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import extremeset as extremeset_module
from extremeset import extremeset
from helpers import LAYOUTS, awkward_matrix, matrices, same_bits, examples
from fk_references.cases import INDICATORS
from fk_references.dates import ymd
from fk_references.extremeset import extremeset as reference

peer = INDICATORS["extremeset"].peer  # the benchmark's NumPy peer, through the registry

nan, inf = math.nan, math.inf
DAY = 86_400_000_000_000


def days(n):
    return np.arange(n, dtype=np.int64) * DAY


def assert_same(got, want):
    assert list(got) == ["r", "p", "s", "l"]
    assert same_bits(got["r"], want["r"]) and same_bits(got["p"], want["p"])
    assert got["s"] == want["s"] and got["l"] == want["l"]


def row(i):
    return ymd(i * DAY)


@pytest.mark.parametrize(
    "column, mode, r, p, first, last",
    [
        ([0.01, 0.02, -0.01, 0.05], "positive", 1.05 - 1.0, 1, 3, 3),
        ([0.01, 0.02, -0.01, 0.05], "inverted", 0.95 - 1.0, 1, 3, 3),
        ([nan, 0.02, 0.03, nan], "positive", 1.02 * 1.03 - 1.0, 2, 1, 2),
        ([0.1, -0.1, 0.1], "positive", 1.1 - 1.0, 1, 2, 2),  # equal growth: the later run
        ([0.02, nan, 0.03], "positive", 1.03 - 1.0, 1, 2, 2),
        ([0.02, 0.0, 0.01, 0.0], "positive", 1.02 - 1.0, 1, 0, 0),
        ([0.2], "positive", 1.2 - 1.0, 1, 0, 0),
        # The growth is a quotient of running products: its rounding decides the winner.
        ([0.2, -0.1, 0.7, -0.1, 0.7], "positive", 1.7000000000000002 - 1.0, 1, 2, 2),
        ([0.9, -0.1, 0.9], "positive", 1.9000000000000001 - 1.0, 1, 2, 2),
        # A quotient of exactly 1.0 takes no part and cuts the reported run short.
        ([5e-17, 0.01], "positive", 1.01 - 1.0, 1, 1, 1),
        ([0.1, -0.1, 5e-17, 0.2, 0.1], "positive", 1.1 * 1.2 * 1.1 / 1.1 - 1.0, 2, 3, 4),
        ([1.5, 3.0, 0.5, 3.0], "inverted", -2.0, 2, 2, 3),
        # Total loss: the running product stays 0, later runs are 0/0.
        ([0.5, 1.0, 0.2], "inverted", -1.0, 3, 0, 2),
        ([0.5, 1.0, -0.1, 0.2], "inverted", -1.0, 2, 0, 1),
        # Factors below zero: a falling then rising product, the minimum is mid-run.
        ([0.5, 3.0, 0.1], "inverted", 0.5 * -2.0 - 1.0, 2, 0, 1),
    ],
)
def test_examples(column, mode, r, p, first, last):
    x = np.array(column, dtype=np.float64).reshape(-1, 1)
    want = {"r": np.array([r]), "p": np.array([p]), "s": [row(first)], "l": [row(last)]}
    assert_same(extremeset(x, days(len(column)), mode), want)
    assert_same(reference(x, days(len(column)), mode), want)


@pytest.mark.parametrize(
    "column, mode",
    [
        *[
            (c, m)
            for m in ("positive", "inverted")
            for c in (
                [],
                [nan, nan],
                [0.0, -0.1, -0.0, nan],
                [5e-17, 5e-17],  # growth of exactly 1.0 only
                [0.1, inf, 0.1],  # an infinite extreme: finite growth elsewhere is not reported
                [inf, 0.1],
            )
        ],
        ([-0.1, 1e300, 1e300, 0.1], "positive"),  # the product overflows
    ],
)
def test_no_run(column, mode):
    x = np.array(column, dtype=np.float64).reshape(-1, 1)
    got = extremeset(x, days(len(column)), mode)
    assert_same(got, {"r": np.array([0.0]), "p": np.array([0]), "s": ["nan"], "l": ["nan"]})
    assert math.copysign(1.0, got["r"][0]) == 1.0


@pytest.mark.parametrize(
    "code, inverted",
    [
        ("positive", False),
        (b"positive", False),
        ("Positive", True),
        ("", True),
        ("positive ", True),
        ("negative", True),
        (b"inverted", True),
        (bytearray(b"positive"), False),
    ],
)
def test_mode_code_is_exact(code, inverted):
    x = np.array([[0.01], [0.02], [-0.01], [0.05]])
    want = reference(x, days(4), "inverted" if inverted else "positive")
    assert_same(extremeset(x, days(4), code), want)


def test_calls_and_result_types():
    x = np.array([[0.1, -0.1], [0.2, nan]])
    d = days(2)
    out = extremeset(x, d)
    assert out["r"].dtype == np.float64 and out["p"].dtype == np.int64
    assert all(type(t) is str for t in out["s"] + out["l"])
    assert_same(extremeset(array_value=x, dates=d), out)
    assert_same(extremeset(x, dates=d, i_code="positive"), out)
    assert_same(extremeset(x, d, "inverted"), extremeset(x, d, i_code="inverted"))
    assert out["p"].tolist() == [2, 0] and out["s"] == [row(0), "nan"]
    with pytest.raises(TypeError):
        extremeset(x, d, None)
    with pytest.raises(TypeError):
        extremeset(x, d, mode="positive")


def test_rows_without_dates():
    out = extremeset(np.zeros((0, 3)), np.zeros(0, dtype=np.int64))
    assert_same(
        out,
        {"r": np.zeros(3), "p": np.zeros(3, dtype=np.int64), "s": ["nan"] * 3, "l": ["nan"] * 3},
    )


@pytest.mark.parametrize("have, rows", [(0, 1), (3, 4), (249, 250)])
def test_short_dates_rejected(have, rows):
    with pytest.raises(
        ValueError, match=rf"^dates has {have} elements?, but the value matrix has {rows} rows$"
    ):
        extremeset(np.full((rows, 2), 0.01), days(have))


DATE_TEXTS = [
    (0, "19700101"),
    (86399999999999, "19700101"),
    (86400000000000, "19700102"),
    (1609459200000000000, "20210101"),
    (951782400000000000, "20000229"),
    (-1, "19700101"),
    (-999999999, "19700101"),
    (-1000000000, "19691231"),
    (-86400000000000, "19691231"),
    (-(2**63), "16770921"),
    (2**63 - 1, "22620411"),
]


@pytest.mark.parametrize("ns, text", DATE_TEXTS)
def test_date_text(ns, text):
    x = np.array([[-0.1], [0.1], [0.1]])
    out = extremeset(x, np.array([0, ns, 2**63 - 1]))
    assert out["s"] == [text] and out["l"] == ["22620411"] and ymd(ns) == text


@pytest.mark.slow  # a fresh interpreter
@pytest.mark.parametrize("tz", ["UTC-14", "UTC+12", "XYZ+11:30ABC,M3.2.0,M11.1.0"])
def test_date_text_ignores_time_zone(tz):
    # Column c has its only run at row c, so its first date text is that of dates[c].
    code = (
        "import numpy as np; from extremeset import extremeset;"
        f"d = np.array({[ns for ns, _ in DATE_TEXTS]}, dtype=np.int64);"
        "print(' '.join(extremeset(np.diag(np.full(len(d), 0.1)), d)['s']))"
    )
    path = [str(Path(extremeset_module.__file__).parent), *sys.path]
    env = {**os.environ, "TZ": tz, "PYTHONPATH": os.pathsep.join(path)}
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert out.stdout.split() == [t for _, t in DATE_TEXTS]


# Factors of exactly 1.0, zero, below zero and infinite, and growth that rounds away.
VALUES = st.one_of(
    st.floats(-0.5, 0.5, allow_nan=False),
    st.sampled_from([nan, 0.0, -0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 5e-17, 1e-300, inf, -inf, 1e300]),
)


@settings(max_examples=examples(300), deadline=None)
@given(
    x=matrices(max_rows=14, max_cols=5, elements=VALUES),
    mode=st.sampled_from(["positive", "inverted"]),
    data=st.data(),
)
def test_matches_reference(x, mode, data):
    dates = data.draw(
        st.lists(st.integers(-(2**63), 2**63 - 1), min_size=x.shape[0], max_size=x.shape[0])
    )
    dates = np.array(dates, dtype=np.int64)
    want = reference(x, dates, mode)
    assert_same(extremeset(x, dates, mode), want)
    assert_same(peer(x, dates, mode), want)


@pytest.mark.parametrize("mode", ["positive", "inverted"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_panels_in_any_layout(mode, layout):
    x = awkward_matrix(np.random.default_rng(11), 90, 37)
    if mode != "positive":
        x = np.abs(x)  # loss sizes
    d = days(90) + 1_000_000_000 * 3600 * 13
    want = reference(x, d, mode)
    assert_same(extremeset(LAYOUTS[layout](x), d, mode), want)
    assert_same(peer(LAYOUTS[layout](x), d, mode), want)


def long_runs(rows, cols, seed):
    """Wide and tall enough for several column blocks and row tiles, with runs across them."""
    rng = np.random.default_rng(seed)
    x = awkward_matrix(rng, rows, cols)
    x[:, 0] = rng.uniform(0.001, 0.02, rows)  # one run through every row
    x[:, cols // 2] = np.where(np.arange(rows) % 40 == 39, -0.1, 0.01)  # equal growth: the last
    c = cols - 1  # growth of exactly 1.0 at the head of a long run cuts it short
    x[:, c] = -0.01
    x[rows // 4 : rows // 4 + 3, c] = 5e-17
    x[rows // 4 + 3 : rows - 5, c] = 0.01
    return x


@pytest.mark.parametrize("mode", ["positive", "inverted"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("rows, cols", [(75, 131), (1000, 70)])
def test_long_runs_across_blocks_and_tiles(rows, cols, layout, mode):
    x = long_runs(rows, cols, rows + cols)
    if mode != "positive":
        x = np.abs(x)  # loss sizes
    d = days(rows)
    assert_same(extremeset(LAYOUTS[layout](x), d, mode), reference(x, d, mode))
