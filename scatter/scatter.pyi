import numpy as np
import numpy.typing as npt

def scatter(
    codes: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    offset: npt.ArrayLike,
    days: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    rows: int,
    table: npt.NDArray[np.int32] | None,
    first: int,
    step: int,
    values: npt.ArrayLike,
    valid: npt.NDArray[np.uint8] | None,
    valid_at: int,
    flat: npt.NDArray[np.float64],
    marks: npt.NDArray[np.uint64],
) -> None:
    """Write a piece's rows into flat (NaN where a value is missing) and mark their cells in marks, a bit per cell"""

def settle(flat: npt.NDArray[np.float64], marks: npt.NDArray[np.uint64], lo: int, hi: int) -> int:
    """How many cells of flat were marked in the words marks[lo:hi]; the others become NaN"""

def distinct_days(
    days: npt.NDArray[np.int32] | npt.NDArray[np.int64], limit: int
) -> npt.NDArray[np.int32] | npt.NDArray[np.int64] | None:
    """The sorted distinct values of days (int32 or int64) when they span fewer than limit values, else None"""

def first_seen(
    codes: npt.NDArray[np.int32] | npt.NDArray[np.int64], size: int
) -> npt.NDArray[np.int64]:
    """The distinct codes (int32 or int64, each below size) in order of first appearance"""

def fresh(n: int) -> npt.NDArray[np.float64]:
    """A new uninitialised float64 vector of n elements in small pages, made at once"""
