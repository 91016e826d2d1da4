"""Long tables through the dask front end on a real local cluster: blocks of funds gathered
apart, bit for bit equal to the whole table gathered in memory."""

import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster

import fundkernels.dask as fkd
import fundkernels.frames as fkf
from fundkernels._blocks import blocks_of
from helpers import awkward_matrix, same_bits, run_command as command

# The dask tasks read Parquet files and build tables on pyarrow's own thread pool.
pytestmark = [pytest.mark.arrow_threads, pytest.mark.slow]  # local dask clusters

RESULT_TIMEOUT = 300
ROWS, COLS = 26, 11
CODES = {f"f{c:02d}": [0, 1, 0, 2, 1, 1, 3, 0, 2, 4, 1][c] for c in range(COLS)}


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=False,  # in one process: the workers are threads, talking in memory
        dashboard_address=":0",
    )
    with cluster, Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def table():
    """One row per fund and date, shuffled; funds with different date sets (rows of
    missing values mostly left out), NAVs positive."""
    rng = np.random.default_rng(5)
    values = awkward_matrix(rng, ROWS, COLS)
    index = pd.date_range("2003-01-31", periods=ROWS, freq="ME", tz="Asia/Tokyo")
    wide = pd.DataFrame(values, index=index.rename("day"), columns=list(CODES))
    long = wide.reset_index().melt(id_vars="day", var_name="who", value_name="nav")
    keep = long["nav"].notna().to_numpy() | (rng.random(len(long)) < 0.3)
    long = long[keep].sample(frac=1, random_state=3).reset_index(drop=True)
    long["nav"] = np.where(long["nav"].notna(), np.exp(long["nav"].clip(-5, 5)), np.nan)
    return long


CALLS = {
    "troughmend": lambda f, t, **k: f.troughmend(t, details=True, **k),
    "crossodds": lambda f, t, **k: f.crossodds(t, CODES, **k),
    "horizonret": lambda f, t, **k: f.horizonret(t, "3M", start="2003-05-01", **k),
    "extremeset": lambda f, t, **k: f.extremeset(t, "loss", **k),
    "streakset": lambda f, t, **k: f.streakset(t, **k),
}


def as_columns(result):
    frame = result.to_frame() if isinstance(result, pd.Series) else result
    return {c: frame[c].to_numpy() for c in frame.columns}


def equal(got, want):
    """A dask result (indexed by fund) against the frames result (a fund column)."""
    assert list(got.index) == list(want["fund"])
    for name, col in as_columns(got).items():
        ref = want[name].to_numpy()
        if col.dtype.kind == "f":
            assert same_bits(col, ref), name
        elif col.dtype.kind == "M":
            assert np.array_equal(col.view(np.int64), ref.astype(col.dtype).view(np.int64)), name
        else:
            assert np.array_equal(col, ref), name


def sources(table, tmp_path):
    """The same table as dask DataFrames of different makes: uneven partitions, and a
    Parquet folder whose files split funds between them."""
    cuts = [0, 7, 9, 60, 61, len(table)]
    uneven = dd.from_pandas(table, npartitions=1).repartition(divisions=[*cuts[:-1], cuts[-1] - 1])
    assert [len(p) for p in uneven.partitions] == [7, 2, 51, 1, len(table) - 61]
    folder = tmp_path / "lake"
    folder.mkdir()
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        pq.write_table(
            pa.Table.from_pandas(table.iloc[a:b], preserve_index=False), folder / f"{k}.parquet"
        )
    return {"uneven partitions": uneven, "parquet folder": dd.read_parquet(str(folder))}


@pytest.mark.parametrize("name", sorted(CALLS))
@pytest.mark.parametrize("navs", [False, True])
@pytest.mark.filterwarnings("ignore::fundkernels.PriceLikeWarning")  # navs=False: on purpose
def test_long_tables_equal_the_in_memory_gather(client, table, tmp_path, name, navs):
    want = CALLS[name](fkf, table, date="day", fund="who", value="nav", navs=navs)
    for ddf in sources(table, tmp_path).values():
        for width in (2, 3, None):  # blocks of 2 or 3 funds (a few per group), or one
            lazy = CALLS[name](
                fkd, ddf, date="day", fund="who", value="nav", navs=navs, funds_per_chunk=width
            )
            got = lazy.compute(timeout=RESULT_TIMEOUT)
            equal(got, want)


@pytest.mark.filterwarnings("ignore::fundkernels.PriceLikeWarning")  # NAVs read as returns
def test_duplicates_and_missing_funds_are_refused(client, table):
    twice = pd.concat([table, table.iloc[[4]]], ignore_index=True)
    ddf = dd.from_pandas(twice, npartitions=3)
    fund, day = table.loc[4, "who"], table.loc[4, "day"]
    with pytest.raises(
        ValueError, match=f"fund '{fund}' has two rows for {day.tz_convert('UTC'):%Y-%m-%d %H:%M}"
    ):
        fkd.streakset(ddf, date="day", fund="who", value="nav", funds_per_chunk=2).compute()
    holed = dd.from_pandas(table.assign(who=table["who"].where(table.index != 70)), npartitions=3)
    sizes = np.cumsum([0, *holed.map_partitions(len).compute()])
    k = int(np.searchsorted(sizes, 70, side="right")) - 1
    with pytest.raises(ValueError, match=f"missing fund in partition {k} at row {70 - sizes[k]}$"):
        fkd.streakset(holed, date="day", fund="who", value="nav")


@pytest.mark.parametrize(
    "codes, width, want",
    [
        (None, 2, [[0, 1], [2, 3], [4]]),
        ([0, 1, 0, 1, 2], 2, [[0, 2], [1, 3], [4]]),
        ([0, 0, 0, 1, 1], 2, [[0, 1, 2], [3, 4]]),  # a group wider than a block stays whole
        ([3, 1, 3, 1, 1], 4, [[1, 3, 4], [0, 2]]),
    ],
)
def test_blocks_keep_groups_whole(codes, width, want):
    codes = None if codes is None else np.array(codes, np.int32)
    assert [b.tolist() for b in blocks_of(5, 10, width, codes)] == want


def layouts(table, folder):
    """The table on disk as the command reads it: Parquet files that split funds between
    them, a Parquet folder partitioned by fund, and CSV files (dates as text)."""
    cuts = np.linspace(0, len(table), 4).astype(int)
    split = folder / "split"
    split.mkdir()
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        pq.write_table(
            pa.Table.from_pandas(table.iloc[a:b], preserve_index=False), split / f"{k}.parquet"
        )
    by_fund = folder / "by_fund"
    pq.write_to_dataset(
        pa.Table.from_pandas(table, preserve_index=False), by_fund, partition_cols=["who"]
    )
    csv = folder / "csv"
    csv.mkdir()
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        table.iloc[a:b].to_csv(csv / f"{k}.csv", index=False)
    return {"split": split, "by_fund": by_fund, "csv": csv}


@pytest.mark.parametrize("navs", [[], ["--navs"]], ids=["returns", "navs"])
def test_the_command_on_long_tables_gives_the_same_table(table, tmp_path, navs):
    (tmp_path / "types.csv").write_text(
        "fund,type\n" + "".join(f"{f},{c}\n" for f, c in CODES.items())
    )
    for name, path in layouts(table, tmp_path).items():
        flags = ["--fund", "who", "--date", "day", "--value", "nav", "--types", "types.csv", *navs]
        arrow = command(path, *flags, "-o", f"{name}-a.parquet", cwd=tmp_path)
        assert arrow.returncode == 0, arrow.stderr
        dask = command(path, *flags, "--engine", "dask", "-o", f"{name}-d.parquet", cwd=tmp_path)
        assert dask.returncode == 0, dask.stderr
        assert "100% Completed" in dask.stderr
        want = pq.read_table(tmp_path / f"{name}-a.parquet")
        got = pq.read_table(tmp_path / f"{name}-d.parquet")
        assert got.column_names == want.column_names
        for column in want.column_names:
            a, b = want.column(column).to_numpy(), got.column(column).to_numpy()
            if a.dtype.kind == "f":
                assert same_bits(b, a), (name, column)
            else:
                assert a.tolist() == b.tolist(), (name, column)


@pytest.mark.parametrize("days", [False, True], ids=["timestamps", "days"])
@pytest.mark.parametrize("calendar", ["own", "panel"])
@pytest.mark.parametrize("navs", [[], ["--navs"]], ids=["returns", "navs"])
def test_the_command_on_blocks_of_groups_gives_the_same_table(
    table, tmp_path, monkeypatch, calendar, navs, days
):
    """Blocks of two funds (groups kept whole), funds split across files, a value carrying
    the bits of the gather's empty marker, dates as zoned timestamps or as days: the dask
    engine's table equals the arrow engine's, on either calendar."""
    import fundkernels._cli_dask_long as dask_long
    from fundkernels._gather import _EMPTY
    from fundkernels.cli import main

    monkeypatch.setattr(dask_long, "BLOCK_FUNDS", 2)
    odd = table.copy()
    if days:  # an Arrow date column
        odd["day"] = odd["day"].dt.date
    if not navs:  # as a return: a missing value whose bits are the marker's
        odd.loc[5, "nav"] = np.int64(_EMPTY).view(np.float64)
    (tmp_path / "types.csv").write_text(
        "fund,type\n" + "".join(f"{f},{c}\n" for f, c in CODES.items())
    )
    path = layouts(odd, tmp_path)["split"]
    flags = ["--fund", "who", "--date", "day", "--value", "nav", "--types", "types.csv"]
    flags += [*navs, "--calendar", calendar]
    monkeypatch.chdir(tmp_path)
    assert main([str(path), *flags, "-o", "a.parquet"]) == 0
    assert main([str(path), *flags, "--engine", "dask", "-o", "d.parquet"]) == 0
    want, got = pq.read_table(tmp_path / "a.parquet"), pq.read_table(tmp_path / "d.parquet")
    assert got.column_names == want.column_names
    for column in want.column_names:
        a, b = want.column(column).to_numpy(), got.column(column).to_numpy()
        if a.dtype.kind == "f":
            assert same_bits(b, a), column
        else:
            assert a.tolist() == b.tolist(), column


def test_the_command_refuses_a_duplicate_across_files(table, tmp_path, capsys):
    """A fund's row repeated in another file: the dask engine names the fund and date."""
    from fundkernels.cli import main

    row = table.iloc[[40]]
    twice = pd.concat([table, row], ignore_index=True)
    path = layouts(twice, tmp_path)["split"]
    fund, day = row["who"].iloc[0], row["day"].iloc[0].tz_convert("UTC")
    flags = ["--fund", "who", "--date", "day", "--value", "nav", "--engine", "dask"]
    assert main([str(path), *flags, "-o", str(tmp_path / "d.parquet")]) == 2
    assert f"fund '{fund}' has two rows for {day:%Y-%m-%d %H:%M}" in capsys.readouterr().err
