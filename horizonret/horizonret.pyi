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
    """Rolling calendar-horizon returns per fund, summarised.

    i_code: the horizon, "3M", "1Y", ...; returns: (dates x funds); start_idx, end_idx:
    each fund's first and last row; dates: int64 nanoseconds since the epoch, UTC.
    Result: nine float64 arrays: mean, median, share of positive horizons, then the
    shares in the bands (0, 5%], (5%, 10%], > 10%, [-5%, 0], [-10%, -5%), < -10%.
    """
