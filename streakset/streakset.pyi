import numpy as np
import numpy.typing as npt

def streakset(
    a_value: npt.ArrayLike,
    dates: npt.ArrayLike,
    i_code: str | bytes | bytearray = "positive",
) -> tuple[npt.NDArray[np.float64], list[str], list[str], npt.NDArray[np.int64]]:
    """The longest run of consecutive positive values per fund (the latest of equals).

    a_value: (dates x funds); dates: int64 nanoseconds since the epoch, UTC; i_code:
    "positive", or any other code for losing streaks given as the negated returns.
    Result: compounded return, first and last date as "YYYYMMDD" ("nan" for none), length
    in rows.
    """
