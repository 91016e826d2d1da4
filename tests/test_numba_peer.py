"""The benchmark's numba peers give the modules' results bit for bit: a timing against a
peer that computes something else would mean nothing. Skipped where numba is missing."""

import numpy as np
import pytest

from helpers import assert_same_parts, awkward_matrix
from test_frame import wide_panel
from fk_references.cases import INDICATORS, VARIANTS, as_parts

pytestmark = pytest.mark.slow  # compiles every numba peer

pytest.importorskip("numba")

CASES = {name: ind for name, ind in {**INDICATORS, **VARIANTS}.items() if ind.numba is not None}


@pytest.mark.parametrize("shape", [(0, 4), (1, 3), (60, 13), (300, 70)], ids=str)
@pytest.mark.parametrize("name", sorted(CASES))
def test_numba_peer_matches_module(name, shape):
    ind = CASES[name]
    rows, cols = shape
    x = (
        wide_panel(rows, cols, 11)
        if rows >= 300
        else awkward_matrix(np.random.default_rng(rows + cols), rows, cols)
    )
    for layout in (np.ascontiguousarray, np.asfortranarray):
        args = ind.args(layout(x))
        assert_same_parts(as_parts(ind.numba(*args)), as_parts(ind.module(*args)))
