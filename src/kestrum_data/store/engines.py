"""The process's open databases: one :class:`Database` per URL, shared by every alias naming it."""

from __future__ import annotations

import atexit
import threading

from kestrum_data.config import DatabaseURL
from kestrum_data.store.database import Database

_databases: dict[DatabaseURL, Database] = {}
_databases_lock = threading.Lock()


def open_database(url: DatabaseURL) -> Database:
    """The process's :class:`Database` for ``url`` (one per URL, shared by all aliases naming it)."""
    with _databases_lock:
        db = _databases.get(url)
        if db is None:
            if url.kind == "sqlite":
                from kestrum_data.store.sqlite import SQLiteDatabase

                db = SQLiteDatabase(url)
            else:
                from kestrum_data.store.postgres import PostgresDatabase

                db = PostgresDatabase(url)
            _databases[url] = db
        return db


def close_databases() -> None:
    """Close every connection this process holds to the store's databases."""
    with _databases_lock:
        dbs = list(_databases.values())
        _databases.clear()
    for db in dbs:
        db.close()


# Closing at exit lets SQLite fold its write-ahead log back into the database file.
atexit.register(close_databases)
