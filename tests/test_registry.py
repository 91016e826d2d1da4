"""The registry of indicators: what it names exists, what it declares is what the kernels
give, and the command's view of it is consistent."""

import importlib.util

import numpy as np
import pytest

from fundkernels import _panel
from fundkernels._registry import INDICATORS, command_columns, command_runs, resolve
from helpers import awkward_matrix

ENTRIES = sorted(INDICATORS)
KIND = {"float": "f", "int": "i", "date": "M"}


def _paths(entry):
    paths = {"module": entry.module, "reference": entry.reference, "cases": entry.cases}
    paths.update({f"peer {k}": v for k, v in entry.peers.items()})
    if entry.fuzz is not None:
        paths["fuzz"] = entry.fuzz
    return paths


@pytest.mark.parametrize("name", ENTRIES)
def test_every_dotted_path_resolves(name):
    entry = INDICATORS[name]
    for what, path in _paths(entry).items():
        if what == "peer numba" and importlib.util.find_spec("numba") is None:
            continue
        assert callable(resolve(path)) or what in ("cases", "fuzz"), (what, path)
    cases = resolve(entry.cases)
    assert cases and all(callable(args) for args in cases.values())
    assert next(iter(cases)) == name  # the first case is the indicator under its own name


def _option_sets(name):
    """Each entry's options as the command uses them, or its defaults."""
    runs = [r.options for r in command_runs(["3M", "1Y"], types={}) if r.indicator == name]
    return runs or [INDICATORS[name].checked({})]


@pytest.mark.parametrize("name", ENTRIES)
def test_kernel_gives_the_declared_columns(name):
    entry = INDICATORS[name]
    x = awkward_matrix(np.random.default_rng(3), 40, 6)
    dates = np.arange(40, dtype=np.int64) * 86_400 * 10**9 * 31
    funds = [f"f{j}" for j in range(6)]
    for options in _option_sets(name):
        if options.get("types") is not None:  # the statistics' default: no ranks
            options = {**options, "types": dict.fromkeys(funds, "all")}
        got = _panel.compute(name, x, dates if entry.needs_dates else None, funds, **options)
        assert list(got) == [c.name for c in entry.columns]
        for col in entry.columns:
            assert got[col.name].dtype.kind == KIND[col.kind], col.name
            assert got[col.name].shape == (6,)
            assert col.fmt == "date" if col.kind == "date" else col.fmt != "date"
            assert col.kind != "date" or col.better is None


def test_command_names_are_unique_and_carry_their_options():
    outs = command_columns(["3M", "1Y"])
    names = [o.name for o in outs]
    assert len(names) == len(set(names))
    # The statistics first, under their own names, then the indicators.
    assert names[:2] == ["periods", "total_return"] and "crossodds" in names
    assert names[names.index("troughmend") + 1] == "troughmend_peak"
    for h in ("3M", "1Y"):
        win = next(o for o in outs if o.name == f"horizonret_{h}_win")
        assert h in win.column.words and win.column.better == "higher"
    lengths = {o.name: o.column.better for o in outs if o.name.startswith("streakset_")}
    assert lengths["streakset_gain_length"] == "higher"
    assert lengths["streakset_loss_length"] == "lower"
    assert all("{" not in o.column.words for o in outs)  # every field filled in


@pytest.mark.parametrize(
    "name, options, error, match",
    [
        ("horizonret", {}, TypeError, "needs horizon="),
        ("horizonret", {"horizon": "3W"}, ValueError, "whole number of months"),
        ("extremeset", {"mode": "up"}, ValueError, "'gain' or 'loss'"),
        ("streakset", {"window": 3}, TypeError, "no option 'window'"),
        ("crossodds", {}, TypeError, "needs types="),
        ("troughmend", {"mode": "gain"}, TypeError, "no option 'mode'"),
    ],
)
def test_options_are_checked(name, options, error, match):
    with pytest.raises(error, match=match):
        INDICATORS[name].checked(options)


def test_checks_keep_what_they_checked():
    # The command checks its options once and the dask front end again.
    once = INDICATORS["horizonret"].checked({"horizon": "1Y", "start": "2020-01-31"})
    assert INDICATORS["horizonret"].checked(once) == once
