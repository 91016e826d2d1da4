import numpy as np
import numpy.typing as npt

def troughmend(returns: npt.ArrayLike, /) -> npt.NDArray[np.int64]:
    """Longest drawdown per fund, in rows.

    returns: (dates x funds) simple returns as fractions; NaN returns are skipped.
    Result: int64 per fund, the longest run of consecutive rows the value compounded from
    1.0 spends below its running peak (a drawdown open on the last row counts).
    """
