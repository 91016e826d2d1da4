"""Largest move over a run of positive values, written as a NumPy user would."""

import numpy as np

NO_RUN = "nan"


def date_texts(ns):
    """Eight-digit UTC dates of int64 nanosecond timestamps; seconds truncate toward zero."""
    sec = ns // 1_000_000_000
    sec += (ns < 0) & (ns % 1_000_000_000 != 0)  # floor -> toward zero for negatives
    days = sec.astype("datetime64[s]").astype("datetime64[D]")  # whole days: floor
    return np.char.replace(np.datetime_as_string(days, unit="D"), "-", "")


def peer(array_value, dates, i_code="positive"):
    x = np.asarray(array_value, dtype=np.float64)
    if isinstance(i_code, (bytes, bytearray)):
        i_code = i_code.decode()
    with np.errstate(all="ignore"):  # 0/0, inf/inf and overflow are part of the definition
        return _peer(x, np.asarray(dates, dtype=np.int64), i_code == "positive")


def _peer(x, dates, positive):
    R, C = x.shape
    if len(dates) < R:
        raise ValueError(f"dates has {len(dates)} elements, but the value matrix has {R} rows")
    if R == 0 or C == 0:  # nothing to scan; np.char.replace also rejects empty arrays
        return {
            "r": np.zeros(C),
            "p": np.zeros(C, dtype=np.int64),
            "s": [NO_RUN] * C,
            "l": [NO_RUN] * C,
        }
    sel = x > 0.0  # NaN, zero and losses end a run
    # Unselected rows multiply by exactly 1.0, which leaves the running product as it was.
    factor = np.where(sel, x + 1.0 if positive else 1.0 - x, 1.0)
    cp = np.cumprod(factor, axis=0)
    before = np.vstack([np.ones((1, C)), cp[:-1]])
    starts = sel & ~np.vstack([np.zeros((1, C), dtype=bool), sel[:-1]])
    rows = np.arange(R)[:, None]
    # Each run's growth is measured against the product as it stood before the run began.
    run_start = np.maximum.accumulate(np.where(starts, rows, 0), axis=0)
    ratio = np.where(sel, cp / np.take_along_axis(before, run_start, axis=0), np.nan)
    ratio[ratio == 1.0] = np.nan
    usable = ~np.isnan(ratio)
    if positive:
        extreme = np.where(usable, ratio, -np.inf).max(axis=0)
    else:
        extreme = np.where(usable, ratio, np.inf).min(axis=0)
    found = np.isfinite(extreme)
    # The latest row holding the extreme, and the first row of its block of usable rows.
    last_idx = R - 1 - np.argmax((ratio == extreme)[::-1], axis=0)
    block = np.maximum.accumulate(
        np.where(usable & ~np.vstack([np.zeros((1, C), dtype=bool), usable[:-1]]), rows, 0), axis=0
    )
    first_idx = block[last_idx, np.arange(C)]
    r = np.where(found, extreme - 1.0, 0.0)
    p = np.where(found, last_idx - first_idx + 1, 0)
    s = np.where(found, date_texts(dates[first_idx]), NO_RUN).tolist()
    l = np.where(found, date_texts(dates[last_idx]), NO_RUN).tolist()
    return {"r": r, "p": p, "s": s, "l": l}
