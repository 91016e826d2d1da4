"""Inputs shared by the test modules: layouts of one logical matrix and awkward values."""

import os
import subprocess
import sys

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from crossodds import crossodds
from extremeset import extremeset
from horizonret import horizonret
from streakset import streakset
from troughmend import troughmend
from fundkernels._summary_columns import summary_columns
from fk_references.compare import same_bits  # noqa: F401  (the tests import it from here)
from fundkernels._registry import INDICATORS

# The indicators with a function in every front end, in the registry's order.
FRONT_END = [name for name, entry in INDICATORS.items() if entry.front_end]


def examples(n):
    """A property test's example count: n in the full suite (CI, make test), a fifth of it
    in the edit-test loop (make test-quick sets FK_QUICK_EXAMPLES), at least 10."""
    return max(10, n // 5) if os.environ.get("FK_QUICK_EXAMPLES") else n


def c_order(a):
    return np.ascontiguousarray(a)


def f_order(a):
    return np.asfortranarray(a)


def sliced(a):
    """A view with steps in both axes into a larger buffer."""
    big = np.full((2 * a.shape[0] + 1, 3 * a.shape[1] + 1), 12345.0)
    big[1::2, 2::3] = a
    return big[1::2, 2::3]


def reversed_view(a):
    """A view with negative strides in both axes."""
    return np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]


def shifted(a):
    """Rows a whole number of cache lines apart, each starting 16 bytes into a line (where
    large arrays start), so that column blocks that begin on a line boundary leave a few
    columns before the first one."""
    rows, cols = a.shape
    width = -(-cols // 8) * 8
    buf = np.full(rows * width + 8, 12345.0)
    start = next(o for o in range(8) if (buf.ctypes.data + 8 * o) % 64 == 16)
    view = buf[start : start + rows * width].reshape(rows, width)[:, :cols]
    view[...] = a
    return view


LAYOUTS = {
    "C": c_order,
    "F": f_order,
    "sliced": sliced,
    "reversed": reversed_view,
    "shifted": shifted,
}

# Values that upset naive kernels: gaps, zero, total loss, overflow and the tiny.
SPECIALS = np.array([np.nan, 0.0, -0.0, -1.0, -2.0, 1e-300, -1e-300, 5e-17, np.inf, -np.inf, 1e300])


def awkward_matrix(rng, rows, cols, special_share=0.1):
    """Random returns with NaN blocks, leading and trailing NaN and special values."""
    a = rng.normal(0.0, 0.05, size=(rows, cols))
    if rows == 0 or cols == 0:
        return a
    mask = rng.random((rows, cols)) < special_share
    a[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    for c in range(cols):
        kind = rng.integers(0, 5)
        if kind == 1:
            a[: rng.integers(0, rows + 1), c] = np.nan
        elif kind == 2:
            a[rng.integers(0, rows + 1) :, c] = np.nan
        elif kind == 3:
            lo = rng.integers(0, rows)
            a[lo : lo + rng.integers(1, 6), c] = np.nan
    return a


def matrices(max_rows=12, max_cols=6, min_rows=0, min_cols=0, elements=None):
    """Hypothesis strategy for (dates x funds) float64 matrices with special values."""
    if elements is None:
        elements = st.one_of(
            st.floats(-0.5, 0.5, allow_nan=False),
            st.sampled_from([float(x) for x in SPECIALS]),
        )
    shapes = st.tuples(st.integers(min_rows, max_rows), st.integers(min_cols, max_cols))
    return hnp.arrays(np.float64, shapes, elements=elements)


def assert_same_parts(got, want):
    """Two results, as tuples of parts, equal bit for bit (lists of text compared as lists)."""
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if isinstance(w, list):
            assert g == w
        else:
            assert same_bits(g, w), (g, w)


def replace_arrays(args, x, matrix=None, vector=None):
    """The call's arguments with the value matrix `x` replaced by matrix(x) and every
    one-dimensional array v by vector(v) (each left as it is when its function is None)."""
    out = []
    for a in args:
        if a is x and matrix is not None:
            a = matrix(a)
        elif isinstance(a, np.ndarray) and a.ndim == 1 and vector is not None:
            a = vector(a)
        out.append(a)
    return tuple(out)


def direct(name, values, dates):
    """An indicator straight from its module as a front end calls it, as a list of result
    arrays (crossodds: fund i in group i % 3; horizonret: "3M" over each fund's valid rows)."""
    cols = values.shape[1]
    if name == "summary":

        def texts(d):
            return ["nan" if np.isnat(t) else str(t.astype("M8[D]")).replace("-", "") for t in d]

        got = summary_columns(values, dates, [None] * cols)
        return [texts(c) if c.dtype.kind == "M" else c for c in got.values()]
    if name == "troughmend":
        return [troughmend(values)]
    if name == "crossodds":
        return [crossodds(np.arange(cols, dtype=np.int32) % 3, values)]
    if name == "horizonret":
        rows = np.arange(len(values))[:, None]
        valid = ~np.isnan(values)
        first = np.where(valid, rows, len(values)).min(axis=0, initial=len(values))
        last = np.where(valid, rows, -1).max(axis=0, initial=-1)
        first[last < 0] = 0  # an empty column: an empty window
        return list(horizonret("3M", values, first, last, dates))
    if name == "extremeset":
        d = extremeset(values, dates)
        return [d["r"], d["p"], d["s"], d["l"]]
    r, s, e, days = streakset(values, dates)
    return [r, days, s, e]


def run_command(*args, cwd, env=None, timeout=600):
    """The command run as a user runs it, in a fresh interpreter: its exit code and output."""
    return subprocess.run(
        [sys.executable, "-m", "fundkernels", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
