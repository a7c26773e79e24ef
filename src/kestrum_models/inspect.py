"""Print the object schemas of the tables of an SQLite file or a PostgreSQL database.

    kestrum-inspect [--connection NAME] [--schema SCHEMA] TARGET [TABLE ...]
    python -m kestrum_models.inspect ...

TARGET is a PostgreSQL connection string (a ``postgresql://`` or ``postgres://``
URI, or ``key=value`` connection parameters such as ``host=localhost dbname=shop``
whose keys are all libpq connection keywords) or else the path of an SQLite
database file (``./host=x`` names a file of that name). Without TABLE names every
table of the database is listed (for PostgreSQL: of the schema given with
``--schema``, "public" by default), in name order.

The output is a JSON list with one object schema per table, in the shape of
``ObjectSchema.to_dict()``; ``--connection NAME`` records NAME as the schemas'
connection. Failures are reported as one line on standard error, with exit
status 1 (2 for a bad command line). When the reader of the output goes away
(``kestrum-inspect big.db | head``), the command stops quietly with status 141,
as a program ended by SIGPIPE does.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sqlite3
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

PROG = "kestrum-inspect"

_POSTGRES_URI = re.compile(r"postgres(?:ql)?://")
# One ``keyword = value`` pair of a libpq connection string; the value is empty,
# single-quoted, or runs to the next white space (backslash escapes in both forms).
_CONNINFO_PAIR = re.compile(r"""\s*(\w+)\s*=\s*(?:'(?:[^'\\]|\\.)*'|(?!')(?:[^\s\\]|\\.)*)\s*""")
# The connection keywords libpq accepts.
_LIBPQ_KEYWORDS = frozenset("""
    application_name channel_binding client_encoding connect_timeout dbname
    fallback_application_name gssdelegation gssencmode gsslib host hostaddr keepalives
    keepalives_count keepalives_idle keepalives_interval krbsrvname load_balance_hosts
    max_protocol_version min_protocol_version oauth_client_id oauth_client_secret
    oauth_issuer oauth_scope options passfile password port replication require_auth
    requirepeer requiressl scram_client_key scram_server_key service
    ssl_max_protocol_version ssl_min_protocol_version sslcert sslcertmode sslcompression
    sslcrl sslcrldir sslkey sslkeylogfile sslmode sslnegotiation sslpassword sslrootcert
    sslsni target_session_attrs tcp_user_timeout user
""".split())

_SQLITE_TABLES = (
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name"
)
_SQLITE_COLUMNS = "SELECT cid, name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?) ORDER BY cid"
_POSTGRES_TABLES = (
    "SELECT table_name FROM information_schema.tables"
    " WHERE table_schema = %s AND table_type = 'BASE TABLE' ORDER BY table_name"
)
_POSTGRES_SCHEMA = "SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = %s"
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
    """True when ``target`` has the form of a PostgreSQL connection string, not of a file path.

    That is a ``postgresql://`` or ``postgres://`` URI, or one or more ``key=value``
    pairs whose keys are all libpq connection keywords. The decision is by form
    alone, so a missing file is reported as such whatever its name.
    """
    if _POSTGRES_URI.match(target):
        return True
    keys = []
    position = 0
    while position < len(target):
        pair = _CONNINFO_PAIR.match(target, position)
        if pair is None or pair.end() == position:
            return False
        keys.append(pair[1])
        position = pair.end()
    return bool(keys) and _LIBPQ_KEYWORDS.issuperset(keys)


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
            if conn.execute(_POSTGRES_SCHEMA, (schema,)).fetchone() is None:
                raise InspectError(f"no such schema: {schema!r}")
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


def _report(message: str) -> None:
    """Write one line to standard error, if the process has one."""
    if sys.stderr is not None:
        print(f"{PROG}: {message}", file=sys.stderr)


def _flush_outputs() -> None:
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()


def _discard_unwritable_outputs() -> None:
    """Point standard output or error at the null device where it cannot be written.

    Their buffers are flushed again when the interpreter exits; without this that
    would fail once more and print a complaint.
    """
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except OSError:
            try:
                null = os.open(os.devnull, os.O_WRONLY)
                try:
                    os.dup2(null, stream.fileno())
                finally:
                    os.close(null)
            except (AttributeError, OSError, ValueError):  # not backed by a file descriptor
                pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        try:
            return _run(argv)
        finally:
            # Output to a pipe is buffered: flush it here, where a failure can still
            # be handled, rather than at interpreter exit.
            _flush_outputs()
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly with the status of a
        # program ended by SIGPIPE, which Python ignores.
        _discard_unwritable_outputs()
        return 141
    except OSError as error:  # e.g. output to a full disk
        _discard_unwritable_outputs()
        try:
            _report(f"error: cannot write the output: {error.strerror or error}")
        except OSError:
            pass
        return 1


def _run(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.target is None:
        parser.error("the following arguments are required: TARGET")
    try:
        schemas = object_schemas(args.target, args.tables, args.connection, args.schema)
        text = json.dumps(schemas, indent=2, default=str)
    except InspectError as error:
        _report(f"error: {error}")
        return 1
    except KeyboardInterrupt:
        _report("interrupted")
        return 130
    except Exception as error:  # anything unforeseen is still one line, never a traceback
        _report(f"error: {type(error).__name__}: {_one_line(error)}")
        return 1
    if sys.stdout is None:  # started with standard output closed
        _report("error: cannot write the output: standard output is closed")
        return 1
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
