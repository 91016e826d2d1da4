"""Front ends for the indicator modules (troughmend, crossodds, horizonret, extremeset,
streakset), which are imported by their own names.

- ``fundkernels.pandas``: the indicators on a DataFrame of returns, results labelled by fund
  (needs pandas: ``pip install 'fundkernels[pandas]'``).
- ``fundkernels.dask``: the same over dask collections larger than one machine's memory
  (needs dask: ``pip install 'fundkernels[dask]'``).
- ``fundkernels.cli``: the ``fundkernels`` command (``python -m fundkernels``), every
  indicator for every fund of a CSV, Parquet or DuckDB table, as a table and an HTML
  report (needs ``pip install 'fundkernels[cli]'``).

None is imported here, so ``import fundkernels`` needs none of their dependencies.
"""
