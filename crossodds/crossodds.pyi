import numpy as np
import numpy.typing as npt

def crossodds(type_codes: npt.ArrayLike, values: npt.ArrayLike, /) -> npt.NDArray[np.float64]:
    """Persistence against the type group per fund.

    type_codes: int32 group code per fund; values: (dates x funds), NaN takes no part.
    On each date a fund at or above its group's median wins, below it loses. Result:
    float64 per fund, repeated outcomes over reversed ones between consecutive flagged
    dates (NaN when nothing reversed).
    """
