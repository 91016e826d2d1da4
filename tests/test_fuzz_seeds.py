"""Every committed fuzz seed and reproducer, replayed through its target on the normal
build: the differential checks of the fuzz campaign, run by the suite on every change."""

from pathlib import Path

import pytest

from fuzz.targets import TARGETS, run_one

SEEDS = Path(__file__).resolve().parents[1] / "fuzz" / "seeds"
CASES = sorted(p for t in TARGETS for p in (SEEDS / t).glob("*") if p.is_file())


def test_every_target_has_seeds():
    assert {p.parent.name for p in CASES} == set(TARGETS)


@pytest.mark.parametrize("target", TARGETS)
def test_seeds(target):
    files = [p for p in CASES if p.parent.name == target]
    for path in files:
        run_one(target, path.read_bytes())
