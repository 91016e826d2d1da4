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

from importlib import metadata as _metadata

from ._errors import InputError, InputTypeError, PriceLikeWarning

try:
    __version__: str = _metadata.version("fundkernels")
except _metadata.PackageNotFoundError:  # a source tree on the path, not installed
    __version__ = "0+unknown"

__all__ = ["InputError", "InputTypeError", "PriceLikeWarning", "__version__"]
