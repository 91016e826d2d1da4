"""The long-table gather against the straightforward pivot: random tables, every input
type it takes, duplicates refused, bit for bit."""

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fundkernels import _gather
from fundkernels._gather import gather
from helpers import examples

# A NaN with the payload the gather marks empty cells with: values may carry it too.
MARKER = np.int64(0x7FF8_0DEA_DBEE_F5ED).view(np.float64)
OTHER_NAN = np.int64(0x7FF0_0000_0000_0001).view(np.float64)  # a signalling NaN
VALUES = [0.5, -0.25, 0.0, -0.0, 1e300, np.inf, np.nan, MARKER, OTHER_NAN, None]
LABELS = ["b", "a", "fund c", "é", "", "b2"]


def pivot(funds, days, values):
    """The straightforward pivot: funds by first appearance, dates sorted, NaN elsewhere."""
    order = list(dict.fromkeys(funds))
    dates = sorted(set(days))
    out = np.full((len(dates), len(order)), np.nan)
    for f, d, v in zip(funds, days, values):
        out[dates.index(d), order.index(f)] = np.nan if v is None else v
    return order, np.array(dates, dtype=np.int64), out


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def chunked(values, cuts, kind=None):
    """An Arrow column cut into chunks at the given rows."""
    edges = [0, *sorted({c for c in cuts if 0 < c < len(values)}), len(values)]
    return pa.chunked_array(
        [pa.array(values[a:b], type=kind) for a, b in zip(edges[:-1], edges[1:])], type=kind
    )


@st.composite
def long_tables(draw):
    """Rows of (fund, date, value), every (fund, date) pair at most once, shuffled: funds
    with different date sets, missing values, and sometimes one fund or one date."""
    funds = draw(st.lists(st.sampled_from(LABELS), min_size=1, max_size=5, unique=True))
    pool = draw(st.lists(st.integers(-5000, 40000), min_size=1, max_size=9, unique=True))
    pairs = [(f, d) for f in funds for d in pool if draw(st.booleans())]
    if not pairs:
        pairs = [(funds[0], pool[0])]
    rows = draw(st.permutations(pairs))
    values = [draw(st.sampled_from(VALUES)) for _ in rows]
    return [f for f, _ in rows], [d for _, d in rows], values


DATE_KINDS = {
    # (Arrow type, nanoseconds per stored unit)
    "date32": (pa.date32(), 86_400 * 10**9),
    "timestamp[s]": (pa.timestamp("s", tz="UTC"), 10**9),
    "timestamp[ns]": (pa.timestamp("ns"), 1),
}


@settings(max_examples=examples(150), deadline=None)
@given(
    table=long_tables(),
    date_kind=st.sampled_from(sorted(DATE_KINDS)),
    labels=st.sampled_from(["text", "dictionary", "numbers", "numpy"]),
    cuts=st.lists(st.integers(1, 40), max_size=4),
    piece=st.sampled_from([3, _gather.PIECE]),
    threads=st.sampled_from([1, 2]),
    index=st.sampled_from([pa.int8(), pa.int32(), pa.int64()]),
)
def test_gather_equals_the_pivot(table, date_kind, labels, cuts, piece, threads, index):
    funds, days, values = table
    kind, unit = DATE_KINDS[date_kind]
    # Day numbers spread over a grid of the date kind's unit, some far apart (no grid).
    stamps = [d * (86_400 if date_kind != "date32" else 1) for d in days]
    if labels == "numbers":
        funds = [LABELS.index(f) * 7 - 3 for f in funds]
    want_funds, want_dates, want = pivot(funds, stamps, values)
    if labels == "numpy":
        fund_column = np.array(funds, dtype=object)
    else:
        fund_column = chunked(funds, cuts)
        if labels == "dictionary":  # each chunk with its own dictionary, indices of any width
            fund_column = pa.chunked_array(
                [
                    pa.DictionaryArray.from_arrays(e.indices.cast(index), e.dictionary)
                    for e in (c.dictionary_encode() for c in fund_column.chunks)
                ]
            )
    date_column = chunked(stamps, cuts[::-1], kind)
    value_column = chunked(values, cuts[1:], pa.float64())
    with pytest.MonkeyPatch.context() as m:
        m.setattr(_gather, "PIECE", piece)
        got = gather(fund_column, date_column, value_column, threads=threads)
    assert got.funds == want_funds
    assert np.array_equal(got.dates, want_dates * unit)
    assert got.values.flags.f_contiguous
    assert same_bits(got.values, want)


@settings(max_examples=examples(100), deadline=None)
@given(
    table=long_tables(),
    twice=st.data(),
    arrow=st.booleans(),
    piece=st.sampled_from([2, _gather.PIECE]),
)
def test_duplicate_pairs_are_refused_naming_the_first(table, twice, arrow, piece):
    """A second row for a (fund, date) pair, with any value (NaN and the marker too):
    refused, naming the first such pair by fund and then date, and its first two rows."""
    funds, days, values = table
    k = twice.draw(st.integers(0, len(funds) - 1))
    at = twice.draw(st.integers(0, len(funds)))
    value = twice.draw(st.sampled_from(VALUES))
    funds, days, values = (
        funds[:at] + [funds[k]] + funds[at:],
        days[:at] + [days[k]] + days[at:],
        values[:at] + [value] + values[at:],
    )
    order = list(dict.fromkeys(funds))
    pairs = sorted(
        (order.index(f), d, i) for i, (f, d) in enumerate(zip(funds, days))
    )  # by fund, date, then row
    first = next(j for j in range(len(pairs) - 1) if pairs[j][:2] == pairs[j + 1][:2])
    fund, day, row = order[pairs[first][0]], pairs[first][1], pairs[first][2]
    second = pairs[first + 1][2]
    ns = np.array(days, dtype=np.int64) * 86_400 * 10**9
    date = str(np.datetime64(int(day), "D"))
    with pytest.MonkeyPatch.context() as m:
        m.setattr(_gather, "PIECE", piece)
        if not arrow:
            m.setattr(_gather, "arrow", lambda: None)
        with pytest.raises(ValueError) as err:
            gather(np.array(funds, dtype=object), ns, np.array(values, dtype=np.float64))
    assert str(err.value) == f"fund {fund!r} has two rows for {date} (rows {row} and {second})"


@settings(max_examples=examples(60), deadline=None)
@given(table=long_tables(), piece=st.sampled_from([2, _gather.PIECE]))
def test_without_pyarrow_numpy_numbers_alike(table, piece):
    funds, days, values = table
    ns = np.array(days, dtype=np.int64) * 10**9
    floats = np.array(values, dtype=np.float64)
    for labels in (funds, [LABELS.index(f) for f in funds]):
        want_funds, want_dates, want = pivot(labels, ns.tolist(), floats.tolist())
        column = np.array(labels, dtype=object if isinstance(labels[0], str) else np.int64)
        with pytest.MonkeyPatch.context() as m:
            m.setattr(_gather, "arrow", lambda: None)
            m.setattr(_gather, "PIECE", piece)
            got = gather(column, ns, floats)
        assert got.funds == want_funds
        assert np.array_equal(got.dates, want_dates)
        assert same_bits(got.values, want)


def test_a_shared_dictionary_and_integer_values():
    """A dictionary column whose chunks share one dictionary that holds labels no row
    uses; integer values become float64; funds come in order of first appearance."""
    labels = pa.array(["unused", "y", "x"])
    chunks = [
        pa.DictionaryArray.from_arrays(pa.array([1, 2, 1], pa.int32()), labels),
        pa.DictionaryArray.from_arrays(pa.array([2], pa.int32()), labels),
    ]
    dates = pa.chunked_array([pa.array([1, 1, 2], pa.date32()), pa.array([2], pa.date32())])
    got = gather(pa.chunked_array(chunks), dates, pa.array([1, 2, None, 4], pa.int64()))
    assert got.funds == ["y", "x"]
    assert same_bits(got.values, np.array([[1.0, 2.0], [np.nan, 4.0]]))


@pytest.mark.parametrize(
    "funds, dates, message",
    [
        (pa.array(["a", None, "b"]), pa.array([1, 2, 3], pa.date32()), "missing fund at row 1"),
        (
            pa.chunked_array(
                [
                    pa.array(["a"]).dictionary_encode(),
                    pa.DictionaryArray.from_arrays(
                        pa.array([0, 1], pa.int32()), pa.array(["b", None])
                    ),
                ]
            ),
            pa.array([1, 2, 3], pa.date32()),
            "missing fund at row 2",
        ),
        (pa.array(["a", "b", "c"]), pa.array([1, None, 3], pa.date32()), "missing date at row 1"),
        (
            pa.array(["a", "b", "c"]),
            pa.array([1, 2, 200_000], pa.date32()),
            r"between 1677 and 2262.*holds 2517-08-01 at row 2",
        ),
        (pa.array(["a", "b", "c"]), pa.array([1, 2, 3]), "must hold dates or datetimes"),
    ],
)
def test_missing_or_wrong_labels_and_dates_name_the_row(funds, dates, message):
    with pytest.raises((ValueError, TypeError), match=message):
        gather(funds, dates, pa.array([1.0, 2.0, 3.0]), fund_column="fund", date_column="day")


@pytest.mark.parametrize(
    "kind, step, spread",
    [
        (pa.date32(), 1, 1),  # days: a table over the days' grid
        (pa.timestamp("s"), 86_400, 1),  # days in seconds: a grid with a step
        (pa.date32(), 1, 2000),  # far apart and few: looked up by hashing
    ],
)
@pytest.mark.parametrize("arrow", [True, False])
def test_dates_on_a_grid_or_far_apart(kind, step, spread, arrow):
    """Every way a row's date finds its row, over many rows in pieces on two threads:
    the straightforward pivot, bit for bit."""
    rng = np.random.default_rng(3)
    grid = np.sort(rng.choice(40 * spread, 30, replace=False))
    funds, days = np.divmod(rng.permutation(300 * len(grid))[:6000], len(grid))
    stamps = grid[days] * step
    values = rng.normal(size=len(funds))
    values[::97] = np.nan
    labels = [f"f{k}" for k in funds]
    want_funds, want_dates, want = pivot(labels, stamps.tolist(), values.tolist())
    per_unit = 86_400 * 10**9 if kind == pa.date32() else 10**9
    with pytest.MonkeyPatch.context() as m:
        m.setattr(_gather, "PIECE", 1000)
        if arrow:
            column = pa.array(stamps.astype(np.int32) if kind == pa.date32() else stamps, kind)
            got = gather(pa.array(labels), column, pa.array(values), threads=2)
        else:
            m.setattr(_gather, "arrow", lambda: None)
            ns = stamps.astype(np.int64) * per_unit
            got = gather(np.array(labels, dtype=object), ns, values, threads=2)
    assert got.funds == want_funds
    assert np.array_equal(got.dates, want_dates * per_unit)
    assert same_bits(got.values, want)


@pytest.mark.parametrize(
    "n, error",
    [
        (0, None),
        (1, None),
        (100_003, None),
        (-1, ValueError),
        (2**61 + 1, MemoryError),
        (2**63 - 1, MemoryError),
    ],
)
def test_fresh_matrix_memory_is_as_long_as_asked_or_refused(n, error):
    """The gather's matrix memory: n writable doubles that outlive the call, or a clear
    refusal (a byte count that would wrap must not give a shorter vector)."""
    from fundkernels import _scatter

    if error is not None:
        with pytest.raises(error):
            _scatter.fresh(n)
        return
    flat = _scatter.fresh(n)
    assert flat.shape == (n,) and flat.dtype == np.float64 and flat.flags.writeable
    flat[:] = np.arange(n)
    view = flat[n // 2 :]
    del flat  # the view keeps the memory
    assert np.array_equal(view, np.arange(n // 2, n, dtype=np.float64))
