"""One table of the indicators, read by every consumer.

An entry (``fundkernels._indicator``) says everything the package knows about one indicator:
how its kernel is called on a panel (``kernel``, from ``fundkernels._kernels``: values,
dates, funds and options in, named result columns out), what its result columns are (kind,
which direction ranks a fund better, a line of plain words, how to show a value), its
options with their defaults and checks, whether it reads dates, which calendar it follows,
and a paragraph that says what it measures. The front ends, the command (its columns, its
--help glossary) and the report read it from here.

The entry also names, by dotted path, what lives outside the package: the plain-Python
reference the tests trust (``fk_references``), the module call the tests and the benchmark
make on a value matrix (``cases``), the benchmark's peers and the fuzz target's argument
builder. Those are resolved only by whoever needs them (``resolve``): the package never
imports its tests or benchmarks.

Adding an indicator is one entry here plus its kernel, its reference (with its cases) and
its own tests. The module is the table: most of its lines are the entries, each with its
columns' words and its description in full.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from . import _panel
from ._panel import Columns, Dates, Matrix
from ._indicator import REQUIRED, Better, Column, Fmt, Indicator, Option
from ._indicator import resolve as resolve  # the tests and the fuzz targets take it from here
from ._kernels import (
    crossodds_columns,
    drawdown_columns,
    extremeset_columns,
    horizonret_columns,
    streakset_columns,
    troughmend_columns,
)
from ._ranks import peer_ranks
from ._summary_columns import check_periods, check_risk_free, summary_columns


# --- the entries ----------------------------------------------------------------------------


def _date(name: str, words: str) -> Column:
    return Column(name, "date", None, words, "date")


TROUGHMEND = Indicator(
    name="troughmend",
    kernel=troughmend_columns,
    columns=(
        Column(
            "troughmend", "int", "lower",
            "rows the compounded value spent below its previous peak, the longest such stretch",
            "int",
        ),
    ),
    description=(
        "Longest drawdown: the longest stretch of consecutive rows that a fund's value,"
        " compounded from 1.0 (missing returns skipped), spent below its running peak. A"
        " drawdown still open on the last row counts with its full length."
    ),
    needs_dates=False,
    calendar="own",
    peers={"numpy": "bench.np_troughmend:peer", "numba": "bench.nb_peers:troughmend"},
    fuzz="fuzz.targets:TROUGHMEND",
)  # fmt: skip

DRAWDOWN = Indicator(
    name="drawdown",
    kernel=drawdown_columns,
    columns=(
        Column(
            "length", "int", "lower", "rows spent below the previous peak, the longest stretch",
            "int",
        ),
        _date("peak", "date whose value set the peak it is measured from (- for the start, 1.0)"),
        _date("first", "first date below the peak"),
        _date("last", "last date below the peak (of equally long drawdowns the latest)"),
        _date("trough", "date of the lowest value"),
        Column("depth", "float", "higher", "lowest value over the peak, minus 1", "pct"),
        _date("recovery", "date the value regained the peak (- while still below it)"),
    ),
    description=(
        "Where the longest drawdown lies: its length, the date that set its peak, its first"
        " and last date, the date and depth of its lowest value and the date the value"
        " regained the peak (troughmend with details=True)."
    ),
    module="fundkernels._drawdown:drawdown",
    needs_dates=True,
    calendar="own",
    front_end=False,
    headline="length",
    peers={"numpy": "bench.np_drawdown:peer"},
    command=lambda choices: [("troughmend", {})],
)  # fmt: skip

CROSSODDS = Indicator(
    name="crossodds",
    kernel=crossodds_columns,
    columns=(
        Column(
            "crossodds", "float", None,
            "repeated over reversed winner/loser outcomes against the group median"
            " (above 1: runs persist)",
            "ratio",
        ),
    ),
    description=(
        "Persistence against the peer group: on every date a fund wins when its value is at"
        " or above the median of its type group and loses below it; the number of repeated"
        " outcomes between consecutive flagged dates over the number of reversed ones."
    ),
    needs_dates=False,
    calendar="panel",
    options=(Option("types", REQUIRED, _panel.check_types),),
    per_column=False,
    peers={"numpy": "bench.np_crossodds:peer", "numba": "bench.nb_peers:crossodds"},
    fuzz="fuzz.targets:CROSSODDS",
    command=lambda choices: [("crossodds", {"types": choices["types"]})],
)  # fmt: skip


def _band(name: str, better: Better, words: str) -> Column:
    words = f"share of rolling {{horizon}} horizons returning {words}"
    return Column(name, "float", better, words, "pct")


HORIZONRET = Indicator(
    name="horizonret",
    kernel=horizonret_columns,
    columns=(
        Column("mean", "float", "higher", "mean of the rolling {horizon} horizon returns", "pct"),
        Column(
            "median", "float", "higher", "median of the rolling {horizon} horizon returns", "pct"
        ),
        Column(
            "win", "float", "higher", "share of rolling {horizon} horizons that ended with a gain",
            "pct",
        ),
        # The bands of the horizon returns x; a flat horizon counts from -5% to 0.
        _band("gain_0_5", None, "above 0, up to 5%"),
        _band("gain_5_10", None, "above 5%, up to 10%"),
        _band("gain_over_10", "higher", "above 10%"),
        _band("loss_0_5", None, "from -5% to 0 (a flat horizon too)"),
        _band("loss_5_10", "lower", "from -10% to below -5%"),
        _band("loss_over_10", "lower", "below -10%"),
    ),
    description=(
        "Rolling calendar-horizon returns: the return from every row to the row where its"
        " horizon (whole months or years, the day clamped to the month's length) ends,"
        " summarised per fund by mean, median, share of gains and shares in six bands."
    ),
    needs_dates=True,
    calendar="own",
    options=(
        Option("horizon", REQUIRED, _panel.horizon_code),
        Option("start", None, lambda b: _panel.window_bound(b, "start")),
        Option("end", None, lambda b: _panel.window_bound(b, "end")),
    ),
    peers={"numpy": "bench.np_horizonret:peer", "numba": "bench.nb_peers:horizonret"},
    fuzz="fuzz.targets:HORIZONRET",
    command=lambda choices: [(f"horizonret_{h}", {"horizon": h}) for h in choices["horizons"]],
)  # fmt: skip


def _run_columns_meta(
    return_words: str, length_words: str, longer: Union[Better, Mapping[str, Better]]
) -> tuple[Column, ...]:
    return (
        Column("return", "float", "higher", return_words, "pct"),
        Column("length", "int", longer, length_words, "int"),
        _date("first", "first date of the run"),
        _date("last", "last date of the run"),
    )  # fmt: skip


def _run_vocabulary(options: Mapping[str, Any]) -> Mapping[str, Any]:
    gain = options["mode"] == "gain"
    move = "largest rise" if gain else "deepest fall"
    return {"run": "gains" if gain else "losses", "move": move}


def _run_indicator(
    name: str,
    kernel: Callable[..., Columns],
    columns: tuple[Column, ...],
    description: str,
) -> Indicator:
    """extremeset and streakset: a run of gains, or of losses with mode="loss"."""
    return Indicator(
        name=name,
        kernel=kernel,
        columns=columns,
        description=description,
        needs_dates=True,
        calendar="own",
        options=(Option("mode", "gain", _panel.check_mode),),
        peers={"numpy": f"bench.np_{name}:peer", "numba": f"bench.nb_peers:{name}"},
        fuzz=f"fuzz.targets:{name.upper()}",
        command=lambda choices: [(f"{name}_{mode}", {"mode": mode}) for mode in ("gain", "loss")],
        vocabulary=_run_vocabulary,
    )


EXTREMESET = _run_indicator(
    "extremeset",
    extremeset_columns,
    _run_columns_meta(
        "compounded return of the {move} over a run of {run}",
        "rows in the run of {run} with the {move}",
        None,  # a longer best run is neither better nor worse: its size ranks
    ),
    "The best run: the largest compounded rise over a run of consecutive positive returns"
    ' with its length and dates; mode "loss" gives the deepest compounded fall over a run'
    " of losses. A run ends at the first row that is not a gain (or a loss).",
)

STREAKSET = _run_indicator(
    "streakset",
    streakset_columns,
    _run_columns_meta(
        "compounded return over the longest run of {run}",
        "rows in the longest run of {run} (the latest of equally long runs)",
        {"gain": "higher", "loss": "lower"},
    ),
    "The longest streak: the longest run of consecutive positive returns with its"
    ' compounded return, length and dates; mode "loss" gives the longest losing streak.'
    " Chosen by length, not size; of equally long streaks the latest.",
)


def _stat(name: str, better: Better, words: str, fmt: Fmt = "pct") -> Column:
    return Column(name, "float", better, words, fmt)


def _summary_columns(
    values: Matrix,
    dates: Optional[Dates],
    funds: Sequence[Hashable],
    *,
    periods_per_year: Optional[float],
    risk_free: float,
    types: object,
) -> Columns:
    """The statistics; with peer groups (types: as crossodds takes them), each ranked
    column's percentile rank within the fund's group and the group's size beside them."""
    cols = summary_columns(
        values, dates, funds, periods_per_year=periods_per_year, risk_free=risk_free
    )
    if types is None:
        return cols
    codes = types if isinstance(types, np.ndarray) else _panel.group_codes(types, funds, "types")
    return {**cols, **peer_ranks(cols, codes, {c.name: c.better for c in SUMMARY.columns})}


def _summary_command(choices: Mapping[str, Any]) -> list[tuple[str, dict[str, Any]]]:
    options = {k: choices[k] for k in ("periods_per_year", "risk_free") if k in choices}
    return [("", options)]  # the statistics under their own names


SUMMARY = Indicator(
    name="summary",
    kernel=_summary_columns,
    columns=(
        Column("periods", "int", None, "returns the fund has", "int"),
        _stat("total_return", "higher", "compounded return over all its periods"),
        _stat("cagr", "higher", "compound annual growth rate"),
        _stat("volatility", "lower", "annualised standard deviation of the returns"),
        _stat("sharpe", "higher", "annualised mean excess return over its volatility", "ratio"),
        _stat("sortino", "higher", "annualised mean excess return over its downside", "ratio"),
        _stat("max_drawdown", "higher", "deepest fall of the value below its running peak"),
        _date("max_drawdown_peak", "date of the peak the deepest fall is measured from"),
        _date("max_drawdown_trough", "date of the lowest value of the deepest fall"),
        _date("max_drawdown_recovery", "date the value regained that peak (- not yet)"),
        _stat("calmar", "higher", "cagr over the depth of the deepest fall", "ratio"),
        _stat("best", "higher", "best single return"),
        _stat("worst", "higher", "worst single return"),
        _stat("hit_rate", "higher", "share of positive returns"),
        _stat("skew", None, "sample skewness of the returns", "num"),
        _stat("kurtosis", None, "sample excess kurtosis of the returns", "num"),
        _stat("var_95", "higher", "5% quantile of the returns"),
        _stat("cvar_95", "higher", "mean of the returns at or below that quantile"),
        _stat("periods_per_year", None, "periods per year used to annualise", "num"),
    ),
    description=(
        "The classic statistics of each fund's returns: total and annual growth, volatility,"
        " Sharpe and Sortino ratios, the deepest drawdown with its dates and Calmar ratio,"
        " best and worst return, hit rate, skewness, kurtosis and the 5% value at risk with"
        " its tail mean, annualised by the periods per year (given, or told from the dates)."
    ),
    module="fundkernels._summary:summary",
    needs_dates=True,
    calendar="own",
    options=(
        Option("periods_per_year", None, check_periods),
        Option("risk_free", 0.0, check_risk_free),
        # Peer groups for the ranks (None: no ranks); the command ranks its whole table.
        Option("types", None, lambda types: types),
    ),
    exact=False,
    peers={"numpy": "bench.np_summary:peer", "numba": "bench.nb_peers:summary"},
    fuzz="fuzz.targets:SUMMARY",
    command=_summary_command,
)  # fmt: skip

# In the order of the command's table and the report.
INDICATORS: dict[str, Indicator] = {
    ind.name: ind
    for ind in (SUMMARY, TROUGHMEND, DRAWDOWN, CROSSODDS, HORIZONRET, EXTREMESET, STREAKSET)
}


# --- the command's view: indicators and their option sets as one wide table -------------


@dataclass(frozen=True)
class Output:
    """A column of the command's table: its name there and what it holds."""

    name: str
    indicator: str
    column: Column


@dataclass(frozen=True)
class Run:
    """One call of an indicator in the command: its options and the columns it gives."""

    indicator: str
    prefix: str
    options: dict[str, Any]
    outputs: tuple[Output, ...]

    def named(self, columns: Mapping[str, Any]) -> dict[str, Any]:
        """A result's columns under the command's names, dates as calendar days."""
        return {
            out.name: np.asarray(columns[out.column.name]).astype("datetime64[D]")
            if out.column.kind == "date"
            else columns[out.column.name]
            for out in self.outputs
        }


def command_runs(
    horizons: Sequence[str],
    types: object,
    periods_per_year: Optional[float] = None,
    risk_free: float = 0.0,
    check: bool = True,
) -> list[Run]:
    """Every indicator the command computes, as calls in the order of its table. Names:
    the prefix (the indicator, with its options where it runs more than once) alone for the
    headline column, else prefix_column: the statistics under their own names (an empty
    prefix), troughmend, troughmend_peak, ..., crossodds, horizonret_1Y_mean, ...,
    extremeset_gain_return, ..., streakset_loss_length, ... check=False leaves the options
    as given (a glossary may show a placeholder horizon)."""
    choices = {
        "horizons": list(horizons),
        "types": types,
        "periods_per_year": periods_per_year,
        "risk_free": risk_free,
    }
    runs = []
    for ind in INDICATORS.values():
        if ind.command is None:
            continue
        for prefix, options in ind.command(choices):
            words = {**options, **ind.vocabulary(options)}
            outputs = tuple(
                Output(
                    prefix
                    if col.name in (ind.headline, prefix)
                    else f"{prefix}_{col.name}"
                    if prefix
                    else col.name,
                    ind.name,
                    col.for_options(words),
                )
                for col in ind.columns
            )
            runs.append(Run(ind.name, prefix, ind.checked(options) if check else options, outputs))
    return runs


def command_columns(horizons: Sequence[str]) -> list[Output]:
    """The command's output columns with their metadata (for its --help and the report)."""
    runs = command_runs(horizons, types=_panel.ALL_FUNDS, check=False)
    return [out for run in runs for out in run.outputs]


def _names(ind: Indicator) -> tuple[str, ...]:
    return tuple(c.name for c in ind.columns)


# The result columns the front ends export by name.
HORIZON_COLUMNS = _names(HORIZONRET)
RUN_COLUMNS = _names(EXTREMESET)
DRAWDOWN_COLUMNS = _names(DRAWDOWN)
SUMMARY_COLUMNS = _names(SUMMARY)
