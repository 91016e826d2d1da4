"""Fuzz targets and their driver (python -m fuzz.run).

`python -m` puts the repository root first on the path, where the source tree's
fundkernels/ lacks the compiled kernels of the installed package (whose registry names
each target): the root moves behind site-packages. tests/ joins the path for the
plain-Python definitions of the indicators (package fk_references), which judge every call.
"""

import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _ROOT] + [str(_ROOT)]
if str(_ROOT / "tests") not in sys.path:
    sys.path.append(str(_ROOT / "tests"))
