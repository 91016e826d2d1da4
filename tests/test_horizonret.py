import math
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fk_references.cases import INDICATORS
from helpers import awkward_matrix, matrices, same_bits, examples
from horizonret import horizonret
from fk_references.horizonret import horizonret as reference

NS = 10**9
DAY = 86400 * NS
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
nan, inf = math.nan, math.inf


def ns(*texts):
    return np.array(texts, dtype="datetime64[ns]").astype(np.int64)


def call(code, column_or_matrix, dates, start=0, end=None):
    x = np.asarray(column_or_matrix, dtype=np.float64)
    x = x.reshape(-1, 1) if x.ndim == 1 else x
    N = x.shape[1]
    end = x.shape[0] - 1 if end is None else end
    return horizonret(code, x, np.full(N, start, np.int64), np.full(N, end, np.int64), dates)


def assert_matches_reference(code, x, start, end, dates):
    got = horizonret(code, x, start, end, dates)
    want = reference(code, x, start, end, dates)
    assert len(got) == 9
    for g, w in zip(got, want):
        assert same_bits(g, w), (g, w)


# ---- period codes -----------------------------------------------------------------------

MONTHLY = ns(*[f"{2000 + m // 12}-{m % 12 + 1:02d}-01" for m in range(151)])


def observed_months(code):
    """Fund j owns rows 0..j, so the first fund with a horizon return is j = months."""
    D = len(MONTHLY)
    x = np.full((D, D), 0.01)
    avg = horizonret(code, x, np.zeros(D, np.int64), np.arange(D), MONTHLY)[0]
    hits = np.flatnonzero(~np.isnan(avg))
    return int(hits[0]) if hits.size else None


@pytest.mark.parametrize(
    "code, months",
    [
        ("3M", 3),
        ("36M", 36),
        ("1Y", 12),
        ("5Y", 60),
        ("0M", 0),
        ("x5Yz", 60),
        ("1Y6M", 12),
        ("12 3M", 3),
        ("007M", 7),
        ("M3M", 3),
        ("0" * 100000 + "7M", 7),
        ("149M", None),
    ],
    ids=lambda v: v[:12] if isinstance(v, str) else None,
)
def test_period_code(code, months):
    assert observed_months(code) == months


@pytest.mark.parametrize(
    "code, error, message",
    [(c, RuntimeError, "i_code 格式错误") for c in ["3m", "3W", "M", "", "３M", "1" * 100000]]
    + [(c, IndexError, "stoi") for c in ["99999999999M", "2147483648M", "1" * 100000 + "M"]]
    + [
        ("178956971Y", ValueError, "horizon too long: 178956971Y is more than 2147483647 months"),
        ("2147483647M", ValueError, "horizon too long: 2147483647 months after 20000101 "),
        ("2147460000M", ValueError, "horizon too long: 2147460000 months after 20000101 "),
    ],
    ids=lambda v: v[:14] if isinstance(v, str) else None,
)
def test_bad_period_code(code, error, message):
    with pytest.raises(error) as info:
        call(code, [0.1, 0.2], MONTHLY[:2])
    assert str(info.value).startswith(message)
    assert error is not IndexError or str(info.value) == "stoi"


@pytest.mark.parametrize("code", ["1000000M", "2147000000M", "2147460000M"])
def test_horizon_past_every_date_blanks_everything(code):
    # Years far beyond int64 nanoseconds: no wrap-around, every horizon ends past the end.
    # 2147460000 months fit the month count from dates before 1970 only.
    res = call(code, np.full((12, 2), 0.01), ns(*[f"1960-{m:02d}-15" for m in range(1, 13)]))
    assert np.isnan(res).all()


# ---- calendar arithmetic, seen through the row at which a horizon ends -------------------


def first_horizon_end(months, d, probes):
    """Row at which row 0's horizon ends; rows 1.. are `probes`, then three far rows.

    Only row 0 has a valid horizon return (its fund owns rows 0..len(probes) and the probes'
    horizons end on the far rows); the path doubles on every probe, so the mean is 2**f - 1.
    """
    far = probes[-1] + (months + 1) * 31 * DAY
    dates = np.array([d, *probes, far, far + NS, far + 2 * NS], np.int64)
    x = [0.0] + [1.0] * len(probes) + [0.0] * 3
    avg = call(f"{months}M", x, dates, 0, len(probes))[0][0]
    return None if math.isnan(avg) else int(math.log2(avg + 1.0))


def lands_on_target(months, d, target):
    return first_horizon_end(months, d, [target - 1, target, target + NS]) == 2


@pytest.mark.parametrize(
    "start, months, end",
    [
        ("2020-01-31", 1, "2020-02-29"),
        ("2021-01-31", 1, "2021-02-28"),
        ("2020-03-31", 1, "2020-04-30"),
        ("2020-12-15", 1, "2021-01-15"),
        ("2020-02-29", 12, "2021-02-28"),
        ("2019-08-31", 6, "2020-02-29"),
        ("1900-01-31", 1, "1900-02-28"),
        ("2000-01-31", 1, "2000-02-29"),
        ("2020-01-31T15:30:00", 1, "2020-02-29T15:30:00"),
        ("2020-01-31T15:30:00.999999999", 1, "2020-02-29T15:30:00"),
        ("1969-12-31T23:59:59.5", 1, "1970-02-01"),
        ("1969-12-31T23:59:58.5", 1, "1970-01-31T23:59:59"),  # toward zero, not floor
    ],
)
def test_month_arithmetic(start, months, end):
    assert lands_on_target(months, ns(start)[0], ns(end)[0])


def test_month_arithmetic_matches_pandas():
    rng = np.random.default_rng(11)
    lo = int(ns("1678-01-01")[0])
    failures = []
    for _ in range(1500):
        months = int(rng.integers(1, 25))
        hi = I64_MAX - (2 * months + 4) * 31 * DAY  # room for the probes' own horizons
        if rng.random() < 0.5:
            d = int(rng.integers(lo, hi))
        else:  # the last four days of a month, where the day clamps
            month = np.datetime64(int(rng.integers(-3500, 3500)), "M")  # 1678 .. 2261
            d = int((month + 1).astype("datetime64[ns]").astype(np.int64)) - int(
                rng.integers(1, 4 * DAY)
            )
            if not lo <= d <= hi:
                continue
        whole = abs(d) // NS * (1 if d >= 0 else -1) * NS
        target = (pd.Timestamp(whole) + pd.DateOffset(months=months)).value
        if not lands_on_target(months, d, target):
            failures.append((d, months, target))
    assert failures == []


@pytest.mark.parametrize(
    "dates, avg",
    [
        # 0M: the target is the date cut to whole seconds toward zero.
        ([NS - 1, NS, 3 * NS // 2, 10 * NS, 11 * NS], -0.5 / 3),
        ([-2 * NS, -3 * NS // 2, -NS, 10 * NS, 11 * NS], 1.0 / 3),
    ],
)
def test_zero_months_truncates_sub_seconds(dates, avg):
    # Path 1, 2, 4, 4, 4: a horizon that ends one row back returns -0.5, one forward 1.0.
    assert call("0M", [0.0, 1.0, 1.0, 0.0, 0.0], np.array(dates, np.int64))[0][0] == avg


def test_cursor_never_moves_back():
    # Row 1's target (02-28 23:00) lies below row 0's (02-28 23:59): the cursor stays on row 3.
    dates = ns(
        "2021-01-30T23:59",
        "2021-01-31T23:00",
        "2021-02-28T23:30",
        "2021-03-31",
        "2021-05-01",
        "2021-05-02",
    )
    res = call("1M", [0.0, 0.0, 1.0, 1.0, 0.0, 0.0], dates, 0, 3)
    assert (res[0][0], res[1][0]) == (7.0 / 3, 3.0)


def test_horizon_end_past_2262_does_not_wrap():
    dates = ns("2262-01-10", "2262-01-20", "2262-02-15", "2262-03-15", "2262-04-10", "2262-04-11")
    res = call("1M", [0.0, 1.0, 1.0, 1.0, 1.0, 1.0], dates)
    # Rows 3.. end past the last date: tail 3, only rows 0 and 1 keep a horizon (4/1, 8/2).
    assert [r[0] for r in res] == [3.0, 3.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0]


def dense_dates(kind):
    """Sorted dates with many rows in each month, so that most horizon ends are reckoned
    from their month's first day, across month ends, leap days and the int64 limits."""
    rng = np.random.default_rng(len(kind))
    if kind == "daily":
        days = np.datetime64("2019-12-20") + np.arange(500)
        return days.astype("datetime64[ns]").astype(np.int64) + rng.integers(0, DAY, 500)
    if kind == "seven-hourly":  # several rows a day, through February of a leap year
        return int(ns("2020-01-20")[0]) + np.arange(400) * 7 * 3600 * NS
    if kind == "before-1970":  # negative counts with sub-second parts
        return int(ns("1969-09-25")[0]) + np.arange(400) * (DAY - 333_333_333)
    if kind == "near-2262":  # ends within a month of the last representable time
        return np.sort(I64_MAX - rng.integers(0, 200 * DAY, 300))
    if kind == "gaps":  # steps of hours to two months: the next month, or one further on
        steps = rng.choice([3600 * NS, DAY, 9 * DAY, 31 * DAY, 62 * DAY], 400)
        return int(ns("2019-11-29")[0]) + np.cumsum(steps)
    raise ValueError(kind)


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
@pytest.mark.parametrize("kind", ["daily", "seven-hourly", "before-1970", "near-2262", "gaps"])
@pytest.mark.parametrize("code", ["0M", "1M", "13M"])
def test_dense_dates_match_reference(code, kind, order):
    dates = dense_dates(kind)
    if order == "shuffled":
        dates = np.random.default_rng(1).permutation(dates)
    D = len(dates)
    x = np.random.default_rng(D).normal(0.001, 0.02, (D, 2))
    assert_matches_reference(code, x, np.array([0, 3]), np.array([D - 1, D - 10]), dates)


# ---- rolling statistics ------------------------------------------------------------------

SIX = ns(*[f"2020-{m:02d}-01" for m in range(1, 7)])


@pytest.mark.parametrize(
    "column, start, expected",
    [
        (
            [0, 0.25, -0.2, 0.5, 0, 0],
            0,
            [0.18333333333333335, 0.25, 2 / 3, 0, 0, 2 / 3, 0, 0, 1 / 3],
        ),
        (
            [nan, nan, 0.02, nan, 0.03, 0.01],
            1,
            [0.010000000000000009, 0.010000000000000009, 0.5, 0.5, 0, 0, 0.5, 0, 0],
        ),
    ],
)
def test_monthly_examples(column, start, expected):
    res = call("1M", column, SIX, start)
    assert [r[0] for r in res] == expected


# Position in the result of each band: w0, w5, w10, l0, l5, l10.
W0, W5, W10, L0, L5, L10 = range(3, 9)


@pytest.mark.parametrize(
    "v, band",
    [
        (0.04, W0),
        (0.05, W5),
        (0.1, W10),
        (0.0, L0),
        (nan, L0),
        (1e-300, L0),
        (-0.05, L5),
        (-0.1, L5),
        (-0.11, L10),
        (-1.0, L10),
        (inf, W10),
        (-inf, L10),
    ],
)
def test_band_of_a_single_horizon(v, band):
    # Window rows 0..1 and a path from 1.0: the one horizon return is (1 + v) - 1, which
    # for decimal v lies just beside the band edges (1.05 - 1 > 0.05, 0.9 - 1 > -0.1).
    res = call("1M", [0.0, v, 0.0, 0.0, 0.0, 0.0], SIX, 0, 1)
    x = (1.0 + (0.0 if math.isnan(v) else v)) - 1.0
    assert (res[0][0], res[1][0], res[2][0]) == (x, x, float(x > 0))
    assert [r[0] for r in res[3:]] == [float(k == band) for k in range(3, 9)]


@pytest.mark.parametrize(
    "start, end, same_as",
    [
        (4, 2, None),
        (6, 9, None),
        (2, 2, None),
        (I64_MIN, -1, None),
        (5, I64_MAX, None),
        (I64_MIN, I64_MAX, (0, 5)),
        (-7, 1, (0, 1)),
        (1, I64_MAX, (1, 5)),
    ],
)
def test_windows_are_clipped_to_the_matrix(start, end, same_as):
    x = [0.1, -0.2, 0.3, 0.05, 0.0, 0.1]
    res = np.array(call("1M", x, SIX, start, end))
    if same_as is None:
        assert np.isnan(res).all()
    else:
        assert not np.isnan(res).any()
        assert same_bits(res, np.array(call("1M", x, SIX, *same_as)))


@pytest.mark.parametrize(
    "code, shape, dates",
    [
        ("1M", (3, 2), SIX[:3]),
        ("1Y", (6, 2), SIX),
        ("1M", (1, 3), SIX[:1]),
        ("1M", (0, 4), SIX[:0]),
    ],
)
def test_all_blanked(code, shape, dates):
    res = call(code, np.full(shape, 0.01), dates)
    assert len(res) == 9 and all(r.dtype == np.float64 and r.shape == (shape[1],) for r in res)
    assert np.isnan(res).all()


@pytest.mark.parametrize(
    "lengths, message",
    [
        ((3, 4, 3), "start_idx has 3 elements, but the value matrix has 4 columns"),
        ((4, 0, 3), "end_idx has 0 elements, but the value matrix has 4 columns"),
        ((4, 4, 2), "dates has 2 elements, but the value matrix has 3 rows"),
    ],
)
def test_short_vectors_rejected(lengths, message):
    start, end, dates = (np.zeros(n, np.int64) for n in lengths)
    with pytest.raises(ValueError, match=message):
        horizonret("1M", np.zeros((3, 4)), start, end, dates)


def test_positional_only_and_docstring():
    with pytest.raises(TypeError):
        horizonret("1M", np.zeros((2, 1)), [0], [1], dates=SIX[:2])
    assert horizonret.__doc__.endswith(
        "Fully numpy-consistent C++ implementation of cal_rolling_gain\n"
    )


# ---- against the reference, the NumPy peer and other time zones --------------------------

STEPS = st.sampled_from(
    [0, 1, NS, 3600 * NS, DAY, 13 * DAY, 28 * DAY, 31 * DAY, 92 * DAY, 400 * DAY]
)
TIMES = st.sampled_from([0, 1, NS, 23 * 3600 * NS, DAY - NS])
FINITE = st.floats(-0.5, 0.5, allow_nan=False)
VALUES = st.one_of(FINITE, FINITE, FINITE, st.sampled_from([nan, 0.0, -1.0, inf, -inf, 1e300]))


@st.composite
def cases(draw):
    x = draw(matrices(max_rows=12, max_cols=4, elements=VALUES))
    D, N = x.shape
    first = draw(st.integers(-9 * 10**18, 7 * 10**18) | st.just(int(ns("2262-01-01")[0])))
    if draw(st.booleans()):  # ascending, with ties and horizons reaching past the end
        steps = draw(st.lists(STEPS | st.integers(0, 100 * DAY), min_size=D, max_size=D))
        offsets = np.cumsum([0] + steps[1:]).tolist()
    else:  # any order: the cursor's history shows
        days = st.integers(0, 730).map(lambda k: k * DAY)
        offsets = draw(st.lists(st.tuples(days, TIMES).map(sum), min_size=D, max_size=D))
    dates = [min(first + o, I64_MAX) for o in offsets]
    index = st.integers(-3, D + 3) | st.sampled_from([I64_MIN, I64_MAX])
    start = draw(st.lists(index, min_size=N, max_size=N))
    end = draw(st.lists(index, min_size=N, max_size=N))
    code = draw(st.sampled_from(["0M", "1M", "2M", "3M", "6M", "1Y", "13M", "a2Yb", "007M"]))
    return code, x, np.array(start, np.int64), np.array(end, np.int64), np.array(dates, np.int64)


@settings(max_examples=examples(300), deadline=None)
@given(case=cases())
def test_matches_reference(case):
    assert_matches_reference(*case)


@pytest.mark.parametrize("code", ["0M", "1M", "3M", "1Y", "5Y"])
def test_peer_agrees_with_module(code):
    rng = np.random.default_rng(len(code) + int(code[0]))
    x = awkward_matrix(rng, 300, 9)
    days = np.datetime64("1975-01-31") + np.sort(rng.integers(0, 9000, 300))
    dates = days.astype("datetime64[ns]").astype(np.int64) + rng.integers(0, DAY, 300)
    dates.sort()
    start = rng.integers(-5, 250, 9)
    end = start + rng.integers(-5, 300, 9)
    got = horizonret(code, x, start, end, dates)
    for g, w in zip(got, INDICATORS["horizonret"].peer(code, x, start, end, dates)):
        assert same_bits(g, w)
    for g, w in zip(got, reference(code, x, start, end, dates)):
        assert same_bits(g, w)


# ---- long columns: the median among hundreds of horizon returns -------------------------

MONTHS = 643  # monthly rows; under 1M the last three have no horizon, leaving rows 0..639


def monthly(rows):
    months = np.datetime64("1960-01", "M") + np.arange(rows)
    return months.astype("datetime64[ns]").astype(np.int64)


def with_ranks(ranks, months=MONTHS):
    """`months` monthly returns whose 1M horizon returns from rows 0, 1, ... rank as `ranks`
    says (rows past them have no horizon).

    The horizon return from row k is (1 + return of row k + 1) - 1 up to rounding, far
    below the spacing of the values, so the ranks hold exactly.
    """
    x = np.zeros(months)
    x[1 : len(ranks) + 1] = -0.03 + 1e-4 * np.asarray(ranks, dtype=np.float64)
    return x


def edge_ranks(n=640, around=True):
    """Ranks 0..n-1 of n horizons laid out so that 64 rows at evenly spaced places (every
    n/64-th from row n/128) hold the ranks just around the middle, 25 of them below rank
    n/2 and 38 above it, so that they span a range with the median at its lower edge; or,
    not `around`, the 64 smallest ranks, a range far below the median."""
    rng = np.random.default_rng(3)
    h, step = n // 2, n // 64
    picked = rng.permutation(np.r_[h - 25 : h + 39] if around else np.r_[0:64])
    rest = rng.permutation(np.setdiff1d(np.arange(n), picked))
    ranks = np.empty(n, np.int64)
    placed = np.arange(n) % step == step // 2
    ranks[placed], ranks[~placed] = picked, rest
    return ranks


def long_column(kind):
    rng = np.random.default_rng(len(kind))
    if kind == "independent":
        return "1M", rng.normal(0.0, 0.04, MONTHS)
    if kind == "overlapping":  # twelve-month horizons: neighbouring returns share 11 months
        return "1Y", rng.normal(0.005, 0.04, MONTHS)
    if kind == "ties":  # a handful of exact values, each hundreds of times
        return "1M", rng.choice([-0.5, 0.0, 0.0, 1.0], MONTHS)
    if kind == "flat":  # every horizon ends on its own row: all returns exactly 0
        return "0M", rng.normal(0.0, 0.04, MONTHS)
    if kind == "every-tenth":  # rows 5, 15, 25, ... stand apart from all others
        x = rng.normal(0.0, 0.01, MONTHS)
        x[6::10] += 0.5
        return "1M", x
    if kind == "middle-at-edge":
        return "1M", with_ranks(edge_ranks())
    if kind.startswith("2560-"):  # enough horizons for a sampled range around the median
        return "1M", with_ranks(edge_ranks(2560, kind == "2560-at-edge"), 2563)
    if kind == "gap-at-middle":  # the upper middle is the smallest of a cluster far above
        ranks = rng.permutation(640)
        return "1M", with_ranks(ranks + (ranks >= 320) * 5000)
    if kind == "wiped":  # a total loss: later levels are 0 and their horizons 0 / 0
        x = rng.normal(0.0, 0.04, MONTHS)
        x[250] = -1.0
        return "1M", x
    raise ValueError(kind)


@pytest.mark.parametrize(
    "kind",
    [
        "independent",
        "overlapping",
        "ties",
        "flat",
        "every-tenth",
        "middle-at-edge",
        "gap-at-middle",
        "wiped",
        "2560-at-edge",
        "2560-far-below",
    ],
)
def test_long_columns_match_reference(kind):
    code, column = long_column(kind)
    months = column.size
    # The same column with the full window (an even count of horizons for 1M), a window
    # one row shorter (odd) and one starting late, each against the plain sort.
    x = np.repeat(column[:, None], 3, axis=1)
    start = np.array([0, 0, 37], np.int64)
    end = np.array([months - 1, months - 5, months - 1], np.int64)
    assert_matches_reference(code, x, start, end, monthly(months))


TZ_SCRIPT = """
import numpy as np
from horizonret import horizonret
rng = np.random.default_rng(5)
days = np.datetime64("2019-01-28") + np.sort(rng.integers(0, 900, 200))
dates = days.astype("datetime64[ns]").astype(np.int64) + rng.integers(0, 86400, 200) * 10**9
x = rng.normal(0, 0.03, (200, 6))
out = np.array(horizonret("1M", x, np.zeros(6, np.int64), np.full(6, 199, np.int64), dates))
"""


@pytest.mark.slow  # a fresh interpreter
@pytest.mark.parametrize("tz", ["UTC", "America/New_York", "Asia/Kolkata", "Pacific/Chatham"])
def test_results_do_not_depend_on_time_zone(tz):
    # Evening and morning times near month ends fall in another month in local time.
    env = dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(sys.path))
    there = subprocess.run(
        [sys.executable, "-c", TZ_SCRIPT + "print(out.tobytes().hex())"],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    here = {}
    exec(TZ_SCRIPT, here)
    assert not np.isnan(here["out"]).any()
    assert there == here["out"].tobytes().hex()
