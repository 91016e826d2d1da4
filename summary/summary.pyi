import numpy as np
import numpy.typing as npt

_I = npt.NDArray[np.int64]
_F = npt.NDArray[np.float64]

def summary(
    returns: npt.ArrayLike, risk_free: float
) -> tuple[_I, _F, _F, _F, _F, _F, _F, _F, _F, _I, _F, _I, _I, _I, _F, _F]:
    """The statistics of every fund over its valid returns, given the risk-free return per period: (periods, value, mean, std, skew, kurtosis, downside, best, worst, hits, depth, peak, trough, recovery, var, cvar)"""
