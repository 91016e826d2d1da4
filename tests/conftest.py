import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# The tests run against the installed package (`make install-test`): its compiled kernels
# (fundkernels._drawdown) exist only there, and the source tree's fundkernels/, which
# `python -m pytest` puts first on the path when run from the repository root, would shadow
# it. Worker processes started by the tests inherit this path.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != ROOT]

# The vectorised NumPy peers in bench/ are checked against the modules here too.
sys.path.insert(0, str(ROOT / "bench"))
