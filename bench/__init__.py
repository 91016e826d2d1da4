"""Benchmark and the NumPy peers of the indicators (run as python -m bench.run).

`python -m` puts the repository root first on the path, where the source tree's
fundkernels/ lacks the compiled kernels of the installed package: the root moves behind
site-packages, where it still serves the package bench; tests/ joins the path for the
plain-Python definitions of the indicators (package fk_references).
"""

import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[1]
_at_root = [p for p in sys.path if Path(p or ".").resolve() == _ROOT]
sys.path[:] = [p for p in sys.path if p not in _at_root] + _at_root
if str(_ROOT / "tests") not in sys.path:
    sys.path.append(str(_ROOT / "tests"))
