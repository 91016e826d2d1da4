import numpy as np
import numpy.typing as npt

def scan(
    values: npt.ArrayLike, counts: bool = True
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Per column the first row holding a value (the row count if none) and the count of rows holding one: (first, count), int64. counts=False may leave a column with a gap uncounted: -1"""

def pack(
    values: npt.ArrayLike,
    first: npt.ArrayLike,
    count: npt.ArrayLike,
    cols: npt.ArrayLike,
    out: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The columns cols with their own rows packed to the bottom (NaN above), and the rows each skips from its first row on: (packed, holes, offsets)"""

def spacing(
    values: npt.ArrayLike, first: npt.ArrayLike, cols: npt.ArrayLike, dates: npt.ArrayLike
) -> npt.NDArray[np.float64]:
    """Per column of cols the median spacing of its own dates in nanoseconds, as a float64 median of their differences (NaN for fewer than two)"""
