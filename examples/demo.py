"""The indicators on a real panel: monthly returns of 30 US equity portfolios since 1949.

Run with `make demo`. Reads examples/data/french.csv.bz2 with the standard library.
"""

import bz2
import csv
from pathlib import Path

import numpy as np

from troughmend import troughmend

DATA = Path(__file__).resolve().parent / "data" / "french.csv.bz2"
FACTORS = {"MktRF", "SMB", "HML", "Mom", "RF"}  # factor columns, not portfolios


def load(path=DATA):
    """Dates (int64 ns), portfolio names and the (months x portfolios) return matrix."""
    with bz2.open(path, "rt", newline="") as fh:
        rows = list(csv.reader(fh))
    header, body = rows[0], rows[1:]
    keep = [i for i, name in enumerate(header) if i > 0 and name not in FACTORS]
    dates = np.array([r[0] for r in body], dtype="datetime64[ns]").astype(np.int64)
    values = np.array([[float(r[i]) if r[i] else np.nan for i in keep] for r in body])
    return dates, [header[i] for i in keep], values


def main():
    dates, names, returns = load()
    first = np.datetime64(int(dates[0]), "ns").astype("datetime64[M]")
    last = np.datetime64(int(dates[-1]), "ns").astype("datetime64[M]")
    print(f"{len(names)} portfolios, {len(dates)} months from {first} to {last}\n")

    drawdown = troughmend(returns)

    table = {"longest drawdown (months)": [str(v) for v in drawdown]}
    order = np.argsort(-drawdown, kind="stable")
    widths = [max(len(h), 5) for h in table]
    print(f"{'portfolio':<10}" + "".join(f"  {h:>{w}}" for h, w in zip(table, widths)))
    for i in order:
        print(f"{names[i]:<10}" + "".join(f"  {col[i]:>{w}}" for col, w in zip(table.values(), widths)))


if __name__ == "__main__":
    main()
