"""Arrow columns to NumPy and back through their buffers: the same values as pyarrow's own
conversions (offsets of sliced arrays, chunks, nulls, NaN, NaT, text, dates to nanoseconds),
and a command run on Parquet and CSV files that never imports pandas or narwhals (nor, on
Parquet, pyarrow's compute functions)."""

import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest

from fundkernels._arrow_numpy import arrow_array, numbers, timestamps_ns

FLOATS = pa.array([1.5, None, np.nan, -0.0, 4.0, None, 7.25, 8.0, 9.0, 10.0])


@pytest.mark.parametrize(
    "column",
    [
        FLOATS,
        FLOATS.slice(3, 6),  # an offset into the buffer and into the validity bits
        FLOATS.slice(9, 0),
        pa.chunked_array([FLOATS.slice(1, 4), FLOATS.slice(7)]),
        pa.chunked_array([pa.array([3, None, 5], pa.int32()), pa.array([7, 8], pa.int32())]),
        pa.chunked_array([pa.array([1, 2], pa.int64()), pa.array([3], pa.int64())]),
        pa.chunked_array([], pa.float64()),
        pa.array(list(range(20)), pa.uint8()).slice(5, 11),
        pa.array([True, None, False]),  # bits: pyarrow converts them
    ],
    ids=["nulls", "sliced", "empty", "chunks", "int-nulls", "ints", "no-chunks", "u8", "bool"],
)
def test_numbers_as_pyarrow_gives_them(column):
    got = numbers(column, pa)
    want = np.asarray(column.to_numpy(zero_copy_only=False))
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)  # NaN where NaN, by position


def test_numbers_of_timestamps_are_their_counts():
    stamps = pa.chunked_array(
        [pa.array([0, 86_400_000_000_000]), pa.array([2, 3, 4]).slice(1)]
    ).cast(pa.timestamp("ns", tz="UTC"))
    got = numbers(stamps, pa)
    np.testing.assert_array_equal(got, [0, 86_400_000_000_000, 3, 4])
    assert got.dtype == np.int64


DAYS = [-106_751, -1, 0, 1, 11_000, 106_751]  # as far as nanoseconds reach both ways


@pytest.mark.parametrize(
    "column",
    [
        pa.array(DAYS, pa.date32()),
        pa.array(DAYS, pa.date32()).slice(2, 3),
        pa.array([d * 86_400_000 for d in DAYS], pa.date64()),
        pa.array([-9_223_372_036, 0, 9_223_372_036], pa.timestamp("s")),
        pa.array([-5, 1_700_000_000_123], pa.timestamp("ms", tz="Europe/Paris")),
        pa.array(
            [1, -9_223_372_036_854_775, 9_223_372_036_854_775], pa.timestamp("us", tz="UTC")
        ).slice(1),
        pa.array([-(2**63) + 1, 2**63 - 1], pa.timestamp("ns")),
    ],
    ids=["date32", "sliced", "date64", "s", "ms-zoned", "us-sliced", "ns"],
)
def test_timestamps_ns_as_the_cast_gives_them(column):
    got = timestamps_ns(column, pa)
    want = column.cast(pa.timestamp("ns", tz=getattr(column.type, "tz", None)))
    got.validate(full=True)
    assert got.equals(want)


@pytest.mark.parametrize(
    "column",
    [
        pa.array([0, 106_752], pa.date32()),
        pa.array([-106_752], pa.date32()),
        pa.array([0, 9_223_372_037], pa.timestamp("s")),
        pa.array([0, None], pa.date32()),
        pa.array([1.5]),
    ],
    ids=["after-2262", "before-1677", "s-beyond", "null", "floats"],
)
def test_timestamps_ns_leaves_the_rest_to_the_cast(column):
    assert timestamps_ns(column, pa) is None


@pytest.mark.parametrize(
    "values",
    [
        np.array([0.5, np.nan, -np.inf, 3.0]),
        np.arange(12, dtype=np.int64)[::3],  # not contiguous
        np.arange(4, dtype=np.int32),
        np.array([], dtype=np.float64),
        np.array(["2001-02-03", "NaT", "1960-01-01"], dtype="M8[D]"),
        np.array(["2001-02-03", "1960-01-01"], dtype="M8[D]"),
        ["plain", "", "naïve €", "深圳"],
        [],
        ["a", None],  # not all text: as pa.array makes it
    ],
    ids=["nan", "strided", "int32", "empty", "nat", "dates", "text", "no-text", "none"],
)
def test_arrow_array_as_pa_array_makes_it(values):
    got = arrow_array(values, pa)
    if isinstance(values, np.ndarray) and values.dtype.kind == "M":
        want = pa.array(values, type=pa.date32(), mask=np.isnat(values))
    elif isinstance(values, np.ndarray):
        want = pa.array(values)
    else:
        want = pa.array(values, type=pa.string())
    got.validate(full=True)
    assert got.type == want.type
    assert got.null_count == want.null_count  # NaN stays a value, NaT is a null
    if isinstance(values, np.ndarray) and values.dtype.kind == "f":  # NaN != NaN in equals
        np.testing.assert_array_equal(np.asarray(got.to_pylist(), dtype=float), values)
    else:
        assert got.equals(want)


UNLOADED = """
import sys
from fundkernels.cli import main
unloaded = sys.argv[1].split(",")
code = main(sys.argv[2:])
assert code == 0, code
loaded = [name for name in unloaded if name in sys.modules]
assert not loaded, f"imported {loaded}"
"""


@pytest.mark.parametrize(
    "source, out, unloaded",
    [
        # Parquet of numbers: no frame library, no compute functions.
        ("w.parquet", "o.parquet", "pandas,narwhals,pyarrow.compute"),
        ("w.parquet", "o.json", "pandas,narwhals,pyarrow.compute"),
        ("w.csv", "o.csv", "pandas,narwhals"),
    ],
)
def test_command_loads_only_what_it_needs(tmp_path, source, out, unloaded):
    rng = np.random.default_rng(5)
    values = rng.normal(0.001, 0.02, (40, 3))
    values[[2, 9], [0, 2]] = np.nan
    dates = np.datetime64("2010-01-29") + 7 * np.arange(40)
    table = pa.table({"date": dates, **{f"f{j}": values[:, j] for j in range(3)}})
    pq.write_table(table, tmp_path / "w.parquet")
    pcsv.write_csv(table, tmp_path / "w.csv")
    done = subprocess.run(
        [sys.executable, "-c", UNLOADED, unloaded, source, "-o", out, "--calendar", "panel"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert (tmp_path / out).stat().st_size > 0
