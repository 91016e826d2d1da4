import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]

def ownhorizon(
    horizon: str,
    values: npt.ArrayLike,
    start: npt.ArrayLike,
    end: npt.ArrayLike,
    dates: npt.ArrayLike,
    first: npt.ArrayLike,
) -> tuple[_F, _F, _F, _F, _F, _F, _F, _F, _F]:
    """horizonret with each column on its own rows: its first row first[c] and every later row holding a value"""
