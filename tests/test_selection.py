"""The shared selection (common/select.hpp) called directly, against NumPy's sort.

The values come from families that each aim at one of the selection's rounds: far values
that stretch a binning round's range, ties and stale values that crowd one part, values
on the parts' boundaries, subnormals, signed zeros, infinities, NaN shares, values that
mislead the bracketing sample; at sizes around every threshold the header names.
"""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from helpers import examples

sel = pytest.importorskip(
    "fundkernels._test_selection",
    reason="built only with FK_TEST_EXTENSIONS=ON (make install-test sets it)",
)

TINY = np.nextafter(0.0, 1.0)  # the smallest subnormal
BIG = np.finfo(np.float64).max


def sample_positions(rows):
    """Where the bracketing round draws its sample from rows values."""
    s = sel.bracket_sample
    return [(2 * i + 1) * rows // (2 * s) for i in range(s)]


FAMILIES = {
    "normal": lambda rng, n: rng.standard_normal(n),
    "sorted": lambda rng, n: np.sort(rng.standard_normal(n)),
    "far": lambda rng, n: np.where(
        rng.random(n) < 2 / max(n, 1), rng.choice([-1e300, 1e300, 1e6]), rng.standard_normal(n)
    ),
    "range overflows": lambda rng, n: np.where(
        rng.random(n) < 0.2, rng.choice([-BIG, BIG], n), rng.standard_normal(n)
    ),
    "stale 60%": lambda rng, n: np.where(rng.random(n) < 0.6, 0.0, rng.standard_normal(n)),
    "stale 99%": lambda rng, n: np.where(rng.random(n) < 0.99, 1.25, rng.standard_normal(n)),
    "few values": lambda rng, n: rng.integers(-2, 3, n).astype(float),
    "narrow cluster": lambda rng, n: np.where(
        rng.random(n) < 0.9, 1 + rng.random(n) * 1e-9, rng.standard_normal(n) * 1e3
    ),
    # Values on the boundaries of equal parts of their range (both ends included).
    "part boundaries": lambda rng, n: (
        -3 + 8 * rng.integers(0, sel.select_bins + 1, n) / sel.select_bins
    ),
    "subnormal": lambda rng, n: rng.integers(-40, 41, n) * TINY,
    "signed zeros": lambda rng, n: (
        np.where(rng.random(n) < 0.5, -0.0, 0.0)
        + np.where(rng.random(n) < 0.1, rng.standard_normal(n), 0.0)
    ),
    "infinities": lambda rng, n: np.where(
        rng.random(n) < 0.3, rng.choice([-np.inf, np.inf], n), rng.standard_normal(n)
    ),
    "subnormal crowd": lambda rng, n: np.where(
        rng.random(n) < 0.9, rng.integers(-40, 41, n) * TINY, rng.standard_normal(n)
    ),
    "sample trap": lambda rng, n: _sample_trap(rng, n),
    "sample skew": lambda rng, n: _sample_skew(rng, n),
}


def _sample_trap(rng, n):
    """Ordinary values, but the ones the bracketing sample reads lie far above the rest."""
    x = rng.standard_normal(n)
    x[sample_positions(n)] = 1e9 + np.arange(sel.bracket_sample)
    return x


def _sample_skew(rng, n):
    """The values the bracketing sample reads are spread a tenth as widely as the rest: its
    bracket misses the wanted rank, below or above, or holds it on its very edge."""
    x = rng.standard_normal(n)
    x[sample_positions(n)] = 0.1 * rng.standard_normal(sel.bracket_sample)
    return x


def _around(*points):
    return sorted({p + d for p in points for d in (-1, 0, 1) if p + d >= 1})


# Every threshold of the header: the short range of a plain selection (8), the sorting
# networks, the first binned count, the sample and the scratch it needs, the parts, the
# byte counts' chunk (255 x 16), the bracketing round; and powers of two.
SIZES = _around(
    1,
    2,
    8,
    sel.network_rows,
    sel.min_binned,
    sel.bracket_sample,
    3 * sel.bracket_sample,
    sel.select_bins,
    255 * 16,
    sel.min_bracket,
    *(2**k for k in range(4, 13)),
)


def make(family, rows, seed, nan_share=0.0, stride=1):
    """rows values of the family, a share of them NaN, every stride-th of a larger buffer
    whose other slots hold values that would change every answer if they were read."""
    rng = np.random.default_rng(seed)
    x = np.asarray(FAMILIES[family](rng, rows), dtype=float)
    x[rng.random(rows) < nan_share] = np.nan
    buf = np.full(rows * stride, -1e308)
    buf[::stride] = x
    return buf[::stride]


def same(got, want):
    """Equal, or both NaN; equal values may differ only in the sign of a zero."""
    return got == want or (got != got and want != want)


def check_median(x):
    before = x.copy()
    valid = x[~np.isnan(x)]
    with np.errstate(invalid="ignore", over="ignore"):  # inf - inf, two huge values
        want = np.median(valid) if valid.size else np.nan
    got = [sel.median(x)]
    if x.strides[0] == x.itemsize:
        got.append(sel.median(x, counted=True))
    for g in got:
        assert same(g, want), (g, want, valid.size)
    np.testing.assert_array_equal(x, before)  # the values are only read


def check_kth(x, k, flush_to_zero=False):
    valid = np.sort(x[~np.isnan(x)])
    kth, prev = sel.kth(x, k, flush_to_zero)
    assert same(kth, valid[k]) and same(prev, valid[k - 1]), (k, kth, prev, valid.size)


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_median_at_every_threshold(family):
    for rows in SIZES:
        for nan_share in (0.0, 0.3):
            check_median(make(family, rows, rows, nan_share))


@settings(max_examples=examples(300), deadline=None)
@given(
    family=st.sampled_from(sorted(FAMILIES)),
    rows=st.sampled_from(SIZES),
    nan_share=st.sampled_from([0.0, 0.0, 0.01, 0.2, 0.5, 0.95, 1.0]),
    stride=st.sampled_from([1, 1, 3]),
    seed=st.integers(0, 2**32 - 1),
)
def test_median_matches_numpy(family, rows, nan_share, stride, seed):
    check_median(make(family, rows, seed, nan_share, stride))


@settings(max_examples=examples(300), deadline=None)
@given(
    family=st.sampled_from(sorted(FAMILIES)),
    rows=st.sampled_from(SIZES),
    nan_share=st.sampled_from([0.0, 0.0, 0.01, 0.3]),
    stride=st.sampled_from([1, 2]),
    rank=st.floats(0, 1),
    seed=st.integers(0, 2**32 - 1),
    flush_to_zero=st.booleans(),
)
def test_kth_and_the_value_before_it_match_a_sort(
    family, rows, nan_share, stride, rank, seed, flush_to_zero
):
    # Every rank, not just the middle: the rank may fall on a part's first value, on the
    # edge of the sampled bracket, or on the first value above a run of ties. With
    # subnormal results flushed to zero, the order of the values themselves still holds.
    x = make(family, rows, seed, nan_share, stride)
    n = int(np.count_nonzero(~np.isnan(x)))
    if n < 2:
        return
    check_kth(x, 1 + int(rank * (n - 2)), flush_to_zero)


@pytest.mark.parametrize("rows", [sel.min_binned, 500, sel.min_bracket + 1])
@pytest.mark.parametrize("family", ["part boundaries", "sample skew"])
def test_every_rank_of_one_input(family, rows):
    # Ties across part boundaries, and a bracket that slides past each rank in turn: each
    # rank's predecessor is the previous value of a sort.
    x = make(family, rows, rows, 0.1)
    n = int(np.count_nonzero(~np.isnan(x)))
    for k in range(1, n):
        check_kth(x, k)


def test_rank_outside_the_valid_values_is_refused():
    x = np.array([1.0, np.nan, 2.0, 3.0])
    for k in (0, 3):
        with pytest.raises(ValueError, match="k must lie in 1 .. 3 - 1"):
            sel.kth(x, k)
