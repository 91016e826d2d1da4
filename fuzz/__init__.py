"""Fuzz targets and their driver (python -m fuzz.run).

tests/ joins the path for the plain-Python definitions of the indicators (package
fk_references), which judge every call.
"""

import sys
from pathlib import Path

_TESTS = str(Path(__file__).resolve().parents[1] / "tests")
if _TESTS not in sys.path:
    sys.path.append(_TESTS)
