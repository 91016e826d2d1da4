import math

import numpy as np
import pytest
from hypothesis import given, settings

from helpers import awkward_matrix, matrices, examples
from fk_references.troughmend import troughmend as reference
from troughmend import troughmend


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
    assert troughmend.__doc__.endswith(
        "Longest drawdown-recovery days per fund (C++ & thread-parallel)\n"
    )


@settings(max_examples=examples(200), deadline=None)
@given(x=matrices(max_rows=15, max_cols=5))
def test_matches_reference(x):
    assert np.array_equal(troughmend(x), reference(x))


@pytest.mark.parametrize("cols", [1, 2, 3, 8, 33])
def test_random_panels_match_reference(cols):
    x = awkward_matrix(np.random.default_rng(cols), 120, cols)
    assert np.array_equal(troughmend(x), reference(x))
