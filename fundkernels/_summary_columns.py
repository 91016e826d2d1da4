"""The summary statistics of every fund as named columns, for every front end.

``summary_columns`` runs the kernel ``fundkernels._summary`` over a checked panel and turns
its per-period figures into the columns a screen starts from, annualised with the periods
per year P (given, or told from the dates). Frame-free: the front ends label the columns
in their own library.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._errors import InputError, InputTypeError
from ._dates import row_dates
from ._summary import summary as _summary

# The usual periods per year of a spacing, and the longest median spacing, in days, that
# still counts as it: the bounds lie between neighbouring spacings (1, 7, 30.4, 91.3 and
# 365.25 days; business days are 1 apart on four days of five).
SPACINGS = ((4.0, 252), (20.0, 52), (60.0, 12), (200.0, 4), (500.0, 1))
_DAY_NS = 86_400 * 10**9

# The result's columns, in order. Ratios over a risk measure that came out exactly zero (no
# spread, no shortfall, no drawdown) are +inf or -inf by the sign of their numerator, NaN
# when that is zero or NaN too.
COLUMNS = (
    "periods",
    "total_return",
    "cagr",
    "volatility",
    "sharpe",
    "sortino",
    "max_drawdown",
    "max_drawdown_peak",
    "max_drawdown_trough",
    "max_drawdown_recovery",
    "calmar",
    "best",
    "worst",
    "hit_rate",
    "skew",
    "kurtosis",
    "var_95",
    "cvar_95",
    "periods_per_year",
)


def periods_from_dates(dates: npt.NDArray[np.int64]) -> float:
    """Periods per year told from the median spacing of the row dates (int64 nanoseconds):
    daily 252, weekly 52, monthly 12, quarterly 4, yearly 1; NaN for fewer than two dates."""
    if len(dates) < 2:
        return math.nan
    return periods_from_spacing(median_spacing(np.diff(dates)))


def median_spacing(diffs: npt.NDArray[np.int64]) -> float:
    """np.median of date differences, bit for bit (the mean of the middle two in float64),
    by a partition: np.median loads numpy.ma on its first call, 10 to 25 ms of a command's
    run. NaN for none."""
    n = diffs.size
    if n == 0:
        return math.nan
    half = n // 2
    if n % 2:
        return float(np.partition(diffs, half)[half])
    part = np.partition(diffs, (half - 1, half))
    return (float(part[half - 1]) + float(part[half])) / 2


def periods_from_spacing(spacing: float) -> float:
    """Periods per year of a median spacing of dates in nanoseconds (NaN: NaN)."""
    if math.isnan(spacing):
        return math.nan
    days = spacing / _DAY_NS
    if days >= 0.5:
        for most, periods in SPACINGS:
            if days < most:
                return float(periods)
    raise InputError(
        f"the periods per year cannot be told from dates whose median spacing is {days:g} "
        "days (daily, weekly, monthly, quarterly and yearly data can be): give "
        "periods_per_year"
    )


def check_periods(periods_per_year: object) -> Optional[float]:
    """periods_per_year as given: None (tell it from the dates) or a positive number."""
    if periods_per_year is None:
        return None
    if isinstance(periods_per_year, (bool, np.bool_)) or not isinstance(
        periods_per_year, (int, float, np.integer, np.floating)
    ):
        raise InputTypeError(
            f"periods_per_year must be a number such as 12 or 252, not {periods_per_year!r}"
        )
    p = float(periods_per_year)
    if not (math.isfinite(p) and p > 0):
        raise InputError(f"periods_per_year must be a positive number, not {periods_per_year!r}")
    return p


def check_risk_free(risk_free: object) -> float:
    """The annual risk-free rate, a fraction above -1 (0.03 is three percent)."""
    if isinstance(risk_free, (bool, np.bool_)) or not isinstance(
        risk_free, (int, float, np.integer, np.floating)
    ):
        raise InputTypeError(f"risk_free must be an annual rate such as 0.03, not {risk_free!r}")
    rf = float(risk_free)
    if not (math.isfinite(rf) and rf > -1.0):
        raise InputError(
            f"risk_free must be an annual rate above -1 such as 0.03, not {risk_free!r}"
        )
    return rf


def _ratio(num: npt.NDArray[np.float64], den: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(num / den, dtype=np.float64)


def summary_columns(
    values: npt.NDArray[np.float64],
    dates: Optional[npt.NDArray[np.int64]],
    funds: Sequence[Hashable],
    *,
    periods_per_year: object = None,
    risk_free: object = 0.0,
) -> dict[str, npt.NDArray[Any]]:
    """Every fund's summary over its valid returns r_1 .. r_n (see COLUMNS), P periods per
    year and the risk-free return per period f = (1 + risk_free) ** (1 / P) - 1:

    periods n; total_return prod(1 + r) - 1; cagr prod(1 + r) ** (P / n) - 1; volatility
    the sample standard deviation (n - 1) times sqrt(P); sharpe mean(r - f) / std(r) *
    sqrt(P); sortino mean(r - f) / sqrt(mean(min(r - f, 0) ** 2)) * sqrt(P); max_drawdown
    the lowest value / running peak - 1 of the value compounded from 1.0, and its peak,
    trough and recovery dates (NaT for the starting value as peak, or no recovery yet; all
    NaT and a depth of 0 when the value never fell below its peak); calmar cagr /
    abs(max_drawdown); best and worst r; hit_rate the share of r > 0; skew and kurtosis
    the bias-corrected sample skewness and excess kurtosis; var_95 the 5% quantile of r
    (linear interpolation) and cvar_95 the mean of the r at or below it;
    periods_per_year the P used.

    A statistic that needs more values than the fund has is NaN (volatility and sharpe
    two, skew three, kurtosis four, everything else one), as is skew or kurtosis without
    any spread. A ratio over a risk measure that is exactly zero is +inf or -inf by the
    sign of its numerator (constant returns above the risk-free rate, no return below it,
    no drawdown while growing), NaN when the numerator is zero as well.
    """
    given = check_periods(periods_per_year)
    rf = check_risk_free(risk_free)
    if given is not None:
        p = given
    elif values.shape[1] == 0 or dates is None:  # no fund to annualise
        p = math.nan
    else:
        p = periods_from_dates(dates)
    return summary_at(values, dates, p, rf)


def summary_at(
    values: npt.NDArray[np.float64],
    dates: Optional[npt.NDArray[np.int64]],
    p: float,
    rf: float,
) -> dict[str, npt.NDArray[Any]]:
    """summary_columns for P = p periods per year (NaN: none to annualise by) and the
    checked annual risk-free rate rf."""
    f = (1.0 + rf) ** (1.0 / p) - 1.0 if math.isfinite(p) else 0.0
    (
        n,
        value,
        mean,
        std,
        skew,
        kurt,
        downside,
        best,
        worst,
        hits,
        depth,
        peak,
        trough,
        recovery,
        var,
        cvar,
    ) = _summary(values, f)
    nf = n.astype(np.float64)
    root = math.sqrt(p)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        cagr = np.power(value, p / nf) - 1.0
    excess = mean - f
    if dates is None:
        dates = np.empty(0, np.int64)
    return {
        "periods": n,
        "total_return": value - 1.0,
        "cagr": cagr,
        "volatility": std * root,
        "sharpe": _ratio(excess, std) * root,
        "sortino": _ratio(excess, downside) * root,
        "max_drawdown": depth,
        "max_drawdown_peak": row_dates(peak, dates),
        "max_drawdown_trough": row_dates(trough, dates),
        "max_drawdown_recovery": row_dates(recovery, dates),
        "calmar": _ratio(cagr, np.abs(depth)),
        "best": best,
        "worst": worst,
        "hit_rate": _ratio(hits.astype(np.float64), nf),
        "skew": skew,
        "kurtosis": kurt,
        "var_95": var,
        "cvar_95": cvar,
        "periods_per_year": np.full(len(n), p),
    }
