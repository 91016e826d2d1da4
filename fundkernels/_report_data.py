"""The report's data: what each column is (from the indicator registry), how its values
are shown, and the table's data as the page's script reads it.

Values travel in the page as they are shown (see SCALE), so that the table sorts on what a
person sees and 5000 funds stay small; every text in the JSON has the characters that
could end a script element (<, > and &) written as \\u escapes.
"""

from __future__ import annotations

import base64
import json
import math
import zlib
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, Optional

import numpy as np

from ._ranks import GROUP_SIZE
from ._ranks import RANK_SUFFIX as RANK
from ._registry import INDICATORS, command_columns

PLAIN_DATA = 256 * 1024  # bytes of table data kept as readable JSON; more is deflated


class Meta(NamedTuple):
    """What the report needs to know of a column: its kind ("float", "int", "date"),
    which way is better ("higher", "lower", None), plain words, and how values read
    ("pct", "ratio", "int", "date", "num"; "rank" for the peer-group ranks)."""

    kind: str
    better: Optional[str]
    words: str
    fmt: str


def _registry_meta(horizons: Sequence[str]) -> dict[str, Meta]:
    """The command's columns as the indicator registry describes them; then the columns
    of the indicators the command does not run itself, under their own names (the
    statistics, when they are added to its table)."""
    out = {}
    for o in command_columns(horizons):
        out[o.name] = Meta(o.column.kind, _direction(o.column.better), o.column.words, o.column.fmt)
    for ind in INDICATORS.values():
        for c in ind.columns if ind.command is None else ():
            out.setdefault(c.name, Meta(c.kind, _direction(c.better), c.words, c.fmt))
    return out


def _direction(better: object) -> Optional[str]:
    return better if better in ("higher", "lower") else None


def ranked(name: str, columns: Mapping[str, Any]) -> Optional[str]:
    """The column whose peer-group rank the column `name` is, if it is one."""
    base = name[: -len(RANK)]
    return base if name.endswith(RANK) and base in columns else None


def describe(columns: Mapping[str, Any], horizons: Sequence[str]) -> dict[str, Meta]:
    """Every column of the table with its metadata; a column the report does not know is
    described by its values alone (no direction, no words)."""
    known = _registry_meta(horizons)
    out = {}
    for name, col in columns.items():
        if name in ("fund", "peer_group"):
            continue
        if name in known:
            out[name] = known[name]
        elif ranked(name, columns):
            out[name] = Meta("float", "lower", f"percentile rank of {ranked(name, columns)}"
                             " within the fund's peer group: 1 the best, 100 the worst", "rank")  # fmt: skip
        elif name == GROUP_SIZE:
            out[name] = Meta("int", None, "number of funds in the fund's peer group", "int")
        else:
            kind = np.asarray(col).dtype.kind
            k, f = {"M": ("date", "date"), "i": ("int", "int"), "u": ("int", "int")}.get(
                kind, ("float", "num")
            )
            out[name] = Meta(k, None, "", f)
    return out


# --- formatting --------------------------------------------------------------------------


# Values travel in the page's data as they are shown, in units of their last shown digit:
# a percentage with two decimals as an integer number of 0.0001, a ratio with three as
# one of 0.001. The table then sorts on what it shows, and 5000 funds stay small. Ranks
# (1 to 100, fractions where a group is not 100 funds) are kept in tenths, shown whole.
SCALE = {"pct": 10_000, "ratio": 1_000, "int": 1, "rank": 10}
DIGITS = 4  # significant digits of other values


def shown_units(v: float, fmt: str) -> float:
    """A value in its shown units (NaN and the infinities as they are)."""
    if not math.isfinite(v):
        return v
    if fmt in SCALE:
        return float(round(v * SCALE[fmt]))
    return float(f"{v:.{DIGITS}g}")


def show(v: Any, fmt: str) -> str:
    """A value as the page shows it (the script's format() does the same in the table)."""
    if fmt == "date":
        return "-" if v is None or np.isnat(v) else str(v)
    q = shown_units(float(v), fmt)
    if math.isnan(q):
        return "n/a"
    if math.isinf(q):
        return "inf" if q > 0 else "-inf"
    if fmt == "pct":
        return f"{q / 100:.2f}%"
    if fmt == "ratio":
        return f"{q / 1000:.3f}"
    if fmt == "rank":  # kept in tenths, so that the order is true; shown whole, half up
        return str(math.floor(q / 10 + 0.5))
    if fmt == "int" or (q == int(q) and abs(q) < 1e15):
        return str(int(q))
    return repr(q)


def _json_number(q: float) -> str:
    """A value in shown units for the page's data: null for NaN, +-1e999 for the
    infinities (JSON numbers that parse as infinite)."""
    if math.isnan(q):
        return "null"
    if math.isinf(q):
        return "1e999" if q > 0 else "-1e999"
    if q == int(q) and abs(q) < 1e15:
        return str(int(q))
    return f"{q:.{DIGITS}g}"


def script_json(obj: Any) -> str:
    """JSON for a <script> element: markup characters escaped so that no text can end the
    element or open a comment inside it."""
    text = json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


class Raw(str):
    """JSON text inserted as it is (the number arrays, already formatted)."""


def _dumps(obj: Any) -> str:
    if isinstance(obj, Raw):
        return str(obj)
    if isinstance(obj, dict):
        return "{" + ",".join(f"{script_json(k)}:{_dumps(v)}" for k, v in obj.items()) + "}"
    if isinstance(obj, list):
        return "[" + ",".join(_dumps(v) for v in obj) + "]"
    return script_json(obj)


def table_data(
    columns: Mapping[str, Any], meta: Mapping[str, Meta], shown: Sequence[str]
) -> tuple[str, list[str]]:
    """The JSON the screening table is made from, and its group names."""
    groups = sorted(set(columns["peer_group"]))
    index = {g: i for i, g in enumerate(groups)}
    cols = []
    values: dict[str, Raw] = {}
    for name in [*shown, *(n for n in meta if n not in shown)]:  # the headline first
        m = meta[name]
        if m.kind == "date":
            continue  # dates are in the output file and the drawdown tables
        v = np.asarray(columns[name], dtype=np.float64)
        units = (_json_number(shown_units(x, m.fmt)) for x in v.tolist())
        values[name] = Raw("[" + ",".join(units) + "]")
        rank = name + RANK
        cols.append(
            {
                "key": name,
                "words": m.words,
                "better": m.better,
                "fmt": m.fmt,
                "rank": rank if rank in meta else None,
                "of": ranked(name, meta),
                "show": name in shown,
            }
        )
    data = {
        "funds": [str(f) for f in columns["fund"]],
        "groups": groups,
        "group": Raw("[" + ",".join(str(index[g]) for g in columns["peer_group"]) + "]"),
        "columns": cols,
        "values": values,
    }
    return _dumps(data), groups


def data_element(data: str) -> str:
    """The table's data in the page: as JSON text, or when that is large (thousands of
    funds, many columns) deflated and in base64, about a third of the size, which the
    script inflates with the browser's own DecompressionStream."""
    raw = data.encode("utf-8")
    if len(raw) <= PLAIN_DATA:
        return f'<script type="application/json" id="fk-data">{data}</script>'
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)  # raw deflate, no header
    packed = base64.b64encode(packer.compress(raw) + packer.flush()).decode("ascii")
    return (
        '<script type="application/octet-stream" id="fk-data" data-encoding="deflate-raw">'
        f"{packed}</script>"
    )
