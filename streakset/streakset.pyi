import numpy as np
import numpy.typing as npt

def streakset(
    a_value: npt.ArrayLike,
    dates: npt.ArrayLike,
    i_code: str | bytes | bytearray = "positive",
) -> tuple[npt.NDArray[np.float64], list[str], list[str], npt.NDArray[np.int64]]:
    """C++ translation of Python main_cal_longest_one_for_all"""
