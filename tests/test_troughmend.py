import math

import numpy as np
import pytest
from hypothesis import given, settings

from helpers import awkward_matrix, matrices
from troughmend import troughmend


def reference(x):
    """Compound the column (NaN skipped), then count rows strictly below the running peak."""
    out = []
    for c in range(x.shape[1]):
        net = [1.0]
        acc = 1.0
        for v in x[:, c].tolist():
            if not math.isnan(v):
                acc = acc * (v + 1.0)
            net.append(acc)
        peak, cur, longest = 1.0, 0, 0
        for value in net[1:]:
            if value > peak:
                peak = value
            dd = (value - peak) / peak  # the peak is at least 1.0
            if dd != 0.0:  # NaN counts as a drawdown row
                cur += 1
                longest = max(longest, cur)
            else:
                cur = 0
        out.append(longest)
    return np.array(out, dtype=np.int64)


nan, inf = math.nan, math.inf


@pytest.mark.parametrize(
    "column, expected",
    [
        ([0.1, -0.05, -0.05, 0.2], 2),
        ([0.1, -0.1, 0.1, 0.1], 2),
        ([0.1, nan, -0.1, nan, 0.05, 0.2], 3),
        ([nan, -0.1, nan, 0.2], 2),
        ([nan, nan, nan], 0),
        ([0.0, 0.0, 0.0], 0),
        ([0.01, 0.02, 0.03], 0),
        ([-0.1], 1),
        ([-1.0, 0.5, 0.5], 3),
        ([-2.0, 0.5], 2),
        ([0.1, inf, 0.1, -0.5], 3),
        ([1e308, 1e308, 0.5], 2),
        ([-1.0, inf, 0.1], 3),
        ([0.1, -0.1, 0.2, -0.01, -0.01, -0.01, 0.5], 3),
    ],
    ids=lambda v: None if isinstance(v, int) else str(v),
)
def test_examples(column, expected):
    x = np.array(column, dtype=np.float64).reshape(-1, 1)
    assert troughmend(x).tolist() == [expected]
    assert reference(x).tolist() == [expected]


def test_result_type_and_empty_shapes():
    out = troughmend(np.zeros((0, 3)))
    assert out.dtype == np.int64 and out.tolist() == [0, 0, 0]
    out = troughmend(np.zeros((4, 0)))
    assert out.dtype == np.int64 and out.shape == (0,)


def test_keyword_argument_rejected():
    with pytest.raises(TypeError):
        troughmend(returns=np.zeros((2, 2)))


def test_docstring():
    assert troughmend.__doc__.endswith("Longest drawdown-recovery days per fund (C++ & thread-parallel)\n")


@settings(max_examples=200, deadline=None)
@given(x=matrices(max_rows=15, max_cols=5))
def test_matches_reference(x):
    assert np.array_equal(troughmend(x), reference(x))


@pytest.mark.parametrize("cols", [1, 2, 3, 8, 33])
def test_random_panels_match_reference(cols):
    x = awkward_matrix(np.random.default_rng(cols), 120, cols)
    assert np.array_equal(troughmend(x), reference(x))
