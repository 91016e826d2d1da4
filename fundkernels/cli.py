"""The ``fundkernels`` command: every indicator for every fund of a panel, as a table.

Reads a CSV (plain, .gz, .bz2) or Parquet file or folder, or the result of a SQL query run
by DuckDB in process (over files named in the query or over a DuckDB database file), and
writes one row per fund with every indicator to a CSV, Parquet or JSON file, or prints an
aligned table; ``--report`` adds a self-contained HTML page. Without an input it runs on
the returns panel shipped inside the package.

Every problem with the input or the arguments ends the command with exit status 2 and one
line on standard error that names it; anything else is a fault of fundkernels, shown with
its traceback (exit status 1). Nothing that is read is ever written over. Output files are written under a temporary name in
the destination folder and renamed when complete, so an existing file is replaced only by
a finished one.

Needs the ``cli`` extra: ``pip install 'fundkernels[cli]'``.
"""

from __future__ import annotations

import argparse
import os
import textwrap
import sys
import traceback
from collections.abc import Sequence
from contextlib import ExitStack
from typing import Any, Optional

from ._cli_compute import Clock, load_columns, note_empty_horizons, result_columns, table_ranks
from ._cli_dask import dask_columns
from ._cli_read import check_input_options, read_paths
from ._cli_tables import NA_VALUES, PROG, note
from ._cli_write import (
    OUTPUT_FORMATS,
    check_destinations,
    output_format,
    replaced_atomically,
    terminal_text,
    write_output,
)
from ._errors import REFUSED, CommandError, InputError, InputTypeError

# --- arguments -----------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, not the usage block
        raise CommandError(f"{message} (see {PROG} --help)")


def _names(text: str) -> list[str]:
    """A comma-separated list of column names."""
    return [n.strip() for n in text.split(",") if n.strip()]


def _glossary() -> str:
    """The output's columns in plain words, from the registry (H: each --horizon)."""
    from ._registry import command_columns

    lines = [
        "output columns (H: each --horizon):",
        f"  {'fund':<28}the fund's label",
        f"  {'peer_group':<28}its type code for crossodds (all: one group of all funds)",
    ]
    for out in command_columns(["H"]):
        lines += textwrap.wrap(
            out.column.words, 88, initial_indent=f"  {out.name:<28}", subsequent_indent=" " * 30
        )
    return "\n".join(lines)


def _parser() -> argparse.ArgumentParser:
    from ._registry import INDICATORS

    names = ", ".join(name for name, entry in INDICATORS.items() if entry.front_end)
    description = (
        f"Compute every fund indicator ({names}) for every fund of a panel of returns or"
        " NAVs. Without INPUT or --sql it runs on the panel shipped with the package."
    )
    p = _Parser(
        prog=PROG,
        description="\n".join(textwrap.wrap(description, 88)),
        epilog=_glossary(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action=_Version)
    src = p.add_argument_group("input")
    src.add_argument(
        "input",
        nargs="?",
        help="CSV (.csv, .csv.gz, .csv.bz2) or Parquet file, or a folder of such files",
    )
    src.add_argument(
        "--sql", metavar="QUERY", help="one SELECT run by DuckDB; its result is the input"
    )
    src.add_argument(
        "--database", metavar="FILE", help="a DuckDB database file for --sql (opened read-only)"
    )
    src.add_argument("--date", default=None, metavar="COL", help="the date column (default: date)")
    src.add_argument(
        "--date-format",
        metavar="FMT",
        help="how the dates are written, in strptime codes such as %%m/%%d/%%Y (default: ISO"
        " dates, YYYYMMDD, YYYYMM, 'Jan 1 2000', '1 Jan 2000' are recognised)",
    )
    src.add_argument(
        "--na-values",
        metavar="LIST",
        type=lambda text: text.split(","),
        default=list(NA_VALUES),
        help="comma-separated cells that mean a missing value (default: the empty cell,"
        f" {','.join(v for v in NA_VALUES if v)})",
    )
    src.add_argument("--fund", metavar="COL", help="long layout: the fund column")
    src.add_argument("--value", metavar="COL", help="long layout: the value column")
    src.add_argument(
        "--funds",
        metavar="COL,...",
        type=_names,
        help="wide layout: the fund columns (default: every column but the date and columns"
        " that number the rows)",
    )
    src.add_argument(
        "--exclude", metavar="COL,...", type=_names, help="wide layout: columns that are no funds"
    )
    kind = src.add_mutually_exclusive_group()
    kind.add_argument(
        "--navs",
        action="store_true",
        help="the values are NAVs or prices; returns are nav / previous valid nav - 1",
    )
    kind.add_argument(
        "--returns",
        action="store_true",
        help="the values are returns (the default; silences the note on values that look"
        " like prices)",
    )
    src.add_argument(
        "--calendar",
        choices=("own", "panel"),
        default="own",
        help="own (default): each fund on the dates it has a value, as if alone in the"
        " input; panel: every fund on every date of the input, a missing value a row with"
        " a missing return (crossodds always compares funds on the input's dates)",
    )
    grp = p.add_argument_group("peer groups for crossodds (default: one group of all funds)")
    grp.add_argument("--types", metavar="FILE", help="CSV or Parquet file: fund, type")
    grp.add_argument("--type-column", metavar="COL", help="long layout: the type column")
    ind = p.add_argument_group("indicators")
    ind.add_argument(
        "--horizon",
        action="append",
        metavar="CODE",
        help="horizon for horizonret such as 3M or 1Y; repeatable (default: 1Y)",
    )
    ind.add_argument(
        "--risk-free",
        type=float,
        default=0.0,
        metavar="RATE",
        help="annual risk-free rate for the Sharpe and Sortino ratios, 0.03 for 3%% (default: 0)",
    )
    ind.add_argument(
        "--periods-per-year",
        type=float,
        metavar="P",
        help="periods per year to annualise with (default: told from the dates: daily 252,"
        " weekly 52, monthly 12, quarterly 4, yearly 1)",
    )
    ind.add_argument(
        "--ranks",
        action="store_true",
        help="each fund's percentile rank within its peer group (--types; default: all"
        " funds) beside every column that ranks funds, 1 the best and 100 the worst",
    )
    out = p.add_argument_group("output")
    out.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="table file, .csv, .parquet or .json, with every column (default: a table on stdout)",
    )
    out.add_argument("--report", metavar="FILE.html", help="a self-contained HTML report")
    shown = out.add_mutually_exclusive_group()
    shown.add_argument(
        "--columns",
        metavar="COL,...",
        type=_names,
        help="the columns of the table on stdout (default on a terminal: the main column of"
        " each indicator, as many as fit its width)",
    )
    shown.add_argument(
        "--all-columns", action="store_true", help="every column in the table on stdout"
    )
    out.add_argument(
        "--report-funds",
        metavar="NAME,...",
        help="funds whose value and drawdowns the report charts (default: the two best and"
        " the two worst by Sharpe ratio)",
    )
    out.add_argument(
        "--timings", action="store_true", help="print the time of each phase on stderr"
    )
    out.add_argument(
        "--engine",
        choices=("arrow", "dask"),
        default="arrow",
        help=(
            "dask: an input larger than memory (a wide Parquet file or folder; a long Parquet"
            " file or folder, or a folder of CSV files), with a progress bar on stderr"
        ),
    )
    return p


class _Version(argparse.Action):
    """--version, which looks the version up only when asked: the lookup (importlib.metadata)
    costs tens of milliseconds of every run."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(
            option_strings,
            argparse.SUPPRESS,
            nargs=0,
            help="show program's version number and exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def _version() -> str:
    from fundkernels import __version__

    return __version__


def _horizons(given: Optional[list[str]]) -> list[str]:
    """The horizon codes, checked, duplicates dropped, in the order given."""
    from fundkernels._panel import horizon_code

    out: list[str] = []
    for code in given or ["1Y"]:
        try:
            horizon_code(code)
        except (InputError, InputTypeError) as exc:
            raise CommandError(f"--{exc}") from None
        if not any(c != "0" for c in code[:-1]):
            raise CommandError(f"--horizon {code} has no length: give at least 1M")
        if code not in out:
            out.append(code)
    return out


# --- the command -----------------------------------------------------------------------


def _statistics_options(args: argparse.Namespace) -> None:
    """--periods-per-year and --risk-free, checked before anything is read."""
    from fundkernels._summary_columns import check_periods, check_risk_free

    for flag, check, given in (
        ("--periods-per-year", check_periods, args.periods_per_year),
        ("--risk-free", check_risk_free, args.risk_free),
    ):
        try:
            check(given)
        except ValueError as exc:
            raise CommandError(f"{flag}: {exc}") from None


def run(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    clock = Clock()
    horizons = _horizons(args.horizon)
    _statistics_options(args)
    out_fmt = output_format(args.output, "the output", OUTPUT_FORMATS)
    if args.report_funds is not None and not args.report:
        raise CommandError("--report-funds needs --report")
    output_format(args.report, "the report", {".html": "html", ".htm": "html"})
    check_input_options(args)
    if args.output and (args.columns or args.all_columns):
        raise CommandError(
            "--columns and --all-columns choose what is printed; --output files get every"
            " column: give one or the other"
        )
    # Before anything is read: no output may replace a file that is read.
    check_destinations({"--output": args.output, "--report": args.report}, read_paths(args))
    if args.engine == "dask":
        panel, cols = dask_columns(args, horizons, clock)
    else:
        panel, cols = load_columns(args, horizons, clock)
    if args.ranks:
        cols.update(table_ranks(panel, cols, horizons))
    columns = result_columns(panel, cols)
    chosen = None
    if args.report_funds:
        from fundkernels._report import chosen_positions

        chosen = [f.strip() for f in args.report_funds.split(",")]
        chosen_positions(panel.funds, chosen)  # checked before anything is written
    note_empty_horizons(columns, horizons, panel)
    if panel.groups is None:
        note(
            "no type codes given (--types or --type-column): crossodds compares every fund"
            " with the median of all funds"
        )
    # Both files are written under temporary names and renamed together at the end: a
    # failure leaves neither replaced.
    with ExitStack() as stack:
        if args.report:
            from fundkernels._report import render

            # The report ranks every fund within its peer group, whether or not the
            # table has the ranks (--ranks).
            ranked = columns
            if not args.ranks:
                ranked = result_columns(panel, {**cols, **table_ranks(panel, cols, horizons)})
            page = render(panel, ranked, horizons, panel.series, chosen)
            fh = stack.enter_context(replaced_atomically(args.report, "--report"))
            fh.write(page.encode("utf-8"))
            clock.lap("report")
        if args.output:
            fh = stack.enter_context(replaced_atomically(args.output, "--output"))
            write_output(fh, out_fmt or "csv", columns)
    if not args.output:
        sys.stdout.write(terminal_text(columns, args.columns, args.all_columns))
    clock.lap("write")
    if args.timings:
        print(clock.line(), file=sys.stderr)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console script: exit status 0 on success; 2 with one line on stderr when the
    arguments or the input are refused; 1 with the traceback for a fault of fundkernels."""
    try:
        return run(argv)
    except REFUSED as exc:
        _fail(str(exc))
        return 2
    except MemoryError:
        _fail("not enough memory for this panel (try --engine dask with a Parquet input)")
        return 2
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (| head): not an error of the command. Point
        # stdout at /dev/null so the interpreter's last flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as exc:  # the system refused a file (permissions, a full disk)
        _fail(f"{exc.strerror or exc}: {exc.filename}" if exc.filename else str(exc))
        return 2
    except Exception:  # anything else is a bug of ours: show where, ask for a report
        traceback.print_exc()
        print(
            f"{PROG}: this is a fault in fundkernels {_version()}, not in the input: please"
            " report it with the lines above and the command that gave them",
            file=sys.stderr,
        )
        return 1


def _fail(message: str) -> None:
    line = " ".join(message.split())
    print(f"{PROG}: error: {line}", file=sys.stderr)
