import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

# The tests run against the installed package (`make install-test`): its compiled kernels
# (fundkernels._drawdown) exist only there, and the source tree's fundkernels/ must not
# shadow it. The repository root stays on the path for the packages bench and tests, but
# behind site-packages; worker processes started by the tests inherit this order, and
# interpreters started with `python -c` are kept from putting the working directory first.
at_root = [p for p in sys.path if Path(p or ".").resolve() == ROOT]
sys.path[:] = [p for p in sys.path if p not in at_root] + at_root
os.environ["PYTHONSAFEPATH"] = "1"


@pytest.fixture(scope="module")
def client():
    """A local dask cluster of two worker processes, one per test module that asks for it.
    Loopback only; the scheduler serves HTTP even without a dashboard, on port 8787 unless
    told otherwise: any free port will do."""
    from distributed import Client, LocalCluster

    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
    )
    with cluster, Client(cluster) as c:
        yield c
