"""The command's --sql input: one read-only DuckDB query, over files it names or a database
file."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

from ._cli_tables import Layout, Piece, Places, arrow, pieces
from ._errors import CommandError


def read_sql(query: str, database: Optional[str], layout: Layout) -> tuple[Any, Places]:
    """The result of one read-only DuckDB query, over files named in it or a database file."""
    arrow()
    try:
        import duckdb
    except ImportError:
        raise CommandError("--sql needs duckdb: pip install 'fundkernels[cli]'") from None
    if database is not None and not Path(database).is_file():
        raise CommandError(f"no such database file: {database}")
    try:
        # No extension is installed on the way (a query naming a remote file would).
        con = duckdb.connect(
            database or ":memory:",
            read_only=database is not None,
            config={"autoinstall_known_extensions": False},
        )
        try:
            _read_only(con, query, duckdb)
            rel = con.sql(query)
            if rel is None:
                raise CommandError("the --sql query returns no table")
            table = rel.to_arrow_table() if hasattr(rel, "to_arrow_table") else rel.arrow()
        finally:
            con.close()
    except duckdb.Error as exc:
        raise CommandError(f"the --sql query failed: {exc}") from None
    return pieces([(Piece("the --sql result", csv=False), table)], layout)


def _read_only(con: Any, query: str, duckdb: Any) -> None:
    """One SELECT (WITH ... SELECT, VALUES and FROM-first queries are SELECTs too), checked
    before anything runs: --sql reads, it never writes, attaches, installs or sets."""
    statements = con.extract_statements(query)
    if len(statements) != 1:
        raise CommandError(
            f"--sql runs one query, not {len(statements)} statements: give a single SELECT"
        )
    kind = statements[0].type
    if kind != duckdb.StatementType.SELECT:
        raise CommandError(f"--sql only reads: give a SELECT query, not a {kind.name} statement")
