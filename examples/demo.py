"""The indicators on a real panel: monthly returns of 30 US equity portfolios since 1949.

Run with `make demo`. Reads examples/data/french.csv.bz2 with the standard library,
prints the indicators per portfolio and writes a chart to examples/out/.
"""

import bz2
import csv
from pathlib import Path

import numpy as np

from crossodds import crossodds
from extremeset import extremeset
from horizonret import horizonret
from streakset import streakset
from troughmend import troughmend

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "french.csv.bz2"
OUT = HERE / "out"
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


def group_codes(names):
    """1 for the industries, 2 for the size/value and 3 for the size/momentum portfolios."""
    def code(name):
        if name[0] == "S" and name[1].isdigit():
            return 2 if name[2] == "V" else 3
        return 1
    return np.array([code(n) for n in names], dtype=np.int32)


def valid_window(returns):
    """Per column, the first and last row holding a value (0 and -1 for an empty column)."""
    valid = ~np.isnan(returns)
    any_valid = valid.any(axis=0)
    first = np.where(any_valid, valid.argmax(axis=0), 0)
    last = np.where(any_valid, len(returns) - 1 - valid[::-1].argmax(axis=0), -1)
    return first.astype(np.int64), last.astype(np.int64)


def pct(x, digits=1):
    return "n/a" if np.isnan(x) else f"{100 * x:.{digits}f}%"


def span(start, end):
    if start == "nan":
        return "-"
    return f"{start[:4]}-{start[4:6]}..{end[:4]}-{end[4:6]}"


def print_table(title, names, columns, order):
    print(title)
    widths = [max(len(h), *(len(v) for v in values)) for h, values in columns]
    print(f"{'portfolio':<10}" + "".join(f"  {h:>{w}}" for (h, _), w in zip(columns, widths)))
    for i in order:
        print(f"{names[i]:<10}" + "".join(f"  {v[i]:>{w}}" for (_, v), w in zip(columns, widths)))
    print()


def chart(names, win_1y, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart (pip install '.[demo]')")
        return
    order = np.argsort(win_1y)
    fig, ax = plt.subplots(figsize=(8, 7))
    ax.barh([names[i] for i in order], 100 * win_1y[order], color="tab:blue")
    ax.set_xlabel("share of positive 1-year horizon returns (%)")
    ax.set_xlim(50, 100)
    ax.set_title("How often a year in the portfolio ended with a gain")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    print(f"chart written to {path}")


def main():
    dates, names, returns = load()
    first = np.datetime64(int(dates[0]), "ns").astype("datetime64[M]")
    last = np.datetime64(int(dates[-1]), "ns").astype("datetime64[M]")
    print(f"{len(names)} portfolios, {len(dates)} months from {first} to {last}\n")

    codes = group_codes(names)
    drawdown = troughmend(returns)
    persistence = crossodds(codes, returns)
    start, end = valid_window(returns)
    one = horizonret("1Y", returns, start, end, dates)
    three = horizonret("3Y", returns, start, end, dates)

    print_table(
        "Drawdowns, persistence against the group median, and 1-year and 3-year horizons",
        names,
        [
            ("group", [["", "industry", "size/value", "size/mom"][c] for c in codes]),
            ("longest drawdown (months)", [str(v) for v in drawdown]),
            ("persistence", [f"{v:.3f}" for v in persistence]),
            ("1Y mean", [pct(v) for v in one[0]]),
            ("1Y median", [pct(v) for v in one[1]]),
            ("1Y win", [pct(v, 0) for v in one[2]]),
            ("1Y < -10%", [pct(v, 0) for v in one[8]]),
            ("3Y mean", [pct(v) for v in three[0]]),
            ("3Y win", [pct(v, 0) for v in three[2]]),
        ],
        np.argsort(-drawdown, kind="stable"),
    )

    best = extremeset(returns, dates)
    # Inverted mode on the sizes of losses: the deepest compounded fall over losing months.
    worst = extremeset(-returns, dates, "loss")
    wins = streakset(returns, dates)
    losses = streakset(-returns, dates, "loss")
    print_table(
        "Best and worst runs, longest winning and losing streaks (months)",
        names,
        [
            ("best run", [pct(v) for v in best["r"]]),
            ("len", [str(v) for v in best["p"]]),
            ("best when", [span(s, e) for s, e in zip(best["s"], best["l"])]),
            ("worst run", [pct(v) for v in worst["r"]]),
            ("len", [str(v) for v in worst["p"]]),
            ("worst when", [span(s, e) for s, e in zip(worst["s"], worst["l"])]),
            ("win streak", [str(v) for v in wins[3]]),
            ("gain", [pct(v) for v in wins[0]]),
            ("lose streak", [str(v) for v in losses[3]]),
            ("loss", [pct(v) for v in losses[0]]),
        ],
        np.argsort(best["r"])[::-1],
    )

    chart(names, one[2], OUT / "win_share_1y.png")


if __name__ == "__main__":
    main()
