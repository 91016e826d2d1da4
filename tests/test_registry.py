"""The registry of indicators: what it names exists, what it declares is what the kernels
give, and the command's view of it is consistent."""

import importlib
import importlib.util
import inspect

import numpy as np
import pytest

from fundkernels import _panel
from fundkernels._registry import INDICATORS, command_columns, command_runs, resolve
from helpers import FRONT_END, awkward_matrix, same_bits

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


# --- one API: the front ends take the same parameters by the same names ----------------

FRONTS = ["fundkernels.pandas", "fundkernels.frames", "fundkernels.dask"]


@pytest.mark.parametrize("name", FRONT_END)
def test_front_ends_share_one_signature(name):
    """The data first, then the same parameters, positional or keyword alike, with the same
    defaults; every option of the registry's entry is among them."""
    leading = {}
    for front in FRONTS:
        params = inspect.signature(getattr(importlib.import_module(front), name)).parameters
        assert {"navs", *(o.name for o in INDICATORS[name].options)} <= set(params), front
        leading[front] = [
            (p.name, p.default) for p in params.values() if p.kind is p.POSITIONAL_OR_KEYWORD
        ]
    assert leading[FRONTS[0]][0] == ("data", inspect.Parameter.empty)
    assert leading[FRONTS[0]] == leading[FRONTS[1]] == leading[FRONTS[2]]


def _crossodds_by(front, frame):
    import dask.dataframe as dd

    import fundkernels.dask as fkd
    import fundkernels.frames as fkf
    import fundkernels.pandas as fkp

    if front == "pandas":
        return lambda types: fkp.crossodds(frame, types).to_numpy()
    if front == "frames":
        table = frame.rename_axis("date").reset_index()
        return lambda types: fkf.crossodds(table, types)["crossodds"].to_numpy()
    lazy = dd.from_pandas(frame, npartitions=2)
    return lambda types: fkd.crossodds(lazy, types=types).compute().to_numpy()


@pytest.mark.parametrize("front", ["pandas", "frames", "dask"])
def test_one_group_of_all_funds_is_chosen_never_assumed(front):
    import pandas as pd

    values = awkward_matrix(np.random.default_rng(5), 30, 5)
    frame = pd.DataFrame(
        values, index=pd.date_range("2020-01-31", periods=30, freq="ME"), columns=list("abcde")
    )
    call = _crossodds_by(front, frame)
    with pytest.raises(TypeError, match="crossodds needs types=.*'all'"):
        call(None)
    want = _panel.compute("crossodds", values, None, list("abcde"), types=dict.fromkeys("abcde", 7))
    assert same_bits(call("all"), want["crossodds"])
