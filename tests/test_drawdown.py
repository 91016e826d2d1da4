import math
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings

from fundkernels._drawdown import drawdown
from helpers import LAYOUTS, assert_same_parts, awkward_matrix, matrices, examples
from fk_references.cases import VARIANTS
from fk_references.drawdown import PARTS
from fk_references.drawdown import drawdown as reference
from troughmend import troughmend

peer = VARIANTS["drawdown"].peer  # the benchmark's NumPy peer, through the registry

nan, inf = math.nan, math.inf
FRENCH = Path(str(resources.files("fundkernels").joinpath("data", "french.csv.bz2")))


def check(x):
    """Kernel equal to the reference and to the benchmark's NumPy peer bit for bit, and its
    length equal to troughmend's."""
    got = drawdown(x)
    assert_same_parts(got, reference(x))
    assert_same_parts(got, peer(x))
    assert np.array_equal(got[0], troughmend(x))
    return got


# (returns, (length, peak, first, last, trough, depth, recovery))
CASES = {
    "recovers": ([0.1, -0.05, -0.05, 0.2], (2, 0, 1, 2, 2, 1.1 * 0.95 * 0.95 / 1.1 - 1, 3)),
    "open at the end": ([0.1, -0.1, 0.05], (2, 0, 1, 2, 1, 1.1 * 0.9 / 1.1 - 1, -1)),
    "loss on the first row": ([-0.1, 0.05, 0.1], (2, -1, 0, 1, 0, 0.9 / 1.0 - 1, 2)),
    "equally long: the latest": (
        [-0.1, 0.2, -0.1, 0.2],
        (1, 1, 2, 2, 2, 0.9 * 1.2 * 0.9 / (0.9 * 1.2) - 1, 3),
    ),
    "longer earlier wins": ([-0.1, -0.1, 0.5, -0.1], (2, -1, 0, 1, 1, 0.9 * 0.9 - 1, 2)),
    "NaN rows inside, equal lows": (
        [0.1, -0.1, nan, nan, 0.2],
        (3, 0, 1, 3, 1, 1.1 * 0.9 / 1.1 - 1, 4),
    ),
    "leading NaN never counts": ([nan, -0.1, nan, 0.2], (2, -1, 1, 2, 1, 0.9 - 1, 3)),
    "never recovers": ([0.2, -1.0, 0.5, 0.5], (3, 0, 1, 3, 1, -1.0, -1)),
    "below -1": ([-2.0, 0.5], (2, -1, 0, 1, 1, -1.5 - 1, -1)),
    "equal value keeps the peak row": (
        [0.1, -0.5, 1.0, -0.1],
        (1, 0, 3, 3, 3, 1.1 * 0.9 / 1.1 - 1, -1),
    ),
    "infinite peak": ([0.1, inf, 0.1, -0.5], (3, 1, 1, 3, 1, nan, -1)),
    "value lost to NaN": ([-1.0, inf, 0.1], (3, -1, 0, 2, 0, -1.0, -1)),
    "all NaN": ([nan, nan], (0, -1, -1, -1, -1, nan, -1)),
    "only gains": ([0.01, 0.0, 0.02], (0, -1, -1, -1, -1, nan, -1)),
}


@pytest.mark.parametrize("column, expected", CASES.values(), ids=CASES.keys())
def test_examples(column, expected):
    x = np.array(column).reshape(-1, 1)
    got = check(x)
    assert [a[0].item() for a in got[:5] + got[6:]] == [*expected[:5], expected[6]]
    assert got[5][0] == expected[5] or (math.isnan(got[5][0]) and math.isnan(expected[5]))


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_empty_shapes(shape):
    got = check(np.zeros(shape))
    assert [a.dtype for a in got] == [np.float64 if p == "depth" else np.int64 for p in PARTS]
    assert all(len(a) == shape[1] for a in got)


def test_not_a_matrix():
    with pytest.raises(ValueError, match="two-dimensional"):
        drawdown(np.zeros(4))


@settings(max_examples=examples(300), deadline=None)
@given(x=matrices(max_rows=15, max_cols=5))
def test_matches_reference(x):
    check(x)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("cols", [1, 33, 70])
def test_layouts(layout, cols):
    x = awkward_matrix(np.random.default_rng(cols), 200, cols)
    assert_same_parts(drawdown(LAYOUTS[layout](x)), reference(x))
    assert np.array_equal(drawdown(LAYOUTS[layout](x))[0], troughmend(x))


def test_real_panel():
    x = pd.read_csv(FRENCH, index_col="dates").to_numpy()
    got = check(x)
    assert got[0].max() > 100  # the long post-war drawdowns are there to be found
