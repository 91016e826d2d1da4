import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fundkernels._ranks import GROUP_SIZE, peer_ranks, percentile_ranks
from helpers import examples


def pandas_ranks(values, groups, better):
    """The same rule from pandas: the share of the group at or better than the fund (ties
    at their best place), mapped from (1/m .. 1) onto (1 .. 100)."""
    frame = pd.DataFrame({"v": values, "g": groups})
    by = frame.groupby("g")["v"]
    pct = by.rank(method="min", ascending=better == "lower", pct=True)
    m = by.transform("count")
    place = pct * m  # 1 for the best
    return np.where(m > 1, 1 + 99 * (place - 1) / (m - 1), 1.0) + np.where(pct.isna(), np.nan, 0)


@settings(max_examples=examples(200), deadline=None)
@given(
    data=st.lists(
        st.tuples(
            st.sampled_from([0.5, -0.1, 0.0, -0.0, 2.0, math.inf, math.nan, 0.3]), st.integers(0, 4)
        ),
        min_size=1,
        max_size=40,
    ),
    better=st.sampled_from(["higher", "lower"]),
)
def test_matches_pandas(data, better):
    values = np.array([v for v, _ in data])
    groups = np.array([g for _, g in data])
    got = percentile_ranks(values, groups, better)
    np.testing.assert_allclose(got, pandas_ranks(values, groups, better), rtol=1e-12)


@pytest.mark.parametrize(
    "better, values, want",
    [
        ("higher", [0.1, 0.3, 0.2], [100, 1, 50.5]),
        ("lower", [0.1, 0.3, 0.2], [1, 100, 50.5]),
        ("higher", [0.3, 0.3, 0.1], [1, 1, 100]),  # a tie takes the better place
        ("lower", [5.0, np.nan, 7.0], [1, np.nan, 100]),  # without a value: unranked
        ("higher", [0.2], [1]),  # alone in its group: the best
    ],
)
def test_examples(better, values, want):
    got = percentile_ranks(np.array(values), np.zeros(len(values), np.int64), better)
    np.testing.assert_array_equal(got, np.array(want, dtype=float))


def test_groups_rank_apart():
    values = np.array([1.0, 2.0, 3.0, 10.0, 20.0])
    groups = np.array([7, 7, 7, 3, 3])
    got = peer_ranks(
        {"sharpe": values, "fund_name": np.arange(5), "max_drawdown": -values},
        groups,
        {"sharpe": "higher", "max_drawdown": "higher", "fund_name": None},
    )
    assert list(got) == ["sharpe_rank", "max_drawdown_rank", GROUP_SIZE]
    np.testing.assert_array_equal(got["sharpe_rank"], [100, 50.5, 1, 100, 1])
    np.testing.assert_array_equal(got["max_drawdown_rank"], [1, 50.5, 100, 1, 100])
    np.testing.assert_array_equal(got[GROUP_SIZE], [3, 3, 3, 2, 2])
    whole = peer_ranks({"sharpe": values}, None, {"sharpe": "higher"})
    np.testing.assert_array_equal(whole["sharpe_rank"], [100, 75.25, 50.5, 25.75, 1])


def test_no_funds_and_bad_arguments():
    assert peer_ranks({"sharpe": np.empty(0)}, None, {"sharpe": "higher"})[GROUP_SIZE].size == 0
    with pytest.raises(ValueError, match="higher"):
        percentile_ranks(np.ones(2), np.zeros(2, np.int64), "up")
    with pytest.raises(TypeError, match="dates"):
        percentile_ranks(np.array(["2020-01-01"], dtype="M8[ns]"), np.zeros(1, np.int64), "lower")
    with pytest.raises(ValueError, match="2 codes for 3 funds"):
        peer_ranks({"a": np.ones(3)}, np.zeros(2, np.int64), {"a": "lower"})
