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
) -> _Result: ...
