import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import LAYOUTS, awkward_matrix, matrices, same_bits, examples
from fk_references.cases import INDICATORS
from fk_references.dates import ymd
from fk_references.streakset import streakset as reference
from streakset import streakset

peer = INDICATORS["streakset"].peer  # the benchmark's NumPy peer, through the registry

nan, inf = math.nan, math.inf
I64 = st.integers(-(2**63), 2**63 - 1)


def assert_same(got, want):
    assert same_bits(got[0], want[0]) and got[1:3] == want[1:3] and same_bits(got[3], want[3])


DAY0 = np.datetime64("2021-03-01")
DATES = (DAY0 + np.arange(10)).astype("datetime64[ns]").astype(np.int64)


def text(row):
    return str(DAY0 + row).replace("-", "")


@pytest.mark.parametrize(
    "column, mode, ret, days, start",
    [
        ([nan, 0.5, 1.0, -0.5, 0.5, 1.0, nan], "positive", 2.0, 2, 4),  # later of two equal runs
        ([0.5, 0.5, -0.5, 1.0], "positive", 1.25, 2, 0),  # run at row 0: base 1.0
        ([0.5, 1.0, 0.25], "positive", 2.75, 3, 0),  # whole column: compounded return
        ([0.25], "positive", 0.25, 1, 0),
        ([1.0], "negative", -1.0, 1, 0),  # product 0.0 over a base of 1.0
        ([-0.5, 0.5, 0.5], "negative", -0.75, 2, 1),
        ([1.0, -0.5, 0.5], "negative", nan, 1, 2),  # zero base
        ([-1.0, -2.0, 0.5], "positive", nan, 1, 2),  # base -0.0
        ([inf, -1.0, 0.5], "positive", nan, 1, 2),  # base inf * 0 = NaN
        ([0.5, nan, 0.5], "positive", 0.5, 1, 2),  # NaN breaks a run, skipped in the product
        ([nan, 0.5, 0.5, -0.1], "positive", 1.25, 2, 1),
        ([1.0, -0.5, 0.25], "positive", 0.25, 1, 2),
        ([0.5, -0.0, 0.5, 0.5], "positive", 1.25, 2, 2),  # -0.0 is not positive
        ([inf, inf], "positive", inf, 2, 0),
    ],
)
def test_examples(column, mode, ret, days, start):
    x = np.array(column, dtype=np.float64).reshape(-1, 1)
    want = (np.array([ret]), [text(start)], [text(start + days - 1)], np.array([days]))
    assert_same(streakset(x, DATES, mode), want)
    assert_same(reference(x, DATES, mode), want)


@pytest.mark.parametrize(
    "column, mode", [([1.0, -0.5, 0.5], "negative"), ([-1.0, -2.0, 0.5], "positive")]
)
def test_zero_base_is_the_quiet_nan(column, mode):
    # Not the 0/0 of the division: that NaN carries the sign bit on x86.
    r = streakset(np.array(column).reshape(-1, 1), DATES, mode)[0]
    assert r.view(np.uint64).tolist() == [0x7FF8000000000000]


@pytest.mark.parametrize(
    "i_code, ret",
    [
        ("positive", 0.5),
        (b"positive", 0.5),
        ("Positive", -0.5),
        ("positive ", -0.5),
        ("", -0.5),
        ("positive\0", -0.5),
        ("negative", -0.5),
    ],
)
def test_mode_code_is_exact(i_code, ret):
    assert streakset([[0.5]], DATES, i_code)[0].tolist() == [ret]


def test_call_forms_and_result_types():
    x = awkward_matrix(np.random.default_rng(9), 10, 4)
    want = streakset(x, DATES)
    for got in (
        streakset(x, DATES, "positive"),
        streakset(dates=DATES, a_value=x),
        streakset(x, dates=DATES.tolist(), i_code="positive"),
        streakset(x, DATES.astype("datetime64[ns]")),
    ):
        assert_same(got, want)
    assert type(want) is tuple and len(want) == 4
    assert want[0].dtype == np.float64 and want[3].dtype == np.int64
    assert all(type(t) is str for t in want[1] + want[2])
    with pytest.raises(TypeError):
        streakset(x, DATES, mode="positive")
    assert streakset.__doc__.endswith("C++ translation of Python main_cal_longest_one_for_all\n")


RUNLESS = [[nan, 0.0, -0.0, -0.1], [nan, -1.0, -inf, -0.2]]


@pytest.mark.parametrize("mode", ["positive", "negative"])
@pytest.mark.parametrize(
    "x", [np.zeros((0, 0)), np.zeros((0, 3)), np.zeros((4, 0)), np.array(RUNLESS)]
)
def test_no_run_and_empty_shapes(x, mode):
    r, s, e, days = streakset(x, np.zeros(x.shape[0], dtype=np.int64), mode)
    assert r.dtype == np.float64 and days.dtype == np.int64
    assert r.tolist() == [0.0] * x.shape[1] and days.tolist() == [0] * x.shape[1]
    assert s == e == ["nan"] * x.shape[1]


def test_short_dates_rejected():
    with pytest.raises(ValueError, match="^dates has 2 elements, but the value matrix has 3 rows$"):
        streakset(np.full((3, 2), -1.0), DATES[:2])


@pytest.mark.parametrize(
    "ns, want",
    [
        (0, "19700101"),
        (86399999999999, "19700101"),
        (86400000000000, "19700102"),
        (951782400000000000, "20000229"),
        (-1, "19700101"),
        (-999999999, "19700101"),
        (-1000000000, "19691231"),
        (-(2**63), "16770921"),
        (2**63 - 1, "22620411"),
    ],
)
def test_date_texts(ns, want):
    _, s, e, _ = streakset([[0.1], [0.2]], [ns, ns])
    assert s == e == [want] and ymd(ns) == want


@settings(max_examples=examples(150), deadline=None)
@given(data=st.data(), x=matrices(max_rows=14, max_cols=19))
def test_matches_reference_and_peer(data, x):
    dates = np.array(data.draw(st.lists(I64, min_size=len(x), max_size=len(x))), dtype=np.int64)
    args = (x, dates, data.draw(st.sampled_from(["positive", "negative", "Positive"])))
    got = streakset(*args)
    assert_same(got, reference(*args))
    assert_same(peer(*args), got)


@pytest.mark.parametrize("mode", ["positive", "negative"])
@pytest.mark.parametrize("cols", [1, 8, 9, 17, 33])
def test_random_panels_match_reference(cols, mode):
    x = awkward_matrix(np.random.default_rng(cols), 90, cols)
    dates = np.random.default_rng(0).integers(-(2**62), 2**62, 90)
    for layout in (x, np.asfortranarray(x)):
        assert_same(streakset(layout, dates, mode), reference(x, dates, mode))


def long_runs(rows, cols, seed):
    """Wide and tall enough for several column blocks and row tiles, with runs across them."""
    rng = np.random.default_rng(seed)
    x = awkward_matrix(rng, rows, cols)
    x[:, 0] = rng.uniform(0.001, 0.02, rows)  # one run through every row, open at the end
    x[:, cols // 2] = np.where(np.arange(rows) % 40 == 39, -0.01, 0.01)  # equal runs: the last
    x[: rows // 2, cols - 1] = 0.02  # the longest run ends halfway
    x[rows // 2, cols - 1] = -0.02
    return x


@pytest.mark.parametrize("mode", ["positive", "negative"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("rows, cols", [(75, 131), (1000, 70)])
def test_long_runs_across_blocks_and_tiles(rows, cols, layout, mode):
    x = long_runs(rows, cols, rows + cols)
    dates = np.random.default_rng(1).integers(-(2**62), 2**62, rows)
    assert_same(streakset(LAYOUTS[layout](x), dates, mode), reference(x, dates, mode))
