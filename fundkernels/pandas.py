"""The indicators on a pandas DataFrame of returns, with results labelled by fund.

Every function takes a DataFrame with one row per date and one column per fund: a
DatetimeIndex sorted in ascending order (the indicators follow the rows in that order),
unique fund labels as columns and numeric columns of simple returns as fractions (0.01 is
one percent; NaN where a fund has no return). The results are indexed by the frame's
columns, in column order.

Dates are passed to the modules as UTC: an index with a time zone is converted to UTC, a
naive index is taken as UTC already. A frame whose columns are all float64 is handed over
without a copy (``DataFrame.to_numpy()`` usually gives a Fortran-ordered view, which the
modules read in place); other numeric columns are converted to float64 once, with missing
values (``pd.NA``) as NaN.
"""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Hashable, Mapping
from typing import Any, Literal, Union, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from crossodds import crossodds as _crossodds
from extremeset import extremeset as _extremeset
from horizonret import horizonret as _horizonret
from streakset import streakset as _streakset
from troughmend import troughmend as _troughmend

from ._drawdown import drawdown as _drawdown

__all__ = [
    "troughmend",
    "crossodds",
    "horizonret",
    "extremeset",
    "streakset",
    "HORIZON_COLUMNS",
    "RUN_COLUMNS",
    "DRAWDOWN_COLUMNS",
]

Mode = Literal["gain", "loss"]
DateLike = Union[str, _dt.date, np.datetime64, pd.Timestamp]
# Per-fund window bounds: one date for every fund, or dates keyed by fund.
WindowBound = Union[DateLike, "pd.Series[pd.Timestamp]", Mapping[Hashable, DateLike], None]
TypeCodes = Union["pd.Series[int]", "pd.Series[str]", Mapping[Hashable, Hashable]]

# Columns of the horizonret result, in the order of the module's nine arrays. The bands
# are shares of the horizon returns x: gain_0_5 is 0 < x <= 5%, gain_5_10 is 5% < x <= 10%,
# gain_over_10 is x > 10%, loss_0_5 is -5% <= x <= 0 (a flat horizon counts here),
# loss_5_10 is -10% <= x < -5%, loss_over_10 is x < -10%.
HORIZON_COLUMNS = (
    "mean",
    "median",
    "win",
    "gain_0_5",
    "gain_5_10",
    "gain_over_10",
    "loss_0_5",
    "loss_5_10",
    "loss_over_10",
)
# Columns of the extremeset and streakset results.
RUN_COLUMNS = ("return", "length", "first", "last")
# Columns of troughmend(..., details=True): where each fund's longest drawdown lies.
DRAWDOWN_COLUMNS = ("length", "peak", "first", "last", "trough", "depth", "recovery")

_HORIZON = re.compile(r"(\d+)([MY])")
_MAX_MONTHS = 2**31 - 1


# --- checks and conversions shared with fundkernels.dask ---------------------------------


def _dates_ns(index: object) -> npt.NDArray[np.int64]:
    """The row dates as int64 nanoseconds since the epoch, UTC; checked to be sorted."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"returns must have a DatetimeIndex of dates, not {type(index).__name__}")
    if index.hasnans:
        raise ValueError("the date index holds NaT at row " + str(int(np.argmax(index.isna()))))
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    try:
        ns = np.asarray(index.as_unit("ns").asi8, dtype=np.int64)
    except pd.errors.OutOfBoundsDatetime as exc:
        raise ValueError(
            f"dates must lie between 1677 and 2262 to fit nanosecond timestamps: {exc}"
        ) from None
    if ns.size > 1:
        down = np.flatnonzero(ns[1:] < ns[:-1])
        if down.size:
            r = int(down[0]) + 1
            raise ValueError(
                f"the dates are not in ascending order: row {r} ({index[r]}) comes after "
                f"row {r - 1} ({index[r - 1]}); sort the rows first (DataFrame.sort_index())"
            )
    return ns


def _check_columns(columns: pd.Index, dtypes: pd.Series) -> None:
    """Unique fund labels and numeric (integer or float) columns."""
    if not columns.is_unique:
        dups = columns[columns.duplicated()].unique().tolist()
        raise ValueError(f"fund labels must be unique; duplicated: {dups[:10]}")
    if all(getattr(dtype, "kind", "O") in "iuf" for dtype in set(dtypes)):
        return
    bad = [
        (label, str(dtype))
        for label, dtype in zip(columns, dtypes)
        if getattr(dtype, "kind", "O") not in "iuf"
    ]
    if bad:
        shown = ", ".join(f"{label!r} ({dtype})" for label, dtype in bad[:10])
        raise TypeError(f"returns must be numeric columns; not numeric: {shown}")


def _all_float64(dtypes: pd.Series) -> bool:
    return all(isinstance(d, np.dtype) and d == np.float64 for d in set(dtypes))


def _values(returns: pd.DataFrame) -> npt.NDArray[np.float64]:
    """The frame's values as a float64 matrix, a view of the frame where the layout allows."""
    if returns.shape[1] == 0:
        return np.empty((returns.shape[0], 0))
    if _all_float64(returns.dtypes):
        return returns.to_numpy()
    return returns.to_numpy(dtype=np.float64, na_value=np.nan)


def _panel(returns: object) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], pd.Index]:
    """Checked values, dates and fund labels of a returns frame."""
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a pandas DataFrame, not {type(returns).__name__}")
    dates = _dates_ns(returns.index)
    _check_columns(returns.columns, returns.dtypes)
    return _values(returns), dates, returns.columns


def _group_codes(type_codes: object, funds: pd.Index) -> npt.NDArray[np.int32]:
    """Type codes aligned to the funds and numbered 0, 1, ... in order of first appearance.

    Any hashable labels serve as codes (numbers or names such as "industry"); funds with
    equal labels form one group. Renumbering leaves the groups, and so the results, as they
    are, and keeps float codes such as 1.0 and 1.7 apart.
    """
    if isinstance(type_codes, pd.Series):
        if not type_codes.index.is_unique:
            raise ValueError("type_codes must have unique fund labels")
        aligned = type_codes.reindex(funds)
    elif isinstance(type_codes, Mapping):
        aligned = pd.Series([type_codes.get(f) for f in funds], index=funds, dtype=object)
    else:
        raise TypeError(
            "type_codes must be a pandas Series or a mapping keyed by fund,"
            f" not {type(type_codes).__name__}"
        )
    missing = aligned.isna().to_numpy()
    if missing.any():
        raise ValueError(f"type_codes has no code for the funds {funds[missing].tolist()[:10]}")
    codes, _ = pd.factorize(aligned, sort=False)
    return codes.astype(np.int32)


def _horizon_code(horizon: object) -> str:
    """A horizon such as "3M" or "1Y", checked whole (the module would search inside text)."""
    if not isinstance(horizon, str):
        raise TypeError(f"horizon must be a str such as '3M' or '1Y', not {type(horizon).__name__}")
    match = _HORIZON.fullmatch(horizon)
    if match is None:
        raise ValueError(
            "horizon must be a whole number of months or years such as '3M' or '1Y',"
            f" not {horizon!r}"
        )
    months = int(match.group(1)) * (12 if match.group(2) == "Y" else 1)
    if months > _MAX_MONTHS:
        raise ValueError(f"horizon {horizon!r} is longer than {_MAX_MONTHS} months")
    return horizon


def _valid_window(
    values: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Per column, the first and last row holding a value (0 and -1 for an empty column)."""
    if values.shape[0] == 0:  # argmax has nothing to look at
        return np.zeros(values.shape[1], np.int64), np.full(values.shape[1], -1, np.int64)
    valid = ~np.isnan(values)
    any_valid = valid.any(axis=0)
    first = np.where(any_valid, valid.argmax(axis=0), 0)
    last = np.where(any_valid, values.shape[0] - 1 - valid[::-1].argmax(axis=0), -1)
    return first.astype(np.int64), last.astype(np.int64)


def _window_rows(
    bound: object,
    dates: npt.NDArray[np.int64],
    funds: pd.Index,
    default: npt.NDArray[np.int64],
    side: str,
) -> npt.NDArray[np.int64]:
    """Per fund the row of a window bound: the first row on or after a start date, the last
    row on or before an end date; None, a missing fund or NaT keep the fund's default row."""
    if bound is None:
        return default
    if isinstance(bound, pd.Series):
        if not bound.index.is_unique:
            raise ValueError(f"{side} must have unique fund labels")
        given = list(bound.reindex(funds))
    elif isinstance(bound, Mapping):
        given = [bound.get(f) for f in funds]
    else:
        given = [bound] * len(funds)
    try:
        when = pd.DatetimeIndex(pd.to_datetime(given, utc=True)).tz_localize(None).as_unit("ns")
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{side} must hold dates: {exc}") from None
    rows = np.searchsorted(dates, when.asi8, side="left" if side == "start" else "right")
    if side == "end":
        rows = rows - 1
    return np.where(when.isna(), default, rows).astype(np.int64)


def _text_dates(texts: list[str]) -> pd.DatetimeIndex:
    """Eight-digit date texts as dates, "nan" as NaT."""
    return pd.DatetimeIndex(pd.to_datetime(texts, format="%Y%m%d")).as_unit("ns")


def _run_frame(
    ret: npt.NDArray[np.float64],
    length: npt.NDArray[np.int64],
    first: list[str],
    last: list[str],
    funds: pd.Index,
) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "return": np.asarray(ret, dtype=np.float64),
            "length": np.asarray(length, dtype=np.int64),
            "first": _text_dates(first).to_numpy(),
            "last": _text_dates(last).to_numpy(),
        },
        index=funds,
    )


def _horizon_frame(parts: tuple[npt.NDArray[np.float64], ...], funds: pd.Index) -> pd.DataFrame:
    return pd.DataFrame(dict(zip(HORIZON_COLUMNS, parts)), index=funds)


def _row_dates(rows: npt.NDArray[np.int64], dates: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
    """Row numbers as the rows' dates (UTC, datetime64[ns]); -1 as NaT."""
    out = np.full(len(rows), np.datetime64("NaT", "ns"))
    have = rows >= 0
    out[have] = dates[rows[have]].view("datetime64[ns]")
    return out


def _drawdown_frame(
    values: npt.NDArray[np.float64], dates: npt.NDArray[np.int64], funds: pd.Index
) -> pd.DataFrame:
    length, peak, first, last, trough, depth, recovery = _drawdown(values)
    columns = (
        length,
        *(_row_dates(rows, dates) for rows in (peak, first, last, trough)),
        depth,
        _row_dates(recovery, dates),
    )
    return pd.DataFrame(dict(zip(DRAWDOWN_COLUMNS, columns)), index=funds)


def _check_details(details: object) -> None:
    if not isinstance(details, bool):
        raise TypeError(f"details must be True or False, not {details!r}")


def _check_mode(mode: object) -> None:
    if mode not in ("gain", "loss"):
        raise ValueError(f"mode must be 'gain' or 'loss', not {mode!r}")


def _extremeset_frame(
    values: npt.NDArray[np.float64], dates: npt.NDArray[np.int64], mode: str, funds: pd.Index
) -> pd.DataFrame:
    if mode == "gain":
        res = _extremeset(values, dates, "positive")
    else:
        # Inverted mode on the sizes of the losses compounds (1 - (-v)) = (1 + v) over runs
        # of losing rows: the deepest compounded fall.
        res = _extremeset(np.negative(values), dates, "loss")
    return _run_frame(res["r"], res["p"], res["s"], res["l"], funds)


def _streakset_frame(
    values: npt.NDArray[np.float64], dates: npt.NDArray[np.int64], mode: str, funds: pd.Index
) -> pd.DataFrame:
    if mode == "gain":
        ret, first, last, length = _streakset(values, dates, "positive")
    else:
        ret, first, last, length = _streakset(np.negative(values), dates, "loss")
    return _run_frame(ret, length, first, last, funds)


# --- the indicators --------------------------------------------------------------------


@overload
def troughmend(returns: pd.DataFrame, *, details: Literal[False] = ...) -> pd.Series[int]: ...
@overload
def troughmend(returns: pd.DataFrame, *, details: Literal[True]) -> pd.DataFrame: ...
@overload
def troughmend(
    returns: pd.DataFrame, *, details: bool = ...
) -> Union[pd.Series[int], pd.DataFrame]: ...


def troughmend(
    returns: pd.DataFrame, *, details: bool = False
) -> Union[pd.Series[int], pd.DataFrame]:
    """Longest drawdown per fund, in rows: the longest stretch of consecutive rows that the
    fund's compounded value (starting at 1.0, NaN returns skipped) spends below its running
    peak. A drawdown still open on the last row counts. Result: int64 Series by fund.

    details=True tells where that drawdown lies, as a DataFrame by fund with the columns of
    DRAWDOWN_COLUMNS: "length" (the Series above), "peak" (the date whose value set the
    peak it is measured from; NaT when that is the starting value 1.0), "first" and "last"
    (its first and last date; of equally long drawdowns the latest), "trough" (the date of
    its lowest value, the earliest of equal lows), "depth" (lowest value / peak - 1) and
    "recovery" (the date the value regained the peak; NaT while the drawdown is open).
    Dates are UTC; a fund without a drawdown has length 0, NaT dates and NaN depth.
    """
    _check_details(details)
    values, dates, funds = _panel(returns)
    if details:
        return _drawdown_frame(values, dates, funds)
    return pd.Series(_troughmend(values), index=funds, name="troughmend")


def crossodds(returns: pd.DataFrame, type_codes: TypeCodes) -> pd.Series[float]:
    """Persistence against the peer group per fund: on every date a fund is a winner when
    its value is at or above the median of its type group, a loser when below; the result
    is the number of repeated outcomes between consecutive flagged dates divided by the
    number of reversed ones (NaN when nothing reversed).

    type_codes gives each fund's group, as a Series or a mapping keyed by fund (extra
    keys are ignored); any hashable labels serve as codes. Result: float64 Series by fund.
    """
    values, _, funds = _panel(returns)
    codes = _group_codes(type_codes, funds)
    return pd.Series(_crossodds(codes, values), index=funds, name="crossodds")


def horizonret(
    returns: pd.DataFrame,
    horizon: str,
    start: WindowBound = None,
    end: WindowBound = None,
) -> pd.DataFrame:
    """Rolling calendar-horizon returns per fund: from every row to the row where its horizon
    ends (horizon "3M", "1Y", ...: whole calendar months or years, the day clamped to the
    target month's length), summarised in the columns of HORIZON_COLUMNS: mean, median,
    share of positive horizons ("win") and the shares in six return bands.

    start and end bound each fund's window: None (the default) is the fund's first and last
    row holding a value; a date applies to every fund; a Series or mapping keyed by fund
    gives dates per fund (funds left out, or NaT, keep the default). A start date selects
    the first row on or after it, an end date the last row on or before it.
    """
    values, dates, funds = _panel(returns)
    code = _horizon_code(horizon)
    first, last = _valid_window(values)
    start_rows = _window_rows(start, dates, funds, first, "start")
    end_rows = _window_rows(end, dates, funds, last, "end")
    return _horizon_frame(_horizonret(code, values, start_rows, end_rows, dates), funds)


def extremeset(returns: pd.DataFrame, mode: Mode = "gain") -> pd.DataFrame:
    """The most extreme compounded move over a run of consecutive rows per fund.

    mode "gain": the largest compounded rise over a run of positive returns; "loss": the
    deepest compounded fall over a run of negative returns (computed on the negated values,
    one copy of the panel). Columns: "return" (0.0 when the fund has no such run),
    "length" in rows (0), "first" and "last" dates of the run (UTC calendar days; NaT).
    """
    _check_mode(mode)
    values, dates, funds = _panel(returns)
    return _extremeset_frame(values, dates, mode, funds)


def streakset(returns: pd.DataFrame, mode: Mode = "gain") -> pd.DataFrame:
    """The longest run of consecutive positive (mode "gain") or negative (mode "loss")
    returns per fund, the latest of equally long runs. Columns: "return" compounded over the
    run (0.0 when the fund has no such run), "length" in rows (0), "first" and "last" dates
    of the run (UTC calendar days; NaT). The loss mode works on the negated values (one copy
    of the panel).
    """
    _check_mode(mode)
    values, dates, funds = _panel(returns)
    return _streakset_frame(values, dates, mode, funds)
