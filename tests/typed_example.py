"""Every function of the package, as a type checker sees it from the installed package.

tests/test_typing.py runs mypy --strict on this file (allowing calls into dask's own
untyped functions) and runs it as a script. The lines
marked "type: ignore[...]" are misuses that the checker must reject: with --strict an
ignore that is not needed is itself an error, so each such line proves that a signature
is really checked, not taken as Any.
"""

from __future__ import annotations

import dask.array as da
import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
from crossodds import crossodds
from extremeset import extremeset
from horizonret import horizonret
from streakset import streakset
from troughmend import troughmend

import fundkernels.dask as fkd
import fundkernels.frames as fkf
import fundkernels.pandas as fkp


def modules(returns: npt.NDArray[np.float64], dates: npt.NDArray[np.int64]) -> int:
    longest: npt.NDArray[np.int64] = troughmend(returns)
    odds: npt.NDArray[np.float64] = crossodds(np.zeros(returns.shape[1], np.int32), returns)
    start = np.zeros(returns.shape[1], np.int64)
    end = np.full(returns.shape[1], returns.shape[0] - 1, np.int64)
    mean, median, win, *bands = horizonret("3M", returns, start, end, dates)
    best = extremeset(returns, dates)
    worst = extremeset(array_value=-returns, dates=dates, i_code="loss")
    best_r: npt.NDArray[np.float64] = best["r"]
    worst_first: list[str] = worst["s"]
    ret, first, last, length = streakset(returns, dates)
    ret_loss, *_ = streakset(a_value=-returns, dates=dates, i_code="loss")
    texts: list[str] = first + last + worst_first
    lengths: npt.NDArray[np.int64] = length + best["p"]
    return (
        len(longest)
        + len(odds)
        + len(mean)
        + len(median)
        + len(win)
        + len(bands)
        + len(best_r)
        + len(ret)
        + len(ret_loss)
        + len(texts)
        + len(lengths)
    )


def frames(returns: pd.DataFrame) -> pd.DataFrame:
    longest: pd.Series[int] = fkp.troughmend(returns)
    odds: pd.Series[float] = fkp.crossodds(returns, {f: "all" for f in returns.columns})
    together: pd.Series[float] = fkp.crossodds(data=returns, types="all")
    one_year = fkp.horizonret(returns, "1Y", start="2000-01-31", end=None)
    best = fkp.extremeset(returns)
    losses = fkp.streakset(returns, mode="loss")
    where: pd.DataFrame = fkp.troughmend(returns, details=True)
    table = pd.concat(
        [
            longest,
            odds,
            together,
            one_year["win"],
            best["return"],
            losses["length"],
            where["depth"],
        ],
        axis=1,
    )
    return table


def scaled(returns: pd.DataFrame) -> pd.DataFrame:
    panel = dd.from_pandas(returns, npartitions=2)
    values = da.from_array(returns.to_numpy(), chunks=(5, 2))
    longest: dd.Series = fkd.troughmend(panel, funds_per_chunk=2)
    odds: dd.Series = fkd.crossodds(
        values, pd.Series(0, index=returns.columns), funds=returns.columns
    )
    one_year: dd.DataFrame = fkd.horizonret(
        values, "1Y", dates=returns.index, funds=returns.columns
    )
    best: dd.DataFrame = fkd.extremeset(data=panel, mode="loss")  # the worst run of losses
    streaks: dd.DataFrame = fkd.streakset(values, dates=returns.index, funds=list(returns.columns))
    where: dd.DataFrame = fkd.troughmend(values, dates=returns.index, details=True)
    counts: pd.Series[int] = longest.compute()
    ratios: pd.Series[float] = odds.compute()
    horizons: pd.DataFrame = one_year.compute()
    worst: pd.DataFrame = best.compute()
    runs: pd.DataFrame = streaks.compute()
    depth: pd.Series[float] = where.compute().set_axis(returns.columns)["depth"]
    return pd.concat(
        [counts, ratios, horizons, worst.add_prefix("worst_"), runs.add_prefix("streak_"), depth],
        axis=1,
    )


def tables(returns: pd.DataFrame) -> pl.DataFrame:
    wide = pl.from_pandas(returns.rename_axis("date").reset_index())
    navs = pl.from_pandas((1.0 + returns).cumprod().rename_axis("date").reset_index())
    long = navs.unpivot(index="date", variable_name="fund", value_name="nav")
    longest: pl.DataFrame = fkf.troughmend(wide)
    odds = fkf.crossodds(long, "all", fund="fund", value="nav", navs=True)
    grouped = fkf.crossodds(wide, {"a": "x", "b": "x", "c": "y", "d": "y"})
    one_year = fkf.horizonret(wide, "1Y", "2000-01-31")
    worst = fkf.extremeset(long, "loss", fund="fund", value="nav", navs=True)
    streaks = fkf.streakset(wide, mode="gain", date="date")
    by_nav: pd.DataFrame = fkp.streakset((1.0 + returns).cumprod(), navs=True)
    return pl.concat(
        [
            longest,
            odds.drop("fund"),
            grouped.drop("fund").rename({"crossodds": "grouped"}),
            one_year.select("win"),
            worst.select(pl.col("return").alias("worst")),
            streaks.select("length"),
            pl.DataFrame({"nav_length": by_nav["length"].to_numpy()}),
        ],
        how="horizontal",
    )


def misuse(returns: pd.DataFrame, values: npt.NDArray[np.float64]) -> None:
    troughmend(funds_val=values)  # type: ignore[call-arg]
    crossodds(values)  # type: ignore[call-arg]
    horizonret("1Y", values, 0, 0)  # type: ignore[call-arg]
    extremeset(values, np.zeros(3), i_code=None)  # type: ignore[arg-type]
    streakset(values, np.zeros(3), i_code=1)  # type: ignore[arg-type]
    text: int = streakset(values, np.zeros(3))[1]  # type: ignore[assignment]
    counts: pd.Series[float] = fkp.troughmend(returns)  # type: ignore[assignment]
    where: pd.Series[int] = fkp.troughmend(returns, details=True)  # type: ignore[assignment]
    fkp.extremeset(returns, mode="up")  # type: ignore[arg-type]
    fkp.horizonret(returns)  # type: ignore[call-arg]
    fkp.crossodds(returns, "every")  # type: ignore[arg-type]
    fkp.streakset(returns=returns)  # type: ignore[call-arg]
    fkd.streakset(dd.from_pandas(returns), mode="gain", chunks=3)  # type: ignore[call-arg]
    fkd.troughmend(returns)  # type: ignore[call-overload]
    fkp.troughmend(returns, navs=None)  # type: ignore[call-overload]
    fkf.extremeset(returns.reset_index(), mode="up")  # type: ignore[arg-type]
    fkf.horizonret(returns.reset_index(), "1Y", fund=1)  # type: ignore[arg-type]
    polars_in: pd.DataFrame = fkf.troughmend(pl.DataFrame())  # type: ignore[assignment]
    print(text, counts, where)


if __name__ == "__main__":
    rng = np.random.default_rng(3)
    index = pd.date_range("1999-01-31", periods=30, freq="ME")
    frame = pd.DataFrame(rng.normal(0.005, 0.04, (30, 4)), index=index, columns=list("abcd"))
    raw = frame.to_numpy()
    ns = index.as_unit("ns").asi8
    assert modules(raw, ns) > 0
    assert frames(frame).shape == (4, 7)
    assert scaled(frame).shape[0] == 4
    assert tables(frame).shape == (4, 8)
    print("typed example ran")
