"""The throwaway PostgreSQL server behind the ``postgres_dsn`` and ``pg_conn`` fixtures."""

import socket

import psycopg
import pytest
from psycopg.rows import dict_row

from postgres import postgres_required


def test_server_is_postgres_15_or_newer(postgres_dsn):
    with psycopg.connect(postgres_dsn) as conn:
        assert conn.info.server_version >= 150000
        assert conn.info.dbname == "kestrum_test"
        assert conn.execute("SHOW server_encoding").fetchone() == ("UTF8",)


def test_server_listens_on_loopback_only(pg_conn):
    assert pg_conn.execute("SHOW listen_addresses").fetchone() == ("127.0.0.1",)
    assert str(pg_conn.execute("SELECT inet_server_addr()").fetchone()[0]) == "127.0.0.1"
    # 127.0.0.2 reaches this host too, but must not reach the server.
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.2", pg_conn.info.port), timeout=2).close()


@pytest.mark.parametrize("run", [1, 2])
def test_each_test_gets_a_fresh_database(pg_conn, run):
    assert pg_conn.autocommit
    leftover = pg_conn.execute("SELECT to_regclass('isolation_probe')").fetchone()[0]
    assert leftover is None, "a table created by another test is visible"
    pg_conn.execute("CREATE TABLE isolation_probe (run int)")
    pg_conn.execute("INSERT INTO isolation_probe VALUES (%s)", (run,))


def test_column_listing_as_dicts(pg_conn):
    pg_conn.execute(
        "CREATE TABLE widget (id bigint PRIMARY KEY, name text NOT NULL, price numeric(10, 2))"
    )
    with pg_conn.cursor(row_factory=dict_row) as cur:
        cur.execute(
            "SELECT column_name, data_type, is_nullable FROM information_schema.columns"
            " WHERE table_schema = 'public' AND table_name = %s ORDER BY ordinal_position",
            ("widget",),
        )
        rows = cur.fetchall()
    assert rows == [
        {"column_name": "id", "data_type": "bigint", "is_nullable": "NO"},
        {"column_name": "name", "data_type": "text", "is_nullable": "NO"},
        {"column_name": "price", "data_type": "numeric", "is_nullable": "YES"},
    ]


def test_missing_postgres_fails_in_ci_and_skips_elsewhere():
    assert not postgres_required({})
    assert not postgres_required({"CI": "false", "KESTRUM_REQUIRE_POSTGRES": "0"})
    assert postgres_required({"CI": "true"})
    assert postgres_required({"KESTRUM_REQUIRE_POSTGRES": "1"})
