"""The process's open databases: one :class:`Database` per URL, shared by every alias naming it.

When the configuration changes, the databases no configured alias names any more
are retired: their connections close as soon as no thread or task uses them (see
:meth:`Database.retire`), so that work already running on them finishes.
"""

from __future__ import annotations

import atexit
import threading

from kestrum_data.config import DatabaseURL, configured_aliases, database_url, on_configuration_change
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
    """Close every connection this process holds to the store's databases.

    Connections in use by other threads or tasks close when that use ends; the
    databases open again on next use.
    """
    with _databases_lock:
        dbs = list(_databases.values())
        _databases.clear()
    for db in dbs:
        db.retire()


def _configured_urls() -> set[DatabaseURL]:
    urls = set()
    for alias in configured_aliases():
        try:
            urls.add(database_url(alias))
        except ValueError:  # a malformed URL in the environment fails where it is used
            continue
    return urls


def _retire_replaced() -> None:
    keep = _configured_urls()
    with _databases_lock:
        replaced = [url for url in _databases if url not in keep]
        dbs = [_databases.pop(url) for url in replaced]
    for db in dbs:
        db.retire()


on_configuration_change(_retire_replaced)
# Closing at exit lets SQLite fold its write-ahead log back into the database file.
atexit.register(close_databases)
