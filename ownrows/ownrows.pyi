from typing import TypedDict

import numpy as np
import numpy.typing as npt

_I = npt.NDArray[np.int64]

class _Moves(TypedDict):
    r: npt.NDArray[np.float64]
    p: _I
    s: list[str]
    l: list[str]

def troughmend(returns: npt.ArrayLike) -> _I:
    """troughmend with each column on its own rows, those holding a value"""

def drawdown(
    returns: npt.ArrayLike,
) -> tuple[_I, _I, _I, _I, _I, npt.NDArray[np.float64], _I]:
    """_drawdown with each column on its own rows, those holding a value"""

def extremeset(
    array_value: npt.ArrayLike,
    dates: npt.ArrayLike,
    i_code: str | bytes | bytearray = "positive",
) -> _Moves:
    """extremeset with each column on its own rows, those holding a value"""

def streakset(
    a_value: npt.ArrayLike,
    dates: npt.ArrayLike,
    i_code: str | bytes | bytearray = "positive",
) -> tuple[npt.NDArray[np.float64], list[str], list[str], _I]:
    """streakset with each column on its own rows, those holding a value"""
