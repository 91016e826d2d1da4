from typing import TypedDict

import numpy as np
import numpy.typing as npt

class _Result(TypedDict):
    r: npt.NDArray[np.float64]
    p: npt.NDArray[np.int64]
    s: list[str]
    l: list[str]

def extremeset(
    array_value: npt.ArrayLike,
    dates: npt.ArrayLike,
    i_code: str | bytes | bytearray = "positive",
) -> _Result:
    """The largest compounded move over a run of consecutive positive values per fund.

    array_value: (dates x funds); dates: int64 nanoseconds since the epoch, UTC; i_code:
    "positive" for rises, any other code for falls given as the negated returns. Result:
    "r" compounded return, "p" length in rows, "s" and "l" first and last date as
    "YYYYMMDD" ("nan" when the fund has no such run).
    """
