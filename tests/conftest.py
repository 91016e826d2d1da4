import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# The tests run against the installed package (`make install-test`): its compiled kernels
# (fundkernels._drawdown) exist only there, and the source tree's fundkernels/ must not
# shadow it. The repository root stays on the path for the packages bench and tests, but
# behind site-packages; worker processes started by the tests inherit this order, and
# interpreters started with `python -c` are kept from putting the working directory first.
at_root = [p for p in sys.path if Path(p or ".").resolve() == ROOT]
sys.path[:] = [p for p in sys.path if p not in at_root] + at_root
os.environ["PYTHONSAFEPATH"] = "1"
