import numpy as np
import numpy.typing as npt

def troughmend(returns: npt.ArrayLike, /) -> npt.NDArray[np.int64]:
    """Longest drawdown-recovery days per fund (C++ & thread-parallel)"""
