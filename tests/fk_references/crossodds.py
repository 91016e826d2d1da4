import math

import numpy as np

from .calls import cols_of

nan = math.nan


def crossodds(codes, x):
    """Group medians by full sorting, flags per date, then pairs of consecutive flags."""
    rows, cols = x.shape
    vals, groups, flags = x.tolist(), {}, [[-1] * cols for _ in range(rows)]
    for c in range(cols):
        groups.setdefault(int(codes[c]), []).append(c)
    for members in groups.values():
        for d in range(rows):
            s = sorted(vals[d][c] for c in members if not math.isnan(vals[d][c]))
            k = len(s) // 2
            m = nan if not s else s[k] if len(s) % 2 else (s[k - 1] + s[k]) * 0.5
            for c in members:
                if not (math.isnan(vals[d][c]) or math.isnan(m)):
                    flags[d][c] = 1 if vals[d][c] >= m else 0
    out = []
    for c in range(cols):
        seq = [flags[d][c] for d in range(rows) if flags[d][c] >= 0]
        flips = sum(a != b for a, b in zip(seq, seq[1:]))
        out.append((len(seq) - 1 - flips) / flips if flips else nan)
    return np.array(out, dtype=np.float64)


# The module's calls on a value matrix x, by label: ten type groups, and (benchmark) one
# fund per type code, 2,000 single-fund groups at 10000 x 2000.
CASES = {
    "crossodds": lambda x: ((np.arange(cols_of(x)) % 10).astype(np.int32), x),
    "crossodds-solo": lambda x: (np.arange(cols_of(x), dtype=np.int32), x),
}
