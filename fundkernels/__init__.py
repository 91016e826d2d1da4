"""Front ends for the indicator modules (troughmend, crossodds, horizonret, extremeset,
streakset), which are imported by their own names.

- ``fundkernels.pandas``: the indicators on a DataFrame of returns, results labelled by fund
  (needs pandas: ``pip install 'fundkernels[pandas]'``).
- ``fundkernels.frames``: the same on a table of any data frame library (pandas, polars,
  pyarrow), wide or long, with the result in that library (needs narwhals:
  ``pip install 'fundkernels[frames]'``).
- ``fundkernels.dask``: the same over dask collections larger than one machine's memory
  (needs dask: ``pip install 'fundkernels[dask]'``).
- ``fundkernels.cli``: the ``fundkernels`` command (``python -m fundkernels``), every
  indicator for every fund of a CSV, Parquet or DuckDB table, as a table and an HTML
  report (needs ``pip install 'fundkernels[cli]'``).

Each takes net asset values instead of returns with ``navs=True``. None is imported here,
so ``import fundkernels`` needs none of pandas, narwhals, dask, pyarrow or duckdb.
"""

from ._errors import InputError, InputTypeError, PriceLikeWarning

__all__ = ["InputError", "InputTypeError", "PriceLikeWarning", "__version__"]
__version__: str  # set by __getattr__ below on first use


def __getattr__(name: str) -> str:
    """__version__, looked up when asked for: importlib.metadata costs tens of milliseconds
    of every import of fundkernels (each run of the command) that never asks."""
    if name != "__version__":
        raise AttributeError(f"module 'fundkernels' has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("fundkernels")
    except metadata.PackageNotFoundError:  # a source tree on the path, not installed
        version = "0+unknown"
    globals()["__version__"] = version
    return version
