"""What every module shares: argument conversion, layouts, shapes and worker counts."""

import os
import platform
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import LAYOUTS, assert_same_parts as assert_same, awkward_matrix, matrices, examples
from fk_references.cases import INDICATORS, VARIANTS, as_parts

NAMES = sorted(INDICATORS)


def run(name, x):
    ind = INDICATORS[name]
    return as_parts(ind.module(*ind.args(x)))


def per_fund_positions(ind):
    """Positions of the call's one-dimensional arguments with one element per column."""
    args = ind.args(np.zeros((5, 3)))
    return {i for i, a in enumerate(args) if isinstance(a, np.ndarray) and a.shape == (3,)}


def select_columns(ind, x, cols):
    """The call's arguments for the columns `cols` of x, in that order: the matrix's columns
    and the per-fund arguments move together; everything else stays as it was."""
    args = ind.args(x)
    per_fund = per_fund_positions(ind)
    return tuple(
        a[:, cols] if a is x else a[cols] if i in per_fund else a for i, a in enumerate(args)
    )


def part_columns(part, cols):
    return [part[c] for c in cols] if isinstance(part, list) else np.asarray(part)[cols]


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=examples(30), deadline=None)
@given(x=matrices(max_rows=14, max_cols=12), layout=st.sampled_from(sorted(LAYOUTS)))
def test_layout_does_not_change_results(name, x, layout):
    view = LAYOUTS[layout](x)
    assert np.array_equal(view, x, equal_nan=True)
    assert_same(run(name, view), run(name, x))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "convert",
    [
        lambda x: x.tolist(),
        lambda x: x.astype(np.float32).astype(np.float64),
        lambda x: x.astype(">f8"),
    ],
    ids=["nested-list", "float32-exact", "byte-swapped"],
)
def test_converted_arguments(name, convert):
    x = np.round(np.random.default_rng(2).normal(0, 0.05, (30, 5)), 3).astype(np.float32)
    x = x.astype(np.float64)
    assert_same(run(name, convert(x)), run(name, x))


@pytest.mark.parametrize("name", NAMES)
def test_integer_matrix_is_cast_to_float(name):
    x = np.array([[1, -1, 0], [0, 2, -3], [4, 0, 1]], dtype=np.int64)
    assert_same(run(name, x), run(name, x.astype(np.float64)))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("shape", [(0,), (3,), (2, 3, 4)], ids=["1-d-empty", "1-d", "3-d"])
def test_matrix_must_be_two_dimensional(name, shape):
    x = np.zeros(shape)
    with pytest.raises(ValueError, match=r"two-dimensional .* but it has \d dimension"):
        INDICATORS[name].module(*INDICATORS[name].args(x))


@pytest.mark.parametrize("name", NAMES)
def test_scalar_matrix_rejected(name):
    with pytest.raises(ValueError, match="0 dimensions"):
        INDICATORS[name].module(*INDICATORS[name].args(np.float64(0.5)))


@pytest.mark.parametrize("name", NAMES)
def test_unconvertible_matrix_is_type_error(name):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        INDICATORS[name].module(*INDICATORS[name].args("not a matrix"))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (5, 0)])
def test_empty_shapes_give_one_result_per_column(name, shape):
    parts = run(name, np.zeros(shape))
    for p in parts:
        assert len(p) == shape[1]


@pytest.mark.parametrize("name", [n for n in NAMES if INDICATORS[n].per_column])
@settings(max_examples=examples(40), deadline=None)
@given(x=matrices(max_rows=10, max_cols=20, min_cols=1), data=st.data())
def test_column_alone_equals_column_among_others(name, x, data):
    # One column runs on one worker, alone in its group of columns; many columns share
    # groups and spread over all workers. Any selection of columns, repeats included,
    # gives those columns' results.
    ind = INDICATORS[name]
    whole = as_parts(ind.module(*ind.args(x)))
    index = st.integers(0, x.shape[1] - 1)
    for cols in ([data.draw(index)], data.draw(st.lists(index, min_size=1, max_size=24))):
        part = as_parts(ind.module(*select_columns(ind, x, cols)))
        assert_same(part, tuple(part_columns(p, cols) for p in whole))


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=examples(30), deadline=None)
@given(x=matrices(max_rows=12, max_cols=24, min_cols=1), data=st.data())
def test_permuting_columns_permutes_results(name, x, data):
    perm = data.draw(st.permutations(range(x.shape[1])))
    ind = INDICATORS[name]
    whole = as_parts(ind.module(*ind.args(x)))
    moved = as_parts(ind.module(*select_columns(ind, x, perm)))
    assert_same(moved, tuple(part_columns(p, perm) for p in whole))


@pytest.mark.parametrize("name", [n for n in NAMES if not INDICATORS[n].per_column])
@settings(max_examples=examples(30), deadline=None)
@given(x=matrices(max_rows=12, max_cols=24, min_cols=1), data=st.data())
def test_group_alone_equals_group_among_others(name, x, data):
    # A fund is compared with the funds that share its code, and with no other: the funds of
    # some of the codes, taken alone, give the same bits as among all funds.
    ind = INDICATORS[name]
    (codes_at,) = per_fund_positions(ind)
    codes = ind.args(x)[codes_at]
    chosen = data.draw(st.sets(st.sampled_from(sorted(set(codes.tolist()))), min_size=1))
    cols = [c for c in range(x.shape[1]) if codes[c] in chosen]
    whole = as_parts(ind.module(*ind.args(x)))
    alone = as_parts(ind.module(*select_columns(ind, x, cols)))
    assert_same(alone, tuple(part_columns(p, cols) for p in whole))


@pytest.mark.parametrize("name", NAMES)
def test_module_surface(name):
    import importlib

    mod = importlib.import_module(name)
    assert mod.__doc__ is None
    own = [a for a in vars(mod) if not a.startswith("__")]
    assert own == [name]


@pytest.mark.parametrize("name", sorted({**INDICATORS, **VARIANTS}))
def test_peer_agrees_with_module(name):
    ind = {**INDICATORS, **VARIANTS}[name]
    x = awkward_matrix(np.random.default_rng(5), 60, 13)
    args = ind.args(x)
    assert_same(as_parts(ind.peer(*args)), as_parts(ind.module(*args)))


def wide_panel(rows, cols, seed):
    """Many column blocks, a narrow last one, and runs and drawdowns across every row."""
    rng = np.random.default_rng(seed)
    x = awkward_matrix(rng, rows, cols)
    x[:, 0] = rng.uniform(0.001, 0.02, rows)  # one run through every row, open at the end
    x[:, 1] = -0.001  # never recovers
    x[:, cols // 2] = np.where(np.arange(rows) % 40 == 39, -0.01, 0.01)  # equal runs
    x[: rows // 2, cols - 1] = 0.02  # the longest run ends halfway
    x[rows // 2 :, cols - 1] = -0.02
    return x


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("name", sorted({**INDICATORS, **VARIANTS}))
def test_wide_panels_match_peer(name, layout):
    # Wide enough for a worker to take several adjacent column blocks at a time, in every
    # memory layout: the blocks' results must land in their own columns.
    ind = {**INDICATORS, **VARIANTS}[name]
    x = wide_panel(300, 1100, 3)
    want = as_parts(ind.peer(*ind.args(x)))
    assert_same(as_parts(ind.module(*ind.args(LAYOUTS[layout](x)))), want)


@pytest.mark.parametrize("rows", [1, 3, 4, 5, 9, 450])
@pytest.mark.parametrize("cols", [8, 11, 12, 16, 25])
@pytest.mark.parametrize("name", sorted({**INDICATORS, **VARIANTS}))
def test_register_strips_match_peer(name, cols, rows):
    # Strips of columns run on kernels held in registers, contiguous columns read four rows
    # of four columns at a time, contiguous rows with the lanes past the last column masked:
    # every leftover row and column of a strip must give the peer's bits.
    ind = {**INDICATORS, **VARIANTS}[name]
    x = awkward_matrix(np.random.default_rng(rows * cols), rows, cols, special_share=0.2)
    want = as_parts(ind.peer(*ind.args(x)))
    for layout in (np.asfortranarray, np.ascontiguousarray):
        assert_same(as_parts(ind.module(*ind.args(layout(x)))), want)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("cols", [1, 5, 20, 33])
@pytest.mark.parametrize("name", sorted({**INDICATORS, **VARIANTS}))
def test_narrow_matrices_match_peer(name, cols, layout):
    # A narrow matrix runs on a kernel of as few lanes as it needs (one column in place,
    # a few, a few dozen); every lane count and layout must give the wide kernel's results,
    # over more rows than one gathered tile holds.
    ind = {**INDICATORS, **VARIANTS}[name]
    x = wide_panel(500, 40, 5)[:, :cols]
    want = as_parts(ind.peer(*ind.args(np.ascontiguousarray(x))))
    assert_same(as_parts(ind.module(*ind.args(LAYOUTS[layout](x)))), want)


ROOT = Path(__file__).resolve().parent.parent
EXTENSIONS = sorted(
    p.relative_to(ROOT).as_posix() for p in ROOT.glob("*/*.cpp") if p.stem == p.parent.name
) + ["tests/ext/selection.cpp"]


@pytest.mark.slow
@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="x86-64 only")
def test_extensions_compile_without_avx():
    # Every module builds for the x86-64 baseline, its wider kernels under target attributes:
    # a build without AVX must still make object code of every module (an AVX intrinsic left
    # outside its target fails only when it is inlined, which a syntax check never reaches).
    # Unoptimised, all files at once: a few seconds.
    pybind11 = pytest.importorskip("pybind11")
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    flags = [
        cxx,
        "-std=c++17",
        "-O0",
        "-march=x86-64",
        "-mno-avx",
        "-w",
        "-c",
        "-o",
        os.devnull,
        "-I",
        str(ROOT / "common"),
        "-I",
        str(ROOT),
        "-I",
        sysconfig.get_paths()["include"],
        "-I",
        pybind11.get_include(),
    ]
    procs = {
        source: subprocess.Popen(
            [*flags, source], cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
        )
        for source in EXTENSIONS
    }
    failed = {}
    for source, proc in procs.items():
        _, err = proc.communicate(timeout=600)
        if proc.returncode != 0:
            failed[source] = err[-2000:]
    assert len(procs) >= 7, procs  # every module, private kernel and test extension
    assert failed == {}, failed
