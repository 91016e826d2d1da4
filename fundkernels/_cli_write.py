"""The command's writing: the result table as CSV, Parquet, JSON or aligned text, files
replaced only by finished ones."""

from __future__ import annotations

import json
import math
import os
import shutil
import sys
import tempfile
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Optional

import numpy as np

from ._arrow_numpy import arrow_array
from ._cli_tables import PROG, arrow
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
    if Path(path).is_dir():
        raise CommandError(f"--{what.split()[-1]} {path} is a folder: name a file")
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise CommandError(f"the folder of {what} {path} does not exist")
    return fmt


def arrow_table(columns: dict[str, Any]) -> Any:
    """The columns as an Arrow table: numbers as they are (NaN stays NaN), dates as dates
    (NaT a null), lists as text."""
    pa = arrow()
    return pa.table({name: arrow_array(col, pa) for name, col in columns.items()})


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


def check_destinations(dests: dict[str, Optional[str]], reads: Sequence[Path]) -> None:
    """Refuse an output that is, or resolves to (a relative path, a symbolic or a hard link),
    a file that is read, or lies inside a folder that is read; and two outputs that are one
    file. Checked before anything is read or written."""
    given = {option: Path(path) for option, path in dests.items() if path is not None}
    for option, target in given.items():
        where = target.resolve()
        for source in reads:
            what = "folder" if source.is_dir() else "file"
            if _same(target, source) or (source.is_dir() and source.resolve() in where.parents):
                raise CommandError(
                    f"{option} {target} would write over the input {what} {source}: choose"
                    " another file (nothing was written)"
                )
    if len(given) == 2:
        (a, pa), (b, pb) = given.items()
        if _same(pa, pb):
            raise CommandError(f"{a} and {b} name the same file {pa}: give two files")


def _same(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist
        return False


@contextmanager
def replaced_atomically(path: str, option: str = "the output") -> Iterator[Any]:
    """A temporary file beside path, renamed over it only when the block succeeds. A file
    that cannot be written is told by its own name (and option), never the temporary one."""
    target = Path(path)
    try:
        fd, tmp = tempfile.mkstemp(
            prefix=f".{target.name}.", suffix=".tmp", dir=target.resolve().parent
        )
    except OSError as exc:
        raise CommandError(f"cannot write {option} {path}: {exc.strerror or exc}") from None
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
        try:
            os.replace(tmp, target)
        except OSError as exc:
            raise CommandError(f"cannot write {option} {path}: {exc.strerror or exc}") from None
    except OSError as exc:  # writing failed (a full disk, say)
        _unlink(tmp)
        raise CommandError(f"cannot write {option} {path}: {exc.strerror or exc}") from None
    except BaseException:
        _unlink(tmp)
        raise


def _unlink(tmp: str) -> None:
    try:
        os.unlink(tmp)
    except OSError:
        pass


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


def main_columns(columns: dict[str, Any]) -> list[str]:
    """The fund, its group and the main column of each indicator."""
    main = ("fund", "peer_group", "troughmend", "crossodds")
    runs = ("extremeset_gain_return", "extremeset_loss_return")
    streaks = ("streakset_gain_length", "streakset_loss_length")
    return [
        c
        for c in columns
        if c in main
        or c in runs
        or c in streaks
        or (c.startswith("horizonret_") and c.endswith("_mean"))
    ]


def terminal_text(columns: dict[str, Any], chosen: Optional[list[str]], every: bool) -> str:
    """The table for stdout: the columns chosen, every column, or on a terminal the main
    ones that fit its width (with a note of what is left out)."""
    if chosen is not None:
        unknown = [c for c in chosen if c not in columns]
        if unknown:
            raise CommandError(
                f"--columns names {unknown[0]!r}, which is no output column; they are"
                f" {', '.join(columns)}"
            )
        names = ["fund", *[c for c in chosen if c != "fund"]]
        return aligned_text({c: columns[c] for c in names})
    if every or not sys.stdout.isatty():
        return aligned_text(columns)
    names = main_columns(columns)
    width = shutil.get_terminal_size().columns
    text = aligned_text({c: columns[c] for c in names})
    while len(names) > 1 and max(map(len, text.splitlines())) > width:
        names.pop()
        text = aligned_text({c: columns[c] for c in names})
    print(
        f"{PROG}: note: {len(names)} of {len(columns)} columns shown to fit the terminal;"
        " --all-columns shows every one, --columns chooses (files get every column)",
        file=sys.stderr,
    )
    return text
