"""Fixtures of the object-store tests: every test runs on SQLite and on PostgreSQL."""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from kestrum_data.config import configure_databases, reset_databases
from kestrum_data.store import close_databases


def _url(request: pytest.FixtureRequest, kind: str, name: str) -> str:
    if kind == "sqlite":
        return f"sqlite:///{request.getfixturevalue('tmp_path')}/{name}.sqlite3"
    server = request.getfixturevalue("postgres_server")
    conn = request.getfixturevalue("pg_conn")
    if name != "main":
        conn.execute(f'CREATE DATABASE "{conn.info.dbname}_{name}" TEMPLATE template0')
        return server.dsn(f"{conn.info.dbname}_{name}")
    return server.dsn(conn.info.dbname)


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request: pytest.FixtureRequest) -> Iterator[str]:
    """The store on one database (both aliases), of the kind named by the parameter."""
    configure_databases(_url(request, request.param, "main"))
    yield request.param
    close_databases()
    reset_databases()


@pytest.fixture(params=["sqlite", "postgresql", "split-sqlite", "split-mixed"])
def any_store(request: pytest.FixtureRequest) -> Iterator[str]:
    """As ``store``, and also with the latest objects and the history in different databases."""
    kind = request.param
    if kind.startswith("split"):
        history = "postgresql" if kind == "split-mixed" else "sqlite"
        configure_databases(default=_url(request, "sqlite", "latest"), lakehouse=_url(request, history, "history"))
    else:
        configure_databases(_url(request, kind, "main"))
    yield kind
    close_databases()
    reset_databases()
