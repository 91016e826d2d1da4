"""The command's writing: the result table as CSV, Parquet, JSON or aligned text, files
replaced only by finished ones."""

from __future__ import annotations

import json
import math
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Optional

import numpy as np

from ._cli_read import arrow
from ._errors import CommandError

OUTPUT_FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".json": "json"}


def output_format(path: Optional[str], what: str, formats: dict[str, str]) -> Optional[str]:
    if path is None:
        return None
    fmt = formats.get(Path(path).suffix.lower())
    if fmt is None:
        raise CommandError(
            f"cannot tell the format of {what} {path}: use one of {', '.join(formats)}"
        )
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise CommandError(f"the folder of {what} {path} does not exist")
    return fmt


def arrow_table(columns: dict[str, Any]) -> Any:
    pa = arrow()
    arrays = {}
    for name, col in columns.items():
        if isinstance(col, np.ndarray) and col.dtype.kind == "M":
            arrays[name] = pa.array(col, type=pa.date32(), mask=np.isnat(col))
        elif isinstance(col, np.ndarray):
            arrays[name] = pa.array(col)
        else:
            arrays[name] = pa.array(col, type=pa.string())
    return pa.table(arrays)


def _json(v: Any) -> str:
    """One JSON value; floats exactly (shortest repr), NaN as null, infinities as 1e999 and
    -1e999 (valid JSON numbers that every IEEE parser reads back as infinite)."""
    if v is None:
        return "null"
    if isinstance(v, float):
        if math.isnan(v):
            return "null"
        if math.isinf(v):
            return "1e999" if v > 0 else "-1e999"
        return repr(v)
    if isinstance(v, int):
        return str(v)
    return json.dumps(v, ensure_ascii=False)


def json_text(columns: dict[str, Any]) -> str:
    """The table as a JSON list of records, one per fund; dates as YYYY-MM-DD or null."""
    keys = [json.dumps(name, ensure_ascii=False) for name in columns]
    lists = []
    for col in columns.values():
        if isinstance(col, np.ndarray) and col.dtype.kind == "M":
            lists.append([None if np.isnat(x) else str(x) for x in col])
        elif isinstance(col, np.ndarray):
            lists.append(col.tolist())
        else:
            lists.append(list(col))
    rows = (
        "{" + ", ".join(f"{k}: {_json(v)}" for k, v in zip(keys, row)) + "}" for row in zip(*lists)
    )
    return "[\n" + ",\n".join(rows) + "\n]\n"


@contextmanager
def replaced_atomically(path: str) -> Iterator[Any]:
    """A temporary file beside path, renamed over it only when the block succeeds."""
    target = Path(path)
    fd, tmp = tempfile.mkstemp(
        prefix=f".{target.name}.", suffix=".tmp", dir=target.resolve().parent
    )
    try:
        # mkstemp makes the file private; give it the mode a new file gets (or the mode of
        # the file it replaces).
        try:
            mode = target.stat().st_mode & 0o7777
        except OSError:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        os.fchmod(fd, mode)
        with os.fdopen(fd, "wb") as fh:
            yield fh
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_output(fh: Any, fmt: str, columns: dict[str, Any]) -> None:
    """The table to an open binary file in the given format."""
    if fmt == "json":
        fh.write(json_text(columns).encode("utf-8"))
        return
    pa = arrow()
    table = arrow_table(columns)
    if fmt == "parquet":
        pa.parquet.write_table(table, fh)
    else:
        pa.csv.write_csv(table, fh, pa.csv.WriteOptions(quoting_style="needed"))


def _cell(v: Any) -> str:
    if isinstance(v, np.datetime64):
        return "-" if np.isnat(v) else str(v)
    if isinstance(v, (float, np.floating)):
        return f"{v:.6g}"
    return str(v)


def aligned_text(columns: dict[str, Any]) -> str:
    """The table as text: a header line and one line per fund, columns aligned."""
    names = list(columns)
    cells = [[_cell(v) for v in col] for col in columns.values()]
    widths = [max([len(n), *map(len, c)]) for n, c in zip(names, cells)]
    left = {"fund", "peer_group"}
    lines = [
        "  ".join(n.ljust(w) if n in left else n.rjust(w) for n, w in zip(names, widths)).rstrip()
    ]
    for row in zip(*cells):
        lines.append(
            "  ".join(
                v.ljust(w) if n in left else v.rjust(w) for n, v, w in zip(names, row, widths)
            ).rstrip()
        )
    return "\n".join(lines) + "\n"

