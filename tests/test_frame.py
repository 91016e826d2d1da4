"""What every module shares: argument conversion, layouts, shapes and worker counts."""

import numpy as np
import pytest
from hypothesis import given, settings

from helpers import LAYOUTS, awkward_matrix, matrices, same_bits
from table import INDICATORS, VARIANTS, as_parts

NAMES = sorted(INDICATORS)


def run(name, x):
    ind = INDICATORS[name]
    return as_parts(ind.module(*ind.args(x)))


def assert_same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if isinstance(w, list):
            assert g == w
        else:
            assert same_bits(g, w), (g, w)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_layout_does_not_change_results(name, layout):
    x = awkward_matrix(np.random.default_rng(1), 40, 11)
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
@settings(max_examples=40, deadline=None)
@given(x=matrices(max_rows=10, max_cols=7, min_cols=1))
def test_column_alone_equals_column_among_others(name, x):
    # One column runs on one worker; many columns spread over all workers.
    together = run(name, x)
    for c in range(x.shape[1]):
        alone = run(name, x[:, c:c + 1])
        for whole, single in zip(together, alone):
            if isinstance(whole, list):
                assert whole[c] == single[0]
            else:
                assert same_bits(np.asarray(whole)[c:c + 1], single)


@pytest.mark.parametrize("name", NAMES)
def test_permuting_columns_permutes_results(name):
    rows, cols = 25, 17
    x = awkward_matrix(np.random.default_rng(3), rows, cols)
    perm = np.random.default_rng(4).permutation(cols)
    ind = INDICATORS[name]
    args = ind.args(x)
    # Per-fund arguments (type codes, windows) move with their columns.
    moved_args = tuple(
        a[:, perm] if isinstance(a, np.ndarray) and a.ndim == 2
        else a[perm] if isinstance(a, np.ndarray) and a.shape == (cols,)
        else a
        for a in args
    )
    base = as_parts(ind.module(*args))
    moved = as_parts(ind.module(*moved_args))
    for b, m in zip(base, moved):
        if isinstance(b, list):
            assert m == [b[i] for i in perm]
        else:
            assert same_bits(m, np.asarray(b)[perm])


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
