"""Type information as installed: mypy on a typed example, and the stubs against the modules."""

import ast
import importlib
import re
import shutil
import subprocess
import sys
import typing
from pathlib import Path

import numpy as np
import pytest

from fundkernels._registry import INDICATORS

pytestmark = pytest.mark.slow  # runs mypy over the front ends

HERE = Path(__file__).resolve().parent
# The compiled modules with stubs: every registry entry whose module is a public one.
MODULES = [e.module.partition(":")[0] for e in INDICATORS.values() if "." not in e.module]


def test_mypy_strict_on_typed_example_and_front_ends(tmp_path):
    pytest.importorskip("polars")  # the example passes polars tables too
    # Run outside the source tree, so the installed package and stub packages are used.
    shutil.copy(HERE / "typed_example.py", tmp_path)
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--allow-untyped-calls",
        "--cache-dir",
        str(tmp_path / "cache"),
    ]
    run = subprocess.run(
        [*cmd, "-m", "typed_example", "-p", "fundkernels"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    # The example and every module of the package (a stub counts for its extension; a
    # folder of data counts as a namespace package).
    package = Path(importlib.import_module("fundkernels").__file__).parent
    modules = {p.stem for p in package.iterdir() if p.suffix in (".py", ".pyi")}
    folders = {p.name for p in package.iterdir() if p.is_dir() and p.name != "__pycache__"}
    sources = 1 + len(modules | folders)
    assert f"Success: no issues found in {sources} source files" in run.stdout


def test_typed_example_runs(tmp_path):
    pytest.importorskip("polars")
    shutil.copy(HERE / "typed_example.py", tmp_path)
    run = subprocess.run(
        [sys.executable, "typed_example.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "typed example ran"


def stub_of(name):
    """The stub function node, the stub module's namespace and the installed stub's text."""
    module = importlib.import_module(name)
    path = Path(module.__file__).parent / f"{name}-stubs" / "__init__.pyi"
    text = path.read_text()
    assert text == (Path(module.__file__).parent / f"{name}.pyi").read_text()
    tree = ast.parse(text)
    (fn,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name]
    namespace = {}
    exec(compile(text, str(path), "exec"), namespace)
    return fn, namespace, module


def runtime_params(doc):
    """(name, default) of every parameter in the binding's signature line."""
    line = doc.splitlines()[0]
    inner = line[line.index("(") + 1 : line.rindex(") ->")]
    return [
        (m.group(1), m.group(3))
        for m in re.finditer(r"(\w+): [\w.\[\]]+(?: = ('?)([^,']*)\2)?(?:, |$)", inner)
    ]


@pytest.mark.parametrize("name", MODULES)
def test_stub_parameters_match_the_binding(name):
    fn, _, module = stub_of(name)
    assert len(ast.get_docstring(fn).splitlines()) > 2  # what IDEs show: more than a title
    params = runtime_params(getattr(module, name).__doc__)
    if all(p.startswith("arg") for p, _ in params):  # unnamed: positional only
        assert len(fn.args.posonlyargs) == len(params) and not fn.args.args
        assert not fn.args.defaults
    else:
        stub = [(a.arg, None) for a in fn.args.args]
        for i, default in enumerate(fn.args.defaults, start=len(stub) - len(fn.args.defaults)):
            stub[i] = (stub[i][0], ast.literal_eval(default))
        assert not fn.args.posonlyargs and stub == [(p, d or None) for p, d in params]


def matches(value, hint):
    """Whether a runtime value fits a stub's return annotation (arrays by dtype)."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is np.ndarray:
        return isinstance(value, np.ndarray) and value.dtype == typing.get_args(args[1])[0]
    if origin is tuple:
        return (
            isinstance(value, tuple) and len(value) == len(args) and all(map(matches, value, args))
        )
    if origin is list:
        return isinstance(value, list) and all(matches(v, args[0]) for v in value)
    if typing.is_typeddict(hint):
        fields = typing.get_type_hints(hint)
        return (
            isinstance(value, dict)
            and list(value) == list(fields)
            and all(matches(value[k], fields[k]) for k in fields)
        )
    return isinstance(value, hint)


@pytest.mark.parametrize("name", MODULES)
def test_stub_return_type_matches_a_real_result(name):
    fn, namespace, module = stub_of(name)
    hint = typing.get_type_hints(namespace[name])["return"]
    x = np.array([[0.01, -0.02, np.nan], [0.03, 0.01, 0.02], [-0.01, 0.04, 0.05]])
    dates = np.arange(3, dtype=np.int64) * 86_400_000_000_000
    args = {
        "troughmend": (x,),
        "crossodds": (np.array([1, 1, 2], np.int32), x),
        "horizonret": ("1M", x, np.zeros(3, np.int64), np.full(3, 2, np.int64), dates),
        "extremeset": (x, dates),
        "streakset": (x, dates),
    }[name]
    result = getattr(module, name)(*args)
    assert matches(result, hint)
