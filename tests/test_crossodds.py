import math
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from crossodds import crossodds
from helpers import LAYOUTS, awkward_matrix, matrices, same_bits, examples
from fk_references.cases import INDICATORS
from fk_references.crossodds import crossodds as reference

peer = INDICATORS["crossodds"].peer  # the benchmark's NumPy peer, through the registry

nan, inf = math.nan, math.inf


@pytest.mark.parametrize(
    "codes, rows, expected",
    [
        pytest.param(
            [1, 1, 1, 2],
            [[1, 2, 3, 10], [3, 1, 2, nan], [nan, 5, 1, 7], [2, 0, 4, 8]],
            [1.0, 0.0, 0.5, nan],
            id="worked-example",
        ),
        pytest.param([5], [[1.0], [-1.0], [3.0], [-inf]], [nan], id="alone-always-winner"),
        # Median 2.5 of (4, 1, 3, 2): with the lower middle 2 as the median, 2 would win.
        pytest.param(
            [0] * 4, [[4, 1, 3, 2], [1, 4, 2, 3], [4, 1, 3, 2]], [0.0] * 4, id="even-count"
        ),
        pytest.param(
            [0, 0, 0], [[1, 2, 3], [3, 1, 2], [1, 2, 3]], [0.0, 0.0, nan], id="equal-wins"
        ),
        pytest.param([0, 0], [[1, 1], [2, 1], [1, 2]], [1.0, 0.0], id="pair-ties-both-win"),
        # (1e308 + 1e308) * 0.5 is inf, so both are losers; halving first would make winners.
        pytest.param(
            [0, 0], [[1e308, 1e308], [1, 2], [1e308, 1e308]], [nan, 0.0], id="pair-overflow"
        ),
        pytest.param([0, 0], [[inf, -inf], [1, 2], [inf, -inf], [2, 1]], [0.0, 0.0], id="inf-inf"),
        # An odd count takes the middle value itself, never a sum of it with itself.
        pytest.param(
            [0] * 3, [[1e308] * 3, [1, 2, 3], [1e308] * 3], [0.0, nan, nan], id="odd-huge"
        ),
        pytest.param(
            [0, 0], [[nan, nan], [1, 2], [nan, nan], [2, 1]], [0.0, 0.0], id="all-nan-date"
        ),
        pytest.param([0, 0], np.zeros((0, 2)), [nan, nan], id="no-dates"),
        pytest.param([], np.zeros((3, 0)), [], id="no-funds"),
    ],
)
def test_examples(codes, rows, expected):
    x, codes = np.array(rows, dtype=np.float64), np.array(codes, dtype=np.int32)
    for got in (crossodds(codes, x), peer(codes, x), reference(codes, x)):
        assert same_bits(got, np.array(expected, dtype=np.float64)), got


@pytest.mark.parametrize(
    "codes, same_as",
    [
        ([1.0, 1.7, 2.9, 2.0, 1.2, 2.5], [1, 1, 2, 2, 1, 2]),
        ([-1.5, -1.0, -2.5, -2.0, -1.9, 0.5], [-1, -1, -2, -2, -1, 0]),  # toward zero
        ([3, 3, 4, 4, 3, 4, 99, -7, 1e9], [3, 3, 4, 4, 3, 4]),  # extra codes ignored
    ],
)
def test_code_conversion(codes, same_as):
    x = awkward_matrix(np.random.default_rng(11), 30, 6)
    assert same_bits(crossodds(codes, x), crossodds(np.array(same_as, dtype=np.int32), x))


@pytest.mark.parametrize("have", [0, 1, 4])
def test_short_type_codes_rejected(have):
    message = f"type_codes has {have} elements?, but the value matrix has 5 columns"
    with pytest.raises(ValueError, match=message):
        crossodds(np.zeros(have, dtype=np.int32), np.zeros((3, 5)))


def test_signature():
    assert crossodds.__doc__.endswith("Compute CPR using hand-written thread pool (no SIMD)\n")
    with pytest.raises(TypeError):
        crossodds(type_codes=np.zeros(2, dtype=np.int32), values=np.zeros((2, 2)))


SPECIAL = st.sampled_from([nan, 0.0, -0.0, 1.0, 2.0, -1.0, inf, -inf, 1e308, -1e308])
VALUES = st.one_of(SPECIAL, st.floats(-3, 3))


@settings(max_examples=examples(150), deadline=None)
@given(x=matrices(max_rows=12, max_cols=7, elements=VALUES), data=st.data())
def test_matches_reference(x, data):
    codes = data.draw(
        st.lists(
            st.sampled_from([0, 7, -(2**31), 2**31 - 1]), min_size=x.shape[1], max_size=x.shape[1]
        )
    )
    want = reference(codes, x)
    assert same_bits(crossodds(np.array(codes, dtype=np.int32), x), want)
    assert same_bits(peer(codes, x), want)


@settings(max_examples=examples(60), deadline=None)
@given(x=matrices(min_rows=2, max_rows=4, min_cols=17, max_cols=90, elements=VALUES))
def test_large_groups_match_reference(x):
    # Groups too large to be sorted outright, with heavy ties: the selection does the work.
    for codes in (np.arange(x.shape[1]) % 2, np.zeros(x.shape[1])):
        assert same_bits(crossodds(codes, x), reference(codes, x))


def test_large_even_group_with_huge_upper_half():
    # Middles 0 and 1e308: the median is 5e307, where doubling either middle would give 0 or inf.
    x = np.array([np.isin(np.arange(40), [0, *range(20, 39)]) * 1e308, np.arange(40.0)])[[0, 1, 0]]
    got = crossodds(np.zeros(40, dtype=np.int32), x)
    assert got[0] == 0.0 and np.isnan(got[20])  # column 0: winner, loser, winner
    assert same_bits(got, reference(np.zeros(40), x)) and same_bits(peer(np.zeros(40), x), got)


# A group of 320 funds: every tenth fund from the sixth on holds the ranks listed here (in
# some order), the others hold the remaining ranks of 0 .. 319, so that funds at evenly
# spaced places span a range with the median at or near its edge. The middle ranks are
# 159 and 160.
PLACED = {
    # 10 ranks below the upper middle, the upper middle itself, 21 above it.
    "upper-middle-placed": [*range(150, 160), 160, *range(161, 182)],
    # Spread around the middle, with the upper middle 60 ranks above the 11th smallest.
    "upper-middle-inside": [
        *range(5, 100, 10),
        100,
        130,
        160,
        170,
        180,
        190,
        200,
        210,
        220,
        230,
        240,
        245,
        249,
        *range(255, 312, 7),
    ],
}


def group_of_320(kind, rng):
    """One date's values of a 320-fund group, laid out as `kind` says."""
    if kind in PLACED:
        placed = rng.permutation(PLACED[kind])
        rest = rng.permutation(np.setdiff1d(np.arange(320), placed))
        ranks = np.empty(320, np.int64)
        ranks[5::10], ranks[np.arange(320) % 10 != 5] = placed, rest
        return ranks * 0.01 - 1.6
    if kind == "every-tenth-apart":  # the sixth, sixteenth, ... fund far above the others
        v = rng.normal(0.0, 1.0, 320)
        v[5::10] += 100.0
        return v
    if kind == "one-far-off":  # one wrong price stretches the range far beyond the rest
        v = rng.normal(0.0, 1.0, 320)
        v[rng.integers(320)] = 1e6
        return v
    if kind == "mostly-stale":  # most funds report no change: equal values hold the middle
        v = rng.normal(0.0, 1.0, 320)
        v[rng.random(320) < 0.7] = 0.0
        return v
    if kind == "ties":
        return rng.choice([-1.0, 0.0, 0.0, 0.5, 2.0], 320)
    if kind == "all-equal":  # a date on which no fund moves
        return np.where(rng.random(320) < 0.02, nan, 0.0)
    if kind == "sample-missing":  # 256 values, none at the 64 evenly spaced places
        v = rng.normal(0.0, 1.0, 320)
        v[2::5] = nan
        return v
    if kind == "mostly-missing":
        v = rng.normal(0.0, 1.0, 320)
        v[rng.random(320) < 0.6] = nan
        return v
    if kind == "extremes":
        return rng.choice([-inf, -1e308, -1.0, 0.0, 1.0, 1e308, inf, nan], 320)
    if kind == "subnormal":  # a range too narrow to be split into equal parts
        return rng.normal(0.0, 1.0, 320) * 1e-310
    if kind == "scales":  # magnitudes from 2**-300 to 2**300, a few per scale
        return np.ldexp(rng.choice([-1.0, 1.0], 320), rng.integers(-300, 300, 320))
    return rng.normal(0.0, 1.0, 320)


@pytest.mark.parametrize("layout", ["C", "F"])
@pytest.mark.parametrize(
    "kind",
    [
        "normal",
        *PLACED,
        "every-tenth-apart",
        "one-far-off",
        "ties",
        "mostly-stale",
        "all-equal",
        "sample-missing",
        "mostly-missing",
        "extremes",
        "subnormal",
        "scales",
    ],
)
def test_large_groups_of_every_layout_match_reference(kind, layout):
    rng = np.random.default_rng(len(kind))
    dates = 9
    # The 320-fund group on columns spread among those of a second group of 201 funds.
    codes = np.ones(521, np.int32)
    codes[np.sort(rng.choice(521, 320, replace=False))] = 0
    x = rng.normal(0.0, 1.0, (dates, 521))
    for d in range(dates):
        x[d, codes == 0] = group_of_320(kind, rng)
    assert same_bits(crossodds(codes, LAYOUTS[layout](x)), reference(codes, x))


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("n_codes", [1, 3, 40, 140])
def test_large_panels_match_reference(layout, n_codes):
    # Several blocks of dates, so several workers share the work.
    rng = np.random.default_rng(n_codes)
    x = np.round(awkward_matrix(rng, 150, 140), 2)  # rounding makes ties with the median
    codes = rng.integers(0, n_codes, 140).astype(np.int32)
    assert same_bits(crossodds(codes, LAYOUTS[layout](x)), reference(codes, x))


def test_independent_of_group_order_and_workers():
    rng = np.random.default_rng(21)
    x = np.round(awkward_matrix(rng, 90, 70), 2)
    codes = rng.integers(0, 6, 70).astype(np.int32)
    base = crossodds(codes, x)
    # Relabelled codes visit the groups in another order; permuted columns move with them.
    relabel = np.array([2**31 - 1, -5, 0, -(2**31), 17, 3], dtype=np.int32)[codes]
    perm = rng.permutation(70)
    assert same_bits(crossodds(relabel[perm], x[:, perm]), base[perm])
    # Fewer columns, fewer workers: one group alone gives that group's results.
    for g in range(6):
        own = np.flatnonzero(codes == g)
        assert same_bits(crossodds(codes[own], x[:, own]), base[own])


def median3_killer(n):
    """Ranks 0 .. n - 1 in an order on which a quickselect that pivots on the median of its
    range's first, middle and last value (values below the pivot copied to the front in
    order, the others to the back in reverse order) sheds only one or two values a round:
    ranks are handed out as the rounds look at them, each round's pivot the second or third
    smallest value left, and the ranks never looked at come last."""
    live, rank, given = list(range(n)), [None] * n, 0
    while len(live) > 16 and given < n // 2:
        x, y, z = live[0], live[len(live) // 2], live[-1]
        if all(rank[e] is None for e in (x, y, z)):
            rank[x], rank[y], given = given, given + 1, given + 2  # pivot y above x
        else:  # the one ranked value left is among them: the next rank above it pivots
            t = next(e for e in (x, y, z) if rank[e] is None)
            rank[t], given = given, given + 1
        pivot = given - 1
        live = [e for e in live if rank[e] is None or rank[e] >= pivot][::-1]
    for e in range(n):
        if rank[e] is None:
            rank[e], given = given, given + 1
    return np.array(rank)


def test_group_split_into_parts_past_the_byte_counters():
    # A group of 5000 with no value at the 64 evenly spaced places a sampled bracket reads
    # is split into parts of its range straight away; a few far-low values put its middle
    # in a high part, so that the parts below it are counted well past 255 per counter.
    rng = np.random.default_rng(17)
    n = 5000
    x = rng.normal(0.0, 1.0, (3, n))
    x[:, rng.choice(n, 20, replace=False)] = -1000.0
    x[:, (2 * np.arange(64) + 1) * n // 128] = nan
    codes = np.zeros(n, np.int32)
    assert same_bits(crossodds(codes, x), reference(codes, x))


@pytest.mark.parametrize("n", [254, 255])
def test_group_against_median_of_three_pivots(n):
    # The largest value infinite, so that the range cannot be split into parts: the plain
    # selection faces pivots that keep coming from the bottom of its range, and whatever
    # takes over must still find both middles.
    ranks = median3_killer(n)
    assert sorted(ranks) == list(range(n))
    x = np.array([ranks, n - 1 - ranks, ranks[::-1], ranks]) * 0.01 - 1.0
    x[np.array([ranks, n - 1 - ranks, ranks[::-1], ranks]) == n - 1] = np.inf
    codes = np.zeros(n, np.int32)
    assert same_bits(crossodds(codes, x), reference(codes, x))


@pytest.mark.parametrize("layout", ["C", "F", "reversed"])
@pytest.mark.parametrize("size", [2, 3, 15, 16, 17])
def test_groups_around_the_sorting_network_size(size, layout):
    # Groups of up to 16 funds go through a sorting network, four dates side by side where
    # a tile holds them; 17 through the selection. Ties, zeros of both signs, infinities and
    # holes, with dates on which a group has no value or a single one, and a date count
    # that leaves dates over after the fours.
    rng = np.random.default_rng(size)
    dates, groups = 23, 3
    x = rng.choice([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, inf, -inf, nan], (dates, size * groups))
    x[5] = nan
    x[6, 1:] = nan
    x[7, rng.random(size * groups) < 0.5] = nan
    codes = rng.permutation(np.arange(size * groups) % groups).astype(np.int32)
    assert same_bits(crossodds(codes, LAYOUTS[layout](x)), reference(codes, x))


@pytest.mark.parametrize(
    "layout", [np.asfortranarray, lambda a: np.asfortranarray(a[::-1, ::-1])[::-1, ::-1]]
)
@pytest.mark.parametrize(
    "seed, codes_of",
    [
        # Three groups of about 8,000: copied into group order, all 12 dates in one tile.
        (5, lambda rng: rng.integers(0, 3, 25000)),
        # Groups of 12 or 13 take the network in place, in tiles of dates sized by the number of
        # grouped funds: 25,000 of them take 7 dates at a time rather than a whole block.
        (6, lambda rng: rng.permutation(np.arange(25000) % 2000)),
    ],
)
def test_many_funds_read_across_the_columns(seed, codes_of, layout):
    rng = np.random.default_rng(seed)
    x = np.round(awkward_matrix(rng, 12, 25000), 3)
    codes = codes_of(rng).astype(np.int32)
    assert same_bits(crossodds(codes, layout(x)), reference(codes, x))


def fortran_sliced(a):
    """A view with steps in both axes into a larger Fortran-ordered buffer."""
    big = np.full((2 * a.shape[0] + 1, 2 * a.shape[1]), 12345.0, order="F")
    big[1::2, ::2] = a
    return big[1::2, ::2]


@pytest.mark.parametrize("layout", [*(LAYOUTS[k] for k in sorted(LAYOUTS)), fortran_sliced])
@pytest.mark.parametrize("dates", [13, 205, 601])
def test_small_and_large_groups_in_one_call(dates, layout):
    # Once a group is too large for the sorting network, every group's values are copied
    # into group order first (row by row, or 32 dates of each column at a time, four funds
    # by four dates in registers), and counted, ranked and chained sixteen funds at a time.
    # Groups of every size side by side, a lone fund among them, with holes and ties; the
    # date counts leave partial tiles with a date past a multiple of four (601: whole
    # blocks of 64 dates in two tiles each, then a part of one), and the grouped funds a
    # partial four.
    rng = np.random.default_rng(dates)
    sizes = [1, 2, 16, 17, 46]
    codes = rng.permutation(np.repeat(np.arange(len(sizes)), sizes)).astype(np.int32)
    x = np.round(awkward_matrix(rng, dates, codes.size), 2)
    x[rng.random(x.shape) < 0.2] = nan
    x[3, codes == 4] = nan
    assert same_bits(crossodds(codes, layout(x)), reference(codes, x))


FLUSH_TO_ZERO = """
#include <xmmintrin.h>
void flush_to_zero(void) { _mm_setcsr(_mm_getcsr() | 0x8000); }
"""
FLUSHED_RUN = """
import ctypes, sys
sys.path.insert(0, sys.argv[2])
import numpy as np
from crossodds import crossodds
from fk_references.crossodds import crossodds as reference
# Subnormal values, made before the mode is set; an odd count per date, so that each
# median is one of them.
x = np.random.default_rng(3).integers(1, 1000, (6, 101)) * 5e-324
codes = np.zeros(101, dtype=np.int32)
ctypes.CDLL(sys.argv[1]).flush_to_zero()
assert np.float64(3e-310) - np.float64(1e-310) == 0, "results are not flushed"
got, want = crossodds(codes, x), reference(codes, x)
assert np.array_equal(got, want, equal_nan=True), (got, want)
"""


@pytest.mark.slow  # compiles a library, runs a fresh interpreter
def test_subnormal_medians_with_results_flushed_to_zero(tmp_path):
    # A library built for fast arithmetic may have the whole process flush subnormal results
    # to zero. The width of a range of subnormal values then comes out 0: that must not pass
    # for a range of equal values, whose median would be its smallest.
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to set the mode")
    (tmp_path / "flush.c").write_text(FLUSH_TO_ZERO)
    subprocess.run(
        [
            cc,
            "-O2",
            "-shared",
            "-fPIC",
            "-o",
            str(tmp_path / "flush.so"),
            str(tmp_path / "flush.c"),
        ],
        check=True,
    )
    run = subprocess.run(
        [sys.executable, "-c", FLUSHED_RUN, str(tmp_path / "flush.so"), str(Path(__file__).parent)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
