"""The indicators on a real panel: monthly returns of 30 US equity portfolios since 1949.

Run with `make demo`. Reads the panel shipped inside the installed package
(fundkernels/data/french.csv.bz2) into a pandas DataFrame, prints every indicator per
portfolio through fundkernels.pandas and writes one figure (longest drawdown and share of
winning years per portfolio) to examples/out/.
"""

from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd

import fundkernels.pandas as fk

HERE = Path(__file__).resolve().parent
DATA = Path(str(resources.files("fundkernels").joinpath("data", "french.csv.bz2")))
FIGURE = HERE / "out" / "drawdown_and_win_share.png"
FACTORS = ["MktRF", "SMB", "HML", "Mom", "RF"]  # factor columns, not portfolios
GROUPS = {1: "industry", 2: "size/value", 3: "size/mom"}


def load(path=DATA):
    """The (months x portfolios) frame of returns, dated by the first day of the month."""
    frame = pd.read_csv(path, index_col="dates", parse_dates=["dates"])
    return frame.drop(columns=FACTORS)


def group_of(name):
    """1 for the industries, 2 for the size/value and 3 for the size/momentum portfolios."""
    if name[0] == "S" and name[1].isdigit():
        return 2 if name[2] == "V" else 3
    return 1


def pct(x, digits=1):
    return "n/a" if np.isnan(x) else f"{100 * x:.{digits}f}%"


def span(first, last):
    return "-" if pd.isna(first) else f"{first:%Y-%m}..{last:%Y-%m}"


def print_table(title, columns, order):
    """columns: (heading, Series of texts by portfolio) pairs; rows in the given order."""
    print(title)
    widths = [max(len(h), *(len(v) for v in texts)) for h, texts in columns]
    print(f"{'portfolio':<10}" + "".join(f"  {h:>{w}}" for (h, _), w in zip(columns, widths)))
    for name in order:
        print(
            f"{name:<10}"
            + "".join(f"  {texts[name]:>{w}}" for (_, texts), w in zip(columns, widths))
        )
    print()


def chart(drawdown, win_1y, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no figure (pip install '.[demo]')")
        return
    order = drawdown.sort_values(kind="stable").index
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 7), sharey=True)
    left.barh(order, drawdown[order], color="tab:red")
    left.set_xlabel("longest drawdown (months below the previous peak)")
    right.barh(order, 100 * win_1y[order], color="tab:blue")
    right.set_xlabel("share of positive 1-year horizon returns (%)")
    right.set_xlim(50, 100)
    fig.suptitle("Longest time under water and how often a year ended with a gain, 1949 to 2017")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    shown = path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path
    print(f"figure written to {shown}")


def main():
    returns = load()
    first, last = returns.index[[0, -1]]
    print(
        f"{returns.shape[1]} portfolios, {len(returns)} months from {first:%Y-%m} to {last:%Y-%m}\n"
    )

    codes = pd.Series({name: group_of(name) for name in returns.columns})
    drawdown = fk.troughmend(returns)
    persistence = fk.crossodds(returns, codes)
    one = fk.horizonret(returns, "1Y")
    three = fk.horizonret(returns, "3Y")

    print_table(
        "Drawdowns, persistence against the group median, and 1-year and 3-year horizons",
        [
            ("group", codes.map(GROUPS)),
            ("longest drawdown (months)", drawdown.map(str)),
            ("persistence", persistence.map("{:.3f}".format)),
            ("1Y mean", one["mean"].map(pct)),
            ("1Y median", one["median"].map(pct)),
            ("1Y win", one["win"].map(lambda v: pct(v, 0))),
            ("1Y < -10%", one["loss_over_10"].map(lambda v: pct(v, 0))),
            ("3Y mean", three["mean"].map(pct)),
            ("3Y win", three["win"].map(lambda v: pct(v, 0))),
        ],
        drawdown.sort_values(ascending=False, kind="stable").index,
    )

    best = fk.extremeset(returns)
    worst = fk.extremeset(returns, mode="loss")  # the deepest fall over losing months
    wins = fk.streakset(returns)
    losses = fk.streakset(returns, mode="loss")
    print_table(
        "Best and worst runs, longest winning and losing streaks (months)",
        [
            ("best run", best["return"].map(pct)),
            ("len", best["length"].map(str)),
            ("best when", best.apply(lambda r: span(r["first"], r["last"]), axis=1)),
            ("worst run", worst["return"].map(pct)),
            ("len", worst["length"].map(str)),
            ("worst when", worst.apply(lambda r: span(r["first"], r["last"]), axis=1)),
            ("win streak", wins["length"].map(str)),
            ("gain", wins["return"].map(pct)),
            ("lose streak", losses["length"].map(str)),
            ("loss", losses["return"].map(pct)),
        ],
        best["return"].sort_values(ascending=False, kind="stable").index,
    )

    chart(drawdown, one["win"], FIGURE)


if __name__ == "__main__":
    main()
