import math

import numpy as np


def troughmend(x):
    """Compound each column (NaN skipped), then count the longest stretch of rows strictly
    below the running peak; the peak starts at the value 1.0 before the first row."""
    out = []
    for c in range(x.shape[1]):
        net = [1.0]
        acc = 1.0
        for v in x[:, c].tolist():
            if not math.isnan(v):
                acc = acc * (v + 1.0)
            net.append(acc)
        peak, cur, longest = 1.0, 0, 0
        for value in net[1:]:
            if value > peak:
                peak = value
            dd = (value - peak) / peak  # the peak is at least 1.0
            if dd != 0.0:  # NaN counts as a drawdown row
                cur += 1
                longest = max(longest, cur)
            else:
                cur = 0
        out.append(longest)
    return np.array(out, dtype=np.int64)


# The module's calls on a value matrix x, by label: the tests' and the benchmark's cases.
CASES = {"troughmend": lambda x: (x,)}
