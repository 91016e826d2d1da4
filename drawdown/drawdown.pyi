import numpy as np
import numpy.typing as npt

def drawdown(
    returns: npt.ArrayLike, /
) -> tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
]:
    """Where each fund's longest drawdown lies: (length, peak, first, last, trough, depth, recovery), rows as int64 (-1 for none), depth as float64 (NaN for none)"""
