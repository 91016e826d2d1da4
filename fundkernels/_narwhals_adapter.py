"""Data frames of any library in and out, through narwhals' stable API: a wide or long
table read into a panel (``read_table``, giving a ``Table``), the type codes a table gives
(``table_types``) and a result as a frame of the caller's library (``Table.result``).
Used by ``fundkernels.frames`` and the command; narwhals is imported with this module.
"""

from __future__ import annotations

import functools
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional

import narwhals.stable.v2 as nw
import numpy as np
import numpy.typing as npt
from narwhals.stable.v2.dependencies import is_pandas_dataframe

from ._arrow_numpy import PLAIN as ARROW_PLAIN
from ._arrow_numpy import arrow_matrix, timestamps
from ._errors import InputError, InputTypeError
from ._gather import arrow as _pyarrow
from ._gather import gather as gather_long
from ._dates import check_ascending, date_text, datetimes_ns
from ._panel import ALL_FUNDS, Columns, Dates, Matrix, is_pandas_series, unique_labels


@dataclass
class Table:
    """A panel read from a data frame: the values (dates x funds; NAVs may convert in
    place when they are owned here), the dates, the funds in order, the funds as a column of
    the caller's library named "fund" (of this type, made with the result: the command has
    no use for it), the frame read and its fund column (None: wide)."""

    values: Matrix
    dates: Dates
    funds: list[Any]
    fund_type: Any
    frame: Optional[nw.DataFrame[Any]]  # None: a wide pandas table read by pandas alone
    fund: Optional[str]
    owned: bool  # whether the values are a matrix of our own (not a view of the frame)
    fund_labels: Any = None  # a pandas table's own Index of the funds, when read by pandas

    def result(self, columns: Columns) -> nw.DataFrame[Any]:
        """A result as a frame of the caller's library: the fund column, then the
        result's columns; dates as dates (pandas: datetime64[ns], as its front end gives)."""
        if self.frame is None or self.frame.implementation is nw.Implementation.PANDAS:
            # One frame of the columns as they are: narwhals would build a series of each
            # and align them one by one, a fifth of a millisecond apiece.
            import pandas as pd

            if self.fund_labels is not None:  # no label by label conversion
                funds = pd.Series(self.fund_labels, name="fund", dtype=_pandas_text())
            else:
                funds = nw.new_series(
                    "fund", self.funds, self.fund_type, backend=nw.Implementation.PANDAS
                ).to_native()
            return nw.from_native(pd.DataFrame({"fund": funds, **columns}), eager_only=True)
        backend = self.frame.implementation
        out = []
        for label, data in columns.items():
            series = nw.new_series(label, data, backend=backend)
            if data.dtype.kind == "M" and backend is not nw.Implementation.PANDAS:
                series = series.cast(nw.Date())
            out.append(series)
        funds = nw.new_series("fund", self.funds, self.fund_type, backend=backend)
        return funds.to_frame().with_columns(*out)


def _eager_frame(data: object) -> nw.DataFrame[Any]:
    if is_pandas_dataframe(data):
        import pandas as pd

        if isinstance(data.columns.dtype, pd.StringDtype):
            # Column labels of pandas' text dtype as Python objects, on a shallow copy (the
            # values are shared, not copied): narwhals checks that they are unique by
            # iterating over them, a microsecond per label of text, a millisecond per 1000.
            data = data.set_axis(data.columns.astype(object), axis=1)
    try:
        return nw.from_native(data, eager_only=True)
    except TypeError:
        raise InputTypeError(
            "data must be a data frame (pandas, polars, pyarrow or another eager frame that"
            f" narwhals supports), not {type(data).__name__}"
        ) from None


def _column(
    frame: nw.DataFrame[Any], name: object, role: str, names: Optional[list[str]] = None
) -> nw.Series[Any]:
    """The column of a role (names: the frame's columns, when the caller has them)."""
    if not isinstance(name, str):
        raise InputTypeError(f"{role}= must be a column name (str), not {type(name).__name__}")
    names = frame.columns if names is None else names
    if name not in names:
        shown = names[:10]
        hint = ""
        native = frame.to_native()
        if role == "date" and is_pandas_dataframe(native):
            import pandas as pd

            if isinstance(native.index, pd.DatetimeIndex):
                hint = "; the dates are the frame's index: use .reset_index() or fundkernels.pandas"
        raise InputError(f"no {role} column {name!r}; the columns are {shown}{hint}")
    return frame[name]


def _date_column_ns(series: nw.Series[Any], name: str) -> npt.NDArray[np.int64]:
    where = f"the date column {name!r}"
    native = series.to_native()
    if series.implementation is nw.Implementation.PYARROW:
        # Without pyarrow's conversion through its pandas layer.
        stamps = timestamps(native, _pyarrow())
        if stamps is not None:
            return datetimes_ns(stamps, where)
    # Zoned datetimes are instants: NumPy receives them in UTC.
    values = np.asarray(series.to_numpy())
    if values.dtype == object and getattr(getattr(native, "dtype", None), "tz", None):
        # A zoned pandas column whose zone narwhals does not parse (such as
        # "America/New_York") comes out as Timestamps: convert it in pandas.
        values = np.asarray(native.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
    if values.dtype.kind != "M":
        raise InputTypeError(f"{where} must hold dates or datetimes, not {series.dtype}")
    return datetimes_ns(values, where)


def _numeric(series: nw.Series[Any]) -> npt.NDArray[Any]:
    """A numeric column as NumPy numbers, missing values as NaN."""
    dtype = series.dtype
    if not (dtype.is_float() or dtype.is_integer()):
        series = series.cast(nw.Float64)
    out = np.asarray(series.to_numpy())
    if out.dtype.kind not in "iuf":
        out = np.asarray(series.cast(nw.Float64).to_numpy(), dtype=np.float64)
    return out


def _wide(frame: nw.DataFrame[Any], date: str) -> Table:
    names = frame.columns  # once: a pyarrow table builds the list anew on each call
    dates = _date_column_ns(_column(frame, date, "date", names), date)
    check_ascending(dates, lambda r: date_text(int(dates[r])), "sort the rows by date first")
    funds = [c for c in names if c != date]
    unique_labels(funds)
    plain = _plain_numbers(frame, date)
    if not plain:
        schema = frame.schema
        bad = [f"{f!r} ({schema[f]})" for f in funds if not schema[f].is_numeric()]
        if bad:
            raise InputTypeError(
                f"data must have numeric columns; not numeric: {', '.join(bad[:10])}"
            )
        plain = all(schema[f].is_float() or schema[f].is_integer() for f in funds)
    values = _gather(frame, date, funds, len(dates), plain)
    return Table(values, dates, funds, nw.String(), frame, None, owned=values.flags.owndata)


def _pandas_wide(data: object, date: object) -> Optional[Table]:
    """A pandas wide table of integer and float fund columns labelled by unique text, read
    by pandas alone: narwhals checks and converts each of a few thousand labels in Python,
    about a millisecond per 1000 funds, as long as an indicator on 2520 dates of them takes.
    None for anything else: the general route reads it, and words its errors."""
    if not is_pandas_dataframe(data) or not isinstance(date, str):
        return None
    import pandas as pd

    labels = data.columns
    text = isinstance(labels.dtype, pd.StringDtype) or (
        labels.dtype == object and pd.api.types.infer_dtype(labels, skipna=False) == "string"
    )
    if not text or not labels.is_unique or date not in labels:
        return None
    at = labels.get_loc(date)
    assert isinstance(at, int)  # unique labels: one position
    if not _pandas_plain(data, at):
        return None
    dates = _date_column_ns(nw.from_native(data.iloc[:, at], series_only=True), date)
    check_ascending(dates, lambda r: date_text(int(dates[r])), "sort the rows by date first")
    names = labels.delete(at)
    values = np.asarray(_pandas_matrix(data, date, at), dtype=np.float64)
    return Table(
        values, dates, names.tolist(), nw.String(), None, None, values.flags.owndata, names
    )


@functools.cache
def _pandas_text() -> Any:
    """The pandas dtype narwhals gives a column of text."""
    return (
        nw.new_series("fund", [], nw.String(), backend=nw.Implementation.PANDAS).to_native().dtype
    )


def _pandas_plain(native: Any, at: int) -> bool:
    """Whether every column of a pandas frame but the one at `at` (the date) is of NumPy's
    integer and float types, told from the dtypes at once (iterating over a pandas index of
    text costs a microsecond a label)."""
    plain = _PLAIN[nw.Implementation.PANDAS]
    dtypes = np.delete(native.dtypes.to_numpy(), at)
    return all(isinstance(t, np.dtype) and t.name in plain for t in set(dtypes.tolist()))


def _pandas_matrix(native: Any, date: str, at: int) -> npt.NDArray[Any]:
    """A pandas frame's columns but the date as one NumPy matrix: no copy where the values
    share one block. A date column at either end is sliced off (dropping it by name looks up
    every label)."""
    if at == 0:
        return np.asarray(native.iloc[:, 1:].to_numpy())
    if at == native.shape[1] - 1:
        return np.asarray(native.iloc[:, :-1].to_numpy())
    return np.asarray(native.drop(columns=date).to_numpy())


# The integer and float types of each library's own columns (by name), which narwhals takes
# as integers and floats and the library gives to NumPy as numbers.
_PLAIN = {
    nw.Implementation.PANDAS: frozenset(
        f"{k}{b}" for k in ("int", "uint") for b in (8, 16, 32, 64)
    ).union({"float32", "float64"}),
    nw.Implementation.POLARS: frozenset(
        f"{k}{b}" for k in ("Int", "UInt") for b in (8, 16, 32, 64)
    ).union({"Float32", "Float64"}),
    nw.Implementation.PYARROW: ARROW_PLAIN,
}


def _plain_numbers(frame: nw.DataFrame[Any], date: str) -> bool:
    """Whether every column but the date is an integer or float column of NumPy's (pandas),
    polars' or Arrow's own types, told from the library's dtypes at once: narwhals' schema
    converts them one column at a time, milliseconds on a frame of a few thousand funds.
    False when it cannot tell (another library, other types): the schema decides then."""
    plain = _PLAIN.get(frame.implementation)
    if plain is None:
        return False
    native = frame.to_native()
    if frame.implementation is nw.Implementation.PANDAS:
        return _pandas_plain(native, int(native.columns.get_indexer([date])[0]))
    if frame.implementation is nw.Implementation.POLARS:
        # By class: a polars schema and a set of its dtypes build and hash each one in
        # Python, milliseconds for a few thousand funds; each plain dtype has no parameter.
        dtypes = native.dtypes
        del dtypes[native.get_column_index(date)]
        return all(t.__name__ in plain for t in {type(t) for t in dtypes})
    types = native.schema.types  # without the names: each is a new Python string
    del types[native.schema.get_field_index(date)]
    return all(str(t) in plain for t in set(types))


def _gather(
    frame: nw.DataFrame[Any], date: str, funds: list[Any], rows: int, plain: bool
) -> Matrix:
    """The fund columns of a wide frame as one float64 matrix, missing values as NaN, made
    by the frame's library in one pass where it can (a view of a pandas frame of float64
    columns, a column-major copy for polars, Arrow's columns copied one by one into a
    column-major matrix), else column by column. plain: every fund column is a float or an
    integer column."""
    if not funds:
        return np.empty((rows, 0), order="F")
    if plain:
        values = _plain_matrix(frame, date, funds)
        if values.dtype.kind in "iuf":
            return np.asarray(values, dtype=np.float64)
    out = np.empty((rows, len(funds)), order="F")
    for j, c in enumerate(funds):
        column = frame[c]
        if not (column.dtype.is_float() or column.dtype.is_integer()):
            column = column.cast(nw.Float64())
        out[:, j] = _numeric(column)
    return out


def _plain_matrix(frame: nw.DataFrame[Any], date: str, funds: list[Any]) -> npt.NDArray[Any]:
    """The fund columns of integers and floats as a NumPy matrix, by the library itself."""
    native = frame.to_native()
    if frame.implementation is nw.Implementation.PANDAS:
        return _pandas_matrix(native, date, int(native.columns.get_indexer([date])[0]))
    if frame.implementation is nw.Implementation.POLARS:
        return np.asarray(native.drop(date).to_numpy())
    if frame.implementation is nw.Implementation.PYARROW:
        return arrow_matrix(native.select(funds), _pyarrow())
    return np.asarray(frame.select(funds).to_numpy())


def _long(frame: nw.DataFrame[Any], date: str, fund: str, value: Optional[str]) -> Table:
    if value is None:
        raise InputTypeError("a long table needs value= as well as fund=: the column of the values")
    fund_rows = _column(frame, fund, "fund")
    value_rows = _column(frame, value, "value")
    date_rows = _column(frame, date, "date")
    if not value_rows.dtype.is_numeric():
        raise InputTypeError(f"the value column {value!r} must be numeric, not {value_rows.dtype}")
    if frame.implementation is nw.Implementation.PYARROW:
        # Arrow columns as they are: the gather reads their chunks in place.
        columns = (fund_rows.to_native(), date_rows.to_native(), value_rows.to_native())
    else:
        labels = fund_rows.to_arrow() if _pyarrow() is not None else fund_rows.to_numpy()
        columns = (labels, _date_column_ns(date_rows, date), _numeric(value_rows))
    got = gather_long(*columns, fund_column=fund, date_column=date)
    return Table(got.values, got.dates, got.funds, fund_rows.dtype, frame, fund, owned=True)


def read_table(
    data: object,
    date: object,
    fund: object,
    value: object,
    *,
    funds: object = None,
    exclude: object = None,
    date_format: object = None,
) -> Table:
    """A wide or long data frame read into a panel (see fundkernels.frames). funds= and
    exclude= choose a wide table's fund columns; date_format= reads a date column of text."""
    if fund is None and value is None and funds is None and exclude is None and date_format is None:
        table = _pandas_wide(data, date)
        if table is not None:
            return table
    frame = _eager_frame(data)
    if not isinstance(date, str):
        raise InputTypeError(f"date= must be a column name (str), not {type(date).__name__}")
    if date_format is not None:
        frame = _text_dates(frame, date, date_format)
    if fund is None:
        if value is not None:
            raise InputTypeError("value= names the value column of a long table: give fund= too")
        return _wide(_chosen(frame, date, funds, exclude), date)
    if funds is not None or exclude is not None:
        raise InputTypeError("funds= and exclude= choose the columns of a wide table, not fund=")
    if not isinstance(fund, str) or not (value is None or isinstance(value, str)):
        raise InputTypeError("fund= and value= must be column names (str)")
    return _long(frame, date, fund, value)


def _names(given: object, role: str) -> list[str]:
    if isinstance(given, str) or not isinstance(given, Sequence):
        raise InputTypeError(f"{role}= must be a list of column names, not {given!r}")
    return [str(n) for n in given]


def _chosen(
    frame: nw.DataFrame[Any], date: str, funds: object, exclude: object
) -> nw.DataFrame[Any]:
    """A wide table's columns as funds= (these, in this order) or exclude= (all but these)
    choose them."""
    if funds is None and exclude is None:
        return frame
    if funds is not None and exclude is not None:
        raise InputTypeError("give funds= or exclude=, not both")
    role = "funds" if funds is not None else "exclude"
    names = _names(funds if funds is not None else exclude, role)
    unknown = [n for n in names if n not in frame.columns]
    if unknown:
        raise InputError(
            f"{role}= names {unknown[0]!r}, which is no column; the columns are"
            f" {frame.columns[:10]}"
        )
    if funds is not None:
        return frame.select(date, *[n for n in names if n != date])
    return frame.drop(*[n for n in names if n != date])


def _text_dates(frame: nw.DataFrame[Any], date: str, date_format: object) -> nw.DataFrame[Any]:
    """The date column, written as text, read by a strptime format."""
    if not isinstance(date_format, str):
        raise InputTypeError(f"date_format= must be a strptime format (str), not {date_format!r}")
    column = _column(frame, date, "date")
    if column.dtype != nw.String():
        return frame  # dates already
    try:
        parsed = column.str.to_datetime(format=date_format)
    except Exception as exc:  # each library words it its own way
        raise InputError(
            f"the date column {date!r} does not follow date_format={date_format!r}:"
            f" {str(exc).splitlines()[0] if str(exc) else type(exc).__name__}"
        ) from None
    if parsed.is_null().sum() > column.is_null().sum():
        row = int(np.argmax(np.asarray((parsed.is_null() & ~column.is_null()).to_numpy())))
        raise InputError(
            f"the date column {date!r} holds {column[row]!r} at row {row}, which does not"
            f" follow date_format={date_format!r}",
            rows=(row,),
        )
    return frame.with_columns(parsed.alias(date))


def table_types(table: Optional[Table], types: object, column: Optional[str]) -> object:
    """Each fund's type code, from a mapping, a (fund, type) frame or a column of the long
    table (None: a wide table read without a frame), or ALL_FUNDS as given."""
    if types is not None and column is not None:
        raise InputTypeError("give the type codes once: types= or type=, not both")
    if column is not None:
        if table is None or table.fund is None:
            raise InputTypeError(
                "type= names a column of a long table; for a wide table give types= as a"
                " mapping or a (fund, type) frame"
            )
        assert table.frame is not None  # a long table's frame is kept
        _column(table.frame, column, "type")
        pairs = table.frame.select(table.fund, column).unique(maintain_order=True)
        return _pairs(
            pairs[table.fund].to_list(), pairs[column].to_list(), f"the type column {column!r}"
        )
    if types is None:
        return None  # the registry's check says what to give
    if isinstance(types, str) and types == ALL_FUNDS:
        return types
    if isinstance(types, Mapping) or is_pandas_series(types):
        return types
    try:
        pairs = nw.from_native(types, eager_only=True)
    except TypeError:
        raise InputTypeError(
            "types must be a mapping keyed by fund or a two-column (fund, type) frame,"
            f" not {type(types).__name__}"
        ) from None
    if len(pairs.columns) != 2:
        raise InputError(f"a types frame has two columns, fund and type, not {pairs.columns}")
    return _pairs(pairs[pairs.columns[0]].to_list(), pairs[pairs.columns[1]].to_list(), "types")


def _pairs(funds: Sequence[Any], codes: Sequence[Any], where: str) -> dict[Any, Hashable]:
    out: dict[Any, Hashable] = {}
    for f, c in zip(funds, codes):
        if f in out and out[f] != c:
            raise InputError(f"{where} gives the fund {f!r} two types: {out[f]!r} and {c!r}")
        out[f] = c
    return out
