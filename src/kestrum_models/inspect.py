"""Print the object schemas of the tables of an SQLite file or a PostgreSQL database.

    kestrum-inspect [--connection NAME] [--schema SCHEMA] TARGET [TABLE ...]
    python -m kestrum_models.inspect ...

TARGET is the path of an SQLite database file or a PostgreSQL connection string
(a ``postgresql://`` or ``postgres://`` URI, or ``key=value`` connection
parameters such as ``host=localhost dbname=shop``). Without TABLE names every
table of the database is listed (for PostgreSQL: of the schema given with
``--schema``, "public" by default), in name order.

The output is a JSON list with one object schema per table, in the shape of
``ObjectSchema.to_dict()``; ``--connection NAME`` records NAME as the schemas'
connection. Failures are reported as one line on standard error, with exit
status 1 (2 for a bad command line).
"""

from __future__ import annotations

import argparse
import json
import re
import sqlite3
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

PROG = "kestrum-inspect"

_POSTGRES_URI = re.compile(r"postgres(?:ql)?://", re.IGNORECASE)
_CONNINFO_PAIR = re.compile(r"\s*[A-Za-z_]+\s*=")

_SQLITE_TABLES = (
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name"
)
_SQLITE_COLUMNS = "SELECT cid, name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?) ORDER BY cid"
_POSTGRES_TABLES = (
    "SELECT table_name FROM information_schema.tables"
    " WHERE table_schema = %s AND table_type = 'BASE TABLE' ORDER BY table_name"
)
_POSTGRES_COLUMNS = (
    "SELECT column_name, data_type, udt_name, is_nullable, column_default"
    " FROM information_schema.columns"
    " WHERE table_schema = %s AND table_name = %s ORDER BY ordinal_position"
)


class InspectError(Exception):
    """A failure reported to the user as one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Print the object schemas of database tables as JSON.",
    )
    parser.add_argument("target", metavar="TARGET", nargs="?", help="SQLite database file or PostgreSQL connection string")
    parser.add_argument("tables", metavar="TABLE", nargs="*", help="tables to inspect (default: all tables)")
    parser.add_argument("--connection", metavar="NAME", help="connection name recorded in the schemas")
    parser.add_argument(
        "--schema",
        metavar="SCHEMA",
        default="public",
        help="PostgreSQL schema holding the tables (default: public)",
    )
    return parser


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def is_postgres_target(target: str) -> bool:
    """True when ``target`` is a PostgreSQL connection string rather than a file path."""
    if Path(target).is_file():
        return False
    return bool(_POSTGRES_URI.match(target) or _CONNINFO_PAIR.match(target))


def postgres_column_row(row: dict[str, Any]) -> dict[str, Any]:
    """An ``information_schema.columns`` row as the converter reads it.

    Array columns are reported with the data type ARRAY and the element type in
    ``udt_name`` ("_int4"); they are given the bracketed form ("int4[]").
    """
    data_type = row["data_type"]
    if data_type == "ARRAY":
        data_type = f"{row['udt_name'].removeprefix('_')}[]"
    return {
        "column_name": row["column_name"],
        "data_type": data_type,
        "is_nullable": row["is_nullable"],
        "column_default": row["column_default"],
    }


def _unknown_tables(missing: list[str]) -> InspectError:
    names = ", ".join(repr(name) for name in missing)
    return InspectError(f"no such table: {names}" if len(missing) == 1 else f"no such tables: {names}")


def sqlite_listings(path: str, tables: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
    """The ``PRAGMA table_info`` rows of each table of an SQLite file."""
    file = Path(path)
    if not file.exists():
        raise InspectError(f"no such file: {path}")
    if not file.is_file():
        raise InspectError(f"not a file: {path}")
    try:
        # Read-only, so that inspecting never creates or changes a database.
        conn = sqlite3.connect(f"{file.resolve().as_uri()}?mode=ro", uri=True)
    except sqlite3.Error as error:
        raise InspectError(f"cannot open SQLite database {path}: {_one_line(error)}") from None
    try:
        conn.row_factory = sqlite3.Row
        try:
            names = list(tables) or [row["name"] for row in conn.execute(_SQLITE_TABLES)]
            listings = {
                name: [dict(row) for row in conn.execute(_SQLITE_COLUMNS, (name,))] for name in names
            }
        except sqlite3.Error as error:
            raise InspectError(f"cannot read SQLite database {path}: {_one_line(error)}") from None
    finally:
        conn.close()
    missing = [name for name, rows in listings.items() if not rows]
    if missing:
        raise _unknown_tables(missing)
    return listings


def postgres_listings(conninfo: str, tables: Sequence[str], schema: str) -> dict[str, list[dict[str, Any]]]:
    """The ``information_schema.columns`` rows of each table of a PostgreSQL schema."""
    try:
        import psycopg
        from psycopg.rows import dict_row
    except ImportError:
        raise InspectError('PostgreSQL targets need psycopg 3 (pip install "psycopg[binary]")') from None

    try:
        conn = psycopg.connect(conninfo, row_factory=dict_row, autocommit=True)
    except psycopg.Error as error:
        raise InspectError(f"cannot connect to PostgreSQL: {_one_line(error)}") from None
    try:
        with conn:
            names = list(tables) or [row["table_name"] for row in conn.execute(_POSTGRES_TABLES, (schema,))]
            listings = {
                name: [postgres_column_row(row) for row in conn.execute(_POSTGRES_COLUMNS, (schema, name))]
                for name in names
            }
    except psycopg.Error as error:
        raise InspectError(f"cannot read PostgreSQL database: {_one_line(error)}") from None
    missing = [name for name, rows in listings.items() if not rows]
    if missing:
        raise _unknown_tables(missing)
    return listings


def object_schemas(
    target: str,
    tables: Sequence[str] = (),
    connection: str | None = None,
    schema: str = "public",
) -> list[dict[str, Any]]:
    """The schema data of each table of ``target``, in the shape of ``ObjectSchema.to_dict()``."""
    from kestrum_models.utils.galvori import ExternalGalvori

    galvori = ExternalGalvori()
    if is_postgres_target(target):
        convert = galvori.postgres_schema_to_object_schema
        listings = postgres_listings(target, tables, schema)
    else:
        convert = galvori.sqlite_schema_to_object_schema
        listings = sqlite_listings(target, tables)
    result = []
    for name, rows in listings.items():
        try:
            result.append(convert(name, rows, connection).to_dict())
        except (TypeError, ValueError) as error:
            raise InspectError(f"cannot convert table {name!r}: {_one_line(error)}") from None
    return result


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.target is None:
        parser.error("the following arguments are required: TARGET")
    try:
        schemas = object_schemas(args.target, args.tables, args.connection, args.schema)
        text = json.dumps(schemas, indent=2, default=str)
    except InspectError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # anything unforeseen is still one line, never a traceback
        print(f"{PROG}: error: {type(error).__name__}: {_one_line(error)}", file=sys.stderr)
        return 1
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
