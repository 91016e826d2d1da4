"""The indicators on any eager data frame: pandas, polars, pyarrow and the others that
narwhals supports, with results in the caller's library.

Two layouts are read:

- wide (``fund=None``, the default): a date column (``date=``, default ``"date"``) and one
  numeric column per fund, the rows in ascending order of date;
- long (``fund=`` and ``value=`` name columns): one row per fund and date, in any order; a
  (fund, date) pair may occur once, and the dates a fund lacks are missing values for it.

Dates are datetime columns of any unit and time zone (taken to UTC; naive ones are UTC
already) or date columns. Values are returns as fractions, or net asset values (or prices)
with ``navs=True``: a fund's return on a row is then its NAV there over its previous valid
NAV, minus 1.

Each function gives a frame of the caller's library with one row per fund, in order of
first appearance (column order for a wide table): a ``fund`` column, then the indicator's
columns as ``fundkernels.pandas`` names them. Run dates (``first``, ``last``) are dates
(pandas: datetime64[ns], as in ``fundkernels.pandas``). The values are gathered once into
the float64 matrix the modules read (a wide table column by column, a long table by one
scatter); nothing else of the size of the panel is copied.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Optional, Union

import narwhals as nw
import numpy as np
import numpy.typing as npt
from narwhals.typing import IntoDataFrameT

from . import _core
from ._core import DRAWDOWN_COLUMNS, HORIZON_COLUMNS, RUN_COLUMNS

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
DateLike = Union[str, _dt.date, np.datetime64]
WindowBound = Union[DateLike, Mapping[Any, DateLike], None]
# Type codes: a mapping fund -> code, or a frame whose first two columns are fund and code.
Types = Union[Mapping[Any, Hashable], Any, None]


@dataclass
class _Panel:
    values: npt.NDArray[np.float64]  # dates x funds, owned here: NAVs convert in place
    dates: npt.NDArray[np.int64]
    funds: list[Any]
    fund_column: nw.Series[Any]  # the funds in the caller's library, named "fund"
    frame: nw.DataFrame[Any]
    fund: Optional[str]


def _frame(data: object) -> nw.DataFrame[Any]:
    try:
        return nw.from_native(data, eager_only=True)
    except TypeError:
        raise TypeError(
            "data must be a data frame (pandas, polars, pyarrow or another eager frame that"
            f" narwhals supports), not {type(data).__name__}"
        ) from None


def _column(frame: nw.DataFrame[Any], name: object, role: str) -> nw.Series[Any]:
    if not isinstance(name, str):
        raise TypeError(f"{role}= must be a column name (str), not {type(name).__name__}")
    if name not in frame.columns:
        shown = frame.columns[:10]
        hint = ""
        if role == "date" and type(frame.to_native()).__name__ == "DataFrame":
            index = getattr(frame.to_native(), "index", None)
            if type(index).__name__ == "DatetimeIndex":
                hint = "; the dates are the frame's index: use .reset_index() or fundkernels.pandas"
        raise ValueError(f"no {role} column {name!r}; the columns are {shown}{hint}")
    return frame[name]


def _dates(series: nw.Series[Any], name: str) -> npt.NDArray[np.int64]:
    where = f"the date column {name!r}"
    # Zoned datetimes are instants: NumPy receives them in UTC.
    values = np.asarray(series.to_numpy())
    native = series.to_native()
    if values.dtype == object and getattr(getattr(native, "dtype", None), "tz", None):
        # A zoned pandas column whose zone narwhals does not parse (such as
        # "America/New_York") comes out as Timestamps: convert it in pandas.
        values = np.asarray(native.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
    if values.dtype.kind != "M":
        raise TypeError(f"{where} must hold dates or datetimes, not {series.dtype}")
    return _core.datetimes_ns(values, where)


def _numeric(series: nw.Series[Any]) -> npt.NDArray[Any]:
    """A numeric column as NumPy numbers, missing values as NaN."""
    dtype = series.dtype
    if not (dtype.is_float() or dtype.is_integer()):
        series = series.cast(nw.Float64)
    out = np.asarray(series.to_numpy())
    if out.dtype.kind not in "iuf":
        out = np.asarray(series.cast(nw.Float64).to_numpy(), dtype=np.float64)
    return out


def _wide(frame: nw.DataFrame[Any], date: str) -> _Panel:
    dates = _dates(_column(frame, date, "date"), date)
    _core.check_ascending(
        dates, lambda r: _core.date_text(int(dates[r])), "sort the rows by date first"
    )
    funds = [c for c in frame.columns if c != date]
    _core.unique_labels(funds)
    schema = frame.schema
    bad = [f"{f!r} ({schema[f]})" for f in funds if not schema[f].is_numeric()]
    if bad:
        raise TypeError(f"returns must be numeric columns; not numeric: {', '.join(bad[:10])}")
    # The one gather: each column straight into its place in a column-major matrix.
    values = np.empty((len(dates), len(funds)), order="F")
    for j, f in enumerate(funds):
        values[:, j] = _numeric(frame[f])
    fund_column = nw.new_series("fund", funds, nw.String(), backend=frame.implementation)
    return _Panel(values, dates, funds, fund_column, frame, None)


def _long(frame: nw.DataFrame[Any], date: str, fund: str, value: Optional[str]) -> _Panel:
    if value is None:
        raise TypeError("a long table needs value= as well as fund=: the column of the values")
    fund_rows = _column(frame, fund, "fund")
    value_rows = _column(frame, value, "value")
    row_ns = _dates(_column(frame, date, "date"), date)
    if not value_rows.dtype.is_numeric():
        raise TypeError(f"the value column {value!r} must be numeric, not {value_rows.dtype}")
    nulls = fund_rows.is_null()
    if nulls.any():
        raise ValueError(f"the fund column {fund!r} holds a missing fund at row {_first(nulls)}")
    fund_column = fund_rows.unique(maintain_order=True).alias("fund")
    funds = fund_column.to_list()
    if not funds:  # no rows: replace_strict has nothing to map
        col = np.empty(0, np.int64)
    else:
        to_col = fund_rows.replace_strict(funds, list(range(len(funds))), return_dtype=nw.Int64())
        col = np.asarray(to_col.to_numpy())
    dates, row = np.unique(row_ns, return_inverse=True)
    # Position of every row's value in a column-major (dates x funds) matrix.
    rows = len(dates)
    flat = col * rows + row.reshape(-1)
    seen = np.zeros(rows * len(funds), dtype=bool)
    seen[flat] = True
    if np.count_nonzero(seen) != len(flat):
        order = np.argsort(flat, kind="stable")
        twice = int(np.flatnonzero(flat[order][1:] == flat[order][:-1])[0])
        first, second = int(order[twice]), int(order[twice + 1])
        raise ValueError(
            f"fund {funds[int(col[first])]!r} has two rows for "
            f"{_core.date_text(int(row_ns[first]))} (rows {first} and {second})"
        )
    del seen
    values = np.full(rows * len(funds), np.nan)
    values[flat] = _numeric(value_rows)  # the one scatter
    matrix = values.reshape(len(funds), rows).T  # column-major view, no copy
    return _Panel(matrix, dates, funds, fund_column, frame, fund)


def _first(mask: nw.Series[Any]) -> int:
    return int(np.argmax(np.asarray(mask.to_numpy())))


def _panel(data: object, date: object, fund: object, value: object) -> _Panel:
    frame = _frame(data)
    if not isinstance(date, str):
        raise TypeError(f"date= must be a column name (str), not {type(date).__name__}")
    if fund is None:
        if value is not None:
            raise TypeError("value= names the value column of a long table: give fund= too")
        return _wide(frame, date)
    if not isinstance(fund, str) or not (value is None or isinstance(value, str)):
        raise TypeError("fund= and value= must be column names (str)")
    return _long(frame, date, fund, value)


def _types(types: Types, type: Optional[str], panel: _Panel) -> object:
    """Each fund's type code, from a mapping, a (fund, type) frame or a column of the long
    table; without any, one group of all funds."""
    if types is not None and type is not None:
        raise TypeError("give the type codes once: types= or type=, not both")
    if type is not None:
        if panel.fund is None:
            raise TypeError(
                "type= names a column of a long table; for a wide table give types= as a"
                " mapping or a (fund, type) frame"
            )
        _column(panel.frame, type, "type")
        pairs = panel.frame.select(panel.fund, type).unique(maintain_order=True)
        return _pairs(
            pairs[panel.fund].to_list(), pairs[type].to_list(), f"the type column {type!r}"
        )
    if types is None:
        return {f: 0 for f in panel.funds}
    if isinstance(types, Mapping) or _core.is_pandas_series(types):
        return types
    try:
        table = nw.from_native(types, eager_only=True)
    except TypeError:
        raise TypeError(
            "types must be a mapping keyed by fund or a two-column (fund, type) frame,"
            f" not {_type_name(types)}"
        ) from None
    if len(table.columns) != 2:
        raise ValueError(f"a types frame has two columns, fund and type, not {table.columns}")
    return _pairs(table[table.columns[0]].to_list(), table[table.columns[1]].to_list(), "types")


def _type_name(obj: object) -> str:
    return type(obj).__name__


def _pairs(funds: Sequence[Any], codes: Sequence[Any], where: str) -> dict[Any, Hashable]:
    out: dict[Any, Hashable] = {}
    for f, c in zip(funds, codes):
        if f in out and out[f] != c:
            raise ValueError(f"{where} gives the fund {f!r} two types: {out[f]!r} and {c!r}")
        out[f] = c
    return out


def _call(
    name: str,
    data: IntoDataFrameT,
    date: object,
    fund: object,
    value: object,
    navs: object,
    **options: Any,
) -> IntoDataFrameT:
    navs = _core.check_navs(navs)
    panel = _panel(data, date, fund, value)
    if "types" in options:
        given = _types(options.pop("types"), options.pop("type"), panel)
        options["codes"] = _core.group_codes(given, panel.funds, "types")
    columns = _core.compute(
        name, panel.values, panel.dates, panel.funds, navs=navs, owned=True, **options
    )
    return _result(panel, columns).to_native()  # type: ignore[no-any-return]


def _result(panel: _Panel, columns: _core.Columns) -> nw.DataFrame[Any]:
    backend = panel.frame.implementation
    out = []
    for label, data in columns.items():
        series = nw.new_series(label, data, backend=backend)
        if data.dtype.kind == "M" and backend is not nw.Implementation.PANDAS:
            series = series.cast(nw.Date())
        out.append(series)
    return panel.fund_column.to_frame().with_columns(*out)


# --- the indicators --------------------------------------------------------------------


def troughmend(
    data: IntoDataFrameT,
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    navs: bool = False,
    details: bool = False,
) -> IntoDataFrameT:
    """Longest drawdown per fund in rows (columns ``fund``, ``troughmend``): the longest
    stretch of consecutive rows the compounded value spends below its running peak.

    details=True: where it lies, as ``fundkernels.pandas.troughmend(..., details=True)``
    names it: ``fund`` and the columns of DRAWDOWN_COLUMNS (``length``, then ``peak``,
    ``first``, ``last``, ``trough`` as dates, ``depth``, ``recovery`` as a date)."""
    return _call(_core.troughmend_kind(details), data, date, fund, value, navs)


def crossodds(
    data: IntoDataFrameT,
    types: Types = None,
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    type: Optional[str] = None,
    navs: bool = False,
) -> IntoDataFrameT:
    """Persistence against the peer group per fund (columns ``fund``, ``crossodds``).

    The groups: ``types`` as a mapping fund -> code or a two-column (fund, type) frame, or
    ``type=`` a column of the long table; with neither, all funds form one group."""
    return _call("crossodds", data, date, fund, value, navs, types=types, type=type)


def horizonret(
    data: IntoDataFrameT,
    horizon: str,
    *,
    start: WindowBound = None,
    end: WindowBound = None,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    navs: bool = False,
) -> IntoDataFrameT:
    """Rolling calendar-horizon statistics per fund: ``fund`` and the columns of
    HORIZON_COLUMNS. start and end: one date for every fund or a mapping of dates by fund;
    by default each fund's first and last row holding a value."""
    return _call(
        "horizonret",
        data,
        date,
        fund,
        value,
        navs,
        horizon=_core.horizon_code(horizon),
        start=_core.window_bound(start, "start"),
        end=_core.window_bound(end, "end"),
    )


def extremeset(
    data: IntoDataFrameT,
    mode: Mode = "gain",
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    navs: bool = False,
) -> IntoDataFrameT:
    """The most extreme compounded move over a run per fund ("gain": a run of positive
    returns, "loss": of negative ones): ``fund``, ``return``, ``length``, ``first``,
    ``last``."""
    return _call("extremeset", data, date, fund, value, navs, mode=_core.check_mode(mode))


def streakset(
    data: IntoDataFrameT,
    mode: Mode = "gain",
    *,
    date: str = "date",
    fund: Optional[str] = None,
    value: Optional[str] = None,
    navs: bool = False,
) -> IntoDataFrameT:
    """The longest run of positive ("gain") or negative ("loss") returns per fund:
    ``fund``, ``return``, ``length``, ``first``, ``last``."""
    return _call("streakset", data, date, fund, value, navs, mode=_core.check_mode(mode))
