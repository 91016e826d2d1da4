import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]

def horizonret(
    i_code: str | bytes | bytearray,
    returns: npt.ArrayLike,
    start_idx: npt.ArrayLike,
    end_idx: npt.ArrayLike,
    dates: npt.ArrayLike,
    /,
) -> tuple[_F, _F, _F, _F, _F, _F, _F, _F, _F]:
    """Fully numpy-consistent C++ implementation of cal_rolling_gain"""
