"""pandas in and out: a DataFrame's dates, fund labels and values as a panel, and a result
labelled by fund. Used by ``fundkernels.pandas`` and ``fundkernels.dask``."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Union

import numpy as np

from ._errors import InputError, InputTypeError
from ._dates import RANGE_HINT, check_ascending
from ._panel import Columns, Dates, Matrix

if TYPE_CHECKING:
    import pandas as pd


def pandas_dates_ns(index: object, hint: str) -> Dates:
    """A pandas DatetimeIndex as int64 nanoseconds, UTC; checked to be sorted."""
    import pandas as pd

    if not isinstance(index, pd.DatetimeIndex):
        raise InputTypeError(f"data must have a DatetimeIndex of dates, not {type(index).__name__}")
    if index.hasnans:
        raise InputError("the date index holds NaT at row " + str(int(np.argmax(index.isna()))))
    if index.tz is not None:
        index = index.tz_convert("UTC").tz_localize(None)
    try:
        ns = np.asarray(index.as_unit("ns").asi8, dtype=np.int64)
    except pd.errors.OutOfBoundsDatetime as exc:
        raise InputError(f"{RANGE_HINT}: {exc}") from None
    check_ascending(ns, lambda r: str(index[r]), hint)
    return ns


def labels(index: pd.Index) -> list[Any]:
    """An index's labels as a list, as iterating over it gives them: at once for NumPy's
    dtypes and text (a step per label of an index of text costs a microsecond); one by one
    for pandas' masked dtypes, whose tolist gives other scalars than iteration."""
    import pandas as pd

    if isinstance(index.dtype, (np.dtype, pd.StringDtype)):
        return index.tolist()
    return list(index)


Labelled = Union["pd.Series[Any]", "pd.DataFrame"]


def to_pandas(name: str, columns: Columns, funds: pd.Index) -> Labelled:
    """A result labelled by fund: a Series when its one column bears the indicator's name,
    else a DataFrame."""
    import pandas as pd

    if list(columns) == [name]:
        return pd.Series(columns[name], index=funds, name=name)
    return pd.DataFrame(columns, index=funds)


def pandas_values(frame: pd.DataFrame) -> Matrix:
    """The frame's values as a float64 matrix, a view of the frame where the layout allows."""
    if frame.shape[1] == 0:
        return np.empty((frame.shape[0], 0))
    if all_float64(frame.dtypes):
        return frame.to_numpy()
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def all_float64(dtypes: pd.Series) -> bool:
    return all(isinstance(d, np.dtype) and d == np.float64 for d in _distinct(dtypes))


def _distinct(dtypes: pd.Series) -> set[Any]:
    # From a list: iterating over the Series boxes each of a few thousand dtypes, five
    # times as long.
    return set(dtypes.to_numpy().tolist())


def check_pandas_columns(columns: pd.Index, dtypes: pd.Series) -> None:
    """Unique fund labels and numeric (integer or float) columns."""
    if not columns.is_unique:
        dups = columns[columns.duplicated()].unique().tolist()
        raise InputError(f"fund labels must be unique; duplicated: {dups[:10]}")
    if all(getattr(dtype, "kind", "O") in "iuf" for dtype in _distinct(dtypes)):
        return
    bad = [
        (label, str(dtype))
        for label, dtype in zip(columns, dtypes)
        if getattr(dtype, "kind", "O") not in "iuf"
    ]
    if bad:
        shown = ", ".join(f"{label!r} ({dtype})" for label, dtype in bad[:10])
        raise InputTypeError(f"data must have numeric columns; not numeric: {shown}")
