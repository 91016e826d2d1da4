"""The command's input as its arguments name it: a CSV or Parquet file or folder
(``fundkernels._cli_files``), a DuckDB query (``fundkernels._cli_sql``) or the panel shipped
with the package; the types file; and every file the command reads, so that nothing read is
written over."""

from __future__ import annotations

import argparse
import glob
import re
from importlib import resources
from pathlib import Path
from typing import Any, Optional

from ._cli_files import read_input
from ._cli_sql import read_sql
from ._cli_tables import Layout, Places
from ._errors import CommandError

# The panel shipped with the package (the demo's data): monthly returns of 30 US equity
# portfolios, dated in the column "dates", beside factor columns that are not portfolios,
# and the portfolios' groups (industry, size/value, size/momentum) for crossodds.
SHIPPED_PANEL = "data/french.csv.bz2"
SHIPPED_TYPES = "data/french_types.csv"
SHIPPED_DATE = "dates"
SHIPPED_NOT_FUNDS = ("MktRF", "SMB", "HML", "Mom", "RF")


def shipped(name: str) -> str:
    return str(resources.files("fundkernels").joinpath(name))


def check_input_options(args: argparse.Namespace) -> None:
    if args.sql and args.input:
        raise CommandError("give either an input file or --sql, not both")
    if args.database and not args.sql:
        raise CommandError("--database needs --sql with a query over it")
    if not args.sql and not args.input and (args.fund or args.value or args.navs):
        raise CommandError(
            "--fund, --value and --navs need an input: the shipped panel is wide returns"
        )


def input_table(args: argparse.Namespace, layout: Layout) -> tuple[Any, Places, str]:
    """The input table, where its rows come from and what to call it."""
    check_input_options(args)
    if args.sql:
        source = "SQL query" + (f" over {args.database}" if args.database else "")
        table, places = read_sql(args.sql, args.database, layout)
        return table, places, source
    if args.input:
        table, places = read_input(args.input, layout)
        return table, places, args.input
    table, places = read_input(shipped(SHIPPED_PANEL), layout, "the shipped panel")
    table = table.drop_columns(list(SHIPPED_NOT_FUNDS))
    source = "the panel shipped with fundkernels (30 US equity portfolios, monthly)"
    return table, places, source


def types_file(args: argparse.Namespace) -> Optional[str]:
    if args.types:
        return str(args.types)
    if not args.sql and not args.input and not args.type_column:
        return shipped(SHIPPED_TYPES)
    return None


def read_paths(args: argparse.Namespace) -> list[Path]:
    """Every file and folder the command reads: the input (or the shipped panel), the types
    file, the database, and the files a --sql query names in quotes."""
    paths = []
    if args.input:
        paths.append(Path(args.input))
    elif not args.sql:
        paths.append(Path(shipped(SHIPPED_PANEL)))
    types = types_file(args)
    if types:
        paths.append(Path(types))
    if args.database:
        paths.append(Path(args.database))
    if args.sql:
        for quoted in re.findall(r"'((?:[^']|'')*)'", args.sql):
            name = quoted.replace("''", "'")
            paths.extend(Path(p) for p in glob.glob(name, recursive=True))
    return [p for p in paths if p.exists()]
