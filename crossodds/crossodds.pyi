import numpy as np
import numpy.typing as npt

def crossodds(type_codes: npt.ArrayLike, values: npt.ArrayLike, /) -> npt.NDArray[np.float64]:
    """Compute CPR using hand-written thread pool (no SIMD)"""
