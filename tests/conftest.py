import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# The tests run against the installed package (`make install-test`): its compiled kernels
# (fundkernels._drawdown) exist only there, and the source tree's fundkernels/, which
# `python -m pytest` puts first on the path when run from the repository root, would shadow
# it. Worker processes started by the tests inherit this path; interpreters started with
# `python -c` are kept from putting the working directory first as well.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != ROOT]
os.environ["PYTHONSAFEPATH"] = "1"

# The vectorised NumPy peers in bench/ are checked against the modules here too.
sys.path.insert(0, str(ROOT / "bench"))
