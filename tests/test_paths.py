"""Every instruction-set path of every module gives the baseline path's bits.

A module builds its kernels for any x86-64, for AVX2 and for AVX-512 and takes the widest
the CPU runs. A build for the tests (FK_TEST_DISPATCH, which `make test` sets) can be made
to take another path; these tests run each one this CPU has and skip, by name, those it
has not. A kernel not yet built per path (it has no __fk_path__) is skipped by name too.
"""

import importlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from fundkernels import _ownrows
from helpers import LAYOUTS, assert_same_parts, awkward_matrix
from fk_references.cases import INDICATORS, VARIANTS, as_parts

CASES = {**INDICATORS, **VARIANTS}
PATHS = ["avx2", "avx512"]  # each against "baseline"
# The own calendar's variants, on their modules' arguments (fundkernels._ownrows).
OWN_ROWS = {k: c for k, c in CASES.items() if hasattr(_ownrows, c.name)}
MODULES = sorted({ind.module.__module__ for ind in CASES.values()} | {_ownrows.__name__})


def module_of(ind):
    return importlib.import_module(ind.module.__module__)


def on_paths(mod):
    if not hasattr(mod, "__fk_path__"):
        pytest.skip(f"{mod.__name__} has one build for every CPU, not one per path")
    return mod


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return set(next(line for line in f if line.startswith("flags")).split(":")[1].split())
    except (OSError, StopIteration):
        return None


def widest_path(flags):
    if {"avx512f", "avx512dq", "avx512vl", "avx512bw", "avx2"} <= flags:
        return "avx512"
    return "avx2" if "avx2" in flags else "baseline"


@pytest.fixture
def use_path():
    """use_path(module, name) makes the module's calls take that path, skipping where the
    build or the CPU cannot; every module taken is put back on its own choice afterwards."""
    taken = {}

    def use(mod, name):
        on_paths(mod)
        if not hasattr(mod, "__fk_use_path__"):
            pytest.skip("built without FK_TEST_DISPATCH: the paths cannot be chosen")
        taken.setdefault(mod, mod.__fk_path__())
        try:
            mod.__fk_use_path__(name)
        except ValueError as e:
            pytest.skip(f"{name}: {e}")
        assert mod.__fk_path__() == name

    yield use
    for mod, name in taken.items():
        mod.__fk_use_path__(name)


# Shapes that reach every walk: one column, a few, a partial strip and block, many strips
# and panels with a narrower last one, and work for several workers.
SHAPES = [(1, 1), (9, 1), (300, 3), (37, 9), (70, 17), (451, 67), (130, 1100)]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", sorted(CASES))
def test_path_gives_baseline_bits(name, path, use_path):
    ind = CASES[name]
    mod = module_of(ind)
    rng = np.random.default_rng(7)
    for rows, cols in SHAPES:
        x = awkward_matrix(rng, rows, cols)
        for layout in ("C", "F", "sliced"):
            args = ind.args(LAYOUTS[layout](x))
            use_path(mod, "baseline")
            want = as_parts(ind.module(*args))
            use_path(mod, path)
            assert_same_parts(as_parts(ind.module(*args)), want)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", sorted(OWN_ROWS))
def test_own_rows_path_gives_baseline_bits(name, path, use_path):
    # Every fund on its own rows: the missing values of the awkward matrices (leading,
    # trailing, blocks amid the rows) are rows the funds do not have.
    own = getattr(_ownrows, OWN_ROWS[name].name)
    rng = np.random.default_rng(11)
    for rows, cols in SHAPES:
        x = awkward_matrix(rng, rows, cols)
        x[rng.random(x.shape) < 0.05] = np.nan
        for layout in ("C", "F", "sliced"):
            args = OWN_ROWS[name].args(LAYOUTS[layout](x))
            use_path(_ownrows, "baseline")
            want = as_parts(own(*args))
            use_path(_ownrows, path)
            assert_same_parts(as_parts(own(*args)), want)


def test_unknown_path_is_refused(use_path):
    mod = module_of(INDICATORS["troughmend"])
    use_path(mod, "baseline")
    with pytest.raises(ValueError, match="no path named 'sse9'"):
        mod.__fk_use_path__("sse9")
    assert mod.__fk_path__() == "baseline"


@pytest.mark.parametrize("name", MODULES)
def test_first_call_takes_the_widest_path_the_cpu_runs(name):
    on_paths(importlib.import_module(name))
    flags = cpu_flags()
    if flags is None:
        pytest.skip("no /proc/cpuinfo to compare with")
    # A fresh interpreter: the suite itself moves the modules between paths.
    code = f"import json, {name} as m; print(json.dumps(m.__fk_path__()))"
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        check=True,
    )
    assert json.loads(out.stdout) == widest_path(flags)


@pytest.mark.parametrize("path", PATHS)
def test_selection_path_gives_baseline_bits(path, use_path):
    # The shared selection on its own (crossodds and the summary reach it through their
    # cases above): medians and ranks of every family at every threshold of the header.
    sel = pytest.importorskip(
        "fundkernels._test_selection",
        reason="built only with FK_TEST_EXTENSIONS=ON (make install-test sets it)",
    )
    from test_selection import FAMILIES, SIZES, make

    def answers(x):
        n = int(np.count_nonzero(~np.isnan(x)))
        out = [sel.median(x)] + [v for k in {1, n // 3, n - 1} if 0 < k < n for v in sel.kth(x, k)]
        if x.strides[0] == x.itemsize:
            out.append(sel.median(x, counted=True))
        return np.array(out).view(np.int64)  # bits: a zero's sign included

    for family in sorted(FAMILIES):
        for rows in SIZES:
            for nan_share, stride in ((0.0, 1), (0.3, 3)):
                x = make(family, rows, rows, nan_share, stride)
                use_path(sel, "baseline")
                want = answers(x)
                use_path(sel, path)
                np.testing.assert_array_equal(answers(x), want, err_msg=f"{family}, {rows}")
