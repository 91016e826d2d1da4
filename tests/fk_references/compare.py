"""Bit-for-bit comparison of results."""

import numpy as np


def same_bits(a, b):
    """Exact equality for float arrays: NaN matching NaN, and 0.0 not matching -0.0."""
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind != "f":
        return np.array_equal(a, b)
    numbers = ~np.isnan(a)
    return np.array_equal(a, b, equal_nan=True) and np.array_equal(
        np.signbit(a[numbers]), np.signbit(b[numbers])
    )


def as_parts(result):
    """A result as a tuple of arrays and lists: a dict's values, a tuple, or (array,)."""
    if isinstance(result, dict):
        return tuple(result.values())
    if isinstance(result, tuple):
        return result
    return (result,)


def same_result(got, want):
    """Two results of one indicator equal bit for bit, lists of text item for item."""
    if type(got) is not type(want):
        return False
    if isinstance(got, dict) and list(got) != list(want):
        return False
    got, want = as_parts(got), as_parts(want)
    if len(got) != len(want):
        return False
    for g, w in zip(got, want):
        if isinstance(w, list):
            if not (isinstance(g, list) and g == w and all(type(s) is str for s in g)):
                return False
        elif not (isinstance(g, np.ndarray) and same_bits(g, w)):
            return False
    return True
