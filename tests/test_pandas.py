"""The pandas front end against direct module calls: labels, dates, windows, modes, errors."""

import doctest
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import fundkernels.pandas as fkp
from fundkernels import _kernels
from crossodds import crossodds
from fundkernels._drawdown import drawdown
from extremeset import extremeset
from helpers import FRONT_END, awkward_matrix, direct, same_bits
from horizonret import horizonret
from streakset import streakset
from troughmend import troughmend

EPOCH = pd.Timestamp("1970-01-01", tz="UTC")
NAMES = FRONT_END


def utc_ns(index):
    """Nanoseconds since the epoch of every date, by way of timedeltas (naive means UTC)."""
    index = index if index.tz is not None else index.tz_localize("UTC")
    return np.array((index - EPOCH) // pd.Timedelta(1, "ns"), dtype=np.int64)


def codes_of(funds):
    return {f: ["alpha", "beta", "gamma"][i % 3] for i, f in enumerate(funds)}


def front(name, frame):
    """One call of the front end with its usual arguments."""
    if name == "crossodds":
        return fkp.crossodds(frame, codes_of(getattr(frame, "columns", range(7))))
    if name == "horizonret":
        return fkp.horizonret(frame, "3M", calendar="panel")
    return getattr(fkp, name)(frame, calendar="panel")


def as_lists(result):
    """A front-end result as a list of plain arrays, date columns as eight-digit texts."""
    if isinstance(result, pd.Series):
        return [result.to_numpy()]
    out = []
    for _, col in result.items():
        if col.dtype.kind == "M":
            out.append([("nan" if pd.isna(t) else t.strftime("%Y%m%d")) for t in col])
        else:
            out.append(col.to_numpy())
    return out


def agree(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (g == w) if isinstance(w, list) else same_bits(g, w)


def panel(rows=40, cols=7, seed=0, tz=None):
    rng = np.random.default_rng(seed)
    index = pd.date_range("2015-01-31", periods=rows, freq="ME", tz=tz)
    return pd.DataFrame(
        awkward_matrix(rng, rows, cols), index=index, columns=[f"fund{c}" for c in range(cols)]
    )


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("tz", [None, "UTC", "America/New_York", "Asia/Tokyo"])
def test_agrees_with_module_and_labels_by_fund(name, tz):
    frame = panel(tz=tz)
    got = front(name, frame)
    assert list(got.index) == list(frame.columns)
    agree(as_lists(got), direct(name, frame.to_numpy(), utc_ns(frame.index)))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "convert",
    [
        lambda f: f.clip(-1e30, 1e30).astype(np.float32),
        lambda f: f.astype("Float64"),  # NaN becomes pd.NA
        lambda f: f.assign(fund1=np.arange(len(f)) % 3 - 1),
    ],
    ids=["float32", "nullable", "mixed-int"],
)
def test_numeric_dtypes_convert_as_float64(name, convert):
    frame = convert(panel())
    want = frame.astype(np.float64).to_numpy()
    agree(as_lists(front(name, frame)), direct(name, want, utc_ns(frame.index)))


def test_float64_frame_is_passed_without_copy(monkeypatch):
    seen = []
    monkeypatch.setattr(_kernels, "_troughmend", lambda v: seen.append(v) or troughmend(v))
    frame = panel()
    by_dict = pd.DataFrame({c: frame[c].to_numpy() for c in frame.columns}, index=frame.index)
    for one_block in (frame, by_dict):
        want = troughmend(one_block.to_numpy())
        got = fkp.troughmend(one_block, calendar="panel")
        assert np.shares_memory(seen[-1], one_block["fund3"].to_numpy())
        assert same_bits(got.to_numpy(), want)
    # Grown column by column, the frame holds a block per column: gathered once, same bits.
    grown = pd.DataFrame(index=frame.index)
    for c in frame.columns:
        grown[c] = frame[c].to_numpy().copy()
    assert same_bits(
        fkp.troughmend(grown, calendar="panel").to_numpy(), troughmend(frame.to_numpy())
    )
    assert not np.shares_memory(seen[-1], grown["fund3"].to_numpy())
    fkp.troughmend(frame.astype({"fund1": np.float32}), calendar="panel")
    assert seen[-1].dtype == np.float64 and seen[-1].shape == frame.shape


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_empty_frames(name, shape):
    frame = pd.DataFrame(
        np.zeros(shape),
        index=pd.date_range("2020", periods=shape[0]),
        columns=[f"f{i}" for i in range(shape[1])],
    )
    got = front(name, frame)
    assert list(got.index) == list(frame.columns)
    agree(as_lists(got), direct(name, np.zeros(shape), utc_ns(frame.index)))


@pytest.mark.parametrize("name", ["extremeset", "streakset"])
def test_loss_mode_is_inverted_mode_on_negated_returns(name):
    frame = panel(seed=4)
    values, dates = frame.to_numpy(), utc_ns(frame.index)
    want = direct(name, values, dates)  # gain mode for comparison: must differ
    module = {"extremeset": extremeset, "streakset": streakset}[name]
    raw = module(-values, dates, "loss")
    raw = (
        [raw["r"], raw["p"], raw["s"], raw["l"]]
        if name == "extremeset"
        else [raw[0], raw[3], raw[1], raw[2]]
    )
    got = as_lists(getattr(fkp, name)(frame, mode="loss"))
    agree(got, raw)
    assert not same_bits(got[0], want[0])


def test_horizon_window_defaults_to_first_and_last_valid_row():
    nan = np.nan
    frame = pd.DataFrame(
        {"late": [nan, nan, 0.1, -0.1, 0.1, 0.1, nan, nan], "full": np.full(8, 0.02)},
        index=pd.date_range("2020-01-31", periods=8, freq="ME"),
    )
    dates = utc_ns(frame.index)
    want = horizonret("1M", frame.to_numpy(), [2, 0], [5, 7], dates)
    # From row 0, the leading gap would add flat horizons that count as losses.
    assert not same_bits(horizonret("1M", frame.to_numpy(), [0, 0], [7, 7], dates)[6], want[6])
    agree(as_lists(fkp.horizonret(frame, "1M", calendar="panel")), list(want))


@pytest.mark.parametrize(
    "start, end, rows",
    [
        ("2020-03-15", None, ([2, 2, 2], [5, 4, 5])),
        # 31 May 01:00 in Berlin is 30 May 23:00 UTC: the row of 31 May is past the end.
        (None, pd.Timestamp("2020-05-31 01:00", tz="Europe/Berlin"), ([0, 1, 0], [3, 3, 3])),
        # Bounds falling on a row's date include that row; NaT and absent funds: default.
        ({"b": "2020-04-30"}, pd.Series({"a": pd.NaT, "c": "2020-04-30"}), ([0, 3, 0], [5, 4, 3])),
        (
            pd.Series(["2019-01-01", "2021-01-01", "2020-02-29"], index=["a", "b", "c"]),
            None,
            ([0, 6, 1], [5, 4, 5]),
        ),
    ],
)
def test_horizon_windows_from_dates(start, end, rows):
    values = np.linspace(-0.1, 0.1, 18).reshape(6, 3)
    values[0, 1] = values[5, 1] = np.nan
    frame = pd.DataFrame(
        values, index=pd.date_range("2020-01-31", periods=6, freq="ME"), columns=list("abc")
    )
    want = horizonret("1M", values, np.array(rows[0]), np.array(rows[1]), utc_ns(frame.index))
    agree(as_lists(fkp.horizonret(frame, "1M", start=start, end=end, calendar="panel")), list(want))


def test_type_codes_are_labels_of_groups():
    frame = panel(cols=6, seed=2)
    values = frame.to_numpy()
    by_name = pd.Series(["x", "y", "x", "z", "y", "x"], index=frame.columns[::-1])  # any order
    by_int = dict(zip(frame.columns[::-1], [7, 3, 7, 1, 3, 7]), extra_fund=9)
    want = crossodds(np.array([0, 1, 2, 0, 1, 0], dtype=np.int32), values)
    assert same_bits(fkp.crossodds(frame, by_name).to_numpy(), want)
    assert same_bits(fkp.crossodds(frame, by_int).to_numpy(), want)
    # Float codes 1.0 and 1.7 stay two groups (a cast to int32 would merge them).
    two = fkp.crossodds(frame[["fund0", "fund1"]], {"fund0": 1.0, "fund1": 1.7})
    assert two.isna().all()
    assert not np.isnan(crossodds(np.array([1, 1], np.int32), values[:, :2])).all()


@pytest.mark.parametrize("tz", [None, "Asia/Tokyo"])
@pytest.mark.parametrize("rows", [0, 40])
def test_troughmend_details_are_the_kernel_s_rows_as_dates(tz, rows):
    frame = panel(rows=rows, tz=tz).assign(empty=np.nan)  # a fund without a drawdown
    got = fkp.troughmend(frame, details=True, calendar="panel")
    assert list(got.columns) == list(fkp.DRAWDOWN_COLUMNS)
    assert list(got.index) == list(frame.columns)
    assert np.array_equal(got["length"], fkp.troughmend(frame, calendar="panel"))
    stamps = utc_ns(frame.index).view("datetime64[ns]")
    for name, part in zip(fkp.DRAWDOWN_COLUMNS, drawdown(frame.to_numpy())):
        if name in ("length", "depth"):
            assert same_bits(got[name].to_numpy(), part)
        else:
            want = [stamps[r] if r >= 0 else np.datetime64("NaT") for r in part]
            assert got[name].dtype == "datetime64[ns]"
            assert got[name].to_numpy().tolist() == np.array(want, "datetime64[ns]").tolist()
    assert got.loc["empty"].isna().drop("length").all() and got.loc["empty", "length"] == 0


def unsorted(frame):
    return frame.iloc[[0, 2, 1, *range(3, len(frame))]]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "spoil, error, message",
    [
        (lambda f: f.reset_index(drop=True), TypeError, "DatetimeIndex"),
        (lambda f: f.set_axis(f.index.to_period("M")), TypeError, "DatetimeIndex"),
        (unsorted, ValueError, "ascending order: row 2"),
        (lambda f: f.set_axis(f.index.insert(4, pd.NaT)[:-1]), ValueError, "NaT at row 4"),
        (
            lambda f: f.set_axis(["a", "b", "a", "c", "d", "b", "e"], axis=1),
            ValueError,
            r"unique; duplicated: \['a', 'b'\]",
        ),
        (lambda f: f.assign(fund2="x"), TypeError, "not numeric: 'fund2'"),
        (lambda f: f.assign(fund5=True), TypeError, r"'fund5' \(bool\)"),
        (lambda f: f.to_numpy(), TypeError, "DataFrame, not ndarray"),
    ],
    ids=["range-index", "period-index", "unsorted", "nat", "duplicate", "text", "bool", "ndarray"],
)
def test_bad_frames_are_rejected(name, spoil, error, message):
    with pytest.raises(error, match=message):
        front(name, spoil(panel()))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: fkp.troughmend(f, details=1), TypeError, "details must be True or False"),
        (lambda f: fkp.extremeset(f, mode="positive"), ValueError, "mode must be 'gain' or 'loss'"),
        (lambda f: fkp.streakset(f, "Loss"), ValueError, "mode must be"),
        (lambda f: fkp.horizonret(f, "1Y6M"), ValueError, "whole number of months or years"),
        (lambda f: fkp.horizonret(f, "3m"), ValueError, "whole number"),
        (lambda f: fkp.horizonret(f, 3), TypeError, "horizon must be a str"),
        (lambda f: fkp.horizonret(f, "99999999999M"), ValueError, "longer than 2147483647 months"),
        (
            lambda f: fkp.horizonret(f, "1Y", start=["2020-01-01"]),
            ValueError,
            "start must hold dates",
        ),
        (lambda f: fkp.crossodds(f, {"fund0": 1}), ValueError, r"no code for the funds \['fund1'"),
        (lambda f: fkp.crossodds(f, [1] * 7), TypeError, "Series or a mapping"),
        (
            lambda f: fkp.crossodds(f, pd.Series(1, index=["fund0"] * 7)),
            ValueError,
            "unique fund labels",
        ),
    ],
)
def test_bad_arguments_are_rejected(call, error, message):
    with pytest.raises(error, match=message):
        call(panel())


def test_readme_examples_give_the_output_shown():
    pytest.importorskip("polars")  # the frames section's examples use it
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False) == (0, len(test.examples)) and len(test.examples) > 20


@pytest.mark.parametrize(
    "texts",
    [
        [],
        ["nan"],
        ["20240229", "nan", "19000101", "21991231", "17530101", "19691231", "19700101"],
        [str(np.datetime64(d, "D")).replace("-", "") for d in range(-80000, 90000, 997)],
    ],
    ids=["none", "nan", "edges", "every-997-days"],
)
def test_run_dates_from_the_modules_texts(texts):
    """The modules give run dates as eight-digit texts: read at once by their digits, they
    are the dates NumPy parses from the same texts, "nan" NaT."""
    from fundkernels._dates import text_dates

    iso = ["NaT" if t == "nan" else f"{t[:4]}-{t[4:6]}-{t[6:]}" for t in texts]
    want = np.array(iso, dtype="M8[D]").astype("M8[ns]")
    got = text_dates(texts)
    assert got.dtype == np.dtype("M8[ns]")
    assert np.array_equal(got.view(np.int64), want.view(np.int64))
    with pytest.raises(ValueError, match="eight digits"):
        text_dates([*texts, "2024-1-1"])
