"""Arrow columns to NumPy and back through their buffers: the same values as pyarrow's own
conversions (offsets of sliced arrays, chunks, nulls, NaN, NaT, text), and a command run on
Parquet and CSV files that never imports pandas."""

import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest

from fundkernels._arrow_numpy import arrow_array, numbers

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


NO_PANDAS = """
import sys
from fundkernels.cli import main
code = main(sys.argv[1:])
assert code == 0, code
assert "pandas" not in sys.modules, "pandas was imported"
"""


@pytest.mark.parametrize(
    "source, out", [("w.parquet", "o.parquet"), ("w.csv", "o.csv"), ("w.parquet", "o.json")]
)
def test_command_does_not_import_pandas(tmp_path, source, out):
    rng = np.random.default_rng(5)
    values = rng.normal(0.001, 0.02, (40, 3))
    values[[2, 9], [0, 2]] = np.nan
    dates = np.datetime64("2010-01-29") + 7 * np.arange(40)
    table = pa.table({"date": dates, **{f"f{j}": values[:, j] for j in range(3)}})
    pq.write_table(table, tmp_path / "w.parquet")
    pcsv.write_csv(table, tmp_path / "w.csv")
    done = subprocess.run(
        [sys.executable, "-c", NO_PANDAS, source, "-o", out, "--calendar", "panel"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert (tmp_path / out).stat().st_size > 0
